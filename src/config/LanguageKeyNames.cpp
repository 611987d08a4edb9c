#include "config/LanguageKeyNames.h"

#include "keymodel/KeyCodes.h"

namespace kestrune {

void ApplyLanguageToKeyNames(const LanguageTable& table)
{
    LoadKeyLanguageTexts([&table](std::string_view key) { return table.Find(key); });
}

void LoadLanguageTableAndKeyNames()
{
    LoadLanguageTable();
    ApplyLanguageToKeyNames(TheLanguageTable());
}

} // namespace kestrune
