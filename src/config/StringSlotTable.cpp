#include "config/StringSlotTable.h"

#include "config/ConfigHeader.h"

namespace kestrune {

namespace {

std::uint64_t BytesOf(std::size_t length)
{
    return (static_cast<std::uint64_t>(length) + 1) * sizeof(char16_t);
}

} // namespace

Status StringSlotTable::Set(std::size_t index, std::u16string_view text)
{
    if (const auto nul = text.find(u'\0'); nul != std::u16string_view::npos) text = text.substr(0, nul);
    return Store(index, Part{std::make_shared<const std::u16string>(text), 0, text.size()});
}

Status StringSlotTable::SetShared(std::size_t index, std::shared_ptr<const std::u16string> text, std::size_t start,
                                  std::size_t length)
{
    if (!text || start > text->size() || length > text->size() - start)
        return Error{"a shared text part lies outside its text"};
    return Store(index, Part{std::move(text), start, length});
}

Status StringSlotTable::Store(std::size_t index, Part part)
{
    if (index >= kStringSlotCount)
        return Error{"string slot " + std::to_string(index) + " is out of range: expected below " +
                     std::to_string(kStringSlotCount)};
    const std::uint64_t newSum = static_cast<std::uint64_t>(m_stringBytes) - Size(index) + BytesOf(part.length);
    if (newSum > kMaxStringBytes)
        return Error{"texts of " + std::to_string(newSum) + " bytes do not fit a profile file: expected at most " +
                     std::to_string(kMaxStringBytes)};
    m_slots[index] = std::move(part);
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
    const Part& part = *m_slots[index];
    return std::u16string_view(*part.text).substr(part.start, part.length);
}

std::uint32_t StringSlotTable::Size(std::size_t index) const
{
    if (index >= kStringSlotCount || !m_slots[index]) return 0;
    return static_cast<std::uint32_t>(BytesOf(m_slots[index]->length));
}

bool StringSlotTable::operator==(const StringSlotTable& other) const
{
    if (m_stringBytes != other.m_stringBytes) return false;
    for (std::size_t i = 0; i < kStringSlotCount; ++i) {
        if (Text(i) != other.Text(i)) return false;
    }
    return true;
}

} // namespace kestrune
