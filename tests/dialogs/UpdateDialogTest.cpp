#include "DialogFixture.h"

#include "config/ConfigBlock.h"
#include "config/ProfileFile.h"
#include "ui/FirmwareUpdateDialog.h"

#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QTest>

#include <fstream>
#include <thread>

namespace kestrune::test {
namespace {

class UpdateDialogTest : public KeyboardDialogTest {
protected:
    void SetUp() override
    {
        KeyboardDialogTest::SetUp();
        if (HasFatalFailure()) return;
        package = program / "Package";
        std::filesystem::create_directories(package);
        dialog = std::make_unique<FirmwareUpdateDialog>(nullptr, *protocol, Store(), runDevice, language);
    }
    void TearDown() override
    {
        dialog.reset();
        KeyboardDialogTest::TearDown();
    }

    void Open()
    {
        dialog->show();
        ASSERT_TRUE(dialog->isVisible());
        path = dialog->findChild<QComboBox*>("CONTROL_UPCombox");
        ASSERT_NE(path, nullptr);
    }

    void Click(const char* key)
    {
        auto* button = dialog->findChild<ImageButton*>(key);
        ASSERT_NE(button, nullptr) << key;
        ASSERT_TRUE(button->isEnabled()) << key;
        QTest::mouseClick(button, Qt::LeftButton);
    }

    void Choose(const std::filesystem::path& file)
    {
        prompts.files = {QString::fromStdString(file.string())};
        Click("CONTROL_OPENButton");
    }

    // An updater that notes the folder it runs in.
    std::filesystem::path WriteUpdater(const std::string& name, std::filesystem::perms mode)
    {
        const auto file = package / name;
        std::ofstream(file) << "#!/bin/sh\npwd > '" << (scratch / "ran").string() << "'\n";
        std::filesystem::permissions(file, mode);
        return file;
    }

    // Presses Update and waits for its keyboard work to end.
    void Update()
    {
        Click("CONTROL_UPButton");
        ASSERT_TRUE(WaitUntil([&] { return !dialog->Busy(); }));
    }

    static QString BuiltIn(const char* key)
    {
        return QString::fromStdU16String(std::u16string(*BuiltInLanguageText(key)));
    }

    std::filesystem::path package;
    std::unique_ptr<FirmwareUpdateDialog> dialog;
    QComboBox* path = nullptr;
};

constexpr auto kExecutable =
    std::filesystem::perms::owner_all | std::filesystem::perms::group_read | std::filesystem::perms::group_exec;
constexpr auto kReadWrite = std::filesystem::perms::owner_read | std::filesystem::perms::owner_write;

TEST_F(UpdateDialogTest, OpenStartsInThePackageFolderAndOffersPrograms)
{
    Open();
    EXPECT_EQ(dialog->findChild<QLabel*>("CONTROL_UPStatic")->text(), "Update program:");
    EXPECT_EQ(dialog->windowTitle(), "Firmware update");
    // The empty path box shows the dark field of the skin, not the desktop's white.
    ASSERT_TRUE(path->currentText().isEmpty());
    const QImage box = path->grab().toImage();
    EXPECT_LT(box.pixelColor(box.width() / 2, box.height() / 2).lightness(), 64);
    const auto updater = WriteUpdater("flash", kExecutable);
    Choose(updater);
    ASSERT_EQ(prompts.fileDialogs.size(), 1u);
    const FileDialogRequest& asked = prompts.fileDialogs[0];
    EXPECT_FALSE(asked.save);
    EXPECT_EQ(asked.initialPath.toStdString(), package.string());
    EXPECT_TRUE(asked.executablesOnly);
    EXPECT_EQ(dialog->UpdateFilePath().toStdString(), updater.string());
    EXPECT_EQ(path->currentText().toStdString(), updater.string());

    // Cancelled: the choice stays.
    prompts.files = {QString()};
    Click("CONTROL_OPENButton");
    EXPECT_EQ(dialog->UpdateFilePath().toStdString(), updater.string());
    SaveScreenshot(*dialog, "update-dialog.png");
}

TEST_F(UpdateDialogTest, AnUpdaterThatCannotRunSendsNothing)
{
    std::filesystem::create_directories(package / "folder");
    struct Case {
        const char* what;
        QString typed;
        QString message;
    };
    const QString notExecutable = QString::fromStdString(WriteUpdater("plain", kReadWrite).string());
    const Case cases[] = {
        {"nothing chosen", "", BuiltIn("MAIN_UPDATE_ERROR_TEXT")},
        {"gone", QString::fromStdString((package / "gone").string()), BuiltIn("MAIN_UPDATE_ERROR_TEXT")},
        {"a folder", QString::fromStdString((package / "folder").string()), BuiltIn("MAIN_UPDATE_ERROR_TEXT")},
        {"not executable", notExecutable, "This file cannot be run as a program:\n" + notExecutable},
    };
    Open();
    const std::size_t sent = Received().size();
    for (const Case& c : cases) {
        prompts.messages.clear();
        path->setEditText(c.typed);
        Update();
        ASSERT_EQ(prompts.messages.size(), 1u) << c.what;
        EXPECT_EQ(prompts.messages[0].text, c.message) << c.what;
        EXPECT_TRUE(dialog->isVisible()) << c.what;
        EXPECT_EQ(dialog->UpdateFilePath(), c.typed) << c.what;
    }
    EXPECT_EQ(Received().size(), sent);
    EXPECT_FALSE(std::filesystem::exists(scratch / "ran"));
}

TEST_F(UpdateDialogTest, UpdateSendsTheBootReportThenStartsTheUpdaterInThePackageFolder)
{
    Open();
    Choose(WriteUpdater("flash", kExecutable));
    Update();
    EXPECT_TRUE(prompts.messages.empty()) << prompts.Texts().join("\n").toStdString();
    const std::vector<std::string> sent = Received();
    ASSERT_FALSE(sent.empty());
    std::string boot = "04 00 00 ee ee";
    for (int i = 5; i < 64; ++i) boot += " 00";
    EXPECT_EQ(sent.back(), boot);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_TRUE(dialog->UpdateFilePath().isEmpty());

    ASSERT_TRUE(WaitUntil(
        [&] { return std::filesystem::exists(scratch / "ran") && std::filesystem::file_size(scratch / "ran") > 0; }));
    std::string ranIn;
    std::getline(std::ifstream(scratch / "ran"), ranIn);
    EXPECT_EQ(std::filesystem::canonical(ranIn), std::filesystem::canonical(package));
}

TEST_F(UpdateDialogTest, ARefusedBootRequestKeepsTheUpdaterAndStartsNothing)
{
    Open();
    const auto updater = WriteUpdater("flash", kExecutable);
    Choose(updater);
    // The cable comes out after the next report, so the boot request finds no keyboard.
    Control({"fault", "unplug-after", "1"});
    std::array<std::uint8_t, wire::kSettingsRecordSize> record{};
    ASSERT_EQ(protocol->ReadSettings(record), kResultOk);
    const std::size_t sent = Received().size();

    Update();
    ASSERT_EQ(prompts.messages.size(), 1u);
    EXPECT_EQ(prompts.messages[0].text, BuiltIn("MAIN_BOOT_ERROR_TEXT"));
    EXPECT_EQ(Received().size(), sent);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->UpdateFilePath().toStdString(), updater.string());
    EXPECT_FALSE(std::filesystem::exists(scratch / "ran"));
}

TEST_F(UpdateDialogTest, AnUpdaterTheSystemCannotStartIsReported)
{
    Open();
    // Executable, but neither a script nor a program.
    const auto updater = package / "broken";
    std::ofstream(updater) << "not a program";
    std::filesystem::permissions(updater, kExecutable);
    Choose(updater);
    Update();
    ASSERT_EQ(prompts.messages.size(), 1u);
    EXPECT_TRUE(prompts.messages[0].text.startsWith(BuiltIn("MAIN_SHELL_ERROR_TEXT") + "\n"))
        << prompts.messages[0].text.toStdString();
    EXPECT_EQ(Received().back().substr(0, 14), "04 00 00 ee ee");
    EXPECT_TRUE(dialog->UpdateFilePath().isEmpty());
    EXPECT_TRUE(dialog->isVisible());
}

TEST_F(UpdateDialogTest, CancelForgetsTheUpdater)
{
    Open();
    Choose(WriteUpdater("flash", kExecutable));
    Click("CONTROL_CUPButton");
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_TRUE(dialog->UpdateFilePath().isEmpty());
    Open();
    EXPECT_TRUE(path->currentText().isEmpty());
    const std::size_t sent = Received().size();
    Update();
    EXPECT_EQ(prompts.Texts(), QStringList{BuiltIn("MAIN_UPDATE_ERROR_TEXT")});
    EXPECT_EQ(Received().size(), sent);
}

TEST_F(UpdateDialogTest, BackupWritesTheCurrentConfigurationOrSaysWhyNot)
{
    Open();
    const auto backup = scratch / "backup.kpf";
    prompts.files = {QString::fromStdString(backup.string())};
    Click("CONTROL_BACKUPButton");
    ASSERT_EQ(prompts.fileDialogs.size(), 1u);
    EXPECT_TRUE(prompts.fileDialogs[0].save);
    EXPECT_EQ(prompts.fileDialogs[0].defaultSuffix, "kpf");
    ASSERT_TRUE(WaitUntil([&] { return !dialog->Busy(); }));
    EXPECT_EQ(prompts.Texts(), QStringList{BuiltIn("MAIN_UPDATE_BACKUP_OK")});
    ConfigStore reread;
    ASSERT_TRUE(ReadProfileFile(reread, backup).ok());
    {
        std::scoped_lock locks(Store().CurrentLock(), reread.CurrentLock());
        EXPECT_EQ(reread.Current().Block()->maps, Store().Current().Block()->maps);
    }

    prompts.messages.clear();
    const auto nowhere = scratch / "missing" / "backup.kpf";
    prompts.files = {QString::fromStdString(nowhere.string())};
    Click("CONTROL_BACKUPButton");
    ASSERT_TRUE(WaitUntil([&] { return !dialog->Busy(); }));
    ASSERT_EQ(prompts.messages.size(), 1u);
    EXPECT_TRUE(prompts.messages[0].text.startsWith(BuiltIn("MAIN_UPDATE_BACKUP_NG") + "\n"));
    EXPECT_TRUE(prompts.messages[0].text.contains(QString::fromStdString(nowhere.string())))
        << prompts.messages[0].text.toStdString();
    EXPECT_TRUE(dialog->isVisible());
}

} // namespace
} // namespace kestrune::test
