#include "config/StringSlotTable.h"

#include "config/ConfigHeader.h"

namespace kestrune {

namespace {

std::uint64_t BytesOf(std::u16string_view text)
{
    return (static_cast<std::uint64_t>(text.size()) + 1) * sizeof(char16_t);
}

} // namespace

Status StringSlotTable::Set(std::size_t index, std::u16string_view text)
{
    if (index >= kStringSlotCount)
        return Error{"string slot " + std::to_string(index) + " is out of range: expected below " +
                     std::to_string(kStringSlotCount)};
    if (const auto nul = text.find(u'\0'); nul != std::u16string_view::npos) text = text.substr(0, nul);
    const std::uint64_t newSum = static_cast<std::uint64_t>(m_stringBytes) - Size(index) + BytesOf(text);
    if (newSum > kMaxStringBytes)
        return Error{"texts of " + std::to_string(newSum) + " bytes do not fit a profile file: expected at most " +
                     std::to_string(kMaxStringBytes)};
    m_slots[index] = std::u16string(text);
    m_stringBytes = static_cast<std::uint32_t>(newSum);
    return Status::Ok();
}

void StringSlotTable::Clear(std::size_t index)
{
    if (index >= kStringSlotCount || !m_slots[index]) return;
    m_stringBytes -= Size(index);
    m_slots[index].reset();
}

void StringSlotTable::ClearAll()
{
    for (auto& slot : m_slots) slot.reset();
    m_stringBytes = 0;
}

std::optional<std::u16string_view> StringSlotTable::Text(std::size_t index) const
{
    if (index >= kStringSlotCount || !m_slots[index]) return std::nullopt;
    return std::u16string_view(*m_slots[index]);
}

std::uint32_t StringSlotTable::Size(std::size_t index) const
{
    if (index >= kStringSlotCount || !m_slots[index]) return 0;
    return static_cast<std::uint32_t>(BytesOf(*m_slots[index]));
}

} // namespace kestrune
