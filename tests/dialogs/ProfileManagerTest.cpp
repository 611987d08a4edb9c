#include "DialogFixture.h"

#include "config/ConfigBlock.h"
#include "ui/ProfileManagerDialog.h"

#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include <fstream>

namespace kestrune::test {
namespace {

class RecordingOwner : public ProfileManagerOwner {
public:
    std::vector<std::string> calls;
    void BuildProfileMenu(bool create) override { calls.push_back(create ? "menu create" : "menu"); }
    void SetUnappliedChanges(bool unapplied) override { calls.push_back(unapplied ? "unapplied" : "applied"); }
};

class ProfileManagerTest : public KeyboardDialogTest {
protected:
    void SetUp() override
    {
        KeyboardDialogTest::SetUp();
        if (HasFatalFailure()) return;
        dialog = std::make_unique<ProfileManagerDialog>(nullptr, *transfer, runDevice, settings, language, owner);
    }
    void TearDown() override
    {
        dialog.reset();
        KeyboardDialogTest::TearDown();
    }

    void Open()
    {
        dialog->show();
        ASSERT_TRUE(dialog->IsOpen());
        list = dialog->findChild<QTableWidget*>("PROGRAM_LIST");
        ASSERT_NE(list, nullptr);
    }

    ImageButton* Button(const char* key) { return dialog->findChild<ImageButton*>(key); }

    void Click(const char* key)
    {
        ImageButton* button = Button(key);
        ASSERT_NE(button, nullptr) << key;
        ASSERT_TRUE(button->isEnabled()) << key;
        QTest::mouseClick(button, Qt::LeftButton);
    }

    void SetChecked(int row, bool checked) { list->item(row, 0)->setCheckState(checked ? Qt::Checked : Qt::Unchecked); }

    std::vector<int> CheckedRows() const
    {
        std::vector<int> rows;
        for (int row = 0; row < list->rowCount(); ++row)
            if (list->item(row, 0)->checkState() == Qt::Checked) rows.push_back(row);
        return rows;
    }

    std::vector<QString> Names() const
    {
        std::vector<QString> names;
        for (int row = 0; row < list->rowCount(); ++row) names.push_back(list->item(row, 1)->text());
        return names;
    }

    // Applies through the button and waits for the keyboard work to end.
    void ApplyAndWait(const char* key = "CONTROL2_APPLY")
    {
        Click(key);
        ASSERT_TRUE(WaitUntil([&] { return !dialog->Busy(); }));
    }

    std::size_t SettingsWritesSince(std::size_t mark)
    {
        const std::vector<std::string> sent = Received();
        std::size_t writes = 0;
        // Command 4, a settings write: "04 ss ss 04 ..."
        for (std::size_t i = mark; i < sent.size(); ++i) writes += sent[i].compare(9, 2, "04") == 0;
        return writes;
    }

    QString Folder() const { return QString::fromStdString(ProfileFolderPath().string()) + "/"; }

    RecordingOwner owner;
    std::unique_ptr<ProfileManagerDialog> dialog;
    QTableWidget* list = nullptr;
};

TEST_F(ProfileManagerTest, OpensOnTheThreeKeyboardRowsWithTheActiveOneChecked)
{
    transfer->SetActiveProfile(1);
    ASSERT_EQ(KeyboardActiveProfile(), 1);
    Open();

    ASSERT_EQ(list->rowCount(), 3);
    // Named as the shipped language file names the keyboard's profiles, not
    // after the working file they share.
    EXPECT_EQ(Names(), (std::vector<QString>{"Profile 1", "Profile 2", "Profile 3"}));
    for (int row = 0; row < 3; ++row) {
        EXPECT_EQ(list->item(row, 2)->text(), Folder());
        EXPECT_TRUE(list->item(row, 0)->text().isEmpty());
    }
    EXPECT_EQ(CheckedRows(), std::vector<int>{1});
    EXPECT_FALSE(dialog->ApplyPending());
    EXPECT_FALSE(Button("CONTROL2_APPLY")->isEnabled());

    EXPECT_EQ(list->columnWidth(1), 120);
    EXPECT_FALSE(list->horizontalHeader()->sectionsClickable());
    EXPECT_EQ(list->selectionMode(), QAbstractItemView::SingleSelection);
    // Placed from the default skin, every button and the list.
    for (const char* key : {"FUNC_ADD", "FUNC_LOAD", "FUNC_DELETE", "CONTROL_OK", "CONTROL_CANCEL"}) {
        ASSERT_NE(Button(key), nullptr) << key;
        EXPECT_TRUE(Button(key)->isEnabled()) << key;
        EXPECT_GT(Button(key)->width(), 1) << key;
    }
    EXPECT_GT(list->width(), 100);
    SaveScreenshot(*dialog, "profile-manager.png");
}

TEST_F(ProfileManagerTest, CheckingIsSingleAndOkSwitchesTheKeyboardAndRebuilds)
{
    Open();
    ASSERT_EQ(CheckedRows(), std::vector<int>{0});
    SetChecked(2, true);
    EXPECT_EQ(CheckedRows(), std::vector<int>{2});
    EXPECT_TRUE(dialog->ApplyPending());
    EXPECT_TRUE(Button("CONTROL2_APPLY")->isEnabled());

    const int refreshes = window.refreshes;
    ApplyAndWait("CONTROL_OK");
    EXPECT_EQ(KeyboardActiveProfile(), 2);
    EXPECT_EQ(transfer->CachedActiveProfile(), 2);
    EXPECT_GT(window.refreshes, refreshes);
    EXPECT_EQ(owner.calls, (std::vector<std::string>{"menu", "applied"}));
    EXPECT_FALSE(dialog->IsOpen());
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_TRUE(prompts.messages.empty()) << prompts.Texts().join("\n").toStdString();

    // The list is kept in the user settings: rows, then the count.
    const QString kept = Folder() + "$Profile0.kpf";
    EXPECT_EQ(settings.Read(kUserSettingsSection, u"PROFILE00", u""), u"3");
    for (const char16_t* name : {u"PROFILE01", u"PROFILE02", u"PROFILE03"})
        EXPECT_EQ(settings.Read(kUserSettingsSection, name, u""), kept.toStdU16String());
    EXPECT_EQ(settings.Read(kUserSettingsSection, u"PROFILE04", u"none"), u"none");
}

TEST_F(ProfileManagerTest, NoCheckedRowSwitchesNothingButStillRebuilds)
{
    Open();
    SetChecked(0, false); // the box of the checked row
    EXPECT_TRUE(CheckedRows().empty());
    EXPECT_TRUE(dialog->ApplyPending());

    const std::size_t mark = Received().size();
    const int refreshes = window.refreshes;
    ApplyAndWait();
    EXPECT_EQ(SettingsWritesSince(mark), 0u);
    EXPECT_EQ(KeyboardActiveProfile(), 0);
    EXPECT_GT(window.refreshes, refreshes);
    EXPECT_TRUE(dialog->IsOpen());
    EXPECT_FALSE(dialog->ApplyPending());
    EXPECT_TRUE(prompts.messages.empty());
}

TEST_F(ProfileManagerTest, AddWritesADefaultProfileFileAndCancelForgetsTheRow)
{
    Open();
    prompts.files = {Folder() + "The new contextual  mode.kpf"};
    Click("FUNC_ADD");
    ASSERT_EQ(prompts.fileDialogs.size(), 1u);
    const FileDialogRequest& asked = prompts.fileDialogs[0];
    EXPECT_TRUE(asked.save);
    EXPECT_EQ(asked.initialPath, Folder() + "The new contextual  mode");
    EXPECT_EQ(asked.defaultSuffix, "kpf");
    EXPECT_EQ(asked.filter, "(*.kpf);;(*)");

    const auto file = ProfileFolderPath() / "The new contextual  mode.kpf";
    ASSERT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(std::filesystem::file_size(file), kConfigBlockSize);
    ASSERT_EQ(list->rowCount(), 4);
    EXPECT_EQ(list->item(3, 1)->text(), "The new contextual  mode");
    EXPECT_EQ(list->item(3, 2)->text(), Folder());
    EXPECT_TRUE(dialog->ApplyPending());

    Click("CONTROL_CANCEL");
    EXPECT_FALSE(dialog->IsOpen());
    EXPECT_FALSE(dialog->ApplyPending());
    EXPECT_TRUE(owner.calls.empty());
    Open();
    EXPECT_EQ(list->rowCount(), 3);
    EXPECT_TRUE(std::filesystem::exists(file));
}

// The headings speak the language chosen, the list is drawn in the skin's
// colours over its field, and the dialog's hidden button is there, unusable.
TEST_F(ProfileManagerTest, HeadingsFollowTheLanguageAndTheListWearsTheSkin)
{
    // A language file of this test's own, beside the shared skin pictures.
    const std::filesystem::path skins = program / "Skins";
    const std::filesystem::path shared = std::filesystem::read_symlink(skins);
    std::filesystem::remove(skins);
    std::filesystem::create_directory(skins);
    for (const auto& entry : std::filesystem::directory_iterator(shared)) {
        if (entry.path().filename() == "language.ini")
            std::filesystem::copy_file(entry.path(), skins / "language.ini");
        else
            std::filesystem::create_symlink(entry.path(), skins / entry.path().filename());
    }
    struct Case {
        int language;
        const char* headings[3];
        const char* title;
        const char* screenshot;
    };
    const Case cases[] = {
        {kChineseLanguageIndex, {"激活", "名称", "路径"}, "情景模式管理", "profile-manager-chinese.png"},
        {kEnglishLanguageIndex, {"Active", "Name", "Folder"}, "Profile manager", "profile-manager-english.png"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.language);
        ASSERT_TRUE(WriteLanguageIndex(LanguageFilePath(), c.language).ok());
        Open();
        for (int column = 0; column < 3; ++column)
            EXPECT_EQ(list->horizontalHeaderItem(column)->text(), QString::fromUtf8(c.headings[column]));
        EXPECT_EQ(dialog->windowTitle(), QString::fromUtf8(c.title));
        const QImage drawn = dialog->grab().toImage();
        SaveScreenshot(*dialog, c.screenshot);
        // Below the last row the list shows the dark field of the picture, not a white page.
        const QPoint empty = list->geometry().bottomLeft() + QPoint(40, -12);
        EXPECT_LT(qGray(drawn.pixel(empty)), 64);
        const QColor text = list->palette().color(QPalette::Text);
        EXPECT_GT(text.lightness(), 200) << "text in the skin's light colour";
        dialog->OnCancel();
    }
    auto* test = dialog->findChild<QPushButton*>(QString::number(kProfileTestControl));
    ASSERT_NE(test, nullptr);
    EXPECT_EQ(test->text(), "Test");
    EXPECT_FALSE(test->isVisible());
    EXPECT_FALSE(test->isEnabled());
}

TEST_F(ProfileManagerTest, TheOfferedNameFollowsTheLanguageText)
{
    const std::filesystem::path folder = "/docs/Mechanical Keyboard";
    EXPECT_EQ(NewProfileOffer(folder, u"\\New profile"), "/docs/Mechanical Keyboard/New profile");
    // A language file without the key gives a blank.
    EXPECT_EQ(NewProfileOffer(folder, u" "), "/docs/Mechanical Keyboard ");
    EXPECT_EQ(RowTextOf("/a/b.c/name.v2.kpf").name, "name.v2");
    EXPECT_EQ(KeptPathOf(RowTextOf("/a/x.bin")), "/a/x.kpf");
}

TEST_F(ProfileManagerTest, AddThatCannotWriteSaysWhyAndAddsNoRow)
{
    Open(); // creates the profile folder
    std::filesystem::create_directory(ProfileFolderPath() / "taken.kpf");
    struct Case {
        const char* what;
        QString path;
    };
    const Case cases[] = {
        {"a folder by that name", Folder() + "taken.kpf"},
        {"a folder that is not there", Folder() + "missing/new.kpf"},
    };
    for (const Case& c : cases) {
        prompts.messages.clear();
        prompts.files = {c.path};
        Click("FUNC_ADD");
        ASSERT_EQ(prompts.messages.size(), 1u) << c.what;
        EXPECT_TRUE(prompts.messages[0].text.startsWith("The profile file could not be written:")) << c.what;
        EXPECT_TRUE(prompts.messages[0].text.contains(c.path)) << prompts.messages[0].text.toStdString();
        EXPECT_EQ(list->rowCount(), 3) << c.what;
        EXPECT_FALSE(dialog->ApplyPending()) << c.what;
    }

    ReadOnlyFolder locked(ProfileFolderPath());
    if (!locked.Usable()) GTEST_SKIP() << "no way to make a folder read-only here";
    prompts.messages.clear();
    prompts.files = {Folder() + "new.kpf"};
    Click("FUNC_ADD");
    ASSERT_EQ(prompts.messages.size(), 1u);
    EXPECT_TRUE(prompts.messages[0].text.contains(Folder() + "new.kpf")) << prompts.messages[0].text.toStdString();
    EXPECT_EQ(list->rowCount(), 3);
    EXPECT_FALSE(std::filesystem::exists(ProfileFolderPath() / "new.kpf"));
}

TEST_F(ProfileManagerTest, LoadAppendsAnyFileAndDeleteMovesTheSelection)
{
    Open();
    const QString other = QString::fromStdString((scratch / "elsewhere" / "mine.bin").string());
    prompts.files = {other, QString()};
    Click("FUNC_LOAD");
    ASSERT_EQ(prompts.fileDialogs.size(), 1u);
    EXPECT_FALSE(prompts.fileDialogs[0].save);
    EXPECT_EQ(prompts.fileDialogs[0].initialPath, Folder() + "*.kpf");
    ASSERT_EQ(list->rowCount(), 4); // not there, and not looked at
    EXPECT_EQ(list->item(3, 1)->text(), "mine");
    Click("FUNC_LOAD"); // cancelled
    EXPECT_EQ(list->rowCount(), 4);

    // Nothing selected: nothing deleted.
    list->clearSelection();
    SetChecked(0, false);
    SetChecked(0, true); // leaves Apply pending, which Delete must not touch
    Click("FUNC_DELETE");
    EXPECT_EQ(list->rowCount(), 4);

    // The last row: the one before it is selected.
    list->selectRow(3);
    Click("FUNC_DELETE");
    ASSERT_EQ(list->rowCount(), 3);
    ASSERT_EQ(list->selectionModel()->selectedRows().size(), 1);
    EXPECT_EQ(list->selectionModel()->selectedRows()[0].row(), 2);
    // Another row: the one after it is selected.
    list->selectRow(0);
    Click("FUNC_DELETE");
    EXPECT_EQ(list->rowCount(), 2);
    EXPECT_EQ(list->selectionModel()->selectedRows()[0].row(), 0);
    EXPECT_TRUE(dialog->ApplyPending());
}

TEST_F(ProfileManagerTest, RowsKeepTheirProfileAfterARowAboveIsDeleted)
{
    Open();
    list->selectRow(0);
    Click("FUNC_DELETE");
    ASSERT_EQ(list->rowCount(), 2);
    SetChecked(1, true); // the row of profile 2, now second
    ApplyAndWait();
    EXPECT_EQ(KeyboardActiveProfile(), 2);
    EXPECT_EQ(settings.Read(kUserSettingsSection, u"PROFILE00", u""), u"2");
}

TEST_F(ProfileManagerTest, ACheckedFileRowSelectsNoProfileAndSaysSo)
{
    transfer->SetActiveProfile(1);
    Open();
    const QString file = QString::fromStdString((scratch / "mine.kpf").string());
    prompts.files = {file};
    Click("FUNC_LOAD");
    SetChecked(3, true);
    EXPECT_EQ(CheckedRows(), std::vector<int>{3});

    const std::size_t mark = Received().size();
    const int refreshes = window.refreshes;
    ApplyAndWait();
    ASSERT_EQ(prompts.messages.size(), 1u);
    EXPECT_EQ(prompts.messages[0].text,
              file + " is a file, not one of the keyboard's three profiles: the keyboard stays on its profile.");
    EXPECT_EQ(SettingsWritesSince(mark), 0u);
    EXPECT_EQ(KeyboardActiveProfile(), 1);
    EXPECT_GT(window.refreshes, refreshes);
    EXPECT_EQ(settings.Read(kUserSettingsSection, u"PROFILE04", u""), (file.chopped(3) + "kpf").toStdU16String());
}

TEST_F(ProfileManagerTest, ASwitchTheKeyboardRefusesIsReported)
{
    Open();
    SetChecked(1, true);
    // The settings read goes through; the write is refused at every attempt.
    Control({"fault", "after", "1"});
    Control({"fault", "status", "ff", std::to_string(kSendAttempts)});
    ApplyAndWait();
    ASSERT_EQ(prompts.messages.size(), 1u);
    EXPECT_EQ(prompts.messages[0].text, "The keyboard did not switch to profile 2.");
    EXPECT_EQ(KeyboardActiveProfile(), 0);
}

TEST_F(ProfileManagerTest, AListTheSettingsCannotKeepIsReportedAndTheSwitchGoesOn)
{
    // The settings branch lies under a plain file: no folder can be made there.
    {
        std::ofstream(scratch / "config");
    }
    Open();
    SetChecked(2, true);
    ApplyAndWait();
    ASSERT_EQ(prompts.messages.size(), 1u);
    EXPECT_TRUE(prompts.messages[0].text.startsWith("The profile list could not be saved:"));
    EXPECT_EQ(KeyboardActiveProfile(), 2);
}

TEST_F(ProfileManagerTest, CloseProfileManagerCancelsAnOpenDialogOnly)
{
    EXPECT_EQ(dialog->CloseProfileManager(), 1);
    EXPECT_EQ(dialog->OpenCount(), 0);
    Open();
    prompts.files = {QString::fromStdString((scratch / "x.kpf").string())};
    Click("FUNC_LOAD");
    EXPECT_EQ(dialog->CloseProfileManager(), 1);
    EXPECT_EQ(dialog->OpenCount(), 0);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
    EXPECT_TRUE(owner.calls.empty());
    EXPECT_EQ(dialog->CloseProfileManager(), 1);
    EXPECT_EQ(dialog->OpenCount(), 0);
}

TEST_F(ProfileManagerTest, KeysHelpOkAndEscape)
{
    Open();
    QTest::keyClick(dialog.get(), Qt::Key_F1);
    ASSERT_EQ(prompts.opened.size(), 1u);
    EXPECT_TRUE(prompts.opened[0].toLocalFile().endsWith("/Help/index.html"));
    EXPECT_TRUE(owner.calls.empty());
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    EXPECT_FALSE(dialog->IsOpen());

    Open();
    SetChecked(1, true);
    QTest::keyClick(dialog.get(), Qt::Key_Return);
    ASSERT_TRUE(WaitUntil([&] { return !dialog->Busy(); }));
    EXPECT_FALSE(dialog->IsOpen());
    EXPECT_EQ(KeyboardActiveProfile(), 1);
}

TEST_F(ProfileManagerTest, ASwitchMadeElsewhereMovesTheCheck)
{
    Open();
    dialog->ShowSwitchedProfile(2);
    EXPECT_EQ(CheckedRows(), std::vector<int>{2});
    EXPECT_FALSE(dialog->ApplyPending());
}

} // namespace
} // namespace kestrune::test
