#include "emulator/ControlSocket.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace kestrune::emulator {

namespace {

constexpr int kClientTimeoutMs = 2000;
constexpr const char* kSocketName = "kestrune-emulator.sock";

std::string Errno(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

Result<sockaddr_un> Address(const std::filesystem::path& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string text = path.string();
    if (text.empty() || text.size() >= sizeof(address.sun_path))
        return Error{"the control socket path " + text + " is empty or longer than " +
                     std::to_string(sizeof(address.sun_path) - 1) + " bytes"};
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return address;
}

// Folder of the socket when no runtime folder is given: private to the user,
// refused when someone else owns it or others may enter it.
Status CheckPrivateFolder(const std::filesystem::path& folder)
{
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return Error{Errno("cannot create " + folder.string())};
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0) return Error{Errno("cannot inspect " + folder.string())};
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::getuid() || (info.st_mode & 077) != 0)
        return Error{"the folder " + folder.string() + " is not a private folder of this user"};
    return {};
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : m_fd(fd) {}
    ~FileDescriptor()
    {
        if (m_fd >= 0) ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

bool WriteAll(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void SetTimeouts(int fd)
{
    timeval timeout{};
    timeout.tv_sec = kClientTimeoutMs / 1000;
    timeout.tv_usec = (kClientTimeoutMs % 1000) * 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
}

} // namespace

namespace {

// Used when the session has no runtime folder.
std::filesystem::path FallbackSocketFolder()
{
    return std::filesystem::temp_directory_path() / ("kestrune-emulator-" + std::to_string(::getuid()));
}

} // namespace

std::filesystem::path DefaultControlSocketPath()
{
    if (const char* value = std::getenv(kControlSocketVariable); value && *value) return value;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime && runtime[0] == '/')
        return std::filesystem::path(runtime) / kSocketName;
    return FallbackSocketFolder() / kSocketName;
}

Result<std::unique_ptr<ControlServer>> ControlServer::Start(const std::filesystem::path& path, Handler handler)
{
    auto address = Address(path);
    if (!address) return Error{address.error()};
    // The shared temporary folder is made safe by a private folder of our own;
    // a runtime folder or a path given on purpose is taken as it is.
    if (path.parent_path() == FallbackSocketFolder()) {
        if (auto folder = CheckPrivateFolder(path.parent_path()); !folder) return Error{folder.error()};
    }

    FileDescriptor listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (listener.get() < 0) return Error{Errno("cannot create the control socket")};
    if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof(sockaddr_un)) != 0) {
        if (errno != EADDRINUSE) return Error{Errno("cannot bind the control socket " + path.string())};
        // Someone left a socket here: serve it again only when nobody answers on it.
        FileDescriptor probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof(sockaddr_un)) == 0)
            return Error{"another running emulator already serves " + path.string()};
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode))
            return Error{"cannot use " + path.string() + " for the control socket: something else is there"};
        ::unlink(path.c_str());
        if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof(sockaddr_un)) != 0)
            return Error{Errno("cannot bind the control socket " + path.string())};
    }
    if (::chmod(path.c_str(), 0600) != 0 || ::listen(listener.get(), 4) != 0) {
        const std::string message = Errno("cannot listen on the control socket " + path.string());
        ::unlink(path.c_str());
        return Error{message};
    }
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC) != 0) {
        ::unlink(path.c_str());
        return Error{Errno("cannot create the control socket's wake pipe")};
    }
    return std::unique_ptr<ControlServer>(
        new ControlServer(path, listener.release(), wake[0], wake[1], std::move(handler)));
}

ControlServer::ControlServer(std::filesystem::path path, int listenFd, int wakeRead, int wakeWrite, Handler handler)
    : m_path(std::move(path)), m_listenFd(listenFd), m_wakeRead(wakeRead), m_wakeWrite(wakeWrite),
      m_handler(std::move(handler))
{
    m_thread = std::thread([this] { Serve(); });
}

ControlServer::~ControlServer()
{
    const char byte = 0;
    while (::write(m_wakeWrite, &byte, 1) < 0 && errno == EINTR) {
    }
    m_thread.join();
    ::unlink(m_path.c_str());
    ::close(m_listenFd);
    ::close(m_wakeRead);
    ::close(m_wakeWrite);
}

void ControlServer::Serve()
{
    for (;;) {
        pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakeRead, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            std::cerr << "kestrune emulator: " << Errno("control socket stopped") << "\n";
            return;
        }
        if (fds[1].revents != 0) return;
        if (fds[0].revents == 0) continue;
        FileDescriptor client(::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC));
        if (client.get() < 0) continue;
        ServeClient(client.get());
    }
}

void ControlServer::ServeClient(int fd)
{
    ucred peer{};
    socklen_t size = sizeof(peer);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != ::getuid()) return;
    SetTimeouts(fd);

    std::string line;
    char buffer[256];
    while (line.find('\n') == std::string::npos) {
        const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        line.append(buffer, static_cast<std::size_t>(n));
        if (line.size() > kMaxControlLine) {
            WriteAll(fd, "error\ncommand longer than " + std::to_string(kMaxControlLine) + " bytes\n");
            return;
        }
    }
    const auto end = line.find('\n');
    if (end == std::string::npos) {
        WriteAll(fd, "error\nexpected a command ended by a line feed\n");
        return;
    }
    const ControlReply reply = m_handler(SplitWords(line.substr(0, end)));
    WriteAll(fd, (reply.ok ? "ok\n" : "error\n") + reply.text);
}

Result<std::optional<ControlReply>> SendControlCommand(const std::filesystem::path& path,
                                                       const std::vector<std::string>& words)
{
    auto address = Address(path);
    if (!address) return Error{address.error()};
    FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) return Error{Errno("cannot create a socket")};
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof(sockaddr_un)) != 0) {
        if (errno == ENOENT || errno == ECONNREFUSED) return std::optional<ControlReply>{};
        return Error{Errno("cannot reach the emulator at " + path.string())};
    }
    SetTimeouts(fd.get());
    std::string line;
    for (const auto& word : words) {
        if (word.empty() || word.find_first_of(" \t\r\n") != std::string::npos)
            return Error{"expected a word without spaces, found \"" + word + "\""};
        line += (line.empty() ? "" : " ") + word;
    }
    line += "\n";
    if (line.size() > kMaxControlLine)
        return Error{"the command is longer than " + std::to_string(kMaxControlLine) + " bytes"};
    if (!WriteAll(fd.get(), line)) return Error{Errno("cannot send the command to " + path.string())};

    std::string answer;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd.get(), buffer, sizeof(buffer), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Error{Errno("no answer from the emulator at " + path.string())};
        if (n == 0) break;
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    const auto end = answer.find('\n');
    const std::string status = answer.substr(0, end);
    if (end == std::string::npos || (status != "ok" && status != "error"))
        return Error{"expected \"ok\" or \"error\" from the emulator, found \"" + status + "\""};
    return std::optional<ControlReply>(ControlReply{status == "ok", answer.substr(end + 1)});
}

} // namespace kestrune::emulator
