#include "config/IniFile.h"

#include "common/Utf.h"
#include "config/ConfigAtomicFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <span>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace kestrune {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeBom = "\xFF\xFE";
constexpr std::string_view kUtf16BeBom = "\xFE\xFF";

bool IsUtf16(IniEncoding encoding)
{
    return encoding == IniEncoding::Utf16Le || encoding == IniEncoding::Utf16Be;
}

char16_t UnitAt(std::string_view bytes, std::size_t offset, bool bigEndian)
{
    const auto first = static_cast<unsigned char>(bytes[offset]);
    const auto second = static_cast<unsigned char>(bytes[offset + 1]);
    return static_cast<char16_t>(bigEndian ? (first << 8) | second : first | (second << 8));
}

bool IsBlank(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\v' || c == u'\f' || c == 0x1A;
}

// A matching pair of double or single quotes around a value is not part of it.
bool IsQuoted(std::u16string_view value)
{
    return value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') && value.back() == value.front();
}

std::u16string_view Trim(std::u16string_view text)
{
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

std::u16string Fold(std::u16string_view text)
{
    std::u16string folded(text);
    for (char16_t& c : folded) {
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return folded;
}

std::u16string FoldedName(std::string_view utf8)
{
    return Fold(Trim(Utf8ToUtf16(utf8)));
}

std::u16string CutToBuffer(std::u16string_view text, std::size_t bufferSize)
{
    if (bufferSize == 0) return {};
    if (text.size() <= bufferSize - 1) return std::u16string(text);
    std::size_t length = bufferSize - 1;
    // A high surrogate without its partner is not a character.
    if (length > 0 && text[length - 1] >= 0xD800 && text[length - 1] <= 0xDBFF) --length;
    return std::u16string(text.substr(0, length));
}

template <typename Char> int ParseDecimal(std::basic_string_view<Char> text)
{
    std::size_t i = 0;
    auto isSpace = [](Char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (i < text.size() && isSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

std::string Errno(const std::string& what, const fs::path& path)
{
    return what + " " + path.string() + ": " + std::strerror(errno);
}

} // namespace

int ParseDecimalInt(std::u16string_view text)
{
    return ParseDecimal(text);
}

int ParseDecimalInt(std::string_view text)
{
    return ParseDecimal(text);
}

// ---------------------------------------------------------------------------
// Loading and parsing

namespace {

// The bytes of an INI file; nullopt when there is no file.
Result<std::optional<std::string>> ReadIniBytes(const fs::path& path)
{
    std::error_code ec;
    const auto status = fs::status(path, ec);
    if (status.type() == fs::file_type::not_found) return std::optional<std::string>();
    if (ec) return Error{"cannot read the INI file " + path.string() + ": " + ec.message()};
    if (status.type() != fs::file_type::regular) {
        return Error{"expected a file at " + path.string() + ", found something else"};
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) return Error{Errno("cannot open the INI file", path)};
    std::string bytes;
    char buffer[16384];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        bytes.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (bytes.size() > kIniMaxFileBytes) {
            return Error{"the INI file " + path.string() + " is larger than " + std::to_string(kIniMaxFileBytes) +
                         " bytes"};
        }
    }
    if (in.bad()) return Error{Errno("cannot read the INI file", path)};
    return std::optional<std::string>(std::move(bytes));
}

} // namespace

Result<IniFile> IniFile::Load(const fs::path& path)
{
    auto bytes = ReadIniBytes(path);
    if (!bytes) return Error{bytes.error()};
    if (!*bytes) return IniFile();
    return FromBytes(**bytes);
}

IniFile IniFile::FromBytes(std::string_view bytes)
{
    IniFile file;
    if (bytes.starts_with(kUtf16LeBom)) {
        file.m_encoding = IniEncoding::Utf16Le;
        bytes.remove_prefix(kUtf16LeBom.size());
    } else if (bytes.starts_with(kUtf16BeBom)) {
        file.m_encoding = IniEncoding::Utf16Be;
        bytes.remove_prefix(kUtf16BeBom.size());
    } else if (bytes.starts_with(kUtf8Bom)) {
        file.m_encoding = IniEncoding::Utf8Bom;
        bytes.remove_prefix(kUtf8Bom.size());
    }
    file.ParseLines(bytes);
    file.Reindex();
    return file;
}

void IniFile::ParseLines(std::string_view body)
{
    const std::size_t unit = IsUtf16(m_encoding) ? 2 : 1;
    if (body.size() % unit != 0) {
        // Half a UTF-16 unit at the end carries no text; it stays at the very
        // end so that lines added later keep their alignment.
        m_tail = std::string(body.substr(body.size() - 1));
        body.remove_suffix(1);
    }
    auto unitAt = [&](std::size_t offset) -> char16_t {
        if (unit == 1) return static_cast<unsigned char>(body[offset]);
        return UnitAt(body, offset, m_encoding == IniEncoding::Utf16Be);
    };

    bool styleKnown = false;
    std::size_t start = 0;
    while (start < body.size()) {
        // CR, LF and CRLF all end a line, as they do for the Windows readers
        // these files come from.
        std::size_t end = start;
        while (end + unit <= body.size() && unitAt(end) != u'\n' && unitAt(end) != u'\r') end += unit;
        Line line;
        line.raw = std::string(body.substr(start, end - start));
        if (end + unit <= body.size()) {
            std::size_t next = end + unit;
            if (unitAt(end) == u'\r' && next + unit <= body.size() && unitAt(next) == u'\n') next += unit;
            line.eol = std::string(body.substr(end, next - end));
            if (!styleKnown) m_lineBreak = Decode(line.eol), styleKnown = true;
            start = next;
        } else {
            start = body.size(); // last line without a break
        }

        const std::u16string decoded = Decode(line.raw);
        std::u16string_view text = Trim(decoded);
        if (text.empty() || text.front() == u';') {
            // blank or comment
        } else if (text.front() == u'[') {
            const std::size_t close = text.rfind(u']');
            if (close != std::u16string_view::npos) {
                std::u16string_view name = Trim(text.substr(1, close - 1));
                if (!name.empty()) {
                    line.kind = LineKind::Section;
                    line.name = Fold(name);
                }
            }
        } else if (const std::size_t equals = text.find(u'='); equals != std::u16string_view::npos) {
            std::u16string_view name = Trim(text.substr(0, equals));
            std::u16string_view value = Trim(text.substr(equals + 1));
            if (IsQuoted(value)) value = value.substr(1, value.size() - 2);
            if (!name.empty()) {
                line.kind = LineKind::Key;
                line.name = Fold(name);
                line.value = std::u16string(value);
            }
        }
        m_lines.push_back(std::move(line));
    }
}

void IniFile::Reindex()
{
    m_sections.clear();
    SectionIndex* current = nullptr;
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        const Line& line = m_lines[i];
        if (line.kind == LineKind::Section) {
            auto [it, inserted] = m_sections.try_emplace(line.name);
            if (inserted) it->second.header = i;
            // Keys under a repeated header belong to no readable section.
            current = inserted ? &it->second : nullptr;
        } else if (line.kind == LineKind::Key && current != nullptr) {
            current->keys.try_emplace(line.name, i);
        }
    }
}

std::u16string IniFile::Decode(std::string_view raw) const
{
    if (!IsUtf16(m_encoding)) return Utf8ToUtf16(raw);
    std::u16string text;
    text.reserve(raw.size() / 2);
    for (std::size_t i = 0; i + 1 < raw.size(); i += 2)
        text.push_back(UnitAt(raw, i, m_encoding == IniEncoding::Utf16Be));
    return text;
}

std::string IniFile::Encode(std::u16string_view text) const
{
    if (!IsUtf16(m_encoding)) return Utf16ToUtf8(text);
    std::string bytes;
    bytes.reserve(text.size() * 2);
    const bool bigEndian = m_encoding == IniEncoding::Utf16Be;
    for (char16_t c : text) {
        const auto low = static_cast<char>(c & 0xFF);
        const auto high = static_cast<char>(c >> 8);
        bytes.push_back(bigEndian ? high : low);
        bytes.push_back(bigEndian ? low : high);
    }
    return bytes;
}

std::string IniFile::LineBreak() const
{
    return Encode(m_lineBreak);
}

// ---------------------------------------------------------------------------
// Reading

const IniFile::SectionIndex* IniFile::FindSection(std::u16string_view foldedName) const
{
    auto it = m_sections.find(std::u16string(foldedName));
    return it == m_sections.end() ? nullptr : &it->second;
}

std::optional<std::u16string> IniFile::Find(std::string_view section, std::string_view key) const
{
    const SectionIndex* index = FindSection(FoldedName(section));
    if (index == nullptr) return std::nullopt;
    auto it = index->keys.find(FoldedName(key));
    if (it == index->keys.end()) return std::nullopt;
    return m_lines[it->second].value;
}

bool IniFile::HasSection(std::string_view section) const
{
    return FindSection(FoldedName(section)) != nullptr;
}

std::u16string IniFile::ReadString(std::string_view section, std::string_view key, std::u16string_view fallback,
                                   std::size_t bufferSize) const
{
    auto value = Find(section, key);
    return CutToBuffer(value ? std::u16string_view(*value) : fallback, bufferSize);
}

std::string IniFile::ReadStringUtf8(std::string_view section, std::string_view key, std::string_view fallback,
                                    std::size_t bufferSize) const
{
    return Utf16ToUtf8(ReadString(section, key, Utf8ToUtf16(fallback), bufferSize));
}

int IniFile::ReadInt(std::string_view section, std::string_view key, int fallback) const
{
    auto value = Find(section, key);
    return value ? ParseDecimalInt(*value) : fallback;
}

// ---------------------------------------------------------------------------
// Writing

std::size_t IniFile::SectionEnd(std::size_t header) const
{
    // One past the last non-blank line of the section, so that the blank
    // lines that part it from the next section stay after a new key.
    std::size_t end = header + 1;
    for (std::size_t i = header + 1; i < m_lines.size() && m_lines[i].kind != LineKind::Section; ++i) {
        if (!Trim(Decode(m_lines[i].raw)).empty()) end = i + 1;
    }
    return end;
}

Status IniFile::WriteString(std::string_view section, std::string_view key, std::u16string_view value)
{
    const std::u16string sectionText = Utf8ToUtf16(section);
    const std::u16string keyText = Utf8ToUtf16(key);
    auto hasAny = [](std::u16string_view text, std::u16string_view chars) {
        return text.find_first_of(chars) != std::u16string_view::npos;
    };
    if (sectionText.empty() || Trim(sectionText) != sectionText ||
        hasAny(sectionText, std::u16string_view(u"]\r\n\0", 4))) {
        return Error{"expected a section name without surrounding blanks, ']' or line breaks, found \"" +
                     std::string(section) + "\""};
    }
    if (keyText.empty() || Trim(keyText) != keyText || keyText.front() == u';' || keyText.front() == u'[' ||
        hasAny(keyText, std::u16string_view(u"=\r\n\0", 4))) {
        return Error{"expected a key name without surrounding blanks, '=' or line breaks, found \"" + std::string(key) +
                     "\""};
    }
    if (hasAny(value, std::u16string_view(u"\r\n\0", 3))) {
        return Error{"expected a single-line value for key " + std::string(key) + ", found a line break"};
    }

    std::u16string stored(value);
    if (Trim(value) != value || IsQuoted(value)) stored = u"\"" + stored + u"\"";

    const std::u16string foldedSection = Fold(sectionText);
    const std::u16string foldedKey = Fold(keyText);
    const SectionIndex* index = FindSection(foldedSection);

    if (index != nullptr) {
        if (auto it = index->keys.find(foldedKey); it != index->keys.end()) {
            Line& line = m_lines[it->second];
            // Keep the key as the file spells it, with its indentation.
            const std::u16string old = Decode(line.raw);
            const std::size_t equals = old.find(u'=');
            line.raw = Encode(old.substr(0, equals + 1) + stored);
            line.value = std::u16string(value);
            return Status::Ok();
        }
    }

    Line keyLine;
    keyLine.raw = Encode(keyText + u"=" + stored);
    keyLine.kind = LineKind::Key;
    keyLine.name = foldedKey;
    keyLine.value = std::u16string(value);

    std::vector<Line> added;
    std::size_t at = m_lines.size();
    if (index != nullptr) {
        at = SectionEnd(index->header);
    } else {
        if (!m_lines.empty() && !Trim(Decode(m_lines.back().raw)).empty()) {
            added.push_back(Line{}); // a blank line between the old last section and the new one
        }
        Line header;
        header.raw = Encode(u"[" + sectionText + u"]");
        header.kind = LineKind::Section;
        header.name = foldedSection;
        added.push_back(std::move(header));
    }
    added.push_back(std::move(keyLine));

    for (Line& line : added) line.eol = LineBreak();
    // Only the last line can lack a line break; it needs one before anything follows it.
    if (at == m_lines.size() && !m_lines.empty() && m_lines.back().eol.empty()) m_lines.back().eol = LineBreak();
    m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(at), std::make_move_iterator(added.begin()),
                   std::make_move_iterator(added.end()));
    Reindex();
    return Status::Ok();
}

bool IniFile::RemoveKey(std::string_view section, std::string_view key)
{
    const SectionIndex* index = FindSection(FoldedName(section));
    if (index == nullptr) return false;
    auto it = index->keys.find(FoldedName(key));
    if (it == index->keys.end()) return false;
    const std::size_t at = it->second;
    // The lines around it keep their breaks: the one before it still ends a line.
    m_lines.erase(m_lines.begin() + static_cast<std::ptrdiff_t>(at));
    Reindex();
    return true;
}

std::string IniFile::ToBytes() const
{
    std::string bytes;
    if (m_encoding == IniEncoding::Utf8Bom) bytes += kUtf8Bom;
    if (m_encoding == IniEncoding::Utf16Le) bytes += kUtf16LeBom;
    if (m_encoding == IniEncoding::Utf16Be) bytes += kUtf16BeBom;
    for (const Line& line : m_lines) {
        bytes += line.raw;
        bytes += line.eol;
    }
    bytes += m_tail;
    return bytes;
}

Status IniFile::Save(const fs::path& path) const
{
    // Settings files that the user made read-only stay as they are; the
    // rename alone would replace them, since it asks only the folder.
    std::error_code ec;
    const auto status = fs::status(path, ec);
    if (status.type() != fs::file_type::not_found) {
        if (ec) return Error{"cannot write the INI file " + path.string() + ": " + ec.message()};
        if (status.type() != fs::file_type::regular) {
            return Error{"expected a file at " + path.string() + ", found something else"};
        }
        if (::access(path.c_str(), W_OK) != 0) return Error{Errno("cannot write", path)};
    }
    const std::string bytes = ToBytes();
    return WriteFileAtomically(path, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

// ---------------------------------------------------------------------------
// Per-call forms

namespace {
std::mutex g_writeMutex; // one read-change-write at a time, so concurrent writers keep each other's values
}

namespace {

// When and how a file was last changed, as far as telling a changed file from
// an unchanged one needs.
struct FileStamp {
    std::uintmax_t device = 0, inode = 0, size = 0;
    std::int64_t modifiedNs = 0, changedNs = 0;
    bool operator==(const FileStamp&) const = default;
};

std::int64_t Nanoseconds(const timespec& time)
{
    return std::int64_t(time.tv_sec) * 1000000000 + time.tv_nsec;
}

std::optional<FileStamp> StampOf(const fs::path& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return FileStamp{std::uintmax_t(info.st_dev), std::uintmax_t(info.st_ino), std::uintmax_t(info.st_size),
                     Nanoseconds(info.st_mtim), Nanoseconds(info.st_ctim)};
}

// A file whose inode last changed this long before we looked at it cannot
// change again without a new change time: any write, rename over it or
// setting of its times stamps the change time with the clock, and timestamps
// lag the clock by far less than this. A file changed more recently than
// that may be rewritten within the same timestamp tick, so its bytes are
// compared at every read instead.
std::atomic<std::int64_t> g_settleNs{std::chrono::nanoseconds(kIniSettleTime).count()};

bool Settled(const FileStamp& stamp)
{
    timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t before = Nanoseconds(now) - g_settleNs.load();
    return stamp.changedNs < before && stamp.modifiedNs < before;
}

// Skin and language files are read a value at a time, hundreds of values as
// a window is built. Each file is parsed once and served from memory while its
// stamp shows it settled and unchanged; a file changed lately is read again
// and parsed again only when its bytes differ. Writes through WriteIniString
// leave their result here, so reads see them at once.
struct ParsedIni {
    fs::path path;
    std::string bytes;
    std::shared_ptr<const IniFile> file;
    std::optional<FileStamp> stamp; // taken before the bytes were read
    bool settled = false;
};
constexpr std::size_t kParsedIniFiles = 8;
std::mutex g_parsedMutex;
std::vector<ParsedIni> g_parsed; // the most recently used last

// The entry of the path, moved to the end as the most recently used; null when none.
ParsedIni* FindParsed(const fs::path& path)
{
    for (auto it = g_parsed.begin(); it != g_parsed.end(); ++it) {
        if (it->path != path) continue;
        std::rotate(it, it + 1, g_parsed.end());
        return &g_parsed.back();
    }
    return nullptr;
}

void KeepParsed(ParsedIni entry)
{
    if (ParsedIni* old = FindParsed(entry.path)) {
        *old = std::move(entry);
        return;
    }
    if (g_parsed.size() == kParsedIniFiles) g_parsed.erase(g_parsed.begin());
    g_parsed.push_back(std::move(entry));
}

Result<std::shared_ptr<const IniFile>> LoadForReading(const fs::path& path)
{
    std::lock_guard lock(g_parsedMutex);
    const std::optional<FileStamp> stamp = StampOf(path);
    ParsedIni* cached = FindParsed(path);
    if (cached != nullptr && cached->settled && stamp && cached->stamp == stamp) return cached->file;

    auto bytes = ReadIniBytes(path);
    if (!bytes) return Error{bytes.error()};
    if (!*bytes) return std::make_shared<const IniFile>();
    const bool settled = stamp && Settled(*stamp);
    if (cached != nullptr && cached->bytes == **bytes) {
        cached->stamp = stamp;
        cached->settled = settled;
        return cached->file;
    }
    auto file = std::make_shared<const IniFile>(IniFile::FromBytes(**bytes));
    KeepParsed({path, std::move(**bytes), file, stamp, settled});
    return file;
}

} // namespace

Result<std::shared_ptr<const IniFile>> LoadSharedIni(const fs::path& path)
{
    return LoadForReading(path);
}

void SetIniSettleTime(std::chrono::milliseconds time)
{
    g_settleNs = std::chrono::nanoseconds(time).count();
}

std::u16string ReadIniString(const fs::path& path, std::string_view section, std::string_view key,
                             std::u16string_view fallback, std::size_t bufferSize)
{
    auto file = LoadForReading(path);
    if (!file) return CutToBuffer(fallback, bufferSize);
    return (*file)->ReadString(section, key, fallback, bufferSize);
}

int ReadIniInt(const fs::path& path, std::string_view section, std::string_view key, int fallback)
{
    auto file = LoadForReading(path);
    return file ? (*file)->ReadInt(section, key, fallback) : fallback;
}

Status WriteIniString(const fs::path& path, std::string_view section, std::string_view key, std::u16string_view value)
{
    std::lock_guard lock(g_writeMutex);
    auto file = IniFile::Load(path);
    if (!file) return Error{file.error()};
    if (Status changed = file->WriteString(section, key, value); !changed) return changed;
    std::lock_guard parsedLock(g_parsedMutex);
    if (Status saved = file->Save(path); !saved) return saved;
    // Just written, so not settled: the next read compares the bytes once more.
    KeepParsed({path, file->ToBytes(), std::make_shared<const IniFile>(std::move(*file)), StampOf(path), false});
    return Status::Ok();
}

} // namespace kestrune
