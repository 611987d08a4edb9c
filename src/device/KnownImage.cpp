#include "device/KnownImage.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

namespace kestrune {

namespace {
constexpr const char* kTokenFileName = "kestrune-keyboard.token";
} // namespace

KnownImage::KnownImage(std::filesystem::path tokenPath) : m_tokenPath(std::move(tokenPath)) {}

std::filesystem::path KnownImage::DefaultTokenPath()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || *runtime == '\0') return {};
    const std::filesystem::path folder(runtime);
    if (!folder.is_absolute()) return {};
    return folder / kTokenFileName;
}

void KnownImage::SetTokenPath(std::filesystem::path tokenPath)
{
    std::lock_guard lock(m_mutex);
    m_tokenPath = std::move(tokenPath);
    ForgetLocked();
    m_lastToken.reset();
}

void KnownImage::Region::Note(std::size_t offset, std::span<const std::uint8_t> data)
{
    const std::size_t end = offset + data.size();
    if (bytes.size() < end) {
        bytes.resize(end);
        known.resize(end, false);
    }
    std::copy(data.begin(), data.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
    std::fill(known.begin() + static_cast<std::ptrdiff_t>(offset), known.begin() + static_cast<std::ptrdiff_t>(end),
              true);
}

void KnownImage::Region::Clear()
{
    bytes.clear();
    known.clear();
}

bool KnownImage::Region::Holds(std::size_t offset, std::span<const std::uint8_t> data) const
{
    if (offset + data.size() > bytes.size()) return false;
    for (std::size_t i = 0; i < data.size(); ++i)
        if (!known[offset + i] || bytes[offset + i] != data[i]) return false;
    return true;
}

void KnownImage::Forget()
{
    std::lock_guard lock(m_mutex);
    ForgetLocked();
}

void KnownImage::ForgetLocked()
{
    for (Region& table : m_tables) table.Clear();
    m_area.Clear();
}

std::optional<std::string> KnownImage::ReadToken() const
{
    if (m_tokenPath.empty()) return std::nullopt;
    std::error_code ec;
    if (!std::filesystem::exists(m_tokenPath, ec)) {
        // No process of ours has written the keyboard since the folder was made.
        if (ec) return std::nullopt;
        return std::string();
    }
    std::ifstream in(m_tokenPath, std::ios::binary);
    if (!in) return std::nullopt;
    std::string token{std::istreambuf_iterator<char>(in), {}};
    if (in.bad()) return std::nullopt;
    return token;
}

void KnownImage::RenewToken()
{
    m_lastToken.reset();
    if (m_tokenPath.empty()) return;
    static thread_local std::mt19937_64 random{std::random_device{}()};
    const std::string token = std::to_string(random()) + "-" + std::to_string(++m_renewals);
    // Written in place: a reader that catches it half written reads a token
    // that is no one's, and only forgets.
    std::ofstream out(m_tokenPath, std::ios::binary | std::ios::trunc);
    out << token;
    if (out.flush()) m_lastToken = token;
}

void KnownImage::BeginTransfer(bool writes)
{
    std::lock_guard lock(m_mutex);
    const std::optional<std::string> token = ReadToken();
    if (!token || token != m_lastToken) ForgetLocked();
    m_lastToken = token;
    if (writes) RenewToken();
}

void KnownImage::EndTransfer(bool writes)
{
    std::lock_guard lock(m_mutex);
    const std::optional<std::string> token = ReadToken();
    // Another process renewed the token while the transfer ran: what was
    // noted may already be out of date.
    if (!token || token != m_lastToken) ForgetLocked();
    m_lastToken = token;
    if (writes) RenewToken();
}

void KnownImage::NoteKeyTable(int profile, std::span<const std::uint8_t, wire::kKeyTableSize> table)
{
    if (profile < 0 || profile >= wire::kProfileCount) return;
    std::lock_guard lock(m_mutex);
    m_tables[static_cast<std::size_t>(profile)].Note(0, table);
}

void KnownImage::NoteMacroArea(std::size_t offset, std::span<const std::uint8_t> bytes)
{
    std::lock_guard lock(m_mutex);
    m_area.Note(offset, bytes);
}

void KnownImage::ForgetKeyTable(int profile)
{
    if (profile < 0 || profile >= wire::kProfileCount) return;
    std::lock_guard lock(m_mutex);
    m_tables[static_cast<std::size_t>(profile)].Clear();
}

void KnownImage::ForgetMacroArea()
{
    std::lock_guard lock(m_mutex);
    m_area.Clear();
}

std::optional<std::vector<Chunk>> KnownImage::ChunksToSend(const Region& region, std::span<const std::uint8_t> data,
                                                           std::size_t base)
{
    Result<std::vector<Chunk>> plan = ChunkPlan(data.size(), base);
    if (!plan) return std::nullopt;
    std::vector<Chunk> send;
    for (const Chunk& chunk : *plan)
        if (!region.Holds(chunk.offset, data.subspan(chunk.offset, chunk.length))) send.push_back(chunk);
    return send;
}

std::optional<std::vector<Chunk>>
KnownImage::KeyTableChunksToSend(int profile, std::span<const std::uint8_t, wire::kKeyTableSize> table) const
{
    if (profile < 0 || profile >= wire::kProfileCount) return std::nullopt;
    std::lock_guard lock(m_mutex);
    return ChunksToSend(m_tables[static_cast<std::size_t>(profile)], table,
                        wire::kKeyTableProfileStride * static_cast<std::size_t>(profile));
}

std::optional<std::vector<Chunk>> KnownImage::MacroAreaChunksToSend(std::span<const std::uint8_t> area) const
{
    std::lock_guard lock(m_mutex);
    return ChunksToSend(m_area, area, 0);
}

} // namespace kestrune
