#include "HidAccess.h"
#include "support/ScratchFolder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace kestrune {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Report bodies: what sits inside a collection.
const Bytes kVendorBody = {0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40,
                           0x09, 0x01, 0x81, 0x02, 0x09, 0x01, 0x91, 0x02};
const Bytes kKeysBody = {0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81,
                         0x02, 0x95, 0x06, 0x75, 0x08, 0x26, 0xFF, 0x00, 0x19, 0x00, 0x2A, 0xFF, 0x00, 0x81, 0x00};
const Bytes kEnd = {0xC0};

const Bytes kCommand = Bytes{0x06, 0x1C, 0xFF, 0x09, 0x92, 0xA1, 0x01} + kVendorBody + kEnd;
const Bytes kConsumer = Bytes{0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x02, 0x19, 0x00, 0x2A, 0x3C,
                              0x02, 0x15, 0x00, 0x26, 0x3C, 0x02, 0x95, 0x01, 0x75, 0x10, 0x81, 0x00} +
                        kEnd;
const Bytes kBankStatus = Bytes{0x05, 0x08, 0x09, 0x89, 0xA1, 0x01} + kVendorBody + kEnd;
const Bytes kKeyboard = Bytes{0x05, 0x01, 0x09, 0x06, 0xA1, 0x01} + kKeysBody + kEnd;
const Bytes kMouse = {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09, 0x19, 0x01,
                      0x29, 0x03, 0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02, 0xC0, 0xC0};
const Bytes kOtherVendor = Bytes{0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01} + kVendorBody + kEnd;

TEST(HidAccess, GrantsOnlyTheNodesTheProgramOpens)
{
    struct Case {
        const char* name;
        Bytes descriptor;
        bool granted;
    };
    const Case cases[] = {
        {"command interface", kCommand, true},
        {"consumer reports", kConsumer, true},
        {"bank status", kBankStatus, true},
        {"typing interface", kKeyboard, false},
        {"mouse", kMouse, false},
        {"another vendor collection", kOtherVendor, false},
        {"typing and consumer on one node", kKeyboard + kConsumer, true},
        {"our usage nested inside the typing collection",
         Bytes{0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x06, 0x1C, 0xFF, 0x09, 0x92, 0xA1, 0x01, 0xC0} + kKeysBody + kEnd,
         false},
        {"our usage on a physical collection", Bytes{0x06, 0x1C, 0xFF, 0x09, 0x92, 0xA1, 0x00} + kVendorBody + kEnd,
         false},
        {"page in a four-byte usage", Bytes{0x0B, 0x92, 0x00, 0x1C, 0xFF, 0xA1, 0x01} + kVendorBody + kEnd, true},
        {"four-byte usage of another page", Bytes{0x06, 0x1C, 0xFF, 0x0B, 0x92, 0x00, 0x00, 0xFF, 0xA1, 0x01} + kEnd,
         false},
        {"page pushed and popped", Bytes{0x05, 0x01, 0xA4, 0x06, 0x1C, 0xFF, 0x09, 0x92, 0xA1, 0x01, 0xC0, 0xB4}, true},
        {"usage before a page change", Bytes{0x09, 0x92, 0x06, 0x1C, 0xFF, 0xA1, 0x01, 0xC0}, true},
        {"usage used up by an input item", Bytes{0x06, 0x1C, 0xFF, 0x09, 0x92, 0x81, 0x02, 0xA1, 0x01, 0xC0}, false},
        {"long item skipped", Bytes{0xFE, 0x02, 0x10, 0xAA, 0xBB} + kCommand, true},
        // Malformed or cut short: nothing, even where ours came first.
        {"empty", {}, false},
        {"cut inside an item", kCommand + Bytes{0x26, 0xFF}, false},
        {"cut inside a long item", kCommand + Bytes{0xFE, 0x05, 0x10, 0x01}, false},
        {"collection left open", Bytes(kCommand.begin(), kCommand.end() - 1), false},
        {"end without a collection", kCommand + kEnd, false},
        {"pop without a push", kCommand + Bytes{0xB4}, false},
        {"reserved item type", kCommand + Bytes{0x0C}, false},
        {"nesting beyond any device", Bytes{0x06, 0x1C, 0xFF, 0x09, 0x92} + Bytes(200, 0xA1) + Bytes(200, 0xC0), false},
        {"longer than a descriptor can be", kCommand + Bytes(4096, 0x00), false},
    };
    for (const Case& c : cases) EXPECT_EQ(DescriptorNeedsUserAccess(c.descriptor), c.granted) << c.name;
}

struct HelperRun {
    int status = -1;
    std::string output;
};

HelperRun RunHelper(const std::string& argument)
{
    HelperRun run;
    const std::string command = std::string(KESTRUNE_HID_ACCESS_PROGRAM) + " '" + argument + "' 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) run.output += buffer;
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST(HidAccess, HelperPrintsTheUdevPropertyOnlyForOurNodes)
{
    const testing::ScratchFolder folder("hid-access");
    auto write = [&](const char* name, const Bytes& bytes) {
        std::ofstream(folder / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return (folder / name).string();
    };
    const HelperRun command = RunHelper(write("command", kCommand));
    EXPECT_EQ(command.status, 0);
    EXPECT_EQ(command.output, "KESTRUNE_HID_ACCESS=1\n");
    const HelperRun keyboard = RunHelper(write("keyboard", kKeyboard));
    EXPECT_EQ(keyboard.status, 0);
    EXPECT_EQ(keyboard.output, "");
    const HelperRun missing = RunHelper((folder / "absent").string());
    EXPECT_NE(missing.status, 0);
    EXPECT_EQ(missing.output, "");
}

} // namespace
} // namespace kestrune
