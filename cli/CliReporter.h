#pragma once

// The core's messages on a terminal: every message on standard error in the
// texts the program would show (built-in texts), questions answered from
// standard input with No as the default.

#include "common/Reporter.h"
#include "config/LanguageTable.h"

#include <filesystem>
#include <iosfwd>
#include <mutex>
#include <string>
#include <vector>

namespace kestrune::cli {

inline constexpr const char* kProgramName = "kestrune-cli";

// Fills the table with the English texts of a language file, whatever language
// the file is switched to; false (and the table untouched) without a file.
bool LoadEnglishTexts(LanguageTable& table, const std::filesystem::path& languageFile);

// A message as the command line prints it: its text from the table, filled
// in, with plain line breaks and no trailing blanks.
std::string MessageLine(const LanguageTable& table, const UserMessage& message);

class CliReporter : public Reporter {
public:
    CliReporter(std::ostream& err, std::istream& in);

    // May be called from the device library's threads as well as the main one.
    void Inform(const UserMessage& message) override;
    bool Ask(const UserMessage& message) override;

    // A message of the command line itself.
    void Say(const std::string& text);
    // A yes/no question of the command line itself; No unless the answer is y or yes.
    bool Confirm(const std::string& question);
    // The keys of the messages informed so far.
    std::vector<std::string> Keys() const;

private:
    mutable std::mutex m_mutex;
    std::ostream& m_err;
    std::istream& m_in;
    std::vector<std::string> m_keys;
};

} // namespace kestrune::cli
