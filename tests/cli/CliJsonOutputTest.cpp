// What status, lighting and profile print with --json, against the text they
// print and what the emulated keyboard holds; and command lines that name
// what is wrong with them.

#include "CliTestSupport.h"

#include "common/Version.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace kestrune::cli::testing {
namespace {

nlohmann::json Json(const RunResult& run)
{
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return nlohmann::json::parse(run.out);
}

TEST(CliDevice, StatusLightingAndProfilePrintJsonOfWhatTheKeyboardHolds)
{
    CliFolders folders;
    ASSERT_EQ(folders.Cli({"profile", "set", "2"}).exitCode, 0);
    ASSERT_EQ(folders.Cli({"lighting", "set", "--effect", "4", "--brightness", "1", "--speed", "3", "--direction",
                           "right", "--colour", "12AB0F", "--rainbow", "on", "--trigger", "grid"})
                  .exitCode,
              0);

    EXPECT_EQ(Json(folders.Cli({"profile", "--json"})), nlohmann::json({{"activeProfile", 2}}));

    const nlohmann::json lighting = Json(folders.Cli({"lighting", "--json"}));
    EXPECT_EQ(lighting["effect"], 4);
    EXPECT_EQ(lighting["brightness"], 1);
    EXPECT_EQ(lighting["speed"], 3);
    EXPECT_EQ(lighting["direction"], "right");
    const nlohmann::json trail = lighting["effects"][0];
    EXPECT_EQ(trail, nlohmann::json({{"effect", 4}, {"colour", "12AB0F"}, {"rainbow", true}, {"trigger", "grid"}}));
    ASSERT_TRUE(lighting["effectsOffered"].is_array());
    // The same facts as the text, effect by effect.
    const std::string text = folders.Cli({"lighting"}).out;
    for (const auto& effect : lighting["effects"]) {
        const std::string line = "effect " + std::to_string(effect["effect"].get<int>()) + ": colour " +
                                 effect["colour"].get<std::string>();
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    }

    const nlohmann::json status = Json(folders.Cli({"status", "--json"}));
    EXPECT_EQ(status["attached"], true);
    EXPECT_EQ(status["activeProfile"], 2);
    EXPECT_GT(status["macroCapacity"].get<int>(), 0);
    EXPECT_EQ(status["effectsOffered"], lighting["effectsOffered"]);
    EXPECT_EQ(status["lighting"]["effects"], lighting["effects"]);
    EXPECT_NE(folders.Cli({"status"}).out.find("Macro capacity: " + status["macroCapacity"].dump() + " bytes"),
              std::string::npos);

    ASSERT_EQ(folders.Emu({"unplug"}).exitCode, 0);
    const RunResult absent = folders.Cli({"status", "--json"});
    EXPECT_EQ(absent.exitCode, 1);
    EXPECT_EQ(nlohmann::json::parse(absent.out), nlohmann::json({{"attached", false}}));
}

TEST(CliUsage, UnknownOptionsAndCommandsAreNamed)
{
    CliFolders folders;
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"--bogus"}, "unknown option --bogus"},
        {{"bogus"}, "unknown command bogus"},
        {{"--bogus", "status"}, "--bogus"},
        {{"status", "--bogus"}, "--bogus"},
    };
    for (const auto& c : cases) {
        const RunResult cli = folders.CliPlain(c.args);
        EXPECT_EQ(cli.exitCode, 2) << c.args[0];
        EXPECT_NE(cli.err.find(c.message), std::string::npos) << cli.err;
        if (c.args.size() > 1) continue; // the emulator has commands of its own
        const RunResult emu = folders.Emu(c.args);
        EXPECT_NE(emu.exitCode, 0);
        EXPECT_NE(emu.err.find(c.message), std::string::npos) << emu.err;
    }
    const RunResult version = folders.Emu({"--version"});
    EXPECT_EQ(version.exitCode, 0) << version.err;
    EXPECT_EQ(version.out, std::string("kestrune-emu ") + VersionString() + "\n");
}

} // namespace
} // namespace kestrune::cli::testing
