#pragma once

// Hands the key and media names of the loaded language table to the key
// model, which names keys without knowing where its texts come from. Call it
// after every LoadLanguageTable.

#include "config/LanguageTable.h"

namespace kestrune {

void ApplyLanguageToKeyNames(const LanguageTable& table);

// LoadLanguageTable followed by ApplyLanguageToKeyNames on the shared table.
void LoadLanguageTableAndKeyNames();

} // namespace kestrune
