#include "ui/SkinIniFile.h"

#include "config/IniFile.h"

namespace kestrune {

std::optional<QString> SkinIniFile::ReadString(std::string_view section, std::string_view key,
                                               const QString& fallback) const
{
    const std::u16string value = ReadIniString(m_path, section, key, fallback.toStdU16String(), kIniFileReadBuffer);
    if (value.empty()) return std::nullopt;
    return QString::fromStdU16String(value);
}

Status SkinIniFile::WriteString(std::string_view section, std::string_view key, const QString& value) const
{
    return WriteIniString(m_path, section, key, value.toStdU16String());
}

} // namespace kestrune
