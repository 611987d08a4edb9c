#pragma once

// Every user-visible text by its key in the language file "Skins/language.ini",
// which holds a Chinese section and an English section. The texts most of the
// program needs (messages, key and media names, tooltips) are loaded into the
// LanguageTable at start-up and at every language switch; the windows read the
// captions of their own from the file each time they localise themselves.
//
// A key the file lacks, and every key when the file is missing, reads as a
// single blank, not as its built-in text: the built-in texts are what the
// program shows before the file is first read.

#include "common/Reporter.h"
#include "config/IniFile.h"

#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

inline constexpr std::string_view kLanguageIndexSection = "LANGUAGE";
inline constexpr std::string_view kLanguageIndexKey = "language";
inline constexpr std::string_view kChineseSection = "CHINESE";
inline constexpr std::string_view kEnglishSection = "ENGINSH";
inline constexpr int kChineseLanguageIndex = 0;
inline constexpr int kEnglishLanguageIndex = 1;
// Texts are read through a buffer of this many UTF-16 units, terminator
// included, so a text keeps at most 259 of them.
inline constexpr std::size_t kLanguageReadBuffer = 260;
// What a missing key or a missing file reads as.
inline constexpr std::u16string_view kMissingLanguageText = u" ";

struct LanguageEntry {
    std::string_view key;
    std::u16string_view builtIn;
};

// The keys of the LanguageTable in the order they are read, with their built-in texts.
std::span<const LanguageEntry> LanguageTableEntries();

// The built-in text of any language key, including the captions the windows
// read themselves; nullopt for a key the program does not know.
std::optional<std::u16string_view> BuiltInLanguageText(std::string_view key);

// "Skins/language.ini" in the skin folder beside the program.
std::filesystem::path LanguageFilePath();

// The LanguageIndex as the file stores it: section LANGUAGE, key language,
// converted by the C rules (so a blank, a word or a missing file read as 0).
int ReadLanguageIndex(const IniFile& file);
int ReadLanguageIndex(const std::filesystem::path& languageFile);
int ReadLanguageIndex(); // from LanguageFilePath()

// Index 1 reads the English section, every other index the Chinese one.
std::string_view LanguageSection(int index);

// Stores the index under the section name the language switch has always
// used ("language"; the same section as LANGUAGE).
Status WriteLanguageIndex(const std::filesystem::path& languageFile, int index);

// One text of the section the file's index chooses, read the way every text
// is read: a missing key or file gives a single blank, at most 259 units.
std::u16string ReadLanguageText(const IniFile& file, std::string_view key);
std::u16string ReadLanguageText(const std::filesystem::path& languageFile, std::string_view key);
// The same, but a blank text (the key missing from the file) gives the
// key's built-in text: for captions a window must not show empty. With a
// language index, the section of that language rather than the file's own.
std::u16string ReadLanguageTextOrBuiltIn(const std::filesystem::path& languageFile, std::string_view key,
                                         std::optional<int> languageIndex = std::nullopt);

class LanguageTable {
public:
    LanguageTable(); // holds the built-in texts

    // LoadLanguageTable on this table: chooses the section by the file's
    // index and reads every key of LanguageTableEntries from it.
    void Load(const std::filesystem::path& languageFile);
    void Load(const IniFile& file);
    void ResetToBuiltIn();

    // The current text of a table key; nullopt for a key the table does not hold.
    std::optional<std::u16string> Find(std::string_view key) const;
    // The current text of a table key, else its built-in text, else empty.
    std::u16string Text(std::string_view key) const;
    std::string TextUtf8(std::string_view key) const;

private:
    mutable std::mutex m_mutex;          // a language switch on one thread, messages of another thread
    std::vector<std::u16string> m_texts; // parallel to LanguageTableEntries()
};

// The table the whole program shares.
LanguageTable& TheLanguageTable();

// Fills TheLanguageTable() from LanguageFilePath().
void LoadLanguageTable();

// Fills a text in the way of the C printf family, with arguments given as
// text: %s takes an argument as it stands, %d %i %u %x %X %o %c take it as a
// number (an argument that is no number is put in as it stands), with the
// usual flags, width and precision; %% is a percent sign. A directive without
// an argument left, or one this does not know, stays in the text as it
// stands. Arguments are never read as directives, and nothing a language
// file holds can make this read beyond its arguments.
std::u16string FormatLanguageText(std::u16string_view format, std::span<const std::string> args);

// The final text of a message for the user: the table's text of the key
// (its built-in text when the table holds only a blank there, since a blank
// box would hide the message), filled with the message's arguments. An
// unknown key shows the key itself followed by its arguments.
std::u16string MessageText(const LanguageTable& table, const UserMessage& message);
std::string MessageTextUtf8(const LanguageTable& table, const UserMessage& message);

} // namespace kestrune
