#pragma once

// The lighting panel of the main window: the per-key light switch, the
// effect list, brightness and speed sliders, direction, the colours,
// rainbow toggles and trigger choices of the effects that have them, the
// per-key colour tools, the RGB boxes, preset colours and colour ring, and
// the report-rate buttons.
//
// Its controls are children of the window and sit where the window's skin
// places them, in the window's own coordinates. Every change goes to the
// keyboard at once, from the panel's LightingWriter thread: the window never
// waits on the keyboard. A change the keyboard refuses or leaves unanswered
// makes the panel read the keyboard's lighting again, show what the keyboard
// holds, and say so in a short notice.
//
// Threading: everything here runs on the GUI thread; the writer's reports
// come back as queued calls.

#include "config/Settings.h"
#include "lighting/LightingRecords.h"
#include "lighting/LightingState.h"
#include "ui/Skin.h"

#include <QColor>
#include <QObject>
#include <QPoint>

#include <array>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QTimer;
class QWidget;

namespace kestrune {

class PictureSlider;
class ClickablePicture;
class SkinColourButton;
class ColourLabel;
class Lighting;
class LightingWriter;
struct LightingJobDone;
struct LightingJobKind;

// Key buttons by number: the 104 ordinary keys in key-button order, then G1
// to G9, then Fn.
inline constexpr int kLightingGKeyButtons = 9;
inline constexpr int kLightingKeyButtons = static_cast<int>(kOrdinaryKeyButtons) + kLightingGKeyButtons + 1;
inline constexpr int kLightingFnButton = kLightingKeyButtons - 1;
// The light under a key button, -1 for a number out of range.
int LightOfKeyButton(int button);

// The main window's side: the key buttons the panel colours.
class LightingKeyButtons {
public:
    virtual ~LightingKeyButtons() = default;
    // Fills the button with the colour; nothing gives it its plain look.
    virtual void FillKeyButton(int button, std::optional<QColor> colour) = 0;
    // The switch went off: the buttons show their assignments again.
    virtual void ShowAssignmentLooks() = 0;
    // The switch is about to go on: settle unapplied key edits first. False
    // keeps the switch off.
    virtual bool SettleKeyEdits() = 0;
};

// Control ids of the panel.
namespace lightid {
inline constexpr int kReport1 = 1147, kReport2 = 1168, kReport3 = 1169, kReport4 = 1170;
inline constexpr int kEffectList = 1146;
inline constexpr int kLightSwitch = 1167;
inline constexpr int kBrightnessSlider = 1178;
inline constexpr int kSpeedSlider = 1179;
inline constexpr int kDirectionLeft = 1149, kDirectionRight = 1150;
inline constexpr int kSingleKeyTrigger = 1183, kGridTrigger = 1180;
inline constexpr int kBrushColour = 1160, kBaseColour = 1162;
inline constexpr int kBrushTool = 1164, kBaseTool = 1165;
inline constexpr int kFirstPreset = 1205; // 1205 to 1210
inline constexpr int kPresetCount = 6;
} // namespace lightid

// The colour ring the window draws: picks inside a band around its centre,
// in window coordinates.
inline constexpr QPoint kColourRingCentre{119, 224};
inline constexpr int kColourRingInnerSquared = 2809; // 53 pixels
inline constexpr int kColourRingOuterSquared = 4624; // 68 pixels
bool InColourRing(QPoint windowPoint);

// The fixed colours of the six preset buttons.
inline constexpr std::array<Colour, lightid::kPresetCount> kPresetColours = {
    MakeColour(254, 17, 0),  MakeColour(255, 100, 0), MakeColour(255, 186, 0),
    MakeColour(255, 247, 0), MakeColour(144, 255, 0), MakeColour(11, 255, 1)};

// The language keys of the notices: the keyboard did not take a change; the
// settings file did not keep the light switch or the report rate (with the
// reason as its argument).
inline constexpr std::string_view kLightingNotTakenKey = "MAIN_LIGHTING_NOT_TAKEN";
inline constexpr std::string_view kSettingNotKeptKey = "MAIN_SETTING_NOT_KEPT";
inline constexpr int kNoticeMs = 5000;
// A notice's words in the language the file chooses, else the built-in ones.
QString LightingNoticeText(std::string_view key = kLightingNotTakenKey, const std::vector<std::string>& args = {});
// The colour buttons' entry that opens the colour dialog.
inline constexpr std::string_view kOtherColourKey = "MAIN_COLOR_OTHER";

struct LightingPanelSetup {
    std::filesystem::path skinIni;    // the main window's skin file
    std::filesystem::path skinFolder; // where the panel's pictures lie
    // The main window's state pictures (normal, over, down, disable): the
    // report-rate and preset buttons copy their faces from them.
    StateImage normal, over, down, disable;
    SettingsFile settings;
    int languageIndex = 0;
};

class LightingPanel : public QObject {
    Q_OBJECT
public:
    // Creates and places the controls on `window`, captions them and shows
    // the lighting state as `lighting` holds it. `keys` may be null.
    LightingPanel(QWidget& window, Lighting& lighting, LightingKeyButtons* keys, LightingPanelSetup setup);
    ~LightingPanel() override;

    // The main window's state pictures again: the window decodes them only
    // while it is shown, and hands over null pictures when it drops them.
    void SetStatePictures(const StateImage& normal, const StateImage& over, const StateImage& down,
                          const StateImage& disable);

    // Shows the lighting state as last read. While changes still wait to be
    // sent, it waits for them, so what it shows includes them.
    void RefreshLightingPanel();
    // Reads the keyboard's lighting on the writer's thread and then shows it.
    void ReadAndRefresh(bool withKeyColours);
    // Captions and effect names in this language (the list is refilled).
    void Recaption(int languageIndex);
    // A click on a key button while the switch is on.
    void PaintKeyColour(int button);
    // Whether a click on a key button paints it now.
    bool PaintsKeys() const;
    // The panel watches this key button (a number as for PaintKeyColour):
    // while keys are painted, a press paints it and dragging the pressed
    // mouse over other watched buttons paints each one it enters.
    void WatchKeyButton(QWidget* button, int number);
    void RestoreLightingDefaults();
    void SwitchOffKeyLights();
    bool KeyLightsOn() const { return m_view.perKeyLights; }
    int SelectedEffect() const;
    // A left click on the window at this point (window coordinates).
    void OnWindowClick(QPoint windowPoint);
    // The sliders' SliderMoved: control id and position.
    void OnSliderMoved(int controlId, int position);

    // For the tests and benchmarks: the writer, idle when nothing waits.
    LightingWriter& Writer() { return *m_writer; }
    QLabel* Notice() const { return m_notice; }
    Colour BrushColour() const { return m_brush; }
    int Tool() const { return m_tool; }
    bool BaseColoured(int button) const;
    const LightingState& Shown() const { return m_view; }

Q_SIGNALS:
    // The panel has shown the lighting state (after a read or a refresh).
    void refreshed();
    // The keyboard did not take a change; the panel re-reads it.
    void changeRefused();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    void PlaceControls();
    QImage Picture(const QString& name) const;
    void ShowView();
    void FillEffectList();
    void PlaceForEffect(int effect);
    void ShowControlsFor(int effect);
    void FillKeysForEffect(int effect);
    void FillAllKeys(std::optional<QColor> colour);
    void FillPerKeyColours();
    void ShowPictures();
    void ShowColourButtons();
    // The boxes show the colour, or nothing for an effect without one.
    void SetBoxes(std::optional<Colour> colour);
    // The colour the RGB boxes edit for the effect: its own colour, for
    // effect 5 the brush or the base colour as the tool says.
    std::optional<Colour> EditedColour(int effect) const;
    void OnEffectActivated(int row);
    void OnDirection(int direction);
    void OnEffectColour(int effect, Colour colour);
    void OnRainbow(int effect);
    void OnTrigger(std::uint8_t trigger);
    void OnBrushColour(Colour colour);
    void OnBaseColour(Colour colour);
    void OnTool(int tool);
    void OnBoxEdited(int box);
    void ApplyTypedColour(Colour colour);
    void OnLightSwitch();
    void OnReportRate(int rate);
    void ShowReportRate(int rate);
    void OnJobDone(const LightingJobDone& done);
    void ShowNotice(std::string_view key, const std::vector<std::string>& args = {});
    // Every write goes through here, paints excepted: a paint made after
    // this change must not be sent before it.
    void Send(LightingJobKind kind, std::function<int(Lighting&)> job);
    // The settings file did not keep the switch or the rate: show what it holds.
    void ShowKeptSetting(const std::string& reason);
    bool OnKeyButtonMouse(QWidget* button, int number, QEvent* event);

    QWidget& m_window;
    Lighting& m_lighting;
    LightingKeyButtons* m_keys;
    LightingPanelSetup m_setup;
    std::unique_ptr<LightingWriter> m_writer;

    LightingState m_view; // what the panel shows, ahead of the keyboard while writes wait
    EffectIndex m_effectIndex;
    Colour m_brush = 0;
    int m_tool = 0;
    std::array<bool, kLightingKeyButtons> m_baseColoured{};
    // Keys painted and not yet sent, gathered into one update; a new batch
    // starts after any other write.
    struct PaintBatch;
    std::shared_ptr<PaintBatch> m_paintBatch;
    int m_paintBatches = 0;
    std::map<const QObject*, int> m_watchedKeys;
    int m_dragKey = -1; // the key last painted by the drag under way, -1 when none
    bool m_reportShown = false;
    bool m_refreshPending = false;
    int m_language = 0;

    std::map<std::string_view, QWidget*> m_controls; // by skin key
    std::map<std::string_view, ColourLabel*> m_labels;
    mutable std::map<QString, QImage> m_pictures; // decoded as first shown
    bool m_picturesPending = false;
    QComboBox* m_effectList = nullptr;
    ClickablePicture* m_switch = nullptr;
    PictureSlider* m_brightness = nullptr;
    PictureSlider* m_speed = nullptr;
    std::array<QLineEdit*, 3> m_boxes{};
    QLabel* m_notice = nullptr;
    QTimer* m_noticeTimer = nullptr;
    int m_noticeHeight = 0; // as the skin places it
};

} // namespace kestrune
