#pragma once

// The look of the program is data: the "Skins" folder beside the program
// holds one INI file per dialog with the place of every control, the
// whole-dialog pictures each button state is copied from, and the language
// file. This is how controls are placed from those files, how the state
// pictures are loaded, the caption styles the dialogs use, and the language
// switch as far as the skin and language files go.

#include "common/Result.h"
#include "config/SkinValues.h"
#include "ui/ImageButton.h"

#include <QImage>
#include <QRect>
#include <QString>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

class QWidget;

namespace kestrune {

// A picture of one whole dialog in one button state; buttons copy their face
// from it at their own place.
using StateImage = QImage;

// Skin files, relative to the program folder.
inline constexpr std::string_view kMainSkin = "Skins/Main.ini";
inline constexpr std::string_view kCompositeSkin = "Skins/Composite.ini";
inline constexpr std::string_view kProfileSkin = "Skins/Profile.ini";
inline constexpr std::string_view kUpdateSkin = "Skins/UpdateDlg.ini";

// One set of state pictures, relative to the program folder.
struct StatePictureFiles {
    std::string_view normal, over, down, disable;
};
inline constexpr StatePictureFiles kMainPictures{"Skins/main_normal.jpg", "Skins/main_over.jpg", "Skins/main_down.jpg",
                                                 "Skins/main_disable.jpg"};
inline constexpr StatePictureFiles kKeyPictures{"Skins/key_normal.jpg", "Skins/key_over.jpg", "Skins/key_down.jpg",
                                                "Skins/key_normal.jpg"};
inline constexpr StatePictureFiles kMacroPictures{"Skins/macro_normal.jpg", "Skins/macro_over.jpg",
                                                  "Skins/macro_down.jpg", "Skins/macro_disable.jpg"};
inline constexpr StatePictureFiles kMacro2Pictures{"Skins/macro2_normal.jpg", "Skins/macro2_over.jpg",
                                                   "Skins/macro2_down.jpg", "Skins/macro2_disable.jpg"};
inline constexpr StatePictureFiles kMediaPictures{"Skins/media_normal.jpg", "Skins/media_over.jpg",
                                                  "Skins/media_down.jpg", "Skins/media_normal.jpg"};
inline constexpr StatePictureFiles kFunctionPictures{"Skins/function_normal.jpg", "Skins/function_over.jpg",
                                                     "Skins/function_down.jpg", "Skins/function_normal.jpg"};
inline constexpr StatePictureFiles kProfilePictures{"Skins/Profile_normal.jpg", "Skins/Profile_over.jpg",
                                                    "Skins/Profile_down.jpg", "Skins/Profile_down.jpg"};
// The update dialog has only two looks; its last two states repeat the over look.
inline constexpr StatePictureFiles kUpdatePictures{"Skins/update_normal.jpg", "Skins/update_over.jpg",
                                                   "Skins/update_over.jpg", "Skins/update_over.jpg"};
inline constexpr std::string_view kArrowPicture = "Skins/Arrow.jpg";
inline constexpr std::string_view kColourUnmarkedPicture = "Skins/main_color0.jpg";
inline constexpr std::string_view kColourMarkedPicture = "Skins/main_color1.jpg";

// Sections and keys.
inline constexpr std::string_view kScreenSection = "SCREEN";
inline constexpr std::string_view kScreenMainKey = "Main";
inline constexpr std::string_view kScreenMaskKey = "Mask";
inline constexpr std::string_view kScreenLinkKey = "Link";
inline constexpr std::string_view kPlacementSection = "BUTTONINFO";
inline constexpr std::string_view kArrowPictureSection = "BUTTONINFO2";
inline constexpr std::u16string_view kDefaultSkinLink = u"https://www.kestrune.com/";
// Each state picture is this much larger than the dialog, right and down.
inline constexpr int kStateImageMargin = 100;

// Placements as the skin file at iniPath gives them (see config/SkinValues.h).
SkinRect ReadSkinRect(const std::filesystem::path& iniPath, std::string_view section, std::string_view key);

// A value of a skin file as text, read like every skin value.
QString ReadSkinText(const std::filesystem::path& iniPath, std::string_view section, std::string_view key,
                     std::u16string_view fallback);

// The SCREEN section: the background picture, the mask (the background when
// not named) and, for the main skin, the link.
struct SkinScreen {
    QString main;
    QString mask;
    QString link;
};
SkinScreen ReadSkinScreen(const std::filesystem::path& iniPath);

// Placement keys built from numbers.
std::string KeyButtonSkinKey(std::uint8_t compactKey); // "KEY_%03X" of the key's CompactKey
std::string MacroKeySkinKey(int number);               // "FUNC_G%d", 1 to 9
// The BUTTONINFO2 key of an arrow's picture offset: the UP_ pictures for a
// layout variant other than 0, the DOWN_ pictures for 0.
std::string ArrowPictureKey(int layoutVariant, bool left, int number = 1);

// Lighting-panel captions: Control_Name for language 0, Control_Name1 for 1,
// and no section (the captions stay) for any other language.
std::optional<std::string_view> PanelCaptionSection(int languageIndex);
// Effect names: Mode1 for English, Mode for every other language, as the
// language table falls back to Chinese for them.
std::string_view EffectNameSection(int languageIndex);
// The caption under `key`, empty when missing; nullopt when the language reads no section.
std::optional<QString> ReadPanelCaption(const std::filesystem::path& iniPath, int languageIndex, std::string_view key);
// The name of an effect number, "1" when missing.
QString ReadEffectName(const std::filesystem::path& iniPath, int languageIndex, int effect);

// Places `button` from its key and hands it its five pictures with its place
// as the picture origin. A key the skin leaves out puts the button at (1, 1),
// 1 x 1, and disables it: that is how a skin hides a button it has no use for.
void PlaceImageButton(ImageButton& button, const std::filesystem::path& iniPath, std::string_view section,
                      std::string_view key, const StateImage& normal, const StateImage& over, const StateImage& down,
                      const StateImage& disable, const StateImage& other);
// Places any control; a missing key shrinks it but never disables it.
void PlaceControl(QWidget& control, const std::filesystem::path& iniPath, std::string_view section,
                  std::string_view key);
// Places an arrow button from one key and takes its picture origin from the
// x and y of another, with `arrow` for every state.
void PlaceArrowButton(ImageButton& button, const std::filesystem::path& iniPath, std::string_view placeSection,
                      std::string_view placeKey, std::string_view pictureSection, std::string_view pictureKey,
                      const StateImage& arrow);

// One state picture for `dialog`: as large as its client area plus the
// margin each way, black, with the picture at `relativePath` (under the
// program folder) drawn unscaled at its top-left corner. A picture that
// cannot be read leaves it black; only failing to make the image at all is
// fatal (see PictureFailure).
StateImage LoadStateImage(std::string_view relativePath, const QWidget& dialog);
// The same for a dialog of `dialogSize`; safe on any thread.
StateImage LoadStateImage(std::string_view relativePath, QSize dialogSize);

// A new image for a large picture that is written whole at once: where the
// system allows, its memory is made ready in one go rather than page by
// page as it is first written, and given back the moment the last copy of
// the image goes. Its pixels are not set. Null when there is no memory.
QImage NewPictureImage(QSize size, QImage::Format format);
// Whether a picture of `size` and `format` is within what the image reader
// lets a decoder take.
bool WithinPictureLimit(QSize size, QImage::Format format);

// Caption styles of the dialogs' buttons.
struct CaptionStyle {
    const char* face;
    int points;
    std::uint32_t colourRef;
    unsigned format;
    int escapement = 0;
    bool heavy = false;
};
inline constexpr CaptionStyle kTextButtonCaption{"Tahoma", 9, 0xFFFFFF, kDefaultCaptionFormat};
inline constexpr CaptionStyle kRecordButtonCaption{"Tahoma", 8, 0xFFFFFF, kDefaultCaptionFormat};
inline constexpr CaptionStyle kProfilesButtonCaption{
    "Arial", 10, 0xE4E4E4, kCaptionLeft | kCaptionBottom | kCaptionSingleLine, 268, true};
inline constexpr CaptionStyle kSwitchButtonCaption{"Arial", 10, 0xE4E4E4, kDefaultCaptionFormat};
inline constexpr CaptionStyle kVersionLabelCaption{"Verdana", 8, 0xE4E4E4,
                                                   kCaptionLeft | kCaptionVCenter | kCaptionSingleLine};
void ApplyCaptionStyle(ImageButton& button, const CaptionStyle& style);

// A list, tree or table drawn into a field of the dialog picture: transparent over
// the field, in the skin's text colour and the buttons' caption face, with
// headings, grid, check boxes and selection in the skin's colours.
QString SkinnedListStyle();
// An edit box or combo box (editable or not) on a dialog picture: dark
// field, the skin's text colour and edges, its drop-down list alike.
QString SkinnedBoxStyle();

// What happens when a picture a dialog cannot do without fails to load or
// to be made: by default the reason goes to standard error and the program
// ends with exit code 0. Returns the handler it replaces. A handler that
// returns lets the caller carry on without the picture.
using PictureFailureHandler = std::function<void(const std::string& why)>;
PictureFailureHandler SetPictureFailureHandler(PictureFailureHandler handler);
void PictureFailure(const std::string& why);

// Switches the language: keeps the index in memory, stores it in the
// language file and reloads the language table (from the unchanged file when
// the store fails), then calls `recaption` so the windows take their texts
// anew. The error, if any, is the store's.
Status SwitchLanguage(int languageIndex, const std::function<void(int languageIndex)>& recaption = {});
// The index the last switch chose, nullopt before any.
std::optional<int> SwitchedLanguageIndex();
// The main window's captions, its menu and the About box are English when
// either the language file or the last switch says so.
bool MainCaptionsInEnglish();
// A caption of the main window's own, read from the language file in that
// language each time it is asked for: a missing key gives a single blank.
QString MainCaptionText(std::string_view key);

// The name the user knows keyboard profile 0, 1 or 2 by, in the main
// window's language: the caption of its profile button. The three share one
// working profile file, so its name tells them apart for nobody. A blank
// caption (the key missing from the language file) gives "Profile" and the
// profile's number, so the three never look alike.
QString KeyboardProfileName(int profile);

} // namespace kestrune
