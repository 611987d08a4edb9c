#include "config/RecordDelayOption.h"

#include "common/Utf.h"

#include <cstdio>
#include <string>

namespace kestrune {

int LoadRecordDelayOption(UserSettings& settings, const LanguageTable& table)
{
    const std::string text = Utf16ToUtf8(settings.Read(kUserSettingsSection, RecordDelayValueName(table), u"0"));
    int value = 0;
    if (std::sscanf(text.c_str(), "%d", &value) != 1) value = 0;
    return StoreRecordDelayOption(settings, table, value);
}

int StoreRecordDelayOption(UserSettings& settings, const LanguageTable& table, int value)
{
    const int stored = (value == 0 || value == 1) ? value : 0;
    const std::u16string text = stored == 1 ? u"1" : u"0";
    (void)settings.Write(kUserSettingsSection, RecordDelayValueName(table), text);
    return stored;
}

} // namespace kestrune
