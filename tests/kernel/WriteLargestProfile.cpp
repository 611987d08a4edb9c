// kernel-test-profile FILE: writes the largest configuration a user can
// download (every ordinary key remapped in each profile, the macro area of
// the factory capacity filled) as a profile file, for the tests that apply
// it through the device libraries.

#include "LargestConfiguration.h"

#include "config/ConfigStore.h"
#include "config/ProfileFile.h"
#include "emulator/KeyboardState.h"

#include <cstdio>
#include <mutex>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: kernel-test-profile FILE\n");
        return 2;
    }
    using namespace kestrune;
    constexpr std::size_t kCapacity = std::size_t{emulator::kFactoryMacroCapacityUnits} * wire::kMacroCapacityUnit;
    ConfigStore store;
    {
        std::lock_guard lock(store.CurrentLock());
        if (!store.CreateDefaultConfiguration()) {
            std::fprintf(stderr, "kernel-test-profile: no default configuration\n");
            return 1;
        }
        for (std::size_t profile = 0; profile < wire::kProfileCount; ++profile)
            bench::RemapOrdinaryKeys(store.Current(), profile);
        store.Current().Macros() = bench::LargestMacroList(kCapacity);
    }
    if (Status written = WriteProfileFile(store, argv[1]); !written) {
        std::fprintf(stderr, "kernel-test-profile: %s\n", written.error().c_str());
        return 1;
    }
    return 0;
}
