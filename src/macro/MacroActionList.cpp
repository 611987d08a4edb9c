#include "macro/MacroActionList.h"

#include <algorithm>
#include <string>

namespace kestrune {

void MacroActionList::Select(int row)
{
    m_selected = (row >= 0 && static_cast<std::size_t>(row) < m_rows.size()) ? row : -1;
}

std::optional<int> MacroActionList::Add(MacroAction action, bool recorded, int recordDelayOption, bool afterSelection,
                                        bool loading)
{
    if (Full()) return std::nullopt;
    if (action.direction > kMacroRelease) action.direction = kMacroPress;
    if (recorded && recordDelayOption != 1) action.delay = kFixedRecordDelayMs;

    const std::size_t at =
        (afterSelection && m_selected >= 0) ? static_cast<std::size_t>(m_selected) + 1 : m_rows.size();
    MacroAction row = action;
    if (!loading) {
        if (at > 0) {
            row.delay = m_rows[at - 1].delay;
            m_rows[at - 1].delay = action.delay;
        } else {
            row.delay = 0;
        }
    }
    m_rows.insert(m_rows.begin() + static_cast<std::ptrdiff_t>(at), row);
    const int index = static_cast<int>(at);
    if (recorded) {
        m_selected = index;
    } else if (m_selected >= index) {
        ++m_selected; // the selection stays on its row
    }
    return index;
}

void MacroActionList::Load(const MacroRecord& record)
{
    const auto actions = record.Actions();
    m_rows.assign(actions.begin(), actions.end());
    for (auto& row : m_rows)
        if (row.direction > kMacroRelease) row.direction = kMacroPress;
    m_selected = -1;
}

void MacroActionList::SaveInto(MacroRecord& record) const
{
    record.actions = {};
    std::copy(m_rows.begin(), m_rows.end(), record.actions.begin());
    record.actionCount = static_cast<std::uint16_t>(m_rows.size());
}

bool MacroActionList::DeleteSelected()
{
    if (m_selected < 0) return false;
    const auto at = static_cast<std::size_t>(m_selected);
    m_rows.erase(m_rows.begin() + static_cast<std::ptrdiff_t>(at));
    if (m_rows.empty()) {
        m_selected = -1;
    } else if (at >= m_rows.size()) {
        m_selected = static_cast<int>(m_rows.size()) - 1;
    }
    return true;
}

void MacroActionList::Clear()
{
    m_rows.clear();
    m_selected = -1;
}

bool MacroActionList::MoveSelected(RowMove move)
{
    if (m_selected < 0) return false;
    const auto from = static_cast<std::size_t>(m_selected);
    std::size_t to = from;
    switch (move) {
    case RowMove::Top:
        to = 0;
        break;
    case RowMove::Up:
        to = from == 0 ? 0 : from - 1;
        break;
    case RowMove::Down:
        to = std::min(from + 1, m_rows.size() - 1);
        break;
    case RowMove::Bottom:
        to = m_rows.size() - 1;
        break;
    }
    const MacroAction row = m_rows[from];
    m_rows.erase(m_rows.begin() + static_cast<std::ptrdiff_t>(from));
    m_rows.insert(m_rows.begin() + static_cast<std::ptrdiff_t>(to), row);
    m_selected = static_cast<int>(to);
    return true;
}

bool MacroActionList::SetKey(int row, std::uint16_t key)
{
    if (row < 0 || static_cast<std::size_t>(row) >= m_rows.size()) return false;
    m_rows[static_cast<std::size_t>(row)].key = key;
    return true;
}

bool MacroActionList::SetDirection(int row, std::uint16_t direction)
{
    if (row < 0 || static_cast<std::size_t>(row) >= m_rows.size()) return false;
    m_rows[static_cast<std::size_t>(row)].direction = direction > kMacroRelease ? kMacroPress : direction;
    return true;
}

bool MacroActionList::SetDelay(int row, std::int32_t delay)
{
    if (row < 0 || static_cast<std::size_t>(row) >= m_rows.size()) return false;
    m_rows[static_cast<std::size_t>(row)].delay = delay;
    return true;
}

std::optional<TypedDelay> ParseTypedDelay(std::u16string_view text)
{
    if (text.empty()) return std::nullopt;
    TypedDelay typed;
    std::int64_t value = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9') return std::nullopt;
        // Stop counting once past the maximum, so no length of digits wraps round.
        if (value <= kMaxEditedDelayMs) value = value * 10 + (c - u'0');
    }
    if (value > kMaxEditedDelayMs) {
        value = kMaxEditedDelayMs;
        typed.tooLong = true;
    }
    typed.delay = static_cast<std::int32_t>(value - value % kEditedDelayStepMs);
    return typed;
}

TypedCycles ParseTypedCycles(std::u16string_view text)
{
    TypedCycles typed;
    // An empty box is one being typed into: it counts as 1 but is left alone.
    if (text.empty()) return typed;
    std::size_t i = 0;
    while (i < text.size() && text[i] == u' ') ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';
    std::int64_t value = 0;
    bool digits = false;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        digits = true;
        if (value <= kMaxMacroCycles) value = value * 10 + (text[i] - u'0');
    }
    const bool clean = digits && i == text.size();
    if (negative) value = -value;
    if (!digits || value < kMinMacroCycles) {
        typed.cycles = kMinMacroCycles;
        typed.corrected = true;
    } else if (value > kMaxMacroCycles) {
        typed.cycles = kMaxMacroCycles;
        typed.corrected = true;
    } else {
        typed.cycles = static_cast<std::uint8_t>(value);
        typed.corrected = !clean;
    }
    return typed;
}

namespace {

char16_t Folded(char16_t c)
{
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool StartsWithIgnoringCase(std::u16string_view text, std::u16string_view prefix)
{
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (Folded(text[i]) != Folded(prefix[i])) return false;
    return true;
}

} // namespace

std::u16string NextNewMacroName(std::u16string_view prefix, int& counter, std::span<const std::u16string> names)
{
    for (;;) {
        ++counter;
        std::u16string name(prefix);
        for (char c : std::to_string(counter)) name += static_cast<char16_t>(c);
        const bool taken = std::any_of(names.begin(), names.end(), [&](const std::u16string& existing) {
            return StartsWithIgnoringCase(existing, name);
        });
        if (!taken) return name;
    }
}

} // namespace kestrune
