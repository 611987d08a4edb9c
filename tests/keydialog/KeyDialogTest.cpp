#include "ui/KeyAssignmentDialog.h"

#include "UiTestSupport.h"
#include "app/DeviceWorker.h"
#include "config/Folders.h"
#include "config/KeyButtonText.h"
#include "config/LanguageKeyNames.h"
#include "config/LanguageTable.h"
#include "config/Settings.h"
#include "keymodel/DefaultHardwareTable.h"
#include "macro/MacroArea.h"
#include "support/EnvOverride.h"
#include "support/EventsFixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMetaObject>
#include <QScrollBar>
#include <QTest>
#include <QTreeWidget>

#include <linux/input-event-codes.h>

#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace kestrune {
namespace {

using namespace keydlg;
using testing::kKeyA;
using testing::kKeyB;

constexpr int kFirstKeyButton = 5000; // the test window's key buttons: 5000 + position in KeyButtonOrder
constexpr KeyIndex kKeyVolumeUp = 0x130;

int ButtonOf(KeyIndex key)
{
    return kFirstKeyButton + static_cast<int>(*ButtonPositionOfKey(key));
}

class KeyDialogTest : public testing::KeyboardFixture {
protected:
    KeyDialogTest() : settings(folder / "settings.ini")
    {
        test::App();
        SetProgramFolder(std::filesystem::path(KESTRUNE_PROGRAM_DIR));
        // A picture the dialog cannot load would end the program with exit code 0.
        m_previousFailureHandler =
            SetPictureFailureHandler([](const std::string& why) { ADD_FAILURE() << "skin picture: " << why; });
        std::filesystem::remove(settings.path());
    }
    ~KeyDialogTest() override
    {
        std::filesystem::remove(settings.path());
        SetProgramFolder(std::nullopt);
        SetPictureFailureHandler(std::move(m_previousFailureHandler));
    }
    PictureFailureHandler m_previousFailureHandler;

    void SetUp() override
    {
        KeyboardFixture::SetUp();
        StartEvents();
        ASSERT_TRUE(transfer.ReadSettingsAtAttach());
        testing::FillConfiguration(store, {testing::MakeMacro(1, 4, u"one"), testing::MakeMacro(2, 2, u"two")});
        KeyDialogHost host;
        host.activeProfile = [this] { return profile; };
        host.bankB = [this] { return bankB; };
        host.keyOfButton = [](int id) -> std::optional<KeyIndex> {
            const int position = id - kFirstKeyButton;
            if (position < 0 || position >= static_cast<int>(kOrdinaryKeyCount)) return std::nullopt;
            return KeyButtonOrder[static_cast<std::size_t>(position)];
        };
        host.buttonRect = [](int) { return QRect(100, 100, 40, 40); };
        host.showButtonPressed = [this](int id, bool pressed) { pressedButtons[id] = pressed; };
        host.showButtonAssigned = [this](int id, bool assigned) { assignedButtons[id] = assigned; };
        host.setUnappliedChanges = [this] { ++unappliedChanges; };
        host.refreshKeyTooltips = [this] { ++tooltipRefreshes; };
        host.macroCapacity = [this] { return transfer.MacroCapacity(); };
        host.runDevice = [this](std::function<void()> job, std::function<void()> then) {
            worker.Run([job = std::move(job), then = std::move(then)] {
                job();
                QMetaObject::invokeMethod(qApp, then, Qt::QueuedConnection);
            });
        };
        dialog = std::make_unique<KeyAssignmentDialog>(store, settings, host);
        dialog->SetAsk([this](const QString& text, bool question) {
            asked.push_back(text);
            return question ? answer : true;
        });
    }
    void TearDown() override
    {
        if (dialog) dialog->CloseIfOpen();
        dialog.reset();
        KeyboardFixture::TearDown();
    }

    template <typename T = QWidget> T* Control(const char* name)
    {
        T* control = dialog->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(control, nullptr) << name;
        return control;
    }
    void Click(const char* name) { QTest::mouseClick(Control(name), Qt::LeftButton); }

    // A key event as the desktop delivers it: the evdev code + 8 as native
    // scan code and the event's own time. True when the program swallowed it
    // before the widget it was meant for saw it.
    bool Key(unsigned evdev, bool release, std::uint64_t at, bool repeat = false)
    {
        QKeyEvent event(release ? QEvent::KeyRelease : QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, evdev + 8, 0,
                        0, QString(), repeat);
        event.setTimestamp(at);
        QWidget* target = dialog->focusWidget() ? dialog->focusWidget() : dialog.get();
        KeyProbe probe;
        target->installEventFilter(&probe);
        QApplication::sendEvent(target, &event);
        target->removeEventFilter(&probe);
        return probe.seen == 0;
    }

    // Sees the key events that reach a widget (after the application's filters).
    struct KeyProbe : QObject {
        int seen = 0;
        bool eventFilter(QObject*, QEvent* event) override
        {
            if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) ++seen;
            return false;
        }
    };

    KeyAssignment SlotOf(std::size_t map, std::size_t slot)
    {
        std::lock_guard lock(store.CurrentLock());
        return *store.Current().Assignment(map, slot);
    }
    std::vector<MacroRecord> StoredMacros()
    {
        std::lock_guard lock(store.CurrentLock());
        return store.Current().Macros();
    }
    std::vector<MacroAction> Rows() const { return {dialog->Actions().Rows().begin(), dialog->Actions().Rows().end()}; }

    int Download()
    {
        std::lock_guard lock(store.CurrentLock());
        return store.TakeWorkingSnapshot(false, transfer);
    }

    int profile = 0;
    bool bankB = false;
    bool answer = true;
    std::vector<QString> asked;
    std::map<int, bool> pressedButtons, assignedButtons;
    int unappliedChanges = 0;
    int tooltipRefreshes = 0;
    IniUserSettings settings;
    DeviceWorker worker; // the window's device thread
    std::unique_ptr<KeyAssignmentDialog> dialog;
};

TEST_F(KeyDialogTest, OpensOnTheSlotOfTheClickedButton)
{
    bankB = true;
    ASSERT_TRUE(dialog->Open(kGKeyButtonIds[2]));
    EXPECT_EQ(dialog->Slot(), 267u);
    EXPECT_FALSE(dialog->MacroOnly());
    EXPECT_TRUE(pressedButtons[kGKeyButtonIds[2]]);
    dialog->OnCancel();
    EXPECT_FALSE(pressedButtons[kGKeyButtonIds[2]]);
    EXPECT_FALSE(dialog->IsOpen());

    ASSERT_TRUE(dialog->Open(ButtonOf(kKeyA)));
    EXPECT_EQ(dialog->Slot(), 0x1Eu);
    EXPECT_EQ(dialog->PaneType(), AssignmentType::Default);
    EXPECT_TRUE(Control("FUNC_KEY_INPUT")->isVisible());
    EXPECT_FALSE(Control("FUNC_MACRO_LIST2")->isVisible());
    dialog->OnCancel();

    EXPECT_FALSE(dialog->Open(4999));
}

TEST_F(KeyDialogTest, MacroOnlyModeShowsTheMacroPaneAndAnEmptyEditorLeavesG9Default)
{
    {
        std::lock_guard lock(store.CurrentLock());
        store.Current().Macros().clear();
    }
    ASSERT_TRUE(dialog->Open(kMacroOnlyButtonId));
    EXPECT_TRUE(dialog->MacroOnly());
    EXPECT_EQ(dialog->PaneType(), AssignmentType::PlayMacro);
    EXPECT_TRUE(Control("FUNC_MACRO_LIST2")->isVisible());
    for (const char* tab : {"CONTROL_KEY", "CONTROL_MEDIA", "CONTROL_FUNCTION", "CONTROL_CLEAR"})
        EXPECT_FALSE(Control(tab)->isEnabled()) << tab;
    EXPECT_FALSE(Control("TISHI_SINGLE_STATIC")->isVisible());
    dialog->OnOK();
    EXPECT_EQ(SlotOf(0, *GKeySlot(9, GKeyBank::A)), (KeyAssignment{AssignmentType::Default, 0x0309, 0}));
}

TEST_F(KeyDialogTest, SingleKeyPaneCapturesFreshPressesFromNativeScanCodes)
{
    ASSERT_TRUE(dialog->Open(ButtonOf(kKeyA)));
    EXPECT_TRUE(Key(KEY_B, false, 10));
    EXPECT_EQ(dialog->CapturedKey(), kKeyB);
    EXPECT_EQ(dialog->PaneType(), AssignmentType::RemapKey);
    EXPECT_EQ(Control<QLineEdit>("FUNC_KEY_INPUT")->text(), QStringLiteral("B"));
    EXPECT_TRUE(Control("CONTROL_APPLY")->isEnabled());

    // Held down: repeats and the release capture nothing.
    Key(KEY_C, false, 20);
    Key(KEY_X, false, 30, true);
    Key(KEY_C, true, 40);
    EXPECT_EQ(dialog->CapturedKey(), 0x02E);
    // Print Screen counts on its release; the volume keys pass untouched.
    Key(KEY_SYSRQ, false, 50);
    EXPECT_EQ(dialog->CapturedKey(), 0x02E);
    Key(KEY_SYSRQ, true, 60);
    EXPECT_EQ(dialog->CapturedKey(), kKeyPrintScreen);
    EXPECT_FALSE(Key(KEY_VOLUMEUP, false, 70));
    EXPECT_EQ(dialog->CapturedKey(), kKeyPrintScreen);
    // The Windows keys and the App key are captured here too.
    Key(KEY_COMPOSE, false, 80);
    EXPECT_EQ(dialog->CapturedKey(), 0x15D);
    Key(KEY_RIGHTMETA, false, 90);
    EXPECT_EQ(dialog->CapturedKey(), kKeyRightWin);

    Key(KEY_B, false, 100);
    dialog->OnApply();
    EXPECT_EQ(SlotOf(0, 0x1E), (KeyAssignment{AssignmentType::RemapKey, 0, kKeyB}));
    EXPECT_TRUE(assignedButtons[ButtonOf(kKeyA)]);
    EXPECT_GE(unappliedChanges, 1);
    EXPECT_FALSE(Control("CONTROL_APPLY")->isEnabled());

    // The key the dialog was opened for: back to Default.
    Key(KEY_A, false, 110);
    dialog->OnOK();
    EXPECT_EQ(SlotOf(0, 0x1E).type, AssignmentType::Default);
    EXPECT_FALSE(assignedButtons[ButtonOf(kKeyA)]);
    // Closed: keys reach the program again.
    EXPECT_FALSE(Key(KEY_B, false, 120));
}

TEST_F(KeyDialogTest, PanesDecideTheAssignmentAndCancelWritesNothing)
{
    profile = 1;
    const std::size_t g2 = *GKeySlot(2, GKeyBank::A);
    ASSERT_TRUE(dialog->Open(kGKeyButtonIds[1]));
    Click("CONTROL_MEDIA");
    EXPECT_TRUE(Control("FUNC_MEDIA_SELECT")->isVisible());
    EXPECT_FALSE(Control("FUNC_KEY_INPUT")->isVisible());
    Control<QComboBox>("FUNC_MEDIA_SELECT")->setCurrentIndex(6);
    dialog->OnApply();
    EXPECT_EQ(SlotOf(1, g2), (KeyAssignment{AssignmentType::Media, 0x0302, 6}));

    Click("CONTROL_FUNCTION");
    Control<QComboBox>("FUNC_FUNCTION_SELECT")->setCurrentIndex(10);
    dialog->OnCancel();
    EXPECT_EQ(SlotOf(1, g2).type, AssignmentType::Media);

    // Reopened on the media key: its line is shown; Clear gives Default.
    ASSERT_TRUE(dialog->Open(kGKeyButtonIds[1]));
    EXPECT_EQ(Control<QComboBox>("FUNC_MEDIA_SELECT")->currentIndex(), 6);
    Click("CONTROL_CLEAR");
    EXPECT_EQ(dialog->PaneType(), AssignmentType::Default);
    Click("CONTROL_OK");
    EXPECT_EQ(SlotOf(1, g2), (KeyAssignment{AssignmentType::Default, 0x0302, 0}));
}

TEST_F(KeyDialogTest, AValueOutsideTheMediaListOpensOnLineZeroAndTheTooltipShowsItUnknown)
{
    KeyAssignment odd{AssignmentType::Media, 0, 40};
    {
        std::lock_guard lock(store.CurrentLock());
        *store.Current().Assignment(0, 0x1E) = odd;
    }
    ASSERT_TRUE(dialog->Open(ButtonOf(kKeyA)));
    EXPECT_EQ(Control<QComboBox>("FUNC_MEDIA_SELECT")->currentIndex(), 0);
    dialog->OnCancel();
    EXPECT_EQ(SlotOf(0, 0x1E), odd);
    LanguageTable table;
    EXPECT_EQ(KeyButtonTooltipText(table, u"A", odd, {}), u"AKeys, Set: Media(?)");
    EXPECT_EQ(KeyButtonTooltipText(table, u"A", {AssignmentType::FunctionKey, 0, 11}, {}), u"AKeys, Set: Function(?)");
    EXPECT_EQ(KeyButtonTooltipText(table, u"A", {AssignmentType::RemapKey, 0, kKeyB}, {}), u"AKeys, Set: Key(B)");
    EXPECT_EQ(KeyButtonTooltipText(table, u"A", {AssignmentType::Unknown, 0, 0x008104}, {}),
              u"AKeys, Set: Unknown(04 81 00)");
    const std::vector<MacroRecord> macros = {MakeMacroRecord(u"Hello", 5)};
    EXPECT_EQ(KeyButtonTooltipText(table, u"G1", {AssignmentType::PlayMacro, 1, 5}, macros),
              u"G1Keys, Set: Macro(Hello)");
}

TEST_F(KeyDialogTest, RecordedMacroReachesTheKeyboardWithItsKeysDirectionsAndDelays)
{
    ASSERT_TRUE(dialog->Open(kGKeyButtonIds[0]));
    Click("CONTROL_MACRO");
    Click("FUNC_MACRO_ADD");
    EXPECT_EQ(Control<QComboBox>("FUNC_MACRO_LIST")->currentText(), QStringLiteral("Macro1"));
    Click("FUNC_MACRO_RECORD_DELAY"); // measured delays
    EXPECT_EQ(dialog->RecordDelayOption(), 1);
    EXPECT_EQ(settings.Read(kUserSettingsSection, u"RecordDelay", u"?"), u"1");

    Click("FUNC_MACRO_RECORD");
    ASSERT_TRUE(dialog->Recording());
    EXPECT_FALSE(Control("FUNC_MACRO_ADD")->isEnabled());
    EXPECT_FALSE(Control("FUNC_MACRO_LIST")->isEnabled());
    Key(KEY_LEFTSHIFT, false, 5000);
    Key(KEY_H, false, 5120);
    Key(KEY_H, false, 5150, true);
    Key(KEY_H, true, 5230);
    Key(KEY_LEFTSHIFT, true, 5300);
    Key(KEY_LEFTMETA, false, 5400);
    Key(KEY_LEFTMETA, false, 5430); // a grabbed key's repeat comes unmarked
    Key(KEY_LEFTMETA, true, 5500);
    EXPECT_FALSE(Key(KEY_MUTE, false, 5600));
    Click("FUNC_MACRO_RECORD");
    EXPECT_FALSE(dialog->Recording());
    EXPECT_TRUE(Control("FUNC_MACRO_ADD")->isEnabled());
    const std::vector<MacroAction> expected = {
        {120, kKeyShift, kMacroPress},   {110, 0x023, kMacroPress},   {70, 0x023, kMacroRelease},
        {100, kKeyShift, kMacroRelease}, {100, kKeyWin, kMacroPress}, {0, kKeyWin, kMacroRelease},
    };
    EXPECT_EQ(Rows(), expected);
    EXPECT_EQ(Control<QTreeWidget>("FUNC_MACRO_LIST2")->topLevelItemCount(), 6);
    Control<QLineEdit>("FUNC_MACRO_CYCLES")->setText(QStringLiteral("3"));
    Click("CONTROL_OK");

    const auto macros = StoredMacros();
    ASSERT_EQ(macros.size(), 3u);
    EXPECT_EQ(macros[2].Name(), u"Macro1");
    EXPECT_EQ(macros[2].newFlag, 0);
    EXPECT_EQ(macros[2].cycles, 3);
    EXPECT_EQ(std::vector(macros[2].Actions().begin(), macros[2].Actions().end()), expected);
    EXPECT_EQ(SlotOf(0, *GKeySlot(1, GKeyBank::A)), (KeyAssignment{AssignmentType::PlayMacro, 3, macros[2].id}));

    // What the keyboard holds after the main window's Apply.
    ASSERT_EQ(Download(), 1);
    const emulator::KeyboardState state = keyboard.State();
    const auto decoded = DecodeMacroArea(state.macroArea, 3, u"Macro");
    ASSERT_TRUE(decoded.ok()) << decoded.error();
    const MacroRecord& sent = decoded.value()[2];
    EXPECT_EQ(sent.cycles, 3);
    EXPECT_EQ(std::vector(sent.Actions().begin(), sent.Actions().end()), expected);
    std::vector<std::uint16_t> ids;
    for (const auto& m : macros) ids.push_back(m.id);
    KeyMap map;
    {
        std::lock_guard lock(store.CurrentLock());
        map = store.Current().Block()->maps[0];
    }
    const HardwareKeyTable table = EncodeKeyTable(map, DefaultHardwareTable, ids);
    const auto bytes = HardwareKeyTableToBytes(table);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), state.keyTables[0].begin()));
}

// A long recording adds its rows to the list one at a time: the rows shown
// stay as they are, every row shows what the editor holds, and the row just
// recorded is the selected one, scrolled into view.
TEST_F(KeyDialogTest, ALongRecordingAppendsItsRowsToTheList)
{
    ASSERT_TRUE(dialog->Open(kGKeyButtonIds[0]));
    Click("CONTROL_MACRO");
    Click("FUNC_MACRO_ADD");
    Click("FUNC_MACRO_RECORD_DELAY"); // measured delays, so each row's differs
    Click("FUNC_MACRO_RECORD");
    ASSERT_TRUE(dialog->Recording());
    auto* view = Control<QTreeWidget>("FUNC_MACRO_LIST2");
    std::uint64_t at = 1000;
    Key(KEY_A, false, at);
    QTreeWidgetItem* first = view->topLevelItem(0);
    ASSERT_NE(first, nullptr);
    constexpr int kEvents = 600;
    for (int i = 1; i < kEvents; ++i) {
        at += 5 + static_cast<std::uint64_t>(i % 7);
        Key(KEY_A, i % 2 == 1, at);
    }
    Click("FUNC_MACRO_RECORD");
    const std::vector<MacroAction> rows = Rows();
    ASSERT_EQ(rows.size(), static_cast<std::size_t>(kEvents));
    ASSERT_EQ(view->topLevelItemCount(), kEvents);
    EXPECT_EQ(view->topLevelItem(0), first) << "the list was built again";
    for (int r = 0; r < kEvents; ++r) {
        const QTreeWidgetItem* item = view->topLevelItem(r);
        ASSERT_EQ(item->text(2), QString::number(rows[static_cast<std::size_t>(r)].delay)) << "row " << r;
        ASSERT_EQ(item->text(1).contains(u'\u2191'), rows[static_cast<std::size_t>(r)].direction == kMacroRelease)
            << "row " << r;
    }
    EXPECT_EQ(dialog->Actions().Selected(), kEvents - 1);
    EXPECT_EQ(view->currentItem(), view->topLevelItem(kEvents - 1));
    QApplication::processEvents();
    EXPECT_EQ(view->verticalScrollBar()->value(), view->verticalScrollBar()->maximum());
    EXPECT_GT(view->verticalScrollBar()->maximum(), 0);
}

// A download that holds the configuration copy for its whole transfer, on a
// thread of its own: it takes the copy at once and starts sending when let go.
class HeldDownload {
public:
    HeldDownload(ConfigStore& store, Transfer& transfer)
        : m_thread([this, &store, &transfer] {
              std::lock_guard copy(store.CurrentLock());
              std::unique_lock lock(m_gate);
              m_holding = true;
              m_changed.notify_all();
              // Were the GUI thread waiting on the copy, nobody would let go.
              m_heldTooLong = !m_changed.wait_for(lock, std::chrono::seconds(20), [this] { return m_release; });
              lock.unlock();
              m_result = store.TakeWorkingSnapshot(false, transfer);
          })
    {
        std::unique_lock lock(m_gate);
        m_changed.wait(lock, [this] { return m_holding; });
    }
    // Lets the download go and waits for its end; false when the GUI thread kept it waiting.
    bool Finish()
    {
        bool inTime = false;
        {
            std::lock_guard lock(m_gate);
            inTime = !m_heldTooLong;
            m_release = true;
        }
        m_changed.notify_all();
        m_thread.join();
        return inTime && m_result == kDownloadSucceeded;
    }

private:
    std::mutex m_gate;
    std::condition_variable m_changed;
    bool m_holding = false, m_release = false, m_heldTooLong = false;
    int m_result = -1;
    std::thread m_thread;
};

// While a download on a slow keyboard holds the copy, the dialog opens, is
// edited and commits without the GUI thread waiting: its reads and writes
// wait on the device thread and land once the download lets go.
TEST_F(KeyDialogTest, TheDialogStaysLiveWhileADownloadHoldsTheConfiguration)
{
    emulator::FaultPlan slow = keyboard.Faults();
    slow.latency = std::chrono::milliseconds(2);
    keyboard.SetFaults(slow);
    const std::size_t slot = SlotOfKey(KeyButtonOrder[0]);
    {
        std::lock_guard lock(store.CurrentLock());
        *store.Current().Assignment(0, slot) = KeyAssignment{AssignmentType::Media, 0, 3};
    }

    auto opening = std::make_unique<HeldDownload>(store, transfer);
    ASSERT_TRUE(dialog->Open(kFirstKeyButton));
    EXPECT_TRUE(dialog->WaitingForCopy());
    EXPECT_FALSE(Control("CONTROL_APPLY")->isEnabled()) << "nothing of the copy is in the editor yet";
    ASSERT_TRUE(opening->Finish());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->WaitingForCopy(); }, 20000));
    EXPECT_EQ(dialog->PaneType(), AssignmentType::Media);
    EXPECT_EQ(Control<QComboBox>("FUNC_MEDIA_SELECT")->currentIndex(), 3);
    EXPECT_EQ(dialog->EditedMacros().size(), 2u);

    auto committing = std::make_unique<HeldDownload>(store, transfer);
    Control<QComboBox>("FUNC_MEDIA_SELECT")->setCurrentIndex(5);
    Click("CONTROL_OK");
    EXPECT_FALSE(dialog->IsOpen()) << "OK closes while the edit waits for the copy";
    EXPECT_TRUE(dialog->WaitingForCopy());
    ASSERT_TRUE(committing->Finish());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog->WaitingForCopy(); }, 20000));
    EXPECT_EQ(SlotOf(0, slot), (KeyAssignment{AssignmentType::Media, 0, 5}));
    EXPECT_TRUE(assignedButtons[kFirstKeyButton]);
    EXPECT_EQ(StoredMacros().size(), 2u);
}

TEST_F(KeyDialogTest, DeletingAPlayedMacroAsksAndApplyResetsItsKeys)
{
    // FillConfiguration made key A of profile 2 play macro 2.
    ASSERT_TRUE(dialog->Open(ButtonOf(kKeyB)));
    Click("CONTROL_MACRO");
    auto* names = Control<QComboBox>("FUNC_MACRO_LIST");
    EXPECT_EQ(names->currentIndex(), 0); // stored value 0: the first macro
    names->setCurrentIndex(1);
    EXPECT_EQ(dialog->Actions().Size(), 2u);
    answer = false;
    Click("FUNC_MACRO_DELETE");
    EXPECT_EQ(names->count(), 2);
    ASSERT_EQ(asked.size(), 1u);
    answer = true;
    Click("FUNC_MACRO_DELETE");
    EXPECT_EQ(names->count(), 1);
    EXPECT_EQ(dialog->CurrentMacro(), 0);
    // A new macro takes the freed id; the key must not play it.
    Click("FUNC_MACRO_ADD");
    EXPECT_EQ(dialog->EditedMacros().back().id, 2);
    dialog->OnApply();
    EXPECT_EQ(SlotOf(2, 0x1E).type, AssignmentType::Default);
    EXPECT_EQ(SlotOf(0, 0x30), (KeyAssignment{AssignmentType::PlayMacro, 1, 2})); // the current macro, cycles 1
    dialog->OnCancel();
    EXPECT_EQ(StoredMacros().size(), 2u); // what Apply committed stays
}

TEST_F(KeyDialogTest, EditorOperationsAndTheirTexts)
{
    {
        std::lock_guard lock(store.CurrentLock());
        store.Current().Macros().clear();
    }
    ASSERT_TRUE(dialog->Open(kMacroOnlyButtonId));
    auto* names = Control<QComboBox>("FUNC_MACRO_LIST");
    EXPECT_FALSE(Control("FUNC_MACRO_RECORD")->isEnabled());
    // A name typed into the empty editor makes a macro with id 1.
    QTest::keyClicks(names->lineEdit(), "Boot");
    ASSERT_EQ(dialog->EditedMacros().size(), 1u);
    EXPECT_EQ(dialog->EditedMacros()[0].Name(), u"Boot");
    EXPECT_EQ(dialog->EditedMacros()[0].id, 1);
    EXPECT_TRUE(Control("FUNC_MACRO_RECORD")->isEnabled());

    auto* cycles = Control<QLineEdit>("FUNC_MACRO_CYCLES");
    cycles->clear();
    QTest::keyClicks(cycles, "0");
    EXPECT_EQ(cycles->text(), QStringLiteral("1"));
    cycles->clear();
    QTest::keyClicks(cycles, "300");
    EXPECT_EQ(cycles->text(), QStringLiteral("255"));

    // Delays typed into a cell.
    Click("FUNC_MACRO_RECORD");
    Key(KEY_A, false, 100);
    Key(KEY_A, true, 150);
    Click("FUNC_MACRO_RECORD");
    dialog->EditActionDelay(0, QStringLiteral("45678"));
    EXPECT_EQ(Rows()[0].delay, 40000);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_TRUE(asked[0].contains(QStringLiteral("40000")));
    dialog->EditActionDelay(1, QStringLiteral("1234"));
    EXPECT_EQ(Rows()[1].delay, 1230);
    dialog->EditActionKey(1, 1); // list code 1: B
    dialog->EditActionDirection(0, 1);
    EXPECT_EQ(Rows(), (std::vector<MacroAction>{{40000, kKeyA, kMacroRelease}, {1230, kKeyB, kMacroRelease}}));

    // Moving and deleting rows.
    dialog->SelectAction(1);
    Click("FUNC_MACRO_UP_TOP");
    EXPECT_EQ(Rows()[0].key, kKeyB);
    Click("FUNC_MACRO_DELETE2");
    EXPECT_EQ(Rows(), (std::vector<MacroAction>{{40000, kKeyA, kMacroRelease}}));
    answer = false;
    Click("FUNC_MACRO_CLEAR");
    EXPECT_EQ(dialog->Actions().Size(), 1u);
    answer = true;
    Click("FUNC_MACRO_CLEAR");
    EXPECT_EQ(dialog->Actions().Size(), 0u);

    // New names count on from the program's counter; deleting the only macro leaves none current.
    Click("FUNC_MACRO_ADD");
    Click("FUNC_MACRO_ADD");
    EXPECT_EQ(names->itemText(1), QStringLiteral("Macro1"));
    EXPECT_EQ(names->itemText(2), QStringLiteral("Macro2"));
    Click("FUNC_MACRO_DELETE");
    Click("FUNC_MACRO_DELETE");
    Click("FUNC_MACRO_DELETE");
    EXPECT_EQ(names->count(), 0);
    EXPECT_EQ(dialog->CurrentMacro(), -1);
    EXPECT_FALSE(Control("FUNC_MACRO_RECORD")->isEnabled());
    dialog->OnOK();
    EXPECT_TRUE(StoredMacros().empty());
}

// The button's tooltip offers the on-screen keyboard; a click did nothing.
TEST_F(KeyDialogTest, TheOnScreenKeyboardButtonStartsOneOrSaysNoneIsInstalled)
{
    const std::filesystem::path bin = folder / "bin";
    std::filesystem::create_directories(bin);
    kestrune::testing::EnvOverride path("PATH", bin.string());
    ASSERT_TRUE(dialog->Open(ButtonOf(kKeyA)));
    Click("CONTROL_OSK");
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0], QString::fromStdU16String(TheLanguageTable().Text("COMPOSITE_OSK_MISSING")));

    const std::filesystem::path program = bin / OnScreenKeyboardPrograms().back().toStdString();
    {
        std::ofstream script(program);
        script << "#!/bin/sh\necho > \"$0.started\"\n"; // PATH holds only this folder: a shell builtin
    }
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);
    Click("CONTROL_OSK");
    EXPECT_TRUE(test::WaitUntil([&] { return std::filesystem::exists(program.string() + ".started"); }));
    EXPECT_EQ(asked.size(), 1u);
    EXPECT_TRUE(dialog->IsOpen());
}

TEST_F(KeyDialogTest, AMacroListTooBigForTheKeyboardStaysInTheDialog)
{
    transfer.SetMacroCapacity(1024);
    ASSERT_TRUE(dialog->Open(kMacroOnlyButtonId));
    Click("FUNC_MACRO_RECORD");
    for (std::uint64_t t = 0; t < 200; ++t) {
        Key(KEY_A, false, 10 * t);
        Key(KEY_A, true, 10 * t + 5);
    }
    Click("FUNC_MACRO_RECORD");
    EXPECT_EQ(dialog->Actions().Size(), 404u);
    const auto before = StoredMacros();
    dialog->OnOK();
    EXPECT_TRUE(dialog->IsOpen());
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(StoredMacros(), before);
    dialog->OnCancel();
}

TEST(KeyDialogPlacement, BesideTheButtonWhereTheScreenHasRoom)
{
    const QRect screen(0, 0, 1000, 800);
    const QSize dialog(300, 200);
    struct Case {
        QRect button;
        QPoint expected;
    } cases[] = {
        {{100, 100, 40, 30}, {140, 130}},   // right and below
        {{100, 700, 40, 30}, {140, 500}},   // right, above
        {{900, 100, 40, 30}, {600, 130}},   // left, below
        {{900, 700, 40, 30}, {600, 500}},   // left, above
        {{100, 650, 850, 100}, {950, 750}}, // nowhere: the first place
    };
    for (const auto& c : cases) EXPECT_EQ(PlaceBesideButton(c.button, dialog, screen), c.expected) << c.button.x();
}

// Every control of the pane on show lies inside the dialog and clear of
// every other; the pictures are written for looking at.
TEST_F(KeyDialogTest, EveryPaneShowsItsControlsWithoutOverlaps)
{
    QDir().mkpath(QStringLiteral(KESTRUNE_REVIEW_DIR));
    // With the shipped texts, whose lengths are what the places must hold.
    LoadLanguageTableAndKeyNames();
    ASSERT_TRUE(dialog->Open(ButtonOf(kKeyA)));
    const std::pair<const char*, const char*> panes[] = {{"CONTROL_KEY", "key"},
                                                         {"CONTROL_MACRO", "macro"},
                                                         {"CONTROL_MEDIA", "media"},
                                                         {"CONTROL_FUNCTION", "function"}};
    for (const auto& [tab, name] : panes) {
        Click(tab);
        QApplication::processEvents();
        std::vector<QWidget*> shown;
        for (QWidget* w : dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (!w->isVisible() || w->objectName() == QStringLiteral("CONTROL_MASK")) continue;
            if (w->objectName().isEmpty()) continue;
            shown.push_back(w);
            EXPECT_TRUE(dialog->rect().contains(w->geometry())) << name << " " << w->objectName().toStdString();
            EXPECT_GT(w->width(), 4) << name << " " << w->objectName().toStdString();
        }
        for (std::size_t i = 0; i < shown.size(); ++i)
            for (std::size_t j = i + 1; j < shown.size(); ++j)
                EXPECT_FALSE(shown[i]->geometry().intersects(shown[j]->geometry()))
                    << name << ": " << shown[i]->objectName().toStdString() << " overlaps "
                    << shown[j]->objectName().toStdString();
        dialog->grab().save(QStringLiteral(KESTRUNE_REVIEW_DIR "/composite-%1.png").arg(QLatin1String(name)));
    }
    TheLanguageTable().ResetToBuiltIn();
    ApplyLanguageToKeyNames(TheLanguageTable());
}

} // namespace
} // namespace kestrune
