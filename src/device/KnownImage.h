#pragma once

// What this program knows the keyboard's key tables and macro area to hold:
// the bytes it read from them, or wrote and saw taken, since the keyboard
// attached. A download asks which of its reports would change something and
// sends only those; a report with a byte that is not known is always sent,
// so a download after any doubt is a whole one, and the keyboard ends
// byte for byte as a whole download would leave it.
//
// The knowledge goes (Forget) whenever the keyboard may have changed behind
// the program's back: at every attach and detach, when the keyboard reports
// a change made on it, when an exchange of a transfer fails, and when
// another process of ours may have written the keyboard. The last is told by
// a token file that every transfer of ours checks at its start and end and
// every download renews (BeginTransfer / EndTransfer): a token that is not
// the one this process last saw means someone else wrote, or is writing.
// Without a token file (no private runtime folder), nothing is kept from one
// transfer to the next.
//
// Thread-safe: one mutex guards everything.

#include "device/CommandProtocol.h"
#include "wire/Protocol.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kestrune {

class KnownImage {
public:
    // 'tokenPath' empty: knowledge lasts no longer than one transfer.
    explicit KnownImage(std::filesystem::path tokenPath = DefaultTokenPath());

    // $XDG_RUNTIME_DIR/kestrune-keyboard.token; empty without that folder.
    static std::filesystem::path DefaultTokenPath();
    void SetTokenPath(std::filesystem::path tokenPath);

    void Forget();

    // A transfer's bounds. 'writes': the transfer changes the keyboard, and
    // renews the token so that every other process forgets what it knew.
    void BeginTransfer(bool writes);
    void EndTransfer(bool writes);

    // What a transfer read or saw written.
    void NoteKeyTable(int profile, std::span<const std::uint8_t, wire::kKeyTableSize> table);
    void NoteMacroArea(std::size_t offset, std::span<const std::uint8_t> bytes);
    void ForgetKeyTable(int profile);
    void ForgetMacroArea();

    // The reports of a whole write that would change something: those of
    // ChunkPlan(data.size(), base) with a byte that differs or is not known.
    // Nothing when no plan can be made: the whole write then fails as it would.
    std::optional<std::vector<Chunk>>
    KeyTableChunksToSend(int profile, std::span<const std::uint8_t, wire::kKeyTableSize> table) const;
    std::optional<std::vector<Chunk>> MacroAreaChunksToSend(std::span<const std::uint8_t> area) const;

private:
    struct Region {
        std::vector<std::uint8_t> bytes;
        std::vector<bool> known;
        void Note(std::size_t offset, std::span<const std::uint8_t> data);
        void Clear();
        bool Holds(std::size_t offset, std::span<const std::uint8_t> data) const;
    };
    static std::optional<std::vector<Chunk>> ChunksToSend(const Region& region, std::span<const std::uint8_t> data,
                                                          std::size_t base);
    void ForgetLocked();
    std::optional<std::string> ReadToken() const;
    void RenewToken();

    mutable std::mutex m_mutex;
    std::filesystem::path m_tokenPath;
    std::optional<std::string> m_lastToken; // the token as this process last saw or wrote it
    std::uint64_t m_renewals = 0;
    std::array<Region, wire::kProfileCount> m_tables;
    Region m_area;
};

} // namespace kestrune
