#pragma once

// The record-delay option of macro recording (1: store measured delays, 0:
// store 50 ms), kept in the per-user settings under the value name the
// language table gives MACRO_ACTION_RECORD_DELAY.

#include "config/LanguageTable.h"
#include "config/Settings.h"

namespace kestrune {

// Reads the option (default 0) and writes it back normalised: anything but
// 0 or 1 reads, and is stored, as 0.
int LoadRecordDelayOption(UserSettings& settings, const LanguageTable& table);

// Stores 0 or 1 as it is and any other value as 0; gives the value stored.
// A failed write still gives the value, which the editor keeps in memory.
int StoreRecordDelayOption(UserSettings& settings, const LanguageTable& table, int value);

} // namespace kestrune
