// The main window's lighting panel: made once the window has its pictures
// and the keyboard its lighting, and plugged into the window's hooks.

#include "app/MainWindow.h"

#include "app/AboutDialog.h"
#include "config/LanguageTable.h"
#include "config/Settings.h"
#include "ui/LightingPanel.h"

namespace kestrune {

namespace {

using namespace mainwnd;

// The panel's key buttons by number, as the window's buttons.
int ButtonId(int button)
{
    if (button < static_cast<int>(kOrdinaryKeyCount)) return kKeyButtonIds[static_cast<std::size_t>(button)];
    if (button == kLightingFnButton) return kIdFn;
    return kGKeyIds[static_cast<std::size_t>(button - static_cast<int>(kOrdinaryKeyCount))];
}

int ButtonNumber(int id)
{
    for (int button = 0; button < kLightingKeyButtons; ++button)
        if (ButtonId(button) == id) return button;
    return -1;
}

} // namespace

static_assert(kLightingKeyButtons == static_cast<int>(kOrdinaryKeyCount) + kGKeyCount + 1);

class MainWindow::PanelKeyButtons : public LightingKeyButtons {
public:
    explicit PanelKeyButtons(MainWindow& window) : m_window(window) {}

    void FillKeyButton(int button, std::optional<QColor> colour) override
    {
        if (ImageButton* key = m_window.Button(ButtonId(button))) key->SetFillColour(colour);
    }
    void ShowAssignmentLooks() override { m_window.RefreshKeyButtons(); }
    bool SettleKeyEdits() override
    {
        const int profile = m_window.ActiveProfile();
        return profile < 0 || m_window.SwitchProfile(profile) != 0;
    }

private:
    MainWindow& m_window;
};

void MainWindow::CreateLightingPanel()
{
    if (m_panel != nullptr || !m_controlsMade || m_link.lighting == nullptr) return;
    m_panelKeys = std::make_unique<PanelKeyButtons>(*this);
    LightingPanelSetup setup;
    setup.skinIni = SkinIniPath();
    setup.skinFolder = SkinFolder();
    setup.normal = m_normal;
    setup.over = m_over;
    setup.down = m_down;
    setup.disable = m_disable;
    setup.languageIndex = SwitchedLanguageIndex().value_or(ReadLanguageIndex());
    m_panel = new LightingPanel(*this, *m_link.lighting, m_panelKeys.get(), setup);
    // The keys a click paints can be painted by dragging across them too.
    for (int button = 0; button < static_cast<int>(kOrdinaryKeyCount); ++button)
        m_panel->WatchKeyButton(Button(ButtonId(button)), button);
    m_panel->WatchKeyButton(Button(kIdFn), kLightingFnButton);

    m_lighting.refresh = [this] { m_panel->RefreshLightingPanel(); };
    m_lighting.perKeyLightSwitchOn = [this] { return m_panel->KeyLightsOn(); };
    m_lighting.switchOffKeyLights = [this] { m_panel->SwitchOffKeyLights(); };
    m_lighting.paintKeyColour = [this](int id) { m_panel->PaintKeyColour(ButtonNumber(id)); };
    m_lighting.restoreDefaults = [this] { m_panel->RestoreLightingDefaults(); };
    m_lighting.recaption = [this](int languageIndex) { m_panel->Recaption(languageIndex); };
    // The panel watches the window's presses itself: the colour ring takes
    // its colour and the window is still dragged.
    m_lighting.backgroundPress = nullptr;
}

} // namespace kestrune
