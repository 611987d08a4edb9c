// The skin the program ships with, as the build puts it beside the program:
// every placement the dialogs read, every picture they load, the effect names
// and panel captions, the language file and the help page.

#include "config/Folders.h"
#include "config/IniFile.h"
#include "config/LanguageTable.h"
#include "keymodel/KeyCodes.h"
#include "ui/Skin.h"

#include <QApplication>
#include <QColor>
#include <QImage>
#include <QImageReader>
#include <QWidget>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <span>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace kestrune;

namespace {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        m_app = std::make_unique<QApplication>(m_argc, m_argv);
        SetProgramFolder(fs::path(KESTRUNE_PROGRAM_DIR));
    }
    void TearDown() override
    {
        SetProgramFolder(std::nullopt);
        m_app.reset();
    }

private:
    int m_argc = 1;
    char m_name[11] = "test_skins";
    char* m_argv[2] = {m_name, nullptr};
    std::unique_ptr<QApplication> m_app;
};

[[maybe_unused]] const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

fs::path Program()
{
    return fs::path(KESTRUNE_PROGRAM_DIR);
}

fs::path Skin(std::string_view relative)
{
    return Program() / fs::path(relative);
}

IniFile Load(const fs::path& path)
{
    auto file = IniFile::Load(path);
    EXPECT_TRUE(file.ok()) << path << ": " << (file.ok() ? std::string() : file.error());
    return file ? std::move(*file) : IniFile();
}

QImage Picture(const fs::path& path)
{
    QImageReader reader(QString::fromStdString(path.string()));
    return reader.read();
}

QSize BackgroundSize(std::string_view ini)
{
    const SkinScreen screen = ReadSkinScreen(Skin(ini));
    return Picture(Skin(ini).parent_path() / screen.main.toStdString()).size();
}

// Placements as the program parses them, each file read once: the reader
// opens the file for every value, which thousands of look-ups would feel.
QRect RectOf(std::string_view ini, std::string_view key)
{
    static std::map<std::string, IniFile, std::less<>> files;
    auto it = files.find(ini);
    if (it == files.end()) it = files.emplace(std::string(ini), Load(Skin(ini))).first;
    const SkinRect r = ParseSkinRect(it->second.ReadString(kPlacementSection, key, kMissingSkinRect, kSkinReadBuffer));
    return QRect(r.x, r.y, r.w, r.h);
}

// Every key each dialog places, as the dialogs name them.
struct DialogKeys {
    std::string_view ini;
    std::vector<std::string> imageButtons;
    std::vector<std::string> otherControls;
};

std::vector<std::string> MainKeyButtons()
{
    std::vector<std::string> keys;
    for (KeyIndex key : KeyButtonOrder) keys.push_back(KeyButtonSkinKey(CompactFromKey(key)));
    for (int n = 1; n <= kGKeyCount; ++n) keys.push_back(MacroKeySkinKey(n));
    keys.push_back("KEY_FN");
    return keys;
}

std::vector<DialogKeys> AllDialogKeys()
{
    std::vector<std::string> mainButtons = MainKeyButtons();
    for (const char* key : {"ZELVOR_LINK", "FUNC_PROFILES", "FUNC_MACRO", "CONTROL_OK", "CONTROL_CANCEL",
                            "CONTROL_HELP", "CONTROL_CLOSE", "CONTROL_MINIMIZE", "CONTROL_MENU", "CONTROL2_APPLY",
                            "LOCK_CAPS", "LOCK_NUM", "LOCK_SCROLL", "LOCK_AB", "FLIP_0", "FLIP_1", "FLIP_2",
                            "ZELVOR_VER", "FUNC_PROFILE1", "FUNC_PROFILE2", "FUNC_PROFILE3", "FUNC_DEFAULT",
                            "FUNC_SWITCH", "FUNC_REPORT1", "FUNC_REPORT2", "FUNC_REPORT3", "FUNC_REPORT4"})
        mainButtons.push_back(key);
    std::vector<std::string> mainOthers = {
        "LEFT_ARROW",           "RIGHT_ARROW",           "CONTROL_UsbStatic",     "CONTROL_DengStatic",
        "CONTROL_DengStaPic",   "CONTROL_XGcombox",      "CONTROL_JDTStatic",     "CONTROL_LightStatic",
        "CONTROL_LightSlider",  "CONTROL_SpeedStatic",   "CONTROL_SpeedSlider",   "CONTROL_SpeedStatic2",
        "CONTROL_SpeedSlider2", "CONTROL_BLFXStatic",    "CONTROL_BLFXLStaPic",   "CONTROL_BLFXRStaPic",
        "CONTROL_BLFXStatic2",  "CONTROL_BLFXLStaPic2",  "CONTROL_BLFXRStaPic2",  "CONTROL_FYYSStatic",
        "CONTROL_FYYSButton",   "CONTROL_FYSJSStaPic",   "CONTROL_FYSJSStatic",   "CONTROL_FYCFStatic",
        "CONTROL_FYdjcfStatic", "CONTROL_FYggcfStatc",   "CONTROL_FYdjcfStaPic",  "CONTROL_FYggcfStaPic",
        "CONTROL_HXysStatic",   "CONTROL_HXysButton",    "CONTROL_HXsjsStatic",   "CONTROL_HXsjsStaPic",
        "CONTROL_JTysStatic",   "CONTROL_JTysButton",    "CONTROL_USERysStatic",  "CONTROL_USERysButton",
        "CONTROL_USERjsStatic", "CONTROL_USERjsButton",  "CONTROL_USERgjStatic",  "CONTROL_USERgjStaPic1",
        "CONTROL_USERgjStaPic2", "CONTROL_TSysStatic",   "CONTROL_TSysButton",    "CONTROL_TSsjsStatic",
        "CONTROL_TSsjsStaPic",  "CONTROL_CDysStatic",    "CONTROL_CDysButton",    "CONTROL_CDsjsStatic",
        "CONTROL_CDsjsStaPic",  "CONTROL_RUNysStaticBtn", "CONTROL_RUNysButton",  "CONTROL_RUNsjsStatic",
        "CONTROL_RUNsjs7Pic",   "m_edit_rgbr",           "m_edit_rgbg",           "m_edit_rgbb",
        "m_button_rgb1",        "m_button_rgb2",         "m_button_rgb3",         "m_button_rgb4",
        "m_button_rgb5",        "m_button_rgb6"};
    return {
        {kMainSkin, mainButtons, mainOthers},
        {kCompositeSkin,
         {"CONTROL_MASK", "CONTROL_TITLE", "CONTROL_OSK", "CONTROL_CLEAR", "CONTROL_MEDIA", "CONTROL_MACRO",
          "CONTROL_KEY", "CONTROL_FUNCTION", "CONTROL_OK", "CONTROL_CANCEL", "FUNC_MACRO_DELETE", "FUNC_MACRO_ADD",
          "FUNC_MACRO_UP_TOP", "FUNC_MACRO_UP", "FUNC_MACRO_DOWN", "FUNC_MACRO_DOWN_BOTTOM", "FUNC_MACRO_DELETE2",
          "FUNC_MACRO_CLEAR", "FUNC_MACRO_RECORD"},
         {"FUNC_MACRO_RECORD_DELAY", "FUNC_MACRO_LIST2", "FUNC_MACRO_CYCLES", "FUNC_MACRO_CYCLES_PROMPT",
          "TISHI_SINGLE_STATIC", "MARCO_NAME_SETTING", "KEY_SETTING", "MEDIA_SETTING_TISHI",
          "FUNCTION_KEY_SETTING_TISHI", "FUNC_MACRO_RECORD_DELAY2", "FUNC_KEY_INPUT", "FUNC_MEDIA_SELECT",
          "FUNC_MACRO_LIST", "FUNC_FUNCTION_SELECT"}},
        {kProfileSkin,
         {"CONTROL_OK", "CONTROL_CANCEL", "FUNC_ADD", "FUNC_LOAD", "FUNC_DELETE", "CONTROL2_APPLY"},
         {"PROGRAM_LIST"}},
        {kUpdateSkin,
         {"CONTROL_CUPButton", "CONTROL_UPButton", "CONTROL_OPENButton", "CONTROL_BACKUPButton"},
         {"CONTROL_UPStatic", "CONTROL_UPCombox"}},
    };
}

TEST(SkinPlacements, EveryPlacedControlLiesInsideItsDialogPicture)
{
    for (const DialogKeys& dialog : AllDialogKeys()) {
        const IniFile ini = Load(Skin(dialog.ini));
        const QSize size = BackgroundSize(dialog.ini);
        ASSERT_FALSE(size.isEmpty()) << dialog.ini << ": background picture missing";
        for (const auto* keys : {&dialog.imageButtons, &dialog.otherControls}) {
            for (const std::string& key : *keys) {
                ASSERT_TRUE(ini.Find(kPlacementSection, key).has_value()) << dialog.ini << " lacks " << key;
                const QRect r = RectOf(dialog.ini, key);
                EXPECT_TRUE(QRect(QPoint(0, 0), size).contains(r) && !r.isEmpty())
                    << dialog.ini << " " << key << " at " << r.x() << "," << r.y() << " " << r.width() << "x"
                    << r.height();
                // (1, 1) is how a skin hides a button: the program would disable it.
                EXPECT_FALSE(r.x() == 1 && r.y() == 1) << dialog.ini << " " << key;
            }
        }
    }
}

TEST(SkinPlacements, KeyboardPictureButtonsDoNotOverlap)
{
    std::vector<std::string> keys = MainKeyButtons();
    for (const char* key : {"LOCK_CAPS", "LOCK_NUM", "LOCK_SCROLL", "LOCK_AB", "FLIP_0", "FLIP_1", "FLIP_2",
                            "LEFT_ARROW", "RIGHT_ARROW"})
        keys.push_back(key);
    for (std::size_t i = 0; i < keys.size(); ++i)
        for (std::size_t j = i + 1; j < keys.size(); ++j)
            EXPECT_FALSE(RectOf(kMainSkin, keys[i]).intersects(RectOf(kMainSkin, keys[j])))
                << keys[i] << " overlaps " << keys[j];
}

TEST(SkinPlacements, KeysSitOnTheirCapsInKeyboardOrder)
{
    // Each row: neighbouring caps from left to right on one line.
    const std::vector<std::vector<KeyIndex>> rows = {
        {0x03A, 0x01E, 0x01F, 0x020}, // Caps Lock, A, S, D
        {0x01D, 0x15B, 0x038},        // left Control, left Windows, left Alt
        {0x15D, 0x11D, 0x14B},        // App, right Control, then the left arrow of the navigation block
        {0x02A, 0x02C, 0x02D},        // left Shift, Z, X
        {0x00E, 0x152},               // Backspace, Insert
    };
    for (const auto& row : rows) {
        for (std::size_t i = 0; i + 1 < row.size(); ++i) {
            const std::string left = KeyButtonSkinKey(CompactFromKey(row[i]));
            const std::string right = KeyButtonSkinKey(CompactFromKey(row[i + 1]));
            const QRect a = RectOf(kMainSkin, left), b = RectOf(kMainSkin, right);
            EXPECT_EQ(a.y(), b.y()) << left << " and " << right << " are not on one row";
            EXPECT_LT(a.right(), b.left()) << left << " is not left of " << right;
            EXPECT_LT(b.left() - a.right(), 40) << left << " and " << right << " are not neighbours";
        }
    }
    // The examples the dialogs are built around.
    EXPECT_EQ(KeyButtonSkinKey(CompactFromKey(0x01E)), "KEY_01E");
    EXPECT_EQ(KeyButtonSkinKey(CompactFromKey(0x11D)), "KEY_09D");
    EXPECT_EQ(KeyButtonSkinKey(CompactFromKey(0x15B)), "KEY_0DB");
}

// ---------------------------------------------------------------------------
// Pictures

struct PictureSet {
    std::string_view ini;
    StatePictureFiles files;
};

const PictureSet kPictureSets[] = {
    {kMainSkin, kMainPictures},       {kCompositeSkin, kKeyPictures},   {kCompositeSkin, kMacroPictures},
    {kCompositeSkin, kMacro2Pictures}, {kCompositeSkin, kMediaPictures}, {kCompositeSkin, kFunctionPictures},
    {kProfileSkin, kProfilePictures}, {kUpdateSkin, kUpdatePictures},
};

TEST(SkinPictures, StatePicturesAreAsLargeAsTheirDialog)
{
    for (const PictureSet& set : kPictureSets) {
        const QSize size = BackgroundSize(set.ini);
        for (std::string_view file : {set.files.normal, set.files.over, set.files.down, set.files.disable}) {
            const QImage picture = Picture(Skin(file));
            ASSERT_FALSE(picture.isNull()) << file;
            EXPECT_EQ(picture.size(), size) << file;
        }
    }
    for (std::string_view file : {kColourUnmarkedPicture, kColourMarkedPicture})
        EXPECT_EQ(Picture(Skin(file)).size(), BackgroundSize(kMainSkin)) << file;
}

TEST(SkinPictures, MaskCutsRoundedCornersOutOfTheDialog)
{
    for (std::string_view ini : {kMainSkin, kCompositeSkin, kProfileSkin, kUpdateSkin}) {
        const SkinScreen screen = ReadSkinScreen(Skin(ini));
        ASSERT_NE(screen.mask, screen.main) << ini << ": a picture that is its own mask loses its white pixels";
        const QImage mask = Picture(Skin(ini).parent_path() / screen.mask.toStdString());
        ASSERT_EQ(mask.size(), BackgroundSize(ini)) << ini;
        const int w = mask.width(), h = mask.height();
        for (QPoint corner : {QPoint(0, 0), QPoint(w - 1, 0), QPoint(0, h - 1), QPoint(w - 1, h - 1)})
            EXPECT_EQ(mask.pixel(corner) & 0xFFFFFF, 0xFFFFFFu) << ini << " corner " << corner.x() << "," << corner.y();
        for (QPoint inside : {QPoint(w / 2, 0), QPoint(0, h / 2), QPoint(w / 2, h / 2), QPoint(w - 1, h / 2)})
            EXPECT_NE(mask.pixel(inside) & 0xFFFFFF, 0xFFFFFFu) << ini << " at " << inside.x() << "," << inside.y();
    }
}

// Mean absolute difference per channel of two equally large pictures.
double Difference(const QImage& a, const QImage& b)
{
    const QImage x = a.convertToFormat(QImage::Format_RGB32), y = b.convertToFormat(QImage::Format_RGB32);
    double sum = 0;
    for (int row = 0; row < x.height(); ++row) {
        for (int col = 0; col < x.width(); ++col) {
            const QRgb p = x.pixel(col, row), q = y.pixel(col, row);
            sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) + std::abs(qBlue(p) - qBlue(q));
        }
    }
    return sum / (3.0 * x.width() * x.height());
}

// What a button placed at `r` shows from a state picture, as the program loads it.
QImage Face(const StateImage& state, const QRect& r)
{
    return state.copy(r.translated(-1, -1));
}

TEST(SkinPictures, ButtonsBlendIntoTheBackgroundAndChangeLookByState)
{
    struct Case {
        std::string_view ini;
        StatePictureFiles files;
        std::vector<std::string> buttons;
        bool disableDiffers; // key buttons show their assigned look from the disable picture
        bool onBackground = true; // false: on the page picture of the key dialog, which is no background
    };
    std::vector<std::string> keys = MainKeyButtons();
    const std::vector<Case> cases = {
        {kMainSkin, kMainPictures, keys, true},
        // Apply shows its disabled look, the profile and report-rate buttons their selected look.
        {kMainSkin, kMainPictures, {"CONTROL2_APPLY", "FUNC_PROFILE1", "FUNC_REPORT4"}, true},
        {kMainSkin, kMainPictures, {"CONTROL_CLOSE", "CONTROL_MENU", "FUNC_MACRO", "FLIP_1"}, false},
        {kCompositeSkin, kKeyPictures, {"CONTROL_KEY", "CONTROL_OK", "CONTROL_CLEAR"}, false},
        {kCompositeSkin, kMacroPictures, {"FUNC_MACRO_RECORD", "FUNC_MACRO_UP"}, true, false},
        {kCompositeSkin, kMacroPictures, {"FUNC_MACRO_ADD", "FUNC_MACRO_DELETE"}, false, false},
        {kProfileSkin, kProfilePictures, {"FUNC_ADD", "CONTROL2_APPLY"}, true},
        {kUpdateSkin, kUpdatePictures, {"CONTROL_UPButton", "CONTROL_OPENButton"}, true},
    };
    for (const Case& c : cases) {
        const QSize size = BackgroundSize(c.ini);
        QWidget dialog;
        dialog.resize(size);
        const StateImage normal = LoadStateImage(c.files.normal, dialog);
        const StateImage over = LoadStateImage(c.files.over, dialog);
        const StateImage disable = LoadStateImage(c.files.disable, dialog);
        const QImage background = Picture(Skin(c.ini).parent_path() / ReadSkinScreen(Skin(c.ini)).main.toStdString());
        for (const std::string& key : c.buttons) {
            const QRect r = RectOf(c.ini, key);
            if (c.onBackground) {
                // JPEG noise aside, the normal face is the background under the button, and
                // it lines up with it: one pixel off, the edges of the face would show.
                const double aligned = Difference(Face(normal, r), background.copy(r));
                EXPECT_LT(aligned, 6.0) << c.ini << " " << key;
                EXPECT_LT(aligned, Difference(normal.copy(r), background.copy(r))) << c.ini << " " << key;
            }
            EXPECT_GT(Difference(Face(over, r), Face(normal, r)), 3.0) << c.ini << " " << key << ": no hover look";
            if (c.disableDiffers) {
                EXPECT_GT(Difference(Face(disable, r), Face(normal, r)), 1.5) << c.ini << " " << key;
            }
        }
    }
}

TEST(SkinPictures, ColourRingOffersPureColoursWhereTheWindowPicksThem)
{
    // The main window takes the colour of the screen pixel clicked at a distance
    // of 53 to 68 pixels from (119, 224); the picture must show colours there,
    // with no control on top of them.
    const QImage background =
        Picture(Skin(kMainSkin).parent_path() / ReadSkinScreen(Skin(kMainSkin)).main.toStdString());
    ASSERT_FALSE(background.isNull());
    std::vector<QRect> controls;
    for (const DialogKeys& dialog : AllDialogKeys()) {
        if (dialog.ini != kMainSkin) continue;
        for (const auto* keys : {&dialog.imageButtons, &dialog.otherControls})
            for (const std::string& key : *keys) controls.push_back(RectOf(kMainSkin, key));
    }
    std::set<int> hues;
    for (int degrees = 0; degrees < 360; degrees += 15) {
        for (double radius : {54.0, 60.5, 67.0}) {
            const double a = degrees * 3.14159265358979 / 180;
            const QPoint at(119 + int(std::lround(radius * std::cos(a))), 224 - int(std::lround(radius * std::sin(a))));
            const QColor colour(background.pixel(at));
            EXPECT_GT(colour.saturationF(), 0.6) << "at " << at.x() << "," << at.y();
            EXPECT_GT(colour.valueF(), 0.55) << "at " << at.x() << "," << at.y();
            hues.insert(colour.hue() / 30);
            for (const QRect& r : controls) EXPECT_FALSE(r.contains(at)) << "a control covers the ring";
        }
    }
    EXPECT_EQ(hues.size(), 12u) << "the ring does not offer every hue";
}

TEST(SkinPictures, ArrowPicturesHoldEveryArrowOffset)
{
    const QImage arrows = Picture(Skin(kArrowPicture));
    ASSERT_FALSE(arrows.isNull());
    const QSize button = RectOf(kMainSkin, "LEFT_ARROW").size();
    EXPECT_EQ(RectOf(kMainSkin, "RIGHT_ARROW").size(), button);
    std::set<std::pair<int, int>> offsets;
    for (int variant : {0, 1}) {
        for (bool left : {true, false}) {
            const std::string key = ArrowPictureKey(variant, left);
            const SkinRect at = ReadSkinRect(Skin(kMainSkin), kArrowPictureSection, key);
            EXPECT_TRUE(QRect(QPoint(0, 0), arrows.size()).contains(QRect(QPoint(at.x - 1, at.y - 1), button)))
                << key;
            offsets.insert({at.x, at.y});
        }
    }
    EXPECT_EQ(offsets.size(), 4u) << "each arrow of each layout variant needs a picture of its own";
}

TEST(SkinPictures, PanelBitmapsFitTheControlsThatShowThem)
{
    struct Case {
        const char* file;
        const char* control;
    };
    std::vector<Case> cases = {
        {"dengup.bmp", "CONTROL_DengStaPic"},      {"dengdown.bmp", "CONTROL_DengStaPic"},
        {"leftup.bmp", "CONTROL_BLFXLStaPic"},     {"leftdown.bmp", "CONTROL_BLFXLStaPic"},
        {"rightup.bmp", "CONTROL_BLFXRStaPic"},    {"rightdown.bmp", "CONTROL_BLFXRStaPic"},
        {"leftup.bmp", "CONTROL_BLFXLStaPic2"},    {"rightup.bmp", "CONTROL_BLFXRStaPic2"},
        {"user1up.bmp", "CONTROL_USERgjStaPic1"},  {"user1down.bmp", "CONTROL_USERgjStaPic1"},
        {"user2up.bmp", "CONTROL_USERgjStaPic2"},  {"user2down.bmp", "CONTROL_USERgjStaPic2"},
    };
    // The rainbow toggles and the trigger choices share their two pictures.
    for (const char* control : {"CONTROL_FYSJSStaPic", "CONTROL_HXsjsStaPic", "CONTROL_TSsjsStaPic",
                                "CONTROL_CDsjsStaPic", "CONTROL_RUNysButton", "CONTROL_FYdjcfStaPic",
                                "CONTROL_FYggcfStaPic"}) {
        cases.push_back({"sjsup.bmp", control});
        cases.push_back({"sjsdown.bmp", control});
    }
    std::vector<std::string> names;
    for (int i = 1; i <= 10; ++i) names.push_back("jdt" + std::to_string(i) + ".bmp");
    for (int i = 0; i <= 25; ++i) names.push_back(std::to_string(i) + ".bmp");
    for (const std::string& name : names) {
        const char* control = "CONTROL_JDTStatic";
        if (name.find("jdt") == std::string::npos) {
            const int n = std::stoi(name);
            control = n >= 5 && n <= 9 ? "CONTROL_SpeedSlider" : "CONTROL_LightSlider";
        }
        cases.push_back({name.c_str(), control}); // `names` is complete: the pointer stays valid
    }
    for (const Case& c : cases) {
        const QImage bitmap = Picture(Skin("Skins") / c.file);
        ASSERT_FALSE(bitmap.isNull()) << c.file;
        EXPECT_EQ(bitmap.size(), RectOf(kMainSkin, c.control).size()) << c.file << " shown by " << c.control;
    }
    EXPECT_EQ(RectOf(kMainSkin, "CONTROL_SpeedSlider2").size(), RectOf(kMainSkin, "CONTROL_SpeedSlider").size());
}

// ---------------------------------------------------------------------------
// Texts of the skin and the language file

TEST(SkinTexts, EveryEffectAndPanelCaptionHasATextInBothLanguages)
{
    const fs::path main = Skin(kMainSkin);
    for (int language : {kChineseLanguageIndex, kEnglishLanguageIndex}) {
        std::set<QString> names;
        for (int effect = 1; effect <= 15; ++effect) {
            const QString name = ReadEffectName(main, language, effect);
            EXPECT_NE(name, "1") << "effect " << effect << " has no name in language " << language;
            EXPECT_FALSE(name.trimmed().isEmpty());
            names.insert(name);
        }
        EXPECT_EQ(names.size(), 15u) << "two effects share a name in language " << language;
        for (const char* key : {"Usb", "Deng", "Light", "FX", "Speed", "Color", "JColor", "QCFY", "CF", "DJCF", "GGCF",
                                "QCHX", "Tool", "QCTS", "QCCD", "QCRUN", "RUNColor"}) {
            const auto caption = ReadPanelCaption(main, language, key);
            ASSERT_TRUE(caption.has_value());
            EXPECT_FALSE(caption->trimmed().isEmpty()) << key << " in language " << language;
        }
    }
    EXPECT_FALSE(ReadSkinScreen(main).link.isEmpty());
}

bool HasIdeograph(std::u16string_view text)
{
    for (char16_t c : text)
        if (c >= 0x4E00 && c <= 0x9FFF) return true;
    return false;
}

// The printf directives of a text, in order.
std::vector<std::string> Directives(std::u16string_view text)
{
    std::string narrow;
    for (char16_t c : text) narrow += c < 0x80 ? char(c) : '?';
    std::vector<std::string> found;
    const std::regex directive("%[-+ #0]*[0-9]*(\\.[0-9]+)?[diouxXcs%]");
    for (auto it = std::sregex_iterator(narrow.begin(), narrow.end(), directive); it != std::sregex_iterator(); ++it)
        found.push_back(it->str());
    return found;
}

// The language keys the windows read themselves (the table reads the rest).
const char* const kWindowKeys[] = {
    "PROFILE_1", "PROFILE_2", "PROFILE_3", "PROFILE_MACRO", "PROFILE_DEFAULT", "PROFILE_OK", "PROFILE_CANCLE",
    "PROFILE_APPLY", "MAIN_MINIMIZE_PROMPT", "MAIN_MENU_PROMPT", "MAIN_CLOSE_PROMPT", "MENU_1", "MENU_2", "MENU_3",
    "MENU_4", "CHINESE_5", "ENGINSH_6", "MENU_11", "MENU_22", "MENU_33", "GUANYU_JIESHAO", "GUANYU_BANQUAN",
    "COMPOSITE_PROMPT_CLEAR", "COMPOSITE_PROMPT_OSK", "MACRO_CYCLES", "RECORD_DELAY", "SINGLE_KEY", "MACRO_SETTING",
    "MULTI_MEDIA", "FUNCTION_KEY", "A_TOP", "A_UP", "A_DOWN", "A_BOTTOM", "A_RECORD", "A_DELETE", "A_CLEAR",
    "MACRO_OK", "MACRO_CANCLE", "SINGLE_STATIC", "MACRO_NAME_SETTING", "KEY_SETTING_TISHI", "MACRO_EDIT_TISHI",
    "MEDIA_EDIT_TISHI", "FUNCTION_TISHI", "COMPOSITE_MACRO_OVER", "MAIN_UPDATE_FILE_LABEL"};
// The names the main window gives its lights and layout buttons for screen readers.
const char* const kAccessibleNameKeys[] = {"MAIN_LIGHT_CAPS_NAME", "MAIN_LIGHT_NUM_NAME", "MAIN_LIGHT_SCROLL_NAME",
                                           "MAIN_LIGHT_BANK_NAME", "MAIN_FLIP_NAME"};

TEST(LanguageFile, BothSectionsHoldARealTextForEveryKey)
{
    const IniFile file = Load(LanguageFilePath());
    std::vector<std::string> keys;
    for (const LanguageEntry& entry : LanguageTableEntries()) keys.emplace_back(entry.key);
    for (const auto& list :
         {std::span<const char* const>(kWindowKeys), std::span<const char* const>(kAccessibleNameKeys)})
        for (const char* key : list) {
            ASSERT_TRUE(BuiltInLanguageText(key).has_value()) << key << " is no language key of the program";
            keys.emplace_back(key);
        }
    // Texts that stay the same in both sections: a registry value name, version and language names.
    const std::set<std::string> notTranslated = {"MACRO_ACTION_RECORD_DELAY", "CHINESE_5", "ENGINSH_6"};
    for (const std::string& key : keys) {
        const std::u16string builtIn(BuiltInLanguageText(key).value_or(u""));
        std::u16string texts[2];
        for (int language : {kChineseLanguageIndex, kEnglishLanguageIndex}) {
            const auto text = file.Find(LanguageSection(language), key);
            ASSERT_TRUE(text.has_value()) << key << " missing from " << LanguageSection(language);
            std::string lower;
            for (char16_t c : *text) lower += c < 0x80 ? char(std::tolower(c)) : '?';
            EXPECT_EQ(lower.find_first_not_of(" \t"), 0u) << key << " is blank in " << LanguageSection(language);
            EXPECT_TRUE(lower != "hello" && lower != "hello world") << key << " is a placeholder";
            EXPECT_LT(text->size(), 108u) << key << " does not fit its slot";
            if (!builtIn.empty()) {
                EXPECT_EQ(Directives(*text), Directives(builtIn))
                    << key << " in " << LanguageSection(language) << " takes other arguments than the program gives";
            }
            texts[language] = *text;
        }
        if (notTranslated.count(key) == 0) {
            EXPECT_TRUE(HasIdeograph(texts[0])) << key << " is not Chinese in the Chinese section";
            EXPECT_FALSE(HasIdeograph(texts[1])) << key << " is not English in the English section";
        }
    }
    // The record-delay option is stored under this text: a translation would lose the stored choice.
    for (int language : {kChineseLanguageIndex, kEnglishLanguageIndex})
        EXPECT_EQ(file.Find(LanguageSection(language), "MACRO_ACTION_RECORD_DELAY"), u"RecordDelay");
}

TEST(LanguageFile, TheProgramLoadsEveryTableTextFromIt)
{
    // Through the program's own reader, in the language the file chooses.
    LanguageTable table;
    table.Load(LanguageFilePath());
    for (const LanguageEntry& entry : LanguageTableEntries()) {
        const std::u16string text = table.Text(entry.key);
        EXPECT_NE(text.find_first_not_of(u' '), std::u16string::npos) << entry.key;
    }
    // A new profile's file name is appended to the profile folder.
    EXPECT_EQ(table.Text("PROFILE_NEW").substr(0, 1), u"\\");
}

TEST(HelpPage, IsThereAndNeedsNothingFromOutside)
{
    std::ifstream in(HelpFolder() / "index.html");
    ASSERT_TRUE(in.good());
    std::stringstream text;
    text << in.rdbuf();
    const std::string page = text.str();
    EXPECT_NE(page.find("</html>"), std::string::npos);
    EXPECT_EQ(page.find("src="), std::string::npos) << "the page loads a resource";
    EXPECT_EQ(page.find("<link"), std::string::npos) << "the page loads a style sheet";
    EXPECT_EQ(page.find("@import"), std::string::npos) << "the page imports a style sheet";
}

} // namespace
