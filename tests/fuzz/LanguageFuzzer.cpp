// Any bytes as the language file: the table loads, every text keeps to the
// read buffer, and every message fills in arguments taken from the input
// without reading past them or growing beyond what its directives allow.
//
// Input: the file's bytes, then up to three message arguments, separated by
// 0x00 bytes.

#include "common/Reporter.h"
#include "common/Utf.h"
#include "config/IniFile.h"
#include "config/LanguageTable.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

void Require(bool condition, const char* what)
{
    if (condition) return;
    std::fprintf(stderr, "language fuzzer: %s\n", what);
    std::abort();
}

// Each directive takes at most one argument and makes at most a field of
// three digits' width or precision, a sign, a prefix and the digits of a
// 64-bit number, or the argument itself.
constexpr std::size_t kMostPerDirective = 999 + 32;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace kestrune;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t end = input.find('\0');
    const IniFile file = IniFile::FromBytes(input.substr(0, end));
    std::vector<std::string> args;
    std::size_t argUnits = 0;
    if (end != std::string_view::npos) {
        std::string_view rest = input.substr(end + 1);
        while (args.size() < 3) {
            const std::size_t at = rest.find('\0');
            args.emplace_back(rest.substr(0, at));
            argUnits += Utf8ToUtf16(args.back()).size();
            if (at == std::string_view::npos) break;
            rest.remove_prefix(at + 1);
        }
    }

    LanguageTable table;
    table.Load(file);
    for (const LanguageEntry& entry : LanguageTableEntries()) {
        const std::u16string text = table.Text(entry.key);
        Require(text.size() < kLanguageReadBuffer, "a text longer than the read buffer");
        const std::u16string filled = MessageText(table, UserMessage{std::string(entry.key), args});
        Require(filled.size() <= text.size() * (kMostPerDirective + 1) + argUnits + entry.key.size() + 3 * args.size() +
                                     entry.builtIn.size() * (kMostPerDirective + 1),
                "a message grew beyond its directives and arguments");
    }
    // The file's own texts as formats, with the arguments as text.
    const std::u16string format = Utf8ToUtf16(input.substr(0, std::min<std::size_t>(end, 512)));
    const std::u16string filled = FormatLanguageText(format, args);
    Require(filled.size() <= format.size() * (kMostPerDirective + 1) + argUnits, "a format grew beyond its arguments");
    return 0;
}
