#include "device/DeviceLibrary.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

namespace kestrune {
namespace {

TEST(DeviceLibraryTest, PathFromFlagEnvironmentOrDefault)
{
    const std::filesystem::path dir = "/opt/kestrune";
    struct Case {
        const char* environment;
        bool emulator;
        std::filesystem::path expected;
    };
    const Case cases[] = {
        {nullptr, false, "/opt/kestrune/libHidRelay.so"},
        {"", false, "/opt/kestrune/libHidRelay.so"},
        {nullptr, true, "/opt/kestrune/libHidRelayEmulator.so"},
        {"/tmp/other.so", true, "/opt/kestrune/libHidRelayEmulator.so"},  // the command line wins
        {"/tmp/other.so", false, "/tmp/other.so"},
        {"libHidRelayEmulator.so", false, "/opt/kestrune/libHidRelayEmulator.so"},  // bare name: beside the program
        {"lib/relay.so", false, "lib/relay.so"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ResolveDeviceLibraryPath(dir, c.environment, c.emulator), c.expected)
            << (c.environment ? c.environment : "(unset)") << " emulator " << c.emulator;
}

TEST(DeviceLibraryTest, ProgramDirectoryHoldsThisTest)
{
    auto dir = ProgramDirectory();
    ASSERT_TRUE(dir.ok()) << dir.error();
    EXPECT_TRUE(std::filesystem::exists(*dir / "test_device"));
}

TEST(DeviceLibraryTest, ErrorsNameTheFileAndWhatWasWrong)
{
    struct Case {
        std::string file;
        std::vector<std::string> mentions;
    };
    const Case cases[] = {
        {TEST_RELAY_DIR "/libNoSuchRelay.so", {TEST_RELAY_DIR "/libNoSuchRelay.so", "cannot load"}},
        {TEST_RELAY_PARTIAL, {TEST_RELAY_PARTIAL, "'RequestStatusSetFeature'"}},
        {TEST_RELAY_REFUSING, {TEST_RELAY_REFUSING, "Init", "returned -3"}},
    };
    for (const Case& c : cases) {
        auto library = DeviceLibrary::Load(c.file);
        ASSERT_FALSE(library.ok()) << c.file;
        for (const std::string& part : c.mentions)
            EXPECT_NE(library.error().find(part), std::string::npos) << library.error() << " lacks " << part;
    }
}

TEST(DeviceLibraryTest, StartsWithInitZeroAndEndsOnRelease)
{
    // A second reference keeps the file loaded, and its counters readable,
    // after the binding has let go of it.
    void* probe = dlopen(TEST_RELAY_COMPLETE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(probe, nullptr) << dlerror();
    auto initFlags = reinterpret_cast<int (*)()>(dlsym(probe, "TestRelayInitFlags"));
    auto endCalls = reinterpret_cast<int (*)()>(dlsym(probe, "TestRelayEndCalls"));
    ASSERT_TRUE(initFlags && endCalls);

    {
        auto library = DeviceLibrary::Load(TEST_RELAY_COMPLETE);
        ASSERT_TRUE(library.ok()) << library.error();
        EXPECT_EQ(initFlags(), 0);
        EXPECT_EQ((*library)->Description(), TEST_RELAY_COMPLETE);
        EXPECT_EQ((*library)->Functions().Debug(3), 3);
        EXPECT_EQ(endCalls(), 0);
    }
    EXPECT_EQ(endCalls(), 1);
    dlclose(probe);
}

TEST(DeviceLibraryTest, LinkedFunctionsMustBeComplete)
{
    DeviceFunctions none;
    auto library = DeviceLibrary::FromFunctions(none, "built-in");
    ASSERT_FALSE(library.ok());
    EXPECT_NE(library.error().find("'Debug'"), std::string::npos) << library.error();
}

}  // namespace
}  // namespace kestrune
