#include "config/ConfigAtomicFile.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune {

namespace {

std::string Describe(const char* what, const std::filesystem::path& path, int error)
{
    return std::string(what) + " " + path.string() + ": " + std::strerror(error);
}

// Closes and removes the temporary file unless the write got as far as the
// rename.
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
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string name = "." + target.filename().string() + "." + std::to_string(::getpid()) + "." +
                                     std::to_string(counter.fetch_add(1)) + ".tmp";
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

    Status Write(std::span<const std::uint8_t> bytes)
    {
        while (!bytes.empty()) {
            const ssize_t n = ::write(m_fd, bytes.data(), bytes.size());
            if (n < 0) {
                if (errno == EINTR) continue;
                return Error{Describe("cannot write", m_path, errno)};
            }
            bytes = bytes.subspan(static_cast<std::size_t>(n));
        }
        return Status::Ok();
    }

    Status FlushAndClose()
    {
        if (::fsync(m_fd) != 0) return Error{Describe("cannot flush", m_path, errno)};
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0) return Error{Describe("cannot close", m_path, errno)};
        return Status::Ok();
    }

    Status RenameOver(const std::filesystem::path& target)
    {
        if (::rename(m_path.c_str(), target.c_str()) != 0) return Error{Describe("cannot replace", target, errno)};
        m_path.clear();
        return Status::Ok();
    }

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

Status WriteFileAtomically(const std::filesystem::path& requested, std::span<const std::uint8_t> bytes,
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

    TemporaryFile temporary;
    if (Status s = temporary.Create(target); !s) return s;
    temporary.CopyModeFrom(target);
    if (!Proceed(hooks, AtomicWriteStage::TemporaryCreated))
        return Error{"write of " + target.string() + " interrupted after creating the temporary file"};
    if (Status s = temporary.Write(bytes); !s) return s;
    if (!Proceed(hooks, AtomicWriteStage::DataWritten))
        return Error{"write of " + target.string() + " interrupted before flushing"};
    if (Status s = temporary.FlushAndClose(); !s) return s;
    if (!Proceed(hooks, AtomicWriteStage::DataFlushed))
        return Error{"write of " + target.string() + " interrupted before replacing the old file"};
    if (Status s = temporary.RenameOver(target); !s) return s;
    SyncFolder(target.parent_path());
    return Status::Ok();
}

} // namespace kestrune
