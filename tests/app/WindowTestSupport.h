#pragma once

// What the window tests share: a program folder of their own holding a copy
// of the shipped skin and help (a language switch writes the language file),
// a home folder of their own for the profile folder, and hooks that answer
// every message box, file dialog and opened URL, recording what was asked.

#include "UiTestSupport.h"
#include "app/MainWindow.h"
#include "config/Folders.h"
#include "config/LanguageTable.h"
#include "config/Settings.h"
#include "support/EnvOverride.h"
#include "support/ScratchFolder.h"
#include "ui/UserDialogs.h"

#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

// Waits that fail the test. Qt Test's QTRY_ macros report to a Qt Test run,
// which GoogleTest never sees: their failed wait returned in silence.
#define WAIT_TRUE(condition, ms)                                                                                       \
    ASSERT_TRUE(                                                                                                       \
        ::kestrune::test::WaitUntil([&] { return static_cast<bool>(condition); }, std::chrono::milliseconds(ms)))      \
        << "never true: " #condition
#define WAIT_EQ(actual, expected, ms)                                                                                  \
    do {                                                                                                               \
        ::kestrune::test::WaitUntil([&] { return (actual) == (expected); }, std::chrono::milliseconds(ms));            \
        ASSERT_EQ(actual, expected);                                                                                   \
    } while (false)

namespace kestrune::test {

class WindowTest : public QtTest {
protected:
    WindowTest()
    {
        program = root / "program";
        home = root / "home";
        std::filesystem::create_directories(program);
        std::filesystem::create_directories(home / "Documents");
        for (const char* sub : {"Skins", "Help"})
            std::filesystem::copy(std::filesystem::path(KESTRUNE_PROGRAM_DIR) / sub, program / sub,
                                  std::filesystem::copy_options::recursive);
        SetProgramFolder(program);
        SetVariable("HOME", home.string());
        SetVariable("XDG_CONFIG_HOME", (home / ".config").string());
        LoadLanguageTable();
        settings = std::make_unique<IniUserSettings>(root / "user.ini");

        SetMessageBoxHook([this](const MessageBoxRequest& request) {
            boxes.push_back(request);
            if (request.question) {
                const bool yes = !answers.empty() && answers.front();
                if (!answers.empty()) answers.pop_front();
                return yes ? QMessageBox::Yes : QMessageBox::No;
            }
            return QMessageBox::Ok;
        });
        SetFileDialogHook([this](const FileDialogRequest& request) {
            fileDialogs.push_back(request);
            return chosenFile;
        });
        SetOpenUrlHook([this](const QUrl& url) {
            openedUrls.push_back(url);
            return urlsOpen;
        });
    }

    ~WindowTest() override
    {
        window.reset();
        SetMessageBoxHook({});
        SetFileDialogHook({});
        SetOpenUrlHook({});
        SetProgramFolder(std::nullopt);
        LoadLanguageTable();
    }

    // Sets (or, with nullopt, removes) an environment variable until the test ends.
    void SetVariable(const std::string& name, const std::optional<std::string>& value)
    {
        // The latest first, so the variables come back in the reverse order.
        environment.emplace_front(name, value);
    }

    // Builds and initialises the window, hidden, as start-up does.
    void MakeWindow()
    {
        window = std::make_unique<MainWindow>(*settings);
        ASSERT_TRUE(window->Initialise());
    }

    // The language text of a table key, as a box would show it.
    static QString Text(std::string_view key) { return QString::fromStdU16String(TheLanguageTable().Text(key)); }
    // A caption the window reads from the language file's English section.
    QString EnglishCaption(std::string_view key) const
    {
        auto file = IniFile::Load(program / "Skins" / "language.ini");
        return QString::fromStdU16String(file->ReadString(kEnglishSection, key, u" "));
    }

    std::vector<QString> BoxTexts() const
    {
        std::vector<QString> texts;
        for (const auto& box : boxes) texts.push_back(box.text);
        return texts;
    }

    kestrune::testing::ScratchFolder scratch{"kestrune-window"};
    std::deque<kestrune::testing::EnvOverride> environment;
    std::filesystem::path root = scratch.Path(), program, home;
    std::unique_ptr<IniUserSettings> settings;
    std::unique_ptr<MainWindow> window;

    std::vector<MessageBoxRequest> boxes;
    std::deque<bool> answers; // Yes (true) or No for the questions to come; No when empty
    std::vector<FileDialogRequest> fileDialogs;
    QString chosenFile;
    std::vector<QUrl> openedUrls;
    bool urlsOpen = true; // whether the desktop takes the URLs handed to it
};

} // namespace kestrune::test
