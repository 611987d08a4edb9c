// A start that cannot go on (no usable device library, a skin picture that
// cannot be read) ends with a box for the user, the same words on standard
// error naming the file and what is wrong with it, and a failing exit status.

#include "WindowTestSupport.h"

#include "app/AboutDialog.h" // completes the window's QPointer member
#include "app/CommandLine.h"
#include "app/Startup.h"
#include "config/KeyButtonText.h"
#include "device/DeviceLibrary.h"
#include "emulator/ControlSocket.h"
#include "emulator/StateFile.h"

#include <dlfcn.h>

#include <fstream>
#include <functional>

namespace kestrune::test {
namespace {

void WriteFile(const std::filesystem::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

class StartupFailureTest : public WindowTest {
protected:
    StartupFailureTest()
    {
        SetVariable(emulator::kStateFileVariable, (root / "state.json").string());
        SetVariable(emulator::kControlSocketVariable, (root / "control").string());
        SetVariable(kDeviceLibraryVariable, EMULATOR_LIBRARY);
    }
};

struct FailureCase {
    const char* name;
    // Spoils the program folder (the argument) for the start.
    std::function<std::filesystem::path(const std::filesystem::path& program)> spoil;
    // What the message says is wrong.
    const char* reason;
};

TEST_F(StartupFailureTest, EachUnusableFileIsNamedInABoxAndOnStandardErrorAndTheStartFails)
{
    const FailureCase cases[] = {
        {"a device library that is not a library",
         [](const std::filesystem::path& dir) {
             const auto library = dir / "libHidRelayBroken.so";
             WriteFile(library, "not a shared object");
             ::setenv(kDeviceLibraryVariable, library.c_str(), 1);
             return library;
         },
         "cannot load the device library"},
        {"a device library that is not there",
         [](const std::filesystem::path& dir) {
             const auto library = dir / "libHidRelayGone.so";
             ::setenv(kDeviceLibraryVariable, library.c_str(), 1);
             return library;
         },
         "cannot load the device library"},
        {"a library that is some other library",
         [](const std::filesystem::path&) {
             Dl_info info{};
             ::dladdr(reinterpret_cast<const void*>(&qVersion), &info);
             ::setenv(kDeviceLibraryVariable, info.dli_fname, 1);
             return std::filesystem::path(info.dli_fname);
         },
         "does not export the function"},
        {"a background picture that does not decode",
         [](const std::filesystem::path& dir) {
             const auto picture = dir / "Skins" / "main_back.jpg";
             WriteFile(picture, "JFIF? no, just text");
             return picture;
         },
         "cannot decode"},
        {"a mask picture that is missing",
         [](const std::filesystem::path& dir) {
             const auto picture = dir / "Skins" / "main_mask.bmp";
             std::filesystem::remove(picture);
             return picture;
         },
         "cannot open"},
        {"an empty tray icon",
         [](const std::filesystem::path& dir) {
             const auto picture = dir / "Skins" / "tray128.png";
             WriteFile(picture, "");
             return picture;
         },
         "cannot load the tray icon"},
    };
    const std::filesystem::path pristine = root / "pristine";
    std::filesystem::copy(program, pristine, std::filesystem::copy_options::recursive);
    for (const FailureCase& failure : cases) {
        SCOPED_TRACE(failure.name);
        std::filesystem::remove_all(program);
        std::filesystem::copy(pristine, program, std::filesystem::copy_options::recursive);
        ::setenv(kDeviceLibraryVariable, EMULATOR_LIBRARY, 1);
        const std::string file = failure.spoil(program).string();
        boxes.clear();

        ::testing::internal::CaptureStderr();
        const int status = RunWindowProgram(CommandLine{}, nullptr);
        const std::string stderrText = ::testing::internal::GetCapturedStderr();

        EXPECT_EQ(status, kExitFailed);
        EXPECT_NE(stderrText.find(file), std::string::npos) << stderrText;
        EXPECT_NE(stderrText.find(failure.reason), std::string::npos) << stderrText;
        ASSERT_EQ(boxes.size(), 1u) << stderrText;
        EXPECT_FALSE(boxes[0].question);
        EXPECT_TRUE(boxes[0].text.contains(QString::fromStdString(file))) << boxes[0].text.toStdString();
        EXPECT_TRUE(boxes[0].text.contains(QString::fromLatin1(failure.reason))) << boxes[0].text.toStdString();
    }
}

// The start reads the language file before anything can fail; a start that
// ends early at the tray icon still shows what it gave the key model.
TEST_F(StartupFailureTest, TheStartNamesTheMediaFunctionsFromTheLanguageFile)
{
    ResetKeyLanguageTexts();
    std::filesystem::remove(program / "Skins" / "tray128.png");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(RunWindowProgram(CommandLine{}, nullptr), kExitFailed);
    ::testing::internal::GetCapturedStderr();

    for (const KeyLanguageEntry& entry : KeyLanguageEntries())
        EXPECT_EQ(KeyLanguageText(entry.languageKey), TheLanguageTable().Text(entry.languageKey)) << entry.languageKey;
    // The key dialog's media list: the file's names, not the placeholder built in.
    for (std::size_t row = 0; row < kMediaCount; ++row) EXPECT_NE(MediaText(row), u"Hello world") << row;
    ResetKeyLanguageTexts();
}

} // namespace
} // namespace kestrune::test
