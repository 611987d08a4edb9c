#pragma once

// The local socket through which the control tool reaches a running
// emulator: AF_UNIX, one per user, mode 0600, in $XDG_RUNTIME_DIR or in a
// private 0700 folder under the temporary folder. KESTRUNE_EMULATOR_SOCKET
// names another path (tests use their own).
//
// Exchange: the client sends the command's words separated by spaces and a
// line feed; the server answers "ok" or "error" on the first line, then the
// reply's text, and closes. Only clients of the same user are served.

#include "common/Result.h"
#include "emulator/ControlCommands.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kestrune::emulator {

inline constexpr const char* kControlSocketVariable = "KESTRUNE_EMULATOR_SOCKET";
inline constexpr std::size_t kMaxControlLine = 1024;

// Read from the environment at every call; does not create anything.
std::filesystem::path DefaultControlSocketPath();

// Serves the socket on a thread of its own, one client at a time. The
// handler runs on that thread.
class ControlServer {
public:
    using Handler = std::function<ControlReply(const std::vector<std::string>& words)>;

    // Fails when another live emulator serves the path already, or when the
    // socket cannot be made; a stale socket file left by a dead one is replaced.
    static Result<std::unique_ptr<ControlServer>> Start(const std::filesystem::path& path, Handler handler);

    // Stops serving, joins the thread and removes the socket file.
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    const std::filesystem::path& Path() const { return m_path; }

private:
    ControlServer(std::filesystem::path path, int listenFd, int wakeRead, int wakeWrite, Handler handler);
    void Serve();
    void ServeClient(int fd);

    std::filesystem::path m_path;
    int m_listenFd;
    int m_wakeRead;
    int m_wakeWrite;
    Handler m_handler;
    std::thread m_thread;
};

// Sends one command. nullopt when no emulator listens at the path; an error
// when one does but the exchange fails.
Result<std::optional<ControlReply>> SendControlCommand(const std::filesystem::path& path,
                                                       const std::vector<std::string>& words);

} // namespace kestrune::emulator
