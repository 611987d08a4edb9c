#include "config/LanguageTable.h"

#include "common/Utf.h"
#include "config/Folders.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace kestrune {

namespace {

// The LanguageTable, in reading order: macros and the macro editor, media
// names, keyboard-function names, key-button tooltips, profiles and
// transfers, firmware update, main window and tray, then the keys no window
// shows. Trailing blanks and odd spellings are the program's wording.
constexpr LanguageEntry kTableEntries[] = {
    {"MACRO_ACTION_RECORD_DELAY", u"RecordDelay"},
    {"MACRO_NEW_PREFIX", u"Macro"},
    {"MACRO_ERR_MAX", u"The maximum number of macro: %d   "},
    {"MACRO_KEYS_TISHI", u"hello world"},
    {"MACRO_ACTION_TISHI", u"hello world"},
    {"MACRO_DELAY_MS", u"hello world"},
    {"MACRO_ACTION_CLEAR_CONFIRM", u"Really need to clear the macro action? "},
    {"MACRO_ACTION_ERR_DELAY_MAX", u"Maximum delay time is: %d(ms) "},
    {"MACRO_ACTION_RECORD", u"Record"},
    {"MACRO_ACTION_STOP_RECORD", u"Stop Record"},
    {"MACRO_DELETE_CONFIRM_OF_KEYS",
     u"Detect some key points to set this macro, \n  really need to remove this macro?  "},
    {"UNKNOWN_KEY", u"Unknown Key: %03x"},
    {"MEDIA_PALYER_1", u"Hello world"},
    {"MEDIA_PALY_PAUSE_2", u"Hello world"},
    {"MEDIA_STOP_PALY_3", u"Hello world"},
    {"MEDIA_PREV_TRACK_4", u"Hello world"},
    {"MEDIA_Next_TRACK_5", u"Hello world"},
    {"MEDIA_V_LOW_6", u"Hello world"},
    {"MEDIA_V_ADD_7", u"Hello world"},
    {"MEDIA_MUTE_8", u"Hello world"},
    {"MEDIA_WWW_HOME_9", u"Hello world"},
    {"MEDIA_WWW_REFRESH_10", u"Hello world"},
    {"MEDIA_WWW_STOP_11", u"Hello world"},
    {"MEDIA_WWW_BACK_12", u"Hello world"},
    {"MEDIA_WWW_FORWARD_13", u"Hello world"},
    {"MEDIA_WWW_FAVORITE_14", u"Hello world"},
    {"MEDIA_WWW_SEARCH_15", u"Hello world"},
    {"MEDIA_MY_PC_16", u"Hello world"},
    {"MEDIA_CALC_17", u"Hello world"},
    {"MEDIA_MAIL_18", u"Hello world"},
    {"FUNC_KEY_DESC1", u"Open"},
    {"FUNC_KEY_DESC2", u"New"},
    {"FUNC_KEY_DESC3", u"Undo"},
    {"FUNC_KEY_DESC4", u"Save"},
    {"FUNC_KEY_DESC5", u"Copy"},
    {"FUNC_KEY_DESC6", u"Cut"},
    {"FUNC_KEY_DESC7", u"Paste"},
    {"FUNC_KEY_DESC8", u"Find"},
    {"FUNC_KEY_DESC9", u"Select All"},
    {"FUNC_KEY_DESC10", u"Zoom-"},
    {"FUNC_KEY_DESC11", u"Zoom+"},
    {"KEY_PROMPT_SET", u"Keys, Set: "},
    {"KEY_PROMPT_SINGLE", u"Key("},
    {"KEY_PROMPT_MACRO", u"Macro("},
    {"KEY_PROMPT_MEDIA", u"Media("},
    {"KEY_PROMPT_FUNCTION", u"Function("},
    {"KEY_PROMPT_UNKNOWN", u"Unknown("},
    {"DEFAULT_PROFILE_NAME", u"<Default Profile>"},
    {"PROFILE_SELECT_PROMPT", u"Whether to save the profile settings made?"},
    {"PROFILE_SEELCT_PROMPT2", u"When fast switch scene mode, you must first close the editor dialog box."},
    {"PROFILE_FORMAT_ERROR", u"wrong file format, revert to the default values: \n  %s"},
    {"PROFILE_NEW", u"\\The new contextual  mode"},
    {"PROFILE_TIP", u"The current contextual  mode: "},
    {"PROFILE_FILE_NOT_WRITTEN", u"The profile file could not be written:\n%s"},
    {"PROFILE_NOT_ON_KEYBOARD",
     u"%s is a file, not one of the keyboard's three profiles: the keyboard stays on its profile."},
    {"PROFILE_SWITCH_FAILED", u"The keyboard did not switch to profile %d."},
    {"PROFILE_LIST_NOT_SAVED", u"The profile list could not be saved:\n%s"},
    {"EXTRA_PROFILE_SPACE_TIGHT", u"shortage of hardware space, cancelled the macro name of storage."},
    {"MAIN_UPDATE_ERROR_TEXT", u"\u8BF7\u9009\u62E9\u6B63\u786E\u7684\u66F4\u65B0\u6587\u4EF6! "},
    {"MAIN_BOOT_ERROR_TEXT", u"\u65E0\u6CD5\u8FDB\u5165Boot\u6A21\u5F0F! "},
    {"MAIN_SHELL_ERROR_TEXT", u"\u65E0\u6CD5\u6267\u884C\u66F4\u65B0\u6587\u4EF6! "},
    {"MAIN_UPDATE_BACKUP_OK", u"\u5907\u4EFD\u6210\u529F!"},
    {"MAIN_UPDATE_BACKUP_NG", u"\u5907\u4EFD\u5931\u8D25,\u8BF7\u91CD\u65B0\u5907\u4EFD!"},
    {"MAIN_UPDATE_NOT_EXECUTABLE", u"This file cannot be run as a program:\n%s"},
    {"KEYBOARD_TRAY_DESC", u"Single-handed keyboard Driver "},
    {"MAIN_CAPTION", u"Gaming Keyboard Settings"},
    {"MAIN_HELP_PROMPT", u"Help"},
    {"MAIN_MINIMIZE_PROMPT", u"Minimize"},
    {"MAIN_MENU_PROMPT", u"Menu"},
    {"MAIN_CLOSE_PROMPT", u"Close"},
    {"MAIN_BUTTON_ZELVOR_VER", u""},
    {"MAIN_PROMPT_DEFAULT", u"Do you want to restore the default settings?"},
    {"MAIN_CLOSE_DIALOG", u"Do you want to close the window?"},
    {"MAIN_PROMPT_INPORT", u"File format error, import failed! "},
    {"MAIN_SWITCH_FUNCTION_TEXT", u"Switch to the color keys mode"},
    {"MAIN_SWITCH_COLOR_TEXT", u"Switch to the function keys mode"},
    {"MAIN_DEFAULT_MATRIX_PROMPT", u"Reads the default keyboard layout failure"},
    {"MAIN_NO_DEVICE_PROMPT", u"Device is not detected\uFF0Cthe key settings can not be displayed! "},
    {"MACRO_ERR_SAME", u""},
    {"MACRO_ERR_NAME_SYSTEM", u""},
    {"MACRO_DEFAULT_NAME", u""},
    {"MACRO_ERR_RECORD", u""},
    {"MACRO_ACTION_ERR_MODIFY", u""},
    {"MACRO_ACTION_ERR_DELAY_MIN", u""},
    {"APPLY_PROMPT", u""},
    {"KEY_PROMPT", u""},
    {"PROFILE_SELECT_PROMPT3", u""},
    {"PROFILE_LOAD_PROMPT", u""},
    {"PROFILE_CHECK_PROMPT", u""},
    {"PROFILE_EDITING", u""},
    {"MAIN_PROMPT_DRIVER_TEXT", u""},
    {"MAIN_PROMPT_DRIVER_TITLE", u""},
    // Failures the window tells the user about in words of its own.
    {"MAIN_APPLY_SAVE_FAILED", u"The settings could not be saved, so nothing was sent to the keyboard: %s"},
    {"MAIN_DOWNLOAD_FAILED", u"The keyboard did not take the settings. They are kept: press Apply to try again."},
    {"MAIN_EXPORT_FAILED", u"The profile file %s could not be written: %s"},
    {"MAIN_MACROS_UNREADABLE",
     u"The macros stored in the keyboard could not be read and are left out; its key settings were read. (%s)"},
};

// Messages shown in one fixed wording whatever the language: no language
// file carries them, so they go through the message path by these keys.
constexpr LanguageEntry kFixedEntries[] = {
    {"MACRO_SPACE_EXCEEDED", u"Macro space exceeds the hardware space.\r\n Please reduce the number of macros or "
                             u"macro action number\uFF0Cand then download."},
};

// Captions the windows read themselves: main window, its menu, the tray
// menu, the About box, the key-assignment and macro dialog.
constexpr LanguageEntry kWindowEntries[] = {
    {"PROFILE_1", u"hello"},
    {"PROFILE_2", u"hello"},
    {"PROFILE_3", u"hello"},
    {"PROFILE_MACRO", u"hello"},
    {"PROFILE_DEFAULT", u"hello"},
    {"PROFILE_OK", u"hello"},
    {"PROFILE_CANCLE", u"hello"},
    {"PROFILE_APPLY", u"hello"},
    {"MAIN_UPDATE_FILE_LABEL", u"Update program:"},
    // The profile manager's and the update dialog's window titles.
    {"PROFILE_MANAGER_TITLE", u"Profile manager"},
    {"MAIN_UPDATE_TITLE", u"Firmware update"},
    {"MAIN_COLOR_OTHER", u"Other colours\u2026"},
    // The profile manager's column headings; the built-in ones are Chinese.
    {"PROFILE_COLUMN_ACTIVE", u"\u6FC0\u6D3B"}, // 激活
    {"PROFILE_COLUMN_NAME", u"\u540D\u79F0"},   // 名称
    {"PROFILE_COLUMN_PATH", u"\u8DEF\u5F84"},   // 路径
    {"MENU_1", u"Import"},
    {"MENU_2", u"Export"},
    {"MENU_3", u"About"},
    {"MENU_4", u"Close"},
    {"CHINESE_5", u"hello"},
    {"ENGINSH_6", u"hello"},
    {"MENU_11", u"Open(&O)"},
    {"MENU_22", u"About(&A)"},
    {"MENU_33", u"Exit(&X)"},
    {"GUANYU_JIESHAO", u""},
    {"GUANYU_BANQUAN", u""},
    {"COMPOSITE_PROMPT_CLEAR", u"Restore the default functiong of buttons"},
    {"COMPOSITE_PROMPT_OSK", u"Open the on-screen keyboard"},
    {"COMPOSITE_OSK_MISSING", u"No on-screen keyboard was found. Install one of onboard, florence, "
                              u"matchbox-keyboard, xvkbd or kvkbd to type keys your keyboard lacks."},
    {"MACRO_CYCLES", u"Cycles"},
    {"RECORD_DELAY", u"Record Delay"},
    {"SINGLE_KEY", u"hello"},
    {"MACRO_SETTING", u"hello"},
    {"MULTI_MEDIA", u"hello"},
    {"FUNCTION_KEY", u"hello"},
    {"A_TOP", u"hello"},
    {"A_UP", u"hello"},
    {"A_DOWN", u"hello"},
    {"A_BOTTOM", u"hello"},
    {"A_RECORD", u"hello"},
    {"A_DELETE", u"hello"},
    {"A_CLEAR", u"hello"},
    {"MACRO_OK", u"hello"},
    {"MACRO_CANCLE", u"hello"},
    {"SINGLE_STATIC", u"hello"},
    {"MACRO_NAME_SETTING", u"hello"},
    {"KEY_SETTING_TISHI", u"hello"},
    {"MACRO_EDIT_TISHI", u"hello"},
    {"MEDIA_EDIT_TISHI", u"hello"},
    {"FUNCTION_TISHI", u"hello"},
    {"COMPOSITE_MACRO_OVER", u""},
    // Names a screen reader gives the window's lights and layout buttons.
    {"MAIN_LIGHT_CAPS_NAME", u"Caps Lock light"},
    {"MAIN_LIGHT_NUM_NAME", u"Num Lock light"},
    {"MAIN_LIGHT_SCROLL_NAME", u"Scroll Lock light"},
    {"MAIN_LIGHT_BANK_NAME", u"Macro key bank light"},
    {"MAIN_FLIP_NAME", u"Switch the key layout"},
    {"MAIN_LIGHTING_NOT_TAKEN", u"The keyboard did not take the lighting change; the panel shows what it holds."},
    {"MAIN_SETTING_NOT_KEPT", u"The setting could not be saved; the panel shows the one kept. (%s)"},
    {"MAIN_OPEN_FAILED", u"%s could not be opened: no program on this computer opens it."},
};

const LanguageEntry* FindEntry(std::span<const LanguageEntry> entries, std::string_view key)
{
    auto it = std::find_if(entries.begin(), entries.end(), [&](const LanguageEntry& e) { return e.key == key; });
    return it == entries.end() ? nullptr : &*it;
}

bool IsBlankText(std::u16string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char16_t c) { return c == u' ' || c == u'\t'; });
}

} // namespace

std::span<const LanguageEntry> LanguageTableEntries()
{
    return kTableEntries;
}

std::optional<std::u16string_view> BuiltInLanguageText(std::string_view key)
{
    if (const LanguageEntry* entry = FindEntry(kTableEntries, key)) return entry->builtIn;
    if (const LanguageEntry* entry = FindEntry(kWindowEntries, key)) return entry->builtIn;
    if (const LanguageEntry* entry = FindEntry(kFixedEntries, key)) return entry->builtIn;
    return std::nullopt;
}

std::filesystem::path LanguageFilePath()
{
    return SkinFolder() / "language.ini";
}

int ReadLanguageIndex(const IniFile& file)
{
    return ParseDecimalInt(
        file.ReadString(kLanguageIndexSection, kLanguageIndexKey, kMissingLanguageText, kLanguageReadBuffer));
}

namespace {
std::shared_ptr<const IniFile> LoadOrEmpty(const std::filesystem::path& languageFile)
{
    // An unreadable file counts as a missing one: every text becomes a blank.
    auto file = LoadSharedIni(languageFile);
    return file ? std::move(*file) : std::make_shared<const IniFile>();
}
} // namespace

int ReadLanguageIndex(const std::filesystem::path& languageFile)
{
    return ReadLanguageIndex(*LoadOrEmpty(languageFile));
}

int ReadLanguageIndex()
{
    return ReadLanguageIndex(LanguageFilePath());
}

std::string_view LanguageSection(int index)
{
    return index == kEnglishLanguageIndex ? kEnglishSection : kChineseSection;
}

Status WriteLanguageIndex(const std::filesystem::path& languageFile, int index)
{
    return WriteIniString(languageFile, "language", kLanguageIndexKey, Utf8ToUtf16(std::to_string(index)));
}

std::u16string ReadLanguageText(const IniFile& file, std::string_view key)
{
    return file.ReadString(LanguageSection(ReadLanguageIndex(file)), key, kMissingLanguageText, kLanguageReadBuffer);
}

std::u16string ReadLanguageText(const std::filesystem::path& languageFile, std::string_view key)
{
    return ReadLanguageText(*LoadOrEmpty(languageFile), key);
}

std::u16string ReadLanguageTextOrBuiltIn(const std::filesystem::path& languageFile, std::string_view key,
                                         std::optional<int> languageIndex)
{
    const auto loaded = LoadOrEmpty(languageFile);
    const IniFile& file = *loaded;
    std::u16string text =
        languageIndex ? file.ReadString(LanguageSection(*languageIndex), key, kMissingLanguageText, kLanguageReadBuffer)
                      : ReadLanguageText(file, key);
    if (IsBlankText(text)) {
        if (const auto builtIn = BuiltInLanguageText(key)) text = std::u16string(*builtIn);
    }
    return text;
}

// ---------------------------------------------------------------------------

LanguageTable::LanguageTable()
{
    ResetToBuiltIn();
}

void LanguageTable::ResetToBuiltIn()
{
    std::vector<std::u16string> texts;
    texts.reserve(std::size(kTableEntries));
    for (const LanguageEntry& entry : kTableEntries) texts.emplace_back(entry.builtIn);
    std::lock_guard lock(m_mutex);
    m_texts = std::move(texts);
}

void LanguageTable::Load(const std::filesystem::path& languageFile)
{
    Load(*LoadOrEmpty(languageFile));
}

void LanguageTable::Load(const IniFile& file)
{
    const std::string_view section = LanguageSection(ReadLanguageIndex(file));
    std::vector<std::u16string> texts;
    texts.reserve(std::size(kTableEntries));
    for (const LanguageEntry& entry : kTableEntries) {
        texts.push_back(file.ReadString(section, entry.key, kMissingLanguageText, kLanguageReadBuffer));
    }
    std::lock_guard lock(m_mutex);
    m_texts = std::move(texts);
}

std::optional<std::u16string> LanguageTable::Find(std::string_view key) const
{
    const LanguageEntry* entry = FindEntry(kTableEntries, key);
    if (entry == nullptr) return std::nullopt;
    std::lock_guard lock(m_mutex);
    return m_texts[static_cast<std::size_t>(entry - kTableEntries)];
}

std::u16string LanguageTable::Text(std::string_view key) const
{
    if (auto text = Find(key)) return *text;
    return std::u16string(BuiltInLanguageText(key).value_or(u""));
}

std::string LanguageTable::TextUtf8(std::string_view key) const
{
    return Utf16ToUtf8(Text(key));
}

LanguageTable& TheLanguageTable()
{
    static LanguageTable table;
    return table;
}

void LoadLanguageTable()
{
    TheLanguageTable().Load(LanguageFilePath());
}

// ---------------------------------------------------------------------------
// Filling in arguments

namespace {

constexpr std::size_t kMaxFieldDigits = 3; // widths and precisions up to 999

bool IsAsciiDigit(char16_t c)
{
    return c >= u'0' && c <= u'9';
}

std::optional<long long> ParseWholeNumber(std::string_view text)
{
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    long long value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

std::u16string Pad(std::u16string text, std::size_t width, bool left)
{
    if (text.size() >= width) return text;
    const std::u16string fill(width - text.size(), u' ');
    return left ? text + fill : fill + text;
}

} // namespace

std::u16string FormatLanguageText(std::u16string_view format, std::span<const std::string> args)
{
    std::u16string out;
    std::size_t nextArg = 0;
    std::size_t i = 0;
    while (i < format.size()) {
        if (format[i] != u'%') {
            out.push_back(format[i++]);
            continue;
        }
        const std::size_t start = i++;
        if (i < format.size() && format[i] == u'%') {
            out.push_back(u'%');
            ++i;
            continue;
        }
        std::string flags;
        while (i < format.size() && std::u16string_view(u"-+ #0").find(format[i]) != std::u16string_view::npos) {
            if (flags.find(static_cast<char>(format[i])) == std::string::npos)
                flags.push_back(static_cast<char>(format[i]));
            ++i;
        }
        std::string width;
        while (i < format.size() && IsAsciiDigit(format[i])) width.push_back(static_cast<char>(format[i++]));
        bool hasPrecision = false;
        std::string precision;
        if (i < format.size() && format[i] == u'.') {
            hasPrecision = true;
            ++i;
            while (i < format.size() && IsAsciiDigit(format[i])) precision.push_back(static_cast<char>(format[i++]));
        }
        for (int n = 0;
             n < 2 && i < format.size() && std::u16string_view(u"hlLqjzt").find(format[i]) != std::u16string_view::npos;
             ++n)
            ++i;
        if (i >= format.size()) {
            out.append(format.substr(start));
            break;
        }
        const char16_t conversion = format[i++];
        const std::u16string_view directive = format.substr(start, i - start);
        const bool known = std::u16string_view(u"sdiuxXoc").find(conversion) != std::u16string_view::npos;
        if (!known || nextArg >= args.size() || width.size() > kMaxFieldDigits || precision.size() > kMaxFieldDigits) {
            out.append(directive);
            continue;
        }
        const std::string& arg = args[nextArg++];
        const std::size_t fieldWidth = width.empty() ? 0 : std::stoul(width);
        const bool left = flags.find('-') != std::string::npos;

        std::optional<long long> number;
        if (conversion != u's') number = ParseWholeNumber(arg);
        if (conversion == u's' || !number) {
            std::u16string text = Utf8ToUtf16(arg);
            if (conversion == u'c' && !text.empty()) text.resize(1);
            if (hasPrecision && conversion == u's')
                text.resize(std::min<std::size_t>(text.size(), precision.empty() ? 0 : std::stoul(precision)));
            out += Pad(std::move(text), fieldWidth, left);
            continue;
        }
        if (conversion == u'c') {
            std::u16string text(1, static_cast<char16_t>(*number));
            out += Pad(std::move(text), fieldWidth, left);
            continue;
        }
        // Built only from checked pieces: known flags, at most three digits each, a known conversion.
        std::string cFormat = "%" + flags + width + (hasPrecision ? "." + precision : std::string()) + "ll" +
                              static_cast<char>(conversion == u'i' ? u'd' : conversion);
        char buffer[2 * 1000 + 64];
        int length = 0;
        if (conversion == u'd' || conversion == u'i') {
            length = std::snprintf(buffer, sizeof buffer, cFormat.c_str(), *number);
        } else {
            length = std::snprintf(buffer, sizeof buffer, cFormat.c_str(), static_cast<unsigned long long>(*number));
        }
        if (length > 0)
            out += Utf8ToUtf16(
                std::string_view(buffer, std::min<std::size_t>(static_cast<std::size_t>(length), sizeof buffer - 1)));
    }
    return out;
}

std::u16string MessageText(const LanguageTable& table, const UserMessage& message)
{
    std::u16string text;
    if (auto current = table.Find(message.key)) {
        text = std::move(*current);
        if (IsBlankText(text)) text = std::u16string(BuiltInLanguageText(message.key).value_or(text));
    } else if (auto builtIn = BuiltInLanguageText(message.key)) {
        text = std::u16string(*builtIn);
    }
    if (IsBlankText(text)) {
        text = Utf8ToUtf16(message.key);
        for (const std::string& arg : message.args) text += u" " + Utf8ToUtf16(arg);
        return text;
    }
    return FormatLanguageText(text, message.args);
}

std::string MessageTextUtf8(const LanguageTable& table, const UserMessage& message)
{
    return Utf16ToUtf8(MessageText(table, message));
}

} // namespace kestrune
