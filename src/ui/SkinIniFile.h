#pragma once

// The small INI reader the skinned dialogs read their picture names with:
// one bound file, read per call so that a changed skin shows at the next
// opening.

#include "common/Result.h"

#include <QString>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string_view>

namespace kestrune {

// A value keeps at most this many UTF-16 units, terminator included.
inline constexpr std::size_t kIniFileReadBuffer = 2048;

class SkinIniFile {
public:
    SkinIniFile() = default;
    explicit SkinIniFile(std::filesystem::path path) : m_path(std::move(path)) {}

    void Bind(std::filesystem::path path) { m_path = std::move(path); }
    const std::filesystem::path& Path() const { return m_path; }

    // The value, or the fallback when the key is missing; nothing when that
    // result is empty.
    std::optional<QString> ReadString(std::string_view section, std::string_view key,
                                      const QString& fallback = {}) const;
    Status WriteString(std::string_view section, std::string_view key, const QString& value) const;

private:
    std::filesystem::path m_path;
};

} // namespace kestrune
