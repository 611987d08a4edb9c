#include "CliReporter.h"

#include "config/IniFile.h"

#include <algorithm>
#include <cctype>
#include <istream>
#include <ostream>

namespace kestrune::cli {

namespace {

// Message texts carry Windows line breaks; a terminal wants plain ones.
std::string PlainLines(std::string text)
{
    std::erase(text, '\r');
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

} // namespace

bool LoadEnglishTexts(LanguageTable& table, const std::filesystem::path& languageFile)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(languageFile, ec)) return false;
    auto file = IniFile::Load(languageFile);
    if (!file) return false;
    if (!file->WriteString(kLanguageIndexSection, kLanguageIndexKey, u"1")) return false;
    table.Load(*file);
    return true;
}

std::string MessageLine(const LanguageTable& table, const UserMessage& message)
{
    return PlainLines(MessageTextUtf8(table, message));
}

CliReporter::CliReporter(std::ostream& err, std::istream& in) : m_err(err), m_in(in) {}

void CliReporter::Inform(const UserMessage& message)
{
    const std::string text = MessageLine(TheLanguageTable(), message);
    std::lock_guard lock(m_mutex);
    m_keys.push_back(message.key);
    m_err << kProgramName << ": " << text << std::endl;
}

bool CliReporter::Ask(const UserMessage& message)
{
    {
        std::lock_guard lock(m_mutex);
        m_keys.push_back(message.key);
    }
    return Confirm(MessageLine(TheLanguageTable(), message));
}

bool CliReporter::Confirm(const std::string& text)
{
    std::lock_guard lock(m_mutex);
    m_err << kProgramName << ": " << text << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(m_in, answer)) {
        m_err << std::endl;
        return false;
    }
    std::ranges::transform(answer, answer.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return answer == "y" || answer == "yes";
}

void CliReporter::Say(const std::string& text)
{
    std::lock_guard lock(m_mutex);
    m_err << kProgramName << ": " << text << std::endl;
}

std::vector<std::string> CliReporter::Keys() const
{
    std::lock_guard lock(m_mutex);
    return m_keys;
}

} // namespace kestrune::cli
