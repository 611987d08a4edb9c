// Any bytes as a skin file whose placements the controls read: the values
// read through the skin's buffer, parse, and a placement written back as the
// skin tool writes it reads as the same numbers.
//
// Input: the file's bytes, then a key name after a 0x00 byte (the section is
// the placements' own).

#include "config/IniFile.h"
#include "config/SkinValues.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace kestrune;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t end = input.find('\0');
    const IniFile file = IniFile::FromBytes(input.substr(0, end));
    const std::string key(end == std::string_view::npos ? std::string_view("KEY_01E") : input.substr(end + 1));

    const std::u16string value = file.ReadString("BUTTONINFO", key, kMissingSkinRect, kSkinReadBuffer);
    if (value.size() >= kSkinReadBuffer) std::abort();
    const SkinRect rect = ParseSkinRect(value);
    const std::string text = std::to_string(rect.x) + "," + std::to_string(rect.y) + "," + std::to_string(rect.w) +
                             "," + std::to_string(rect.h);
    if (ParseSkinRect(std::u16string(text.begin(), text.end())) != rect) std::abort();
    if (value == kMissingSkinRect && rect != SkinRect{}) std::abort();
    return 0;
}
