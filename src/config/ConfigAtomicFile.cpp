#include "config/ConfigAtomicFile.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <string>
#include <system_error>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune {

namespace {

constexpr const char* kTemporarySuffix = ".kestrune.tmp";
constexpr std::size_t kTemporarySuffixSize = std::char_traits<char>::length(kTemporarySuffix);

std::string Describe(const char* what, const std::filesystem::path& path, int error)
{
    return std::string(what) + " " + path.string() + ": " + std::strerror(error);
}

// The longest file name the folder takes, in bytes.
std::size_t NameLimit(const std::filesystem::path& folder)
{
    const long limit = ::pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
    return limit > 0 && limit < 4096 ? static_cast<std::size_t>(limit) : 255;
}

// The name cut to at most size bytes, never inside a UTF-8 character.
std::string CutName(const std::string& name, std::size_t size)
{
    if (name.size() <= size) return name;
    while (size > 0 && (static_cast<unsigned char>(name[size]) & 0xC0) == 0x80) --size;
    return name.substr(0, size);
}

bool ProcessIsGone(long pid)
{
    return pid > 0 && pid <= INT_MAX && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// Removes the temporary files that killed writers left in the folder; see
// the header for which. Best effort: a file that cannot be removed stays.
void RemoveStaleTemporaries(const std::filesystem::path& folder, const timespec& started)
{
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) return;
    const int dirFd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        const std::optional<long> owner = AtomicTemporaryOwner(entry->d_name);
        if (!owner || *owner == ::getpid() || !ProcessIsGone(*owner)) continue;
        struct stat info {};
        if (::fstatat(dirFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) continue;
        const bool older = info.st_mtim.tv_sec < started.tv_sec ||
                           (info.st_mtim.tv_sec == started.tv_sec && info.st_mtim.tv_nsec < started.tv_nsec);
        if (older) ::unlinkat(dirFd, entry->d_name, 0);
    }
    ::closedir(dir);
}

// Closes and removes the temporary file unless it was handed on.
class TemporaryFile {
public:
    ~TemporaryFile()
    {
        if (m_fd >= 0) ::close(m_fd);
        if (!m_path.empty()) ::unlink(m_path.c_str());
    }

    Status Create(const std::filesystem::path& target)
    {
        static std::atomic<unsigned> counter{0};
        const std::filesystem::path folder = target.parent_path();
        const std::size_t nameLimit = NameLimit(folder);
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string suffix =
                "." + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1)) + kTemporarySuffix;
            const std::size_t room = nameLimit > 1 + suffix.size() ? nameLimit - 1 - suffix.size() : 0;
            const std::string name = "." + CutName(target.filename().string(), room) + suffix;
            std::filesystem::path candidate = folder / name;
            // 0666 so the new file gets the same permissions through the
            // umask as a plainly created file would.
            const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                m_fd = fd;
                m_path = std::move(candidate);
                return Status::Ok();
            }
            if (errno != EEXIST) return Error{Describe("cannot create a temporary file for", target, errno)};
        }
        return Error{"cannot find a free temporary file name beside " + target.string()};
    }

    Status Write(std::span<const std::uint8_t> bytes, const AtomicWriteHooks& hooks)
    {
        while (!bytes.empty()) {
            const long n =
                hooks.write ? hooks.write(m_fd, bytes.data(), bytes.size()) : ::write(m_fd, bytes.data(), bytes.size());
            if (n < 0) {
                if (errno == EINTR) continue;
                return Error{Describe("cannot write", m_path, errno)};
            }
            bytes = bytes.subspan(static_cast<std::size_t>(n));
        }
        return Status::Ok();
    }

    Status FlushAndClose(const AtomicWriteHooks& hooks)
    {
        if ((hooks.fsync ? hooks.fsync(m_fd) : ::fsync(m_fd)) != 0)
            return Error{Describe("cannot flush", m_path, errno)};
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0) return Error{Describe("cannot close", m_path, errno)};
        return Status::Ok();
    }

    // Gives up the file (closed by now) to whoever renames it.
    std::filesystem::path Release() { return std::exchange(m_path, {}); }

    // Keeps a pre-existing file's permissions on its replacement. Best
    // effort: should it fail, the new file keeps the permissions of a freshly
    // created one, which is no reason to lose the user's data.
    void CopyModeFrom(const std::filesystem::path& target)
    {
        struct stat info {};
        if (::stat(target.c_str(), &info) == 0) ::fchmod(m_fd, info.st_mode & 07777);
    }

private:
    int m_fd = -1;
    std::filesystem::path m_path;
};

void SyncFolder(const std::filesystem::path& folder)
{
    // Makes the rename itself durable. The new file is already in place when
    // this runs, so a failure here changes nothing the caller could act on.
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

bool Proceed(const AtomicWriteHooks& hooks, AtomicWriteStage stage)
{
    return !hooks.proceed || hooks.proceed(stage);
}

} // namespace

std::optional<long> AtomicTemporaryOwner(std::string_view name)
{
    // ".NAME.PID.N" + suffix; NAME may be empty or hold dots of its own.
    if (name.size() < 1 + kTemporarySuffixSize || name.front() != '.' || !name.ends_with(kTemporarySuffix))
        return std::nullopt;
    name.remove_suffix(kTemporarySuffixSize);
    auto number = [&name]() -> std::optional<long> {
        const std::size_t dot = name.rfind('.');
        if (dot == std::string_view::npos || dot + 1 == name.size()) return std::nullopt;
        long value = 0;
        const char* first = name.data() + dot + 1;
        const char* last = name.data() + name.size();
        const auto [end, error] = std::from_chars(first, last, value);
        if (error != std::errc() || end != last || *first == '-' || *first == '+') return std::nullopt;
        name = name.substr(0, dot);
        return value;
    };
    if (!number()) return std::nullopt;
    const std::optional<long> pid = number();
    if (!pid || name.empty() || name.front() != '.') return std::nullopt;
    return pid;
}

StagedFile::StagedFile(std::filesystem::path target, std::filesystem::path temporary)
    : m_target(std::move(target)), m_temporary(std::move(temporary))
{
}

StagedFile::StagedFile(StagedFile&& other) noexcept
    : m_target(std::move(other.m_target)), m_temporary(std::exchange(other.m_temporary, {}))
{
}

StagedFile& StagedFile::operator=(StagedFile&& other) noexcept
{
    if (this != &other) {
        if (!m_temporary.empty()) ::unlink(m_temporary.c_str());
        m_target = std::move(other.m_target);
        m_temporary = std::exchange(other.m_temporary, {});
    }
    return *this;
}

StagedFile::~StagedFile()
{
    if (!m_temporary.empty()) ::unlink(m_temporary.c_str());
}

Status StagedFile::Commit()
{
    if (m_temporary.empty()) return Error{"nothing left to put in place of " + m_target.string()};
    if (::rename(m_temporary.c_str(), m_target.c_str()) != 0) return Error{Describe("cannot replace", m_target, errno)};
    m_temporary.clear();
    SyncFolder(m_target.parent_path());
    return Status::Ok();
}

Result<StagedFile> StageFileAtomically(const std::filesystem::path& requested, std::span<const std::uint8_t> bytes,
                                       const AtomicWriteHooks& hooks)
{
    std::filesystem::path target = requested;
    std::error_code ec;
    if (std::filesystem::is_symlink(target, ec)) {
        const std::filesystem::path resolved = std::filesystem::weakly_canonical(target, ec);
        if (ec) return Error{"cannot resolve the link " + target.string() + ": " + ec.message()};
        target = resolved;
    }
    if (target.filename().empty()) return Error{"expected a file name, found the folder " + target.string()};

    timespec started{};
    ::clock_gettime(CLOCK_REALTIME, &started);
    // First, so that space a killed write held is free for this one.
    RemoveStaleTemporaries(target.parent_path(), started);

    TemporaryFile temporary;
    if (Status s = temporary.Create(target); !s) return Error{s.error()};
    temporary.CopyModeFrom(target);
    if (!Proceed(hooks, AtomicWriteStage::TemporaryCreated))
        return Error{"write of " + target.string() + " interrupted after creating the temporary file"};
    if (Status s = temporary.Write(bytes, hooks); !s) return Error{s.error()};
    if (!Proceed(hooks, AtomicWriteStage::DataWritten))
        return Error{"write of " + target.string() + " interrupted before flushing"};
    if (Status s = temporary.FlushAndClose(hooks); !s) return Error{s.error()};
    if (!Proceed(hooks, AtomicWriteStage::DataFlushed))
        return Error{"write of " + target.string() + " interrupted before replacing the old file"};
    return StagedFile(std::move(target), temporary.Release());
}

Status WriteFileAtomically(const std::filesystem::path& target, std::span<const std::uint8_t> bytes,
                           const AtomicWriteHooks& hooks)
{
    Result<StagedFile> staged = StageFileAtomically(target, bytes, hooks);
    if (!staged) return Error{staged.error()};
    return staged->Commit();
}

bool FileHolds(const std::filesystem::path& path, std::span<const std::uint8_t> bytes)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    bool same =
        ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && static_cast<std::uint64_t>(info.st_size) == bytes.size();
    std::array<std::uint8_t, 8192> chunk{};
    for (std::size_t offset = 0; same && offset < bytes.size();) {
        const ssize_t got = ::read(fd, chunk.data(), std::min(chunk.size(), bytes.size() - offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            same = false;
            break;
        }
        same = std::memcmp(chunk.data(), bytes.data() + offset, static_cast<std::size_t>(got)) == 0;
        offset += static_cast<std::size_t>(got);
    }
    ::close(fd);
    return same;
}

} // namespace kestrune
