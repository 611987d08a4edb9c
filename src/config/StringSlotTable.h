#pragma once

// The texts of keys bound to a program or a block of text, one slot for every
// key-map slot of the four maps: slot number = 512 x map + key-map slot. The
// table also keeps the sum of the sizes of all filled slots, which is what a
// saved file announces as its string area.
//
// Slots may share the characters they hold: a file can point many keys at
// one text, and a loaded table keeps the file's texts once however many keys
// use them, so the memory a load takes stays within the file's own size.
// Every slot still has its own text: changing one leaves the others alone.
//
// Not thread-safe on its own: it lives inside a configuration copy and is
// used under that copy's lock.

#include "common/Result.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kestrune {

inline constexpr std::size_t kStringSlotCount = 2048;
inline constexpr std::size_t kSlotsPerKeyMap = 512;

constexpr std::size_t StringSlotIndex(std::size_t map, std::size_t slot)
{
    return kSlotsPerKeyMap * map + slot;
}

class StringSlotTable {
public:
    // Stores a copy of the text. The stored form ends at the first NUL, as it
    // would after a trip through a file. Fails for a slot number out of range
    // or when the table's string bytes would no longer fit a file.
    Status Set(std::size_t index, std::u16string_view text);

    // Stores the units [start, start + length) of a text that other slots
    // may use too; the text is kept, not copied. The caller has found where
    // the text ends: the part holds no NUL. Fails like Set, and for a part
    // outside the text.
    Status SetShared(std::size_t index, std::shared_ptr<const std::u16string> text, std::size_t start,
                     std::size_t length);

    // Empties a slot; an empty or out-of-range slot is left alone.
    void Clear(std::size_t index);
    void ClearAll();

    // The text without its terminator, or nothing for an empty slot (or a
    // slot number out of range).
    std::optional<std::u16string_view> Text(std::size_t index) const;

    // Size in bytes including the terminator; 0 for an empty slot.
    std::uint32_t Size(std::size_t index) const;

    // Sum of Size() over all slots.
    std::uint32_t StringBytes() const { return m_stringBytes; }

    // Equal when every slot holds the same text, shared or not.
    bool operator==(const StringSlotTable& other) const;

private:
    struct Part {
        std::shared_ptr<const std::u16string> text;
        std::size_t start = 0;
        std::size_t length = 0;
    };
    Status Store(std::size_t index, Part part);

    std::array<std::optional<Part>, kStringSlotCount> m_slots;
    std::uint32_t m_stringBytes = 0;
};

} // namespace kestrune
