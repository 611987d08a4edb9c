#include "config/Settings.h"

#include "common/Utf.h"
#include "config/Folders.h"
#include "config/IniFile.h"

#include <cstdio>
#include <system_error>

namespace kestrune {

namespace {

std::u16string Decimal(int value)
{
    return Utf8ToUtf16(std::to_string(value));
}

} // namespace

SettingsFile::SettingsFile() : SettingsFile(SettingsFilePath()) {}

SettingsFile::SettingsFile(std::filesystem::path path) : m_path(std::move(path)) {}

std::u16string SettingsFile::Read(std::string_view section, std::string_view key, std::u16string_view fallback) const
{
    return ReadIniString(m_path, section, key, fallback, kSettingsReadBuffer);
}

Status SettingsFile::Write(std::string_view section, std::string_view key, std::u16string_view text) const
{
    return WriteIniString(m_path, section, key, text);
}

bool SettingsFile::LightSwitch() const
{
    return ParseDecimalInt(Read(kKeyColourSection, kLightSwitchKey, u"0")) == kLightSwitchOn;
}

Status SettingsFile::SetLightSwitch(bool on) const
{
    return Write(kKeyColourSection, kLightSwitchKey, on ? u"1" : u"0");
}

int SettingsFile::ReportRate() const
{
    return ParseDecimalInt(Read(kKeyColourSection, kReportRateKey, Decimal(kDefaultReportRate)));
}

Status SettingsFile::SetReportRate(int rate) const
{
    if (rate < kMinReportRate || rate > kMaxReportRate) {
        return Error{"expected a report rate from 1 to 4, found " + std::to_string(rate)};
    }
    return Write(kKeyColourSection, kReportRateKey, Decimal(rate));
}

IniUserSettings::IniUserSettings() : IniUserSettings(UserSettingsPath()) {}

IniUserSettings::IniUserSettings(std::filesystem::path path) : m_path(std::move(path)) {}

std::u16string IniUserSettings::Read(std::string_view section, std::u16string_view name,
                                     std::u16string_view fallback) const
{
    return ReadIniString(m_path, section, Utf16ToUtf8(name), fallback);
}

Status IniUserSettings::Write(std::string_view section, std::u16string_view name, std::u16string_view text)
{
    if (m_path.has_parent_path()) {
        std::error_code ec;
        std::filesystem::create_directories(m_path.parent_path(), ec);
        if (ec)
            return Error{"cannot create the settings folder " + m_path.parent_path().string() + ": " + ec.message()};
    }
    return WriteIniString(m_path, section, Utf16ToUtf8(name), text);
}

int ReadFlipSetting(const UserSettings& settings)
{
    // "%d" leaves the variable alone when no number is there; it starts at 0.
    int variant = 0;
    const std::string text = Utf16ToUtf8(settings.Read(kUserSettingsSection, kFlipValueName, u"0"));
    if (std::sscanf(text.c_str(), "%d", &variant) != 1) variant = 0;
    return variant;
}

Status WriteFlipSetting(UserSettings& settings, int variant)
{
    return settings.Write(kUserSettingsSection, kFlipValueName, Decimal(variant < 2 ? variant : 0));
}

std::u16string RecordDelayValueName(const LanguageTable& table)
{
    return table.Text(kRecordDelayLanguageKey);
}

Status WriteProfileList(UserSettings& settings, std::span<const std::u16string> paths)
{
    auto name = [](std::size_t number) {
        char digits[24];
        std::snprintf(digits, sizeof digits, "%02zu", number);
        return std::u16string(kProfileListPrefix) + Utf8ToUtf16(digits);
    };
    if (Status status = settings.Write(kUserSettingsSection, name(0), Decimal(static_cast<int>(paths.size())));
        !status) {
        return status;
    }
    for (std::size_t row = 0; row < paths.size(); ++row) {
        if (Status status = settings.Write(kUserSettingsSection, name(row + 1), paths[row]); !status) return status;
    }
    return Status::Ok();
}

} // namespace kestrune
