#include "app/CommandLine.h"

#include <gtest/gtest.h>

using namespace kestrune;

TEST(CommandLineTest, WordsInAnyLetterCaseAndGnuSpellings)
{
    struct Case {
        std::vector<std::string> arguments;
        bool start, kill, help, version;
        std::vector<std::string> ignored;
    };
    const Case cases[] = {
        {{}, false, false, false, false, {}},
        {{"/Start"}, true, false, false, false, {}},
        {{"/sTaRt"}, true, false, false, false, {}},
        {{"--start"}, true, false, false, false, {}},
        {{"/KILL"}, false, true, false, false, {}},
        {{"--kill", "/start"}, true, true, false, false, {}},
        {{"/Kill", "/Start"}, true, true, false, false, {}},
        {{"--help"}, false, false, true, false, {}},
        {{"--version"}, false, false, false, true, {}},
        // Only the exact words: near misses are ignored, not taken.
        {{"/Started", "Start", "--START", "-start", "/"},
         false,
         false,
         false,
         false,
         {"/Started", "Start", "--START", "-start", "/"}},
    };
    for (const Case& c : cases) {
        const CommandLine line = ParseCommandLine(c.arguments);
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        EXPECT_EQ(line.start, c.start);
        EXPECT_EQ(line.kill, c.kill);
        EXPECT_EQ(line.help, c.help);
        EXPECT_EQ(line.version, c.version);
        EXPECT_EQ(line.ignored, c.ignored);
    }
}
