// Any bytes as an INI file: parsing never fails, an untouched document gives
// back its bytes exactly, and a write that is accepted reads back as written
// without changing any other value.
//
// Input: file bytes, then section, key and value separated by 0x00 bytes.

#include "common/Utf.h"
#include "config/IniFile.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::vector<std::string_view> Split(std::string_view data)
{
    std::vector<std::string_view> parts;
    while (parts.size() < 3) {
        const std::size_t at = data.find('\0');
        if (at == std::string_view::npos) break;
        parts.push_back(data.substr(0, at));
        data.remove_prefix(at + 1);
    }
    parts.push_back(data);
    return parts;
}

void Check(bool condition)
{
    if (!condition) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace kestrune;
    const auto parts = Split(std::string_view(reinterpret_cast<const char*>(data), size));
    IniFile file = IniFile::FromBytes(parts[0]);
    Check(file.ToBytes() == parts[0]);
    if (parts.size() < 4) return 0;

    const std::string section(parts[1]);
    const std::string key(parts[2]);
    // Values come from UTF-8, so they are whole UTF-16 text.
    const std::u16string value = Utf8ToUtf16(parts[3]);
    const std::u16string before = file.ReadString("probe", "probe", u"<none>");

    if (!file.WriteString(section, key, value).ok()) {
        Check(file.ToBytes() == parts[0]);
        return 0;
    }
    Check(file.Find(section, key) == value);
    const IniFile reread = IniFile::FromBytes(file.ToBytes());
    Check(reread.Find(section, key) == value);
    Check(reread.encoding() == file.encoding());
    auto lower = [](std::string text) {
        for (char& c : text) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        return text;
    };
    if (lower(section) != "probe" || lower(key) != "probe")
        Check(reread.ReadString("probe", "probe", u"<none>") == before);
    return 0;
}
