// The lighting panel as a user drives it, on the emulator's device library:
// what each control sends, which controls each effect shows, the per-key
// colours, bursts of slider positions under the keyboard's latency, a change
// the keyboard refuses, and the language switch.

#include "PanelRig.h"
#include "UiTestSupport.h"

#include "config/LanguageTable.h"
#include "lighting/LightingWriter.h"
#include "ui/ClickablePicture.h"
#include "ui/ColourLabel.h"
#include "ui/ColourRef.h"
#include "ui/PictureSlider.h"
#include "ui/SkinColourButton.h"
#include "ui/WindowMessage.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include <algorithm>
#include <functional>
#include <future>

namespace kestrune::test {
namespace {

// Effects 1 to 12, 14 and 15: every kind of control the panel has.
emulator::KeyboardState EveryKindOfEffect()
{
    emulator::KeyboardState state = emulator::FactoryKeyboardState();
    const int effects[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 14, 15};
    for (std::size_t slot = 0; slot < wire::kEffectListSlots; ++slot)
        state.settings[wire::kSettingsEffectList + slot] = static_cast<std::uint8_t>(effects[slot]);
    state.lighting[lightaddr::kEffect] = 2;
    state.lighting[lightaddr::kBrightness] = 1;
    return state;
}

class LightingPanelTest : public QtTest {
public:
    void Open(const emulator::KeyboardState& state = EveryKindOfEffect(), bool lightSwitch = true)
    {
        rig = std::make_unique<PanelRig>(state, lightSwitch);
    }
    void TearDown() override { rig.reset(); }

    std::vector<std::uint8_t> Block(std::size_t address, std::size_t size)
    {
        const auto lighting = rig->Dump().lighting;
        return {lighting.begin() + static_cast<std::ptrdiff_t>(address),
                lighting.begin() + static_cast<std::ptrdiff_t>(address + size)};
    }
    void ClickSlider(const char* name, int position)
    {
        auto* slider = rig->Find<PictureSlider>(name);
        ASSERT_NE(slider, nullptr);
        QTest::mouseClick(slider, Qt::LeftButton, {}, QPoint(slider->PixelOf(position) + 2, slider->height() / 2));
    }
    // The slider dragged to a position: one position reaches the panel.
    void DragSlider(const char* name, int id, int position)
    {
        rig->Find<PictureSlider>(name)->SetPos(position);
        rig->panel->OnSliderMoved(id, position);
    }
    void Type(const char* box, const QString& text)
    {
        auto* edit = rig->Find<QLineEdit>(box);
        edit->selectAll();
        QTest::keyClicks(edit, text);
    }
    bool Visible(const char* name) { return rig->Find<QWidget>(name)->isVisible(); }

    std::unique_ptr<PanelRig> rig;
};

// Counts the times a widget is shown.
class ShowCount : public QObject {
public:
    explicit ShowCount(QWidget* widget) : m_widget(widget) { widget->installEventFilter(this); }
    ~ShowCount() override { m_widget->removeEventFilter(this); }
    int shown = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == m_widget && event->type() == QEvent::Show) ++shown;
        return false;
    }

private:
    QWidget* m_widget;
};

TEST_F(LightingPanelTest, EachControlSendsWhatTheUserChose)
{
    struct Case {
        const char* name;
        int effect;
        std::function<void(LightingPanelTest&)> act;
        std::uint16_t address;
        std::vector<std::uint8_t> bytes;
    };
    const Case cases[] = {
        {"effect list", 9, [](LightingPanelTest&) {}, 0, {9}},
        {"brightness slider", 1, [](LightingPanelTest& t) { t.ClickSlider("CONTROL_LightSlider", 2); }, 1, {2}},
        {"speed slider at 1 sends 3", 3, [](LightingPanelTest& t) { t.ClickSlider("CONTROL_SpeedSlider", 1); }, 2, {3}},
        {"direction right", 2, [](LightingPanelTest& t) { t.rig->Click("CONTROL_BLFXRStaPic"); }, 4, {1}},
        {"effect 11 colour clears its rainbow flag",
         11,
         [](LightingPanelTest& t) {
             t.rig->Click("CONTROL_HXsjsStaPic");
             Q_EMIT t.rig->Find<SkinColourButton>("CONTROL_HXysButton")->colourChosen(QColor(10, 20, 30));
         },
         20,
         {10, 20, 30, 0}},
        {"effect 12 rainbow toggle", 12, [](LightingPanelTest& t) { t.rig->Click("CONTROL_TSsjsStaPic"); }, 28, {1}},
        {"effect 15 colour",
         15,
         [](LightingPanelTest& t) {
             Q_EMIT t.rig->Find<SkinColourButton>("CONTROL_RUNysStaticBtn")->colourChosen(QColor(1, 2, 3));
         },
         35,
         {1, 2, 3, 0}},
        {"grid trigger", 4, [](LightingPanelTest& t) { t.rig->Click("CONTROL_FYggcfStaPic"); }, 19, {1}},
        {"typed 300 becomes 255",
         9,
         [](LightingPanelTest& t) {
             t.Type("m_edit_rgbg", "7");
             t.Type("m_edit_rgbb", "8");
             t.Type("m_edit_rgbr", "300");
         },
         5,
         {255, 7, 8}},
        {"preset colour", 4, [](LightingPanelTest& t) { t.rig->Click("m_button_rgb1"); }, 15, {254, 17, 0, 0}},
        {"colour ring",
         14,
         [](LightingPanelTest& t) {
             QTest::mouseClick(t.rig->window.get(), Qt::LeftButton, {}, {179, 224});
         },
         30,
         {179, 224, 77}},
    };
    Open();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rig->ChooseEffect(c.effect);
        c.act(*this);
        ASSERT_TRUE(rig->Settle());
        EXPECT_EQ(rig->Dump().lighting[0], c.effect);
        EXPECT_EQ(Block(c.address, c.bytes.size()), c.bytes);
    }
    EXPECT_EQ(rig->Find<QLineEdit>("m_edit_rgbr")->text(), "179");
    EXPECT_FALSE(rig->panel->Notice()->isVisible());
}

TEST_F(LightingPanelTest, ColourRingPicksOnlyInsideItsBand)
{
    for (auto [point, inside] : std::vector<std::pair<QPoint, bool>>{
             {{119 + 53, 224}, true},       // squared distance 2809
             {{119 + 52, 224 + 10}, false}, // 2804
             {{119, 224 - 68}, true},       // 4624
             {{119 + 68, 224 + 1}, false},  // 4625
         })
        EXPECT_EQ(InColourRing(point), inside) << point.x() << "," << point.y();

    Open();
    rig->ChooseEffect(9);
    ASSERT_TRUE(rig->Settle());
    const auto before = Block(lightaddr::kColourA, 3);
    QTest::mouseClick(rig->window.get(), Qt::LeftButton, {}, {119 + 52, 224 + 10});
    ASSERT_TRUE(rig->Settle());
    EXPECT_EQ(Block(lightaddr::kColourA, 3), before);
    QTest::mouseClick(rig->window.get(), Qt::LeftButton, {}, {119, 224 - 68});
    ASSERT_TRUE(rig->Settle());
    EXPECT_EQ(Block(lightaddr::kColourA, 3), (std::vector<std::uint8_t>{119, 156, 77}));
}

TEST_F(LightingPanelTest, TheReportRateStaysWithTheProgram)
{
    Open();
    const std::size_t mark = rig->Mark();
    rig->Click("FUNC_REPORT3");
    ASSERT_TRUE(rig->Settle());
    EXPECT_TRUE(rig->SentSince(mark).empty());
    EXPECT_EQ(rig->settings.ReportRate(), 3);
    EXPECT_TRUE(rig->Find<ImageButton>("FUNC_REPORT3")->IsSelected());
    EXPECT_FALSE(rig->Find<ImageButton>("FUNC_REPORT1")->IsSelected());
}

TEST_F(LightingPanelTest, TheEffectListOffersWhatTheKeyboardOffers)
{
    emulator::KeyboardState state = EveryKindOfEffect();
    state.settings.fill(0);
    state.settings[wire::kSettingsMacroCapacity] =
        emulator::FactoryKeyboardState().settings[wire::kSettingsMacroCapacity];
    state.macroArea.assign(emulator::MacroCapacityBytes(state.settings), 0xFF);
    const std::uint8_t offered[] = {5, 0, 9, 0, 20};
    std::copy(std::begin(offered), std::end(offered), state.settings.begin() + wire::kSettingsEffectList);
    Open(state);
    auto* list = rig->Find<QComboBox>("CONTROL_XGcombox");
    ASSERT_EQ(list->count(), 3);
    EXPECT_EQ(list->itemText(0), ReadEffectName(std::filesystem::path(SKIN_FOLDER) / "Main.ini", 1, 5));

    std::size_t mark = rig->Mark();
    list->setCurrentIndex(1);
    Q_EMIT list->activated(1);
    ASSERT_TRUE(rig->Settle());
    EXPECT_EQ(rig->ByteWritesSince(mark), (std::vector<std::pair<std::uint16_t, std::uint8_t>>{{0, 9}}));

    // An effect this program does not know is not sent, and the list stays.
    mark = rig->Mark();
    list->setCurrentIndex(2);
    Q_EMIT list->activated(2);
    ASSERT_TRUE(rig->Settle());
    EXPECT_TRUE(rig->ByteWritesSince(mark).empty());
    EXPECT_TRUE(list->isVisible());
    EXPECT_FALSE(Visible("CONTROL_LightSlider"));
}

TEST_F(LightingPanelTest, ControlsFollowTheEffectAndTheSwitch)
{
    Open();
    const auto skin = std::filesystem::path(SKIN_FOLDER) / "Main.ini";
    auto placed = [&](const char* name, std::string_view key) {
        const SkinRect r = ReadSkinRect(skin, kPlacementSection, key);
        return rig->Find<QWidget>(name)->pos() == QPoint(r.x, r.y);
    };

    rig->ChooseEffect(4);
    EXPECT_FALSE(Visible("CONTROL_LightSlider"));
    EXPECT_TRUE(Visible("CONTROL_SpeedSlider"));
    EXPECT_TRUE(placed("CONTROL_SpeedSlider", "CONTROL_SpeedSlider2"));
    EXPECT_TRUE(Visible("CONTROL_FYggcfStaPic"));
    EXPECT_FALSE(Visible("CONTROL_BLFXLStaPic"));
    const QColor c = ColourFromRef(rig->panel->Shown().ColourOf(EffectColour::C));
    for (const auto& fill : rig->keys.fills) EXPECT_EQ(fill, c);

    rig->ChooseEffect(1);
    EXPECT_TRUE(Visible("CONTROL_LightSlider"));
    EXPECT_FALSE(Visible("CONTROL_SpeedSlider"));
    EXPECT_TRUE(Visible("CONTROL_BLFXLStaPic"));
    EXPECT_TRUE(placed("CONTROL_BLFXLStaPic", "CONTROL_BLFXLStaPic2"));
    EXPECT_FALSE(Visible("CONTROL_FYggcfStaPic"));
    for (const auto& fill : rig->keys.fills) EXPECT_FALSE(fill.has_value());

    rig->ChooseEffect(5);
    EXPECT_TRUE(Visible("CONTROL_USERgjStaPic2"));
    EXPECT_FALSE(Visible("CONTROL_SpeedSlider"));

    // Off: nothing of the effects shows and the keys show their assignments.
    rig->Click("CONTROL_DengStaPic");
    EXPECT_FALSE(rig->settings.LightSwitch());
    EXPECT_FALSE(Visible("CONTROL_XGcombox"));
    EXPECT_FALSE(Visible("CONTROL_USERgjStaPic2"));
    EXPECT_FALSE(rig->Find<QLineEdit>("m_edit_rgbr")->isEnabled());
    EXPECT_EQ(rig->keys.assignmentLooks, 1);

    // On again only once unapplied key edits are settled.
    rig->keys.settle = false;
    rig->Click("CONTROL_DengStaPic");
    EXPECT_FALSE(rig->panel->KeyLightsOn());
    rig->keys.settle = true;
    rig->Click("CONTROL_DengStaPic");
    EXPECT_TRUE(rig->settings.LightSwitch());
    EXPECT_TRUE(Visible("CONTROL_XGcombox"));
    EXPECT_TRUE(Visible("CONTROL_USERgjStaPic2"));
    EXPECT_EQ(rig->keys.settleCalls, 2);
}

TEST_F(LightingPanelTest, PaintedKeysFollowTheBaseColourOnlyWhenPaintedWithIt)
{
    Open();
    rig->ChooseEffect(5);
    auto* base = rig->Find<SkinColourButton>("CONTROL_USERjsButton");
    auto* brush = rig->Find<SkinColourButton>("CONTROL_USERysButton");
    Q_EMIT base->colourChosen(QColor(0, 0, 200));
    const int followKey = 0, ownKey = 1;
    Q_EMIT brush->colourChosen(QColor(0, 0, 200)); // the brush is the base colour
    rig->panel->PaintKeyColour(followKey);
    Q_EMIT brush->colourChosen(QColor(9, 9, 9));
    rig->panel->PaintKeyColour(ownKey);
    EXPECT_TRUE(rig->panel->BaseColoured(followKey));
    EXPECT_FALSE(rig->panel->BaseColoured(ownKey));

    Q_EMIT base->colourChosen(QColor(50, 60, 70));
    ASSERT_TRUE(rig->Settle());
    auto keyboardColour = [&](int button) {
        const auto colours = rig->Dump().keyColours;
        const auto at = static_cast<std::size_t>(3 * LightOfKeyButton(button));
        return QColor(colours[at], colours[at + 1], colours[at + 2]);
    };
    EXPECT_EQ(keyboardColour(followKey), QColor(50, 60, 70));
    EXPECT_EQ(keyboardColour(ownKey), QColor(9, 9, 9));
    EXPECT_EQ(rig->keys.fills[followKey], QColor(50, 60, 70));
    EXPECT_EQ(rig->keys.fills[ownKey], QColor(9, 9, 9));
    EXPECT_EQ(Block(lightaddr::kColourB, 3), (std::vector<std::uint8_t>{50, 60, 70}));

    // The base-colour tool paints with the base colour.
    rig->Click("CONTROL_USERgjStaPic2");
    rig->panel->PaintKeyColour(ownKey);
    EXPECT_TRUE(rig->panel->BaseColoured(ownKey));
    ASSERT_TRUE(rig->Settle());
    EXPECT_EQ(keyboardColour(ownKey), QColor(50, 60, 70));
}

// The keyboard takes a report a millisecond each way: a slider dragged
// across its range, and keys painted over and over, must not queue up
// writes that later ones already replace.
TEST_F(LightingPanelTest, BurstsReachTheKeyboardAsTheirLastValueInOrder)
{
    Open();
    rig->ChooseEffect(2);
    ASSERT_TRUE(rig->Settle());
    rig->Control({"fault", "latency", "1000"});
    const std::size_t mark = rig->Mark();
    for (int i = 0; i < 60; ++i) rig->panel->OnSliderMoved(lightid::kBrightnessSlider, i % 5);
    rig->panel->OnSliderMoved(lightid::kBrightnessSlider, 3);
    for (int i = 0; i < 60; ++i) rig->panel->OnSliderMoved(lightid::kSpeedSlider, i % 5);
    rig->panel->OnSliderMoved(lightid::kSpeedSlider, 1);
    rig->ChooseEffect(5);
    for (int i = 0; i < 40; ++i) {
        Q_EMIT rig->Find<SkinColourButton>("CONTROL_USERysButton")->colourChosen(QColor(i, 0, 0));
        rig->panel->PaintKeyColour(7);
    }
    ASSERT_TRUE(rig->Settle());

    std::vector<std::pair<std::uint16_t, std::uint8_t>> writes = rig->ByteWritesSince(mark);
    ASSERT_FALSE(writes.empty());
    EXPECT_LE(writes.size(), 6u) << "superseded slider positions were sent";
    // The last of each kind, in the order the user made them.
    auto last = [&](std::uint16_t address) {
        for (std::size_t i = writes.size(); i-- > 0;)
            if (writes[i].first == address) return i;
        return writes.size();
    };
    EXPECT_EQ(writes[last(1)].second, 3);
    EXPECT_EQ(writes[last(2)].second, 3);
    EXPECT_LT(last(1), last(2));
    EXPECT_LT(last(2), last(0));
    std::size_t keyWrites = 0;
    for (const SentReport& r : rig->SentSince(mark))
        keyWrites += r.command == static_cast<std::uint8_t>(wire::Command::WriteColours) ? 1 : 0;
    EXPECT_LE(keyWrites, 3u);
    const auto state = rig->Dump();
    EXPECT_EQ(state.lighting[1], 3);
    EXPECT_EQ(state.lighting[2], 3);
    EXPECT_EQ(state.keyColours[static_cast<std::size_t>(3 * LightOfKeyButton(7))], 39);
}

TEST_F(LightingPanelTest, ARefusedChangeShowsWhatTheKeyboardHolds)
{
    struct Case {
        std::vector<std::string> fault;
        bool keyboardTookIt;
    };
    const Case cases[] = {
        {{"fault", "status", "fe", std::to_string(kSendAttempts)}, false}, // refused
        {{"fault", "drop", std::to_string(kSendAttempts)}, true},          // done, but never answered
    };
    Open();
    rig->ChooseEffect(2);
    ASSERT_TRUE(rig->Settle());
    auto* slider = rig->Find<PictureSlider>("CONTROL_LightSlider");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault[1]);
        rig->panel->OnSliderMoved(lightid::kBrightnessSlider, 1);
        ASSERT_TRUE(rig->Settle());
        rig->Control({"fault", "after", "1"}); // BeginUpdate is answered, the write is not
        rig->Control(c.fault);
        QSignalSpy refused(rig->panel, &LightingPanel::changeRefused);
        // The notice hides itself after a few seconds, which a busy machine
        // may reach before the checks below do: count its showing instead.
        rig->panel->Notice()->hide();
        ShowCount notice(rig->panel->Notice());
        slider->SetPos(4); // dragged there; one position reaches the panel
        rig->panel->OnSliderMoved(lightid::kBrightnessSlider, 4);
        ASSERT_TRUE(rig->Settle());
        const int held = c.keyboardTookIt ? 4 : 1;
        EXPECT_EQ(refused.count(), 1);
        EXPECT_EQ(rig->Dump().lighting[1], held);
        EXPECT_EQ(slider->GetPos(), held);
        EXPECT_EQ(rig->panel->Shown().brightness, held);
        EXPECT_EQ(notice.shown, 1);
        EXPECT_EQ(rig->panel->Notice()->text(), LightingNoticeText());
        EXPECT_FALSE(LightingNoticeText().trimmed().isEmpty());
        rig->Control({"fault", "clear"});
        rig->Control({"fault", "latency", "0"});
    }
    // The keyboard answers again: the next change goes through.
    rig->panel->OnSliderMoved(lightid::kBrightnessSlider, 2);
    ASSERT_TRUE(rig->Settle());
    EXPECT_EQ(rig->Dump().lighting[1], 2);
}

// A colour write in several parts whose second part the keyboard refuses:
// nothing after it is sent but the update's end, and the panel shows what
// the keyboard holds, the first part taken and the rest as before.
TEST_F(LightingPanelTest, ARefusedColourPartStopsTheRestAndShowsTheKeyboard)
{
    const Colour was = MakeColour(40, 40, 40), meant = MakeColour(0, 200, 90);
    // Every key lit in the base colour, so each follows a new one.
    emulator::KeyboardState state = EveryKindOfEffect();
    for (std::size_t light = 0; light < kLightCount; ++light)
        for (std::size_t c = 0; c < 3; ++c) state.keyColours[3 * light + c] = 40;
    for (std::size_t c = 0; c < 3; ++c) state.lighting[lightaddr::kColourB + c] = 40;
    // Key buttons whose lights go out in the first part and in a later one.
    auto buttonOfLight = [](auto matches) {
        for (int button = 0; button < static_cast<int>(kOrdinaryKeyButtons); ++button)
            if (matches(static_cast<std::size_t>(LightOfKeyButton(button)))) return button;
        return -1;
    };
    const int early = buttonOfLight([](std::size_t light) { return light < kLightsPerColourWrite; });
    const int late = buttonOfLight([](std::size_t light) { return light >= 3 * kLightsPerColourWrite; });
    const int middle = buttonOfLight([&](std::size_t light) {
        return light >= kLightsPerColourWrite && light != static_cast<std::size_t>(LightOfKeyButton(late));
    });
    ASSERT_GE(std::min({early, late, middle}), 0);

    struct Case {
        const char* name;
        unsigned answered; // replies before the refused part
        std::function<void(LightingPanelTest&)> act;
    };
    const Case cases[] = {
        // BeginUpdate, the base colour and the first part of the table.
        {"base colour with the whole table", 3,
         [&](LightingPanelTest& t) {
             Q_EMIT t.rig->Find<SkinColourButton>("CONTROL_USERjsButton")->colourChosen(ColourFromRef(meant));
         }},
        // BeginUpdate and the first of three keys painted while the keyboard was busy.
        {"keys painted together", 2,
         [&](LightingPanelTest& t) {
             Q_EMIT t.rig->Find<SkinColourButton>("CONTROL_USERysButton")->colourChosen(ColourFromRef(meant));
             std::promise<void> release;
             t.rig->panel->Writer().Submit({LightingJob::Direction}, [busy = release.get_future().share()](Lighting&) {
                 busy.wait();
                 return kResultOk;
             });
             for (int button : {early, middle, late}) t.rig->panel->PaintKeyColour(button);
             release.set_value();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Open(state);
        rig->ChooseEffect(kEffectPerKey);
        ASSERT_TRUE(rig->Settle());
        {
            QSignalSpy refused(rig->panel, &LightingPanel::changeRefused);
            rig->panel->Notice()->hide();
            ShowCount notice(rig->panel->Notice());
            rig->Control({"fault", "after", std::to_string(c.answered)});
            rig->Control({"fault", "status", "ff", std::to_string(kSendAttempts)});
            const std::size_t mark = rig->Mark();
            c.act(*this);
            ASSERT_TRUE(rig->Settle());

            const std::vector<SentReport> sent = rig->SentSince(mark);
            auto isCommand = [](const SentReport& r, wire::Command command) {
                return r.command == static_cast<std::uint8_t>(command);
            };
            // The refused part is asked again before it counts as refused.
            std::vector<std::uint16_t> parts;
            std::size_t lastPart = 0;
            for (std::size_t i = 0; i < sent.size(); ++i) {
                if (!isCommand(sent[i], wire::Command::WriteColours)) continue;
                if (parts.empty() || parts.back() != sent[i].address) parts.push_back(sent[i].address);
                lastPart = i;
            }
            EXPECT_EQ(parts.size(), 2u) << "parts after the refused one were sent";
            ASSERT_LT(lastPart + 1, sent.size());
            EXPECT_TRUE(isCommand(sent[lastPart + 1], wire::Command::EndUpdate));

            EXPECT_EQ(refused.count(), 1);
            EXPECT_EQ(notice.shown, 1);
            const auto held = rig->Dump().keyColours;
            auto heldColour = [&](int button) {
                const auto at = static_cast<std::size_t>(3 * LightOfKeyButton(button));
                return MakeColour(held[at], held[at + 1], held[at + 2]);
            };
            EXPECT_EQ(heldColour(early), meant);
            EXPECT_EQ(heldColour(late), was);
            EXPECT_TRUE(std::equal(held.begin(), held.end(), rig->panel->Shown().keyColours.bytes.begin()));
            for (int button : {early, middle, late})
                EXPECT_EQ(rig->keys.fills[static_cast<std::size_t>(button)], ColourFromRef(heldColour(button)))
                    << "key " << button;
        }
        rig.reset();
    }
}

// The keyboard refuses the BeginUpdate of a one-setting change: none of the
// update's writes may follow it, and the panel shows what the keyboard holds.
TEST_F(LightingPanelTest, ARefusedBeginSendsNoWriteAndShowsTheKeyboard)
{
    struct Case {
        const char* name;
        std::function<void(LightingPanelTest&)> act;
        std::uint16_t address;
        // What the control shows, as the keyboard keeps it.
        std::function<int(LightingPanelTest&)> shown;
    };
    const Case cases[] = {
        {"brightness", [](LightingPanelTest& t) { t.DragSlider("CONTROL_LightSlider", lightid::kBrightnessSlider, 4); },
         lightaddr::kBrightness,
         [](LightingPanelTest& t) { return t.rig->Find<PictureSlider>("CONTROL_LightSlider")->GetPos(); }},
        {"speed", [](LightingPanelTest& t) { t.DragSlider("CONTROL_SpeedSlider", lightid::kSpeedSlider, 0); },
         lightaddr::kSpeed,
         [](LightingPanelTest& t) { return kSpeedMax - t.rig->Find<PictureSlider>("CONTROL_SpeedSlider")->GetPos(); }},
        {"direction", [](LightingPanelTest& t) { t.rig->Click("CONTROL_BLFXRStaPic"); }, lightaddr::kDirection,
         [](LightingPanelTest& t) { return t.rig->panel->Shown().direction; }},
        {"effect", [](LightingPanelTest& t) { t.rig->ChooseEffect(9); }, lightaddr::kEffect,
         [](LightingPanelTest& t) { return t.rig->panel->SelectedEffect(); }},
    };
    emulator::KeyboardState state = EveryKindOfEffect(); // effect 2: brightness, speed and direction
    state.lighting[lightaddr::kSpeed] = 1;
    state.lighting[lightaddr::kDirection] = 0;
    Open(state);
    const auto held = rig->Dump().lighting;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QSignalSpy refused(rig->panel, &LightingPanel::changeRefused);
        rig->panel->Notice()->hide();
        ShowCount notice(rig->panel->Notice());
        rig->Control({"fault", "status", "fe", std::to_string(kSendAttempts)}); // every attempt of the BeginUpdate
        const std::size_t mark = rig->Mark();
        c.act(*this);
        ASSERT_TRUE(rig->Settle());

        const std::vector<SentReport> sent = rig->SentSince(mark);
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent.front().command, static_cast<std::uint8_t>(wire::Command::BeginUpdate));
        for (const SentReport& r : sent)
            EXPECT_NE(r.command, static_cast<std::uint8_t>(wire::Command::WriteMemory))
                << "a write followed the refused BeginUpdate";
        EXPECT_EQ(rig->Dump().lighting, held);
        EXPECT_EQ(c.shown(*this), held[c.address]);
        EXPECT_EQ(refused.count(), 1);
        EXPECT_EQ(notice.shown, 1);
        EXPECT_EQ(rig->panel->Notice()->text(), LightingNoticeText());
        rig->Control({"fault", "clear"});
    }
}

// The RGB boxes show the colour they edit from the moment the panel shows the
// keyboard, and follow the effect and the tool; filling them sends nothing.
TEST_F(LightingPanelTest, TheRgbBoxesShowTheColourTheyEdit)
{
    emulator::KeyboardState state = EveryKindOfEffect();
    state.lighting[lightaddr::kEffect] = kEffect11;
    const std::pair<std::uint16_t, std::array<std::uint8_t, 3>> colours[] = {
        {lightaddr::kColourA, {1, 2, 3}},
        {lightaddr::kColourB, {40, 50, 60}},
        {lightaddr::kColourD, {70, 80, 90}},
        {lightaddr::kColourE, {100, 110, 120}},
    };
    for (const auto& [address, rgb] : colours) std::copy(rgb.begin(), rgb.end(), state.lighting.begin() + address);
    Open(state);
    const std::size_t mark = rig->Mark();
    auto boxes = [&] {
        QStringList texts;
        for (const char* name : {"m_edit_rgbr", "m_edit_rgbg", "m_edit_rgbb"})
            texts << rig->Find<QLineEdit>(name)->text();
        return texts;
    };
    EXPECT_EQ(boxes(), (QStringList{"70", "80", "90"}));

    // The keyboard switched to its next effect itself; the panel reads it.
    rig->Control({"lighting-changed"});
    QSignalSpy refreshed(rig->panel, &LightingPanel::refreshed);
    rig->panel->ReadAndRefresh(false);
    ASSERT_TRUE(rig->Settle());
    ASSERT_GE(refreshed.count(), 1);
    EXPECT_EQ(rig->panel->SelectedEffect(), kEffect12);
    EXPECT_EQ(boxes(), (QStringList{"100", "110", "120"}));

    rig->ChooseEffect(kEffectSingleColour);
    EXPECT_EQ(boxes(), (QStringList{"1", "2", "3"}));
    rig->ChooseEffect(kEffectPerKey); // the brush, black until one is chosen
    EXPECT_EQ(boxes(), (QStringList{"0", "0", "0"}));
    rig->Click("CONTROL_USERgjStaPic2"); // the base-colour tool
    EXPECT_EQ(boxes(), (QStringList{"40", "50", "60"}));
    rig->ChooseEffect(2); // no colour of its own
    EXPECT_EQ(boxes(), (QStringList{"", "", ""}));
    // Digits typed, a preset or the ring have nothing to go to: the boxes go back at once.
    Type("m_edit_rgbg", "7");
    EXPECT_EQ(boxes(), (QStringList{"", "", ""}));
    rig->Click("m_button_rgb1");
    QTest::mouseClick(rig->window.get(), Qt::LeftButton, {}, {119, 224 - 60});
    EXPECT_EQ(boxes(), (QStringList{"", "", ""}));
    ASSERT_TRUE(rig->Settle());

    // Only the chosen effects went out (those still waiting give way to the next).
    const auto writes = rig->ByteWritesSince(mark);
    ASSERT_FALSE(writes.empty());
    for (const auto& [address, value] : writes) EXPECT_EQ(address, lightaddr::kEffect);
    EXPECT_EQ(writes.back().second, 2);
    for (const SentReport& r : rig->SentSince(mark))
        EXPECT_NE(r.command, static_cast<std::uint8_t>(wire::Command::WriteColours));
}

TEST_F(LightingPanelTest, RestoringTheDefaultsShowsWhatWasWritten)
{
    Open();
    rig->ChooseEffect(11);
    rig->Click("CONTROL_HXsjsStaPic");
    ASSERT_TRUE(rig->Settle());
    rig->panel->RestoreLightingDefaults();
    ASSERT_TRUE(rig->Settle());
    const auto state = rig->Dump();
    EXPECT_TRUE(std::equal(kLightingDefaults.begin(), kLightingDefaults.end(), state.lighting.begin()));
    EXPECT_EQ(state.keyColours[3 * 159], 0xFF);
    EXPECT_EQ(rig->Find<QComboBox>("CONTROL_XGcombox")->currentIndex(), 0);
    EXPECT_EQ(rig->Find<PictureSlider>("CONTROL_LightSlider")->GetPos(), 3);
    EXPECT_EQ(rig->Find<PictureSlider>("CONTROL_SpeedSlider")->GetPos(), 3);
    EXPECT_EQ(rig->panel->Shown().RainbowOf(11), 0);
    EXPECT_EQ(rig->panel->Shown().RainbowOf(15), 1);
    EXPECT_EQ(rig->panel->Tool(), 0);
}

TEST_F(LightingPanelTest, ALanguageSwitchRecaptionsAndRenamesTheEffects)
{
    Open();
    const auto skin = std::filesystem::path(SKIN_FOLDER) / "Main.ini";
    auto caption = [&](const char* name) { return rig->Find<ColourLabel>(name)->text(); };
    for (int language : {0, 1}) {
        SCOPED_TRACE(language);
        const std::string_view section = language == 0 ? "Control_Name" : "Control_Name1";
        rig->panel->Recaption(language);
        EXPECT_EQ(caption("CONTROL_DengStatic"), ReadSkinText(skin, section, "Deng", u""));
        EXPECT_EQ(caption("CONTROL_RUNsjsStatic"), ReadSkinText(skin, section, "RUNColor", u""));
        EXPECT_EQ(caption("CONTROL_RUNsjs7Pic"), ReadSkinText(skin, section, "QCRUN", u""));
        EXPECT_FALSE(caption("CONTROL_DengStatic").isEmpty());
        auto* list = rig->Find<QComboBox>("CONTROL_XGcombox");
        ASSERT_EQ(list->count(), 14);
        EXPECT_EQ(list->itemText(13), ReadEffectName(skin, language, 15));
        EXPECT_EQ(list->currentIndex(), 1); // effect 2 stays chosen
        // The colour buttons' entry that opens the colour dialog speaks the language too.
        auto* other =
            rig->Find<SkinColourButton>("CONTROL_HXysButton")->PaletteMenu()->findChild<QToolButton*>("other");
        ASSERT_NE(other, nullptr);
        EXPECT_EQ(other->text(),
                  QString::fromStdU16String(ReadLanguageTextOrBuiltIn(LanguageFilePath(), kOtherColourKey, language)));
        EXPECT_NE(other->text().trimmed(), QString());
        EXPECT_NE(other->text(), QStringLiteral("other"));
    }
}

// The settings file cannot be written (here a folder stands in its place):
// the switch and the report rate show what the file holds, and the user
// hears why.
TEST_F(LightingPanelTest, ASettingTheFileDoesNotKeepShowsWhatItHolds)
{
    Open(EveryKindOfEffect(), false);
    std::filesystem::remove(rig->settings.path());
    std::filesystem::create_directory(rig->settings.path());
    const QString notTaken = LightingNoticeText();

    rig->Click("CONTROL_DengStaPic");
    EXPECT_FALSE(rig->panel->KeyLightsOn());
    EXPECT_FALSE(Visible("CONTROL_XGcombox"));
    EXPECT_TRUE(rig->panel->Notice()->isVisible());
    const QString notice = rig->panel->Notice()->text();
    EXPECT_NE(notice, notTaken);
    EXPECT_TRUE(notice.contains(QString::fromStdString(rig->settings.path().filename().string())))
        << notice.toStdString();
    // The reason names a file, longer than the notice's place in the skin: every line shows.
    QLabel* shown = rig->panel->Notice();
    EXPECT_GE(shown->height(), shown->heightForWidth(shown->width()));

    rig->panel->Notice()->hide();
    rig->Click("FUNC_REPORT3");
    EXPECT_TRUE(rig->panel->Notice()->isVisible());
    EXPECT_FALSE(rig->Find<ImageButton>("FUNC_REPORT3")->IsSelected());
    EXPECT_TRUE(rig->Find<ImageButton>("FUNC_REPORT1")->IsSelected()); // what a missing file reads as
    EXPECT_EQ(rig->keys.settleCalls, 1);
}

// A drag across the keys with the mouse held paints each key it enters at
// once on screen; a slow keyboard gets every key once, with its colour, in
// fewer updates than keys.
TEST_F(LightingPanelTest, DraggingAcrossKeysPaintsEachOnceAndCoalesces)
{
    Open();
    rig->ChooseEffect(5);
    const QColor brush(12, 34, 56);
    Q_EMIT rig->Find<SkinColourButton>("CONTROL_USERysButton")->colourChosen(brush);
    ASSERT_TRUE(rig->Settle());
    // A row of key buttons, as the window has them; the fourth is disabled.
    constexpr int kKeys = 12, kDisabled = 3;
    std::vector<QPushButton*> row;
    for (int i = 0; i < kKeys; ++i) {
        auto* key = new QPushButton(rig->window.get());
        key->setGeometry(300 + 30 * i, 420, 28, 28);
        key->setEnabled(i != kDisabled);
        key->show();
        rig->panel->WatchKeyButton(key, 20 + i);
        row.push_back(key);
    }
    QSignalSpy clicked(row[0], &QPushButton::clicked);
    rig->Control({"fault", "latency", "1000"});
    const std::size_t mark = rig->Mark();

    // The pressed button holds the mouse: every move and the release go to it.
    auto send = [&](QEvent::Type type, int windowX, Qt::MouseButtons held) {
        const QPointF local = row[0]->mapFrom(rig->window.get(), QPoint(windowX, 434));
        QMouseEvent event(type, local, row[0]->mapToGlobal(local), Qt::LeftButton, held, {});
        QApplication::sendEvent(row[0], &event);
    };
    const int lastX = 300 + 30 * (kKeys - 1) + 14;
    send(QEvent::MouseButtonPress, 314, Qt::LeftButton);
    EXPECT_EQ(rig->keys.fills[20], brush) << "the pressed key is painted at once";
    for (int x = 314; x <= lastX; x += 5) send(QEvent::MouseMove, x, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, lastX, Qt::NoButton);
    for (int i = 0; i < kKeys; ++i)
        EXPECT_EQ(rig->keys.fills[static_cast<std::size_t>(20 + i)] == brush, i != kDisabled) << "key " << i;
    EXPECT_EQ(clicked.count(), 0) << "the click would paint the first key again";
    ASSERT_TRUE(rig->Settle());

    std::vector<int> lightWrites, updates;
    for (const SentReport& r : rig->SentSince(mark)) {
        if (r.command == static_cast<std::uint8_t>(wire::Command::WriteColours)) lightWrites.push_back(r.address / 3);
        if (r.command == static_cast<std::uint8_t>(wire::Command::BeginUpdate)) updates.push_back(r.address);
    }
    std::vector<int> painted;
    for (int i = 0; i < kKeys; ++i)
        if (i != kDisabled) painted.push_back(LightOfKeyButton(20 + i));
    std::vector<int> sorted = lightWrites;
    std::sort(sorted.begin(), sorted.end());
    std::sort(painted.begin(), painted.end());
    EXPECT_EQ(sorted, painted) << "each painted light once";
    EXPECT_LT(updates.size(), painted.size()) << "paints made while the keyboard was busy went out together";
    const auto colours = rig->Dump().keyColours;
    for (int light : painted)
        EXPECT_EQ(QColor(colours[static_cast<std::size_t>(3 * light)], colours[static_cast<std::size_t>(3 * light + 1)],
                         colours[static_cast<std::size_t>(3 * light + 2)]),
                  brush)
            << "light " << light;

    // With another effect a press is the button's own again.
    rig->ChooseEffect(9);
    send(QEvent::MouseButtonPress, 314, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, 314, Qt::NoButton);
    EXPECT_EQ(clicked.count(), 1);
}

} // namespace
} // namespace kestrune::test
