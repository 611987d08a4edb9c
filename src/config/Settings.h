#pragma once

// The few settings the program keeps between runs: the settings file in the
// profile folder (per-key light switch, report rate) and the per-user
// settings branch (layout variant, record-delay option, the profile
// manager's list). Nothing is cached: every user reads a value when it needs
// it and writes it at once.

#include "common/Result.h"
#include "config/LanguageTable.h"

#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace kestrune {

inline constexpr std::string_view kKeyColourSection = "KEYCOLOR";
inline constexpr std::string_view kLightSwitchKey = "DengCheck";
inline constexpr std::string_view kReportRateKey = "KBDPI";
inline constexpr std::size_t kSettingsReadBuffer = 260;
inline constexpr int kLightSwitchOn = 1;
inline constexpr int kDefaultReportRate = 1;
inline constexpr int kMinReportRate = 1;
inline constexpr int kMaxReportRate = 4;

// wskb.ini. A missing or unreadable file reads as the defaults; writes fail
// (and the caller goes on with its in-memory value) until the profile folder
// exists, since this never creates it.
class SettingsFile {
public:
    SettingsFile(); // at SettingsFilePath()
    explicit SettingsFile(std::filesystem::path path);

    const std::filesystem::path& path() const { return m_path; }

    std::u16string Read(std::string_view section, std::string_view key, std::u16string_view fallback) const;
    Status Write(std::string_view section, std::string_view key, std::u16string_view text) const;

    // DengCheck: on only when the value reads as 1.
    bool LightSwitch() const;
    Status SetLightSwitch(bool on) const;
    // KBDPI as stored, which may lie outside 1 to 4 when the file was edited.
    int ReportRate() const;
    // Fails for a rate outside 1 to 4.
    Status SetReportRate(int rate) const;

private:
    std::filesystem::path m_path;
};

inline constexpr std::string_view kUserSettingsSection = "PROFILES";
inline constexpr std::u16string_view kFlipValueName = u"Flip";
inline constexpr std::u16string_view kProfileListPrefix = u"PROFILE";
inline constexpr std::string_view kRecordDelayLanguageKey = "MACRO_ACTION_RECORD_DELAY";

// The per-user settings branch: string values by section and value name.
// The program's window keeps it in the desktop's settings store; the core,
// the command line and the tests use IniUserSettings.
class UserSettings {
public:
    virtual ~UserSettings() = default;
    virtual std::u16string Read(std::string_view section, std::u16string_view name,
                                std::u16string_view fallback) const = 0;
    virtual Status Write(std::string_view section, std::u16string_view name, std::u16string_view text) = 0;
};

// The branch as an INI file, one INI section per section. A value name that
// an INI key cannot hold (surrounding blanks, '=', a leading ';') cannot be
// written and reads as the default.
class IniUserSettings : public UserSettings {
public:
    IniUserSettings(); // at UserSettingsPath()
    explicit IniUserSettings(std::filesystem::path path);

    const std::filesystem::path& path() const { return m_path; }

    std::u16string Read(std::string_view section, std::u16string_view name,
                        std::u16string_view fallback) const override;
    // Creates the file's folder when missing, as the registry creates keys.
    Status Write(std::string_view section, std::u16string_view name, std::u16string_view text) override;

private:
    std::filesystem::path m_path;
};

// The layout variant: Flip read with "%d" (default "0"); any non-zero value
// is the second variant.
int ReadFlipSetting(const UserSettings& settings);
// Writes a value below 2 as it is and any other value as 0.
Status WriteFlipSetting(UserSettings& settings, int variant);

// The value name of the record-delay option: the language text of
// MACRO_ACTION_RECORD_DELAY, so a language file can rename it.
std::u16string RecordDelayValueName(const LanguageTable& table);

// The profile manager's list: PROFILE00 the row count, PROFILE01 onwards
// the rows' paths. Never read back. Stops at the first failed write.
Status WriteProfileList(UserSettings& settings, std::span<const std::u16string> paths);

} // namespace kestrune
