#include "config/ProfileFile.h"

#include "common/LittleEndian.h"
#include "config/Folders.h"

#include <algorithm>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

namespace kestrune {

namespace {

std::string Bytes(std::uint64_t n)
{
    return std::to_string(n) + " bytes";
}

// Where the text starting at each of the given byte offsets ends: the offset
// of its terminator, or nothing when no terminator follows inside the area.
// Offsets are scanned from the highest down, and a scan stops at the next
// offset already known, so the whole area is looked at once however many
// keys point into it.
std::map<std::size_t, std::optional<std::size_t>> TextEnds(std::span<const std::uint8_t> area,
                                                           const std::vector<std::size_t>& offsets)
{
    std::map<std::size_t, std::optional<std::size_t>> ends;
    for (std::size_t offset : offsets) ends.emplace(offset, std::nullopt);
    std::optional<std::size_t> nextStart; // the next higher offset, already resolved
    for (auto it = ends.rbegin(); it != ends.rend(); ++it) {
        std::size_t at = it->first;
        for (; at + 1 < area.size(); at += 2) {
            if (nextStart && at == *nextStart) {
                it->second = ends[*nextStart];
                break;
            }
            if (ReadLe16(area, at) == 0) {
                it->second = at;
                break;
            }
        }
        nextStart = it->first;
    }
    return ends;
}

// The image of `announced` bytes whose header was already read from `file`.
Result<std::vector<std::uint8_t>> ReadRest(std::istream& file, std::span<const std::uint8_t, kConfigHeaderSize> header,
                                           std::uint64_t announced, const std::filesystem::path& path)
{
    std::vector<std::uint8_t> image(static_cast<std::size_t>(announced));
    std::ranges::copy(header, image.begin());
    if (!file.read(reinterpret_cast<char*>(image.data() + kConfigHeaderSize),
                   static_cast<std::streamsize>(image.size() - kConfigHeaderSize)))
        return Error{"cannot read " + Bytes(announced) + " from " + path.string()};
    return image;
}

Result<std::vector<std::uint8_t>> LoadImage(const std::filesystem::path& path)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return Error{"no profile file at " + path.string()};
    const std::uint64_t fileSize = std::filesystem::file_size(path, ec);
    if (ec) return Error{"cannot read the size of " + path.string() + ": " + ec.message()};
    std::ifstream file(path, std::ios::binary);
    if (!file) return Error{"cannot open " + path.string()};
    if (fileSize < kConfigBlockSize)
        return Error{path.string() + ": expected at least " + Bytes(kConfigBlockSize) + ", found " + Bytes(fileSize)};

    std::array<std::uint8_t, kConfigHeaderSize> headerBytes{};
    if (!file.read(reinterpret_cast<char*>(headerBytes.data()), headerBytes.size()))
        return Error{"cannot read the header of " + path.string()};
    const ConfigHeader header = DecodeConfigHeader(headerBytes);
    const std::uint64_t announced = ProfileTotalSize(header.macroCount, header.stringBytes);
    // Checked before allocating, so a header cannot make the reader take more
    // memory than the file on disk justifies.
    if (header.macroCount > kMaxMacros)
        return Error{path.string() + ": expected at most " + std::to_string(kMaxMacros) + " macros, found " +
                     std::to_string(header.macroCount)};
    if (announced > fileSize)
        return Error{path.string() + ": the header announces " + Bytes(announced) + ", the file holds " +
                     Bytes(fileSize)};

    return ReadRest(file, headerBytes, announced, path);
}

} // namespace

Result<CurrentCopy> ParseProfileImage(std::span<const std::uint8_t> image, ActionSlots slots)
{
    if (image.size() < kConfigBlockSize)
        return Error{"expected a profile of at least " + Bytes(kConfigBlockSize) + ", found " + Bytes(image.size())};
    const ConfigHeader header = DecodeConfigHeader(image.first<kConfigHeaderSize>());
    if (header.macroCount > kMaxMacros)
        return Error{"expected at most " + std::to_string(kMaxMacros) + " macros, found " +
                     std::to_string(header.macroCount)};
    const std::uint64_t announced = ProfileTotalSize(header.macroCount, header.stringBytes);
    if (announced != header.totalSize)
        return Error{"the header's total size " + Bytes(header.totalSize) + " does not match its parts: expected " +
                     Bytes(announced)};
    if (announced > image.size())
        return Error{"the header announces " + Bytes(announced) + ", found " + Bytes(image.size())};

    try {
        CurrentCopy copy;
        copy.SetBlock(std::make_unique<ConfigBlock>(ConfigBlockFromBytes(image.first<kConfigBlockSize>())));
        const std::size_t macroBytes = kMacroRecordSize * header.macroCount;
        Result<std::vector<MacroRecord>> macros =
            MacroListFromBytes(image.subspan(kConfigBlockSize, macroBytes), header.macroCount, slots);
        if (!macros) return Error{macros.error()};
        copy.Macros() = std::move(*macros);

        const auto area = image.subspan(kConfigBlockSize + macroBytes, header.stringBytes);
        const ConfigBlock& block = *copy.Block();
        std::vector<std::size_t> starts;
        for (std::size_t i = 0; i < kStringSlotCount; ++i) {
            const KeyAssignment& assignment = block.AssignmentAt(i);
            const std::size_t start = assignment.value & ~std::uint32_t{1};
            if (HasStringSlot(assignment.type) && start < area.size()) starts.push_back(start);
        }
        const auto ends = TextEnds(area, starts);
        // The area decoded once; every key's text is a part of it, so keys
        // sharing an offset each keep their text without another copy.
        auto units = std::make_shared<std::u16string>(area.size() / 2, u'\0');
        for (std::size_t u = 0; u < units->size(); ++u) (*units)[u] = static_cast<char16_t>(ReadLe16(area, 2 * u));
        const std::shared_ptr<const std::u16string> decoded = std::move(units);
        for (std::size_t i = 0; i < kStringSlotCount; ++i) {
            const KeyAssignment& assignment = block.AssignmentAt(i);
            const std::size_t start = assignment.value & ~std::uint32_t{1};
            if (!HasStringSlot(assignment.type) || start >= area.size()) continue;
            const std::optional<std::size_t> end = ends.at(start);
            if (!end) continue;
            if (Status s = copy.Strings().SetShared(i, decoded, start / 2, (*end - start) / 2); !s)
                return Error{s.error()};
        }
        return copy;
    } catch (const std::bad_alloc&) {
        return Error{"no memory to load a profile of " + Bytes(image.size())};
    }
}

Result<CurrentCopy> ReadProfileCopy(const std::filesystem::path& path)
{
    try {
        Result<std::vector<std::uint8_t>> image = LoadImage(path);
        if (!image) return Error{image.error()};
        Result<CurrentCopy> parsed = ParseProfileImage(*image);
        if (!parsed) return Error{path.string() + ": " + parsed.error()};
        return parsed;
    } catch (const std::bad_alloc&) {
        return Error{"no memory to load " + path.string()};
    }
}

Status ReadProfileFile(ConfigStore& store, const std::filesystem::path& path)
{
    Result<CurrentCopy> parsed = ReadProfileCopy(path);
    if (!parsed) return Error{parsed.error()};
    std::lock_guard lock(store.CurrentLock());
    store.Current() = std::move(*parsed);
    return Status::Ok();
}

Result<CurrentCopy> LoadProfileFile(const std::filesystem::path& path, Reporter& reporter, ActionSlots slots)
{
    try {
        OpenedProfileFile opened = OpenProfileFile(path, reporter);
        if (opened.verdict != kProfileFileValid) return Error{path.string() + ": not a profile file"};
        // The check has tied the size the header announces to its parts and to the file's size.
        const ConfigHeader header = DecodeConfigHeader(opened.header);
        Result<std::vector<std::uint8_t>> image = ReadRest(opened.file, opened.header, header.totalSize, path);
        if (!image) return Error{image.error()};
        Result<CurrentCopy> parsed = ParseProfileImage(*image, slots);
        if (!parsed) return Error{path.string() + ": " + parsed.error()};
        return parsed;
    } catch (const std::bad_alloc&) {
        return Error{"no memory to load " + path.string()};
    }
}

std::vector<std::uint8_t> ProfileImage(const ConfigBlock& block, std::span<const MacroRecord> macros,
                                       std::span<const std::uint8_t> strings)
{
    std::vector<std::uint8_t> image(kConfigBlockSize);
    ConfigBlockToBytes(block, std::span<std::uint8_t, kConfigBlockSize>(image.data(), kConfigBlockSize));
    const std::vector<std::uint8_t> macroBytes = MacroListToBytes(macros);
    image.reserve(image.size() + macroBytes.size() + strings.size());
    image.insert(image.end(), macroBytes.begin(), macroBytes.end());
    image.insert(image.end(), strings.begin(), strings.end());
    return image;
}

Status WriteProfileImage(const std::filesystem::path& path, const ConfigBlock& block,
                         std::span<const MacroRecord> macros, std::span<const std::uint8_t> strings,
                         const AtomicWriteHooks& hooks)
{
    try {
        return WriteFileAtomically(path, ProfileImage(block, macros, strings), hooks);
    } catch (const std::bad_alloc&) {
        return Error{"no memory to write " + path.string()};
    }
}

namespace {

// The file image of the current copy, rebuilding its header for its macros and
// texts and packing the texts (which refreshes their offsets in the block).
// Takes CurrentLock; 'path' only names the file in messages.
Result<std::vector<std::uint8_t>> CurrentProfileImage(ConfigStore& store, const std::filesystem::path& path)
{
    std::lock_guard lock(store.CurrentLock());
    CurrentCopy& current = store.Current();
    ConfigBlock* block = current.Block();
    if (block == nullptr) return Error{"no configuration to write to " + path.string()};
    if (current.MacroCount() > kMaxMacros)
        return Error{"a profile file holds at most " + std::to_string(kMaxMacros) + " macros, found " +
                     std::to_string(current.MacroCount())};
    try {
        BuildHeader(block->header, static_cast<std::uint16_t>(current.MacroCount()), current.StringBytes(),
                    kConfigFlagWritten);
        const std::vector<std::uint8_t> strings = PackStrings(*block, current.Strings(), current.StringBytes());
        return ProfileImage(*block, current.Macros(), strings);
    } catch (const std::bad_alloc&) {
        return Error{"no memory to write " + path.string()};
    }
}

Status CheckWorkingProfileFile(const std::filesystem::path& workingProfilePath)
{
    std::error_code ec;
    const auto type = std::filesystem::status(workingProfilePath, ec).type();
    if (type == std::filesystem::file_type::not_found)
        return Error{"the working profile file " + workingProfilePath.string() + " does not exist"};
    if (type != std::filesystem::file_type::regular)
        return Error{"expected the working profile file at " + workingProfilePath.string() +
                     ", found a folder or something else that is not a file"};
    return Status::Ok();
}

} // namespace

Status WriteProfileFile(ConfigStore& store, const std::filesystem::path& path, const AtomicWriteHooks& hooks)
{
    Result<std::vector<std::uint8_t>> image = CurrentProfileImage(store, path);
    if (!image) return Error{image.error()};
    try {
        return WriteFileAtomically(path, *image, hooks);
    } catch (const std::bad_alloc&) {
        return Error{"no memory to write " + path.string()};
    }
}

Status SaveWorkingProfileFile(ConfigStore& store, const std::filesystem::path& workingProfilePath)
{
    if (Status usable = CheckWorkingProfileFile(workingProfilePath); !usable) return usable;
    return WriteProfileFile(store, workingProfilePath);
}

Status SaveWorkingProfileFile(ConfigStore& store)
{
    Result<std::filesystem::path> path = WorkingProfilePath();
    if (!path) return Error{path.error()};
    return SaveWorkingProfileFile(store, *path);
}

namespace {

// Stages the working file's new content while the download runs: the
// content is made from the download's own snapshot (what the file would
// hold is what the snapshot holds), on the writing thread, so the keyboard's
// first report waits for neither the file's bytes nor its disk.
class StagingDownloader final : public ConfigurationDownloader {
public:
    StagingDownloader(ConfigurationDownloader& inner, const std::filesystem::path& path, const AtomicWriteHooks& hooks)
        : m_inner(inner), m_path(path), m_hooks(hooks)
    {
    }

    int DownloadConfiguration(const WorkingSnapshot& snapshot, bool allProfiles) override
    {
        // The writing thread touches only the snapshot, which stays as it is
        // until this returns, and the file: it takes no lock, as the store's
        // rules ask of anything running during a download.
        auto stage = [this, &snapshot]() -> Result<StagedFile> {
            try {
                const std::vector<std::uint8_t> image = ProfileImage(snapshot.block, snapshot.macros, snapshot.strings);
                return StageFileAtomically(m_path, image, m_hooks);
            } catch (const std::bad_alloc&) {
                return Error{"no memory to write " + m_path.string()};
            }
        };
        std::future<Result<StagedFile>> staging;
        try {
            staging = std::async(std::launch::async, stage);
        } catch (const std::system_error&) {
            // No thread to spare: the file is written first instead.
            staged.emplace(stage());
        }
        // Should the download throw, the future's destructor waits for the
        // writing thread and the unfinished replacement is removed with the result.
        const int downloaded = m_inner.DownloadConfiguration(snapshot, allProfiles);
        if (staging.valid()) staged.emplace(staging.get());
        return downloaded;
    }

    // Set once a download ran.
    std::optional<Result<StagedFile>> staged;

private:
    ConfigurationDownloader& m_inner;
    const std::filesystem::path& m_path;
    const AtomicWriteHooks& m_hooks;
};

} // namespace

WorkingFileDownload DownloadKeepingWorkingFile(ConfigStore& store, bool allProfiles,
                                               ConfigurationDownloader& downloader,
                                               const std::filesystem::path& workingProfilePath,
                                               const AtomicWriteHooks& hooks)
{
    WorkingFileDownload outcome;
    // The file and the download describe the same copy: nobody changes it in between.
    std::lock_guard lock(store.CurrentLock());
    std::error_code ec;
    if (std::filesystem::symlink_status(workingProfilePath, ec).type() == std::filesystem::file_type::not_found) {
        outcome.downloaded = store.TakeWorkingSnapshot(allProfiles, downloader);
        return outcome;
    }
    if (Status usable = CheckWorkingProfileFile(workingProfilePath); !usable) {
        outcome.downloaded = store.TakeWorkingSnapshot(allProfiles, downloader);
        if (outcome.downloaded == kDownloadSucceeded) outcome.fileProblem = usable.error();
        return outcome;
    }
    StagingDownloader staging(downloader, workingProfilePath, hooks);
    outcome.downloaded = store.TakeWorkingSnapshot(allProfiles, staging);
    if (outcome.downloaded != kDownloadSucceeded || !staging.staged) return outcome;
    if (!*staging.staged)
        outcome.fileProblem = staging.staged->error();
    else if (Status committed = (*staging.staged)->Commit(); !committed)
        outcome.fileProblem = committed.error();
    return outcome;
}

} // namespace kestrune
