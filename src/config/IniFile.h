#pragma once

// INI files with the rules the program's settings, skin and language files
// were always read with:
//
// - "[section]" lines open a section; "key=value" lines inside a section hold
//   values; lines starting with ';', blank lines and anything malformed
//   (no '=', no closing ']', an empty name, a key before the first section)
//   are ignored by reads and kept byte for byte by writes.
// - Section and key names are matched without regard to ASCII letter case,
//   with blanks around them ignored. The first section of a name wins (keys
//   under a repeated header are not seen), and within it the first key.
// - CR, LF and CRLF each end a line.
// - A value is trimmed of surrounding blanks, then one matching pair of double
//   or single quotes around it is removed; a read of a missing file, section
//   or key gives the caller's default. Reads with a buffer size cut the text
//   to size - 1 UTF-16 units, as a caller's fixed buffer would, without
//   splitting a surrogate pair.
// - A write changes only the line of its key, or adds the key at the end of
//   its section, or adds the section at the end of the file; every other line
//   keeps its bytes. A value that would not read back as written (surrounding
//   blanks, surrounding quotes) is written in quotes.
//
// Files are UTF-8, with or without a byte-order mark, or UTF-16 with its
// byte-order mark (little-endian as a rule, big-endian read and kept too, so
// that a write never mixes encodings in one file); writes keep the encoding and
// the line-break style (CRLF, LF or CR) of the file. A new file is UTF-8
// without a byte-order mark with LF line breaks: the values the program writes
// are plain ASCII numbers, and UTF-8 is what every text tool here expects.
// Files are replaced atomically.

#include "common/Result.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kestrune {

enum class IniEncoding { Utf8, Utf8Bom, Utf16Le, Utf16Be };

// Buffer size that leaves a value uncut.
inline constexpr std::size_t kIniNoLimit = std::numeric_limits<std::size_t>::max();

// Refuse to load anything larger: INI files here are a few kilobytes.
inline constexpr std::size_t kIniMaxFileBytes = 16 * 1024 * 1024;

// The C rules of a decimal integer, as strtol: leading white space skipped,
// an optional sign, conversion stops at the first non-digit, no digits give 0.
// Values beyond the range of int are clamped.
int ParseDecimalInt(std::u16string_view text);
int ParseDecimalInt(std::string_view text);

// One INI file in memory: load once, read many values, change some, save.
// A plain value: threads may share one for reading only.
class IniFile {
public:
    IniFile() = default; // an empty new file

    // A missing file gives an empty document; an error only when the file
    // exists and cannot be read (or is larger than kIniMaxFileBytes).
    static Result<IniFile> Load(const std::filesystem::path& path);
    static IniFile FromBytes(std::string_view bytes);

    // Section and key names are UTF-8.
    std::optional<std::u16string> Find(std::string_view section, std::string_view key) const;
    bool HasSection(std::string_view section) const;

    std::u16string ReadString(std::string_view section, std::string_view key, std::u16string_view fallback,
                              std::size_t bufferSize = kIniNoLimit) const;
    std::string ReadStringUtf8(std::string_view section, std::string_view key, std::string_view fallback,
                               std::size_t bufferSize = kIniNoLimit) const;
    // Missing key: the fallback; otherwise the value by ParseDecimalInt.
    int ReadInt(std::string_view section, std::string_view key, int fallback) const;

    // Changes the document in memory. Fails, changing nothing, for a name or
    // value that cannot be stored on one line and read back as given.
    Status WriteString(std::string_view section, std::string_view key, std::u16string_view value);
    // Removes the first occurrence of the key; false when there was none.
    bool RemoveKey(std::string_view section, std::string_view key);

    std::string ToBytes() const;
    // Replaces the file atomically. Fails without touching the file when it
    // is read-only or its folder is missing or not writable.
    Status Save(const std::filesystem::path& path) const;

    IniEncoding encoding() const { return m_encoding; }
    // The line break of the file's first line (CRLF, LF or CR); new lines get it.
    std::u16string_view lineBreak() const { return m_lineBreak; }

private:
    enum class LineKind { Other, Section, Key };
    struct Line {
        std::string raw; // bytes in the file's encoding, line break excluded
        std::string eol; // the line break as it stands in the file; empty for an unterminated last line
        LineKind kind = LineKind::Other;
        std::u16string name;  // section or key name, trimmed and folded to lower case
        std::u16string value; // key value, trimmed and unquoted
    };
    struct SectionIndex {
        std::size_t header = 0;                               // line of the section's first header
        std::unordered_map<std::u16string, std::size_t> keys; // first line of each key
    };

    void ParseLines(std::string_view body);
    void Reindex();
    std::u16string Decode(std::string_view raw) const;
    std::string Encode(std::u16string_view text) const;
    std::string LineBreak() const;
    std::size_t SectionEnd(std::size_t header) const;
    const SectionIndex* FindSection(std::u16string_view foldedName) const;

    IniEncoding m_encoding = IniEncoding::Utf8;
    std::u16string m_lineBreak = u"\n";
    std::vector<Line> m_lines;
    std::string m_tail; // an odd byte after the last whole UTF-16 unit
    std::unordered_map<std::u16string, SectionIndex> m_sections;
};

// Per-call forms for callers that read or write one value at a time. A read
// of a missing or unreadable file gives the default. Writes to one path from
// several threads of the program do not lose each other's values. Reads are
// served from a parsed copy of the file while the file is unchanged (a file
// changed in the last few seconds has its bytes compared at every read), and
// a write here is seen by the next read.
std::u16string ReadIniString(const std::filesystem::path& path, std::string_view section, std::string_view key,
                             std::u16string_view fallback, std::size_t bufferSize = kIniNoLimit);
int ReadIniInt(const std::filesystem::path& path, std::string_view section, std::string_view key, int fallback);
Status WriteIniString(const std::filesystem::path& path, std::string_view section, std::string_view key,
                      std::u16string_view value);
// The parsed copy those reads use, for a caller that reads many values at
// once; a missing file gives an empty document.
Result<std::shared_ptr<const IniFile>> LoadSharedIni(const std::filesystem::path& path);
// A file changed less than this long ago may be changed again within the
// same timestamp tick, so its bytes are compared at every read; only older
// ones are served from memory on an unchanged stamp. Tests shorten it.
inline constexpr std::chrono::milliseconds kIniSettleTime{3000};
void SetIniSettleTime(std::chrono::milliseconds time);

} // namespace kestrune
