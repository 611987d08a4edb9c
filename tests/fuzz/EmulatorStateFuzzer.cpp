// Any bytes as the emulator's state file: a state that parses keeps the
// rules the keyboard runs on, and its JSON reads back to the same state.

#include "emulator/KeyboardState.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace kestrune::emulator;
    auto state = KeyboardStateFromJson(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!state) {
        if (state.error().empty()) std::abort();
        return 0;
    }
    if (!CheckKeyboardState(*state)) std::abort();
    auto again = KeyboardStateFromJson(KeyboardStateToJson(*state));
    if (!again || !(*again == *state)) std::abort();
    return 0;
}
