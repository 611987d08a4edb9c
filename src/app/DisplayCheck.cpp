#include "app/DisplayCheck.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace kestrune {

namespace {

std::string Variable(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

// Whether something accepts connections on a local socket; 'abstract' puts
// the name in the abstract namespace, where X servers listen too.
bool Answers(const std::string& name, bool abstract)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t offset = abstract ? 1 : 0;
    if (name.size() + offset >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path + offset, name.data(), name.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + name.size());
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
    ::close(fd);
    return connected;
}

std::optional<std::string> X11Problem(const std::string& display)
{
    if (display.empty()) return "DISPLAY is not set";
    const std::size_t colon = display.rfind(':');
    if (colon == std::string::npos) return "DISPLAY \"" + display + "\" names no display";
    const std::string host = display.substr(0, colon);
    if (!host.empty() && host != "unix") return std::nullopt; // a remote server answers for itself
    std::string number = display.substr(colon + 1);
    number = number.substr(0, number.find('.'));
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos)
        return "DISPLAY \"" + display + "\" names no display";
    const std::string socket = "/tmp/.X11-unix/X" + number;
    if (Answers(socket, false) || Answers(socket, true)) return std::nullopt;
    return "no X server answers on DISPLAY " + display;
}

std::optional<std::string> WaylandProblem(const DisplayEnvironment& environment)
{
    const std::string name = environment.waylandDisplay.empty() ? "wayland-0" : environment.waylandDisplay;
    std::string socket = name;
    if (!name.starts_with('/')) {
        if (environment.runtimeFolder.empty()) return "XDG_RUNTIME_DIR is not set, so no Wayland compositor is found";
        socket = environment.runtimeFolder + "/" + name;
    }
    if (Answers(socket, false)) return std::nullopt;
    return environment.waylandDisplay.empty() ? "WAYLAND_DISPLAY is not set"
                                              : "no Wayland compositor answers on " + socket;
}

} // namespace

DisplayEnvironment CurrentDisplayEnvironment(const std::vector<std::string>& arguments)
{
    DisplayEnvironment environment{Variable("QT_QPA_PLATFORM"), Variable("DISPLAY"), Variable("WAYLAND_DISPLAY"),
                                   Variable("XDG_RUNTIME_DIR"), Variable("XDG_SESSION_TYPE")};
    for (std::size_t i = 0; i + 1 < arguments.size(); ++i)
        if (arguments[i] == "-platform" || arguments[i] == "--platform") environment.qpaPlatform = arguments[i + 1];
    return environment;
}

std::optional<std::string> NoDisplayReason(const DisplayEnvironment& environment)
{
    // Qt tries the platforms of the list in order (its arguments after a
    // colon aside); without one, Wayland in a Wayland session, then X11.
    std::vector<std::string> platforms;
    std::string list = environment.qpaPlatform;
    if (list.empty()) list = environment.sessionType == "wayland" ? "wayland;xcb" : "xcb";
    for (std::size_t start = 0; start <= list.size();) {
        const std::size_t end = std::min(list.find(';', start), list.size());
        std::string entry = list.substr(start, end - start);
        entry = entry.substr(0, entry.find(':'));
        if (!entry.empty()) platforms.push_back(entry);
        start = end + 1;
    }
    std::string reasons;
    for (const std::string& platform : platforms) {
        std::optional<std::string> problem;
        if (platform == "xcb")
            problem = X11Problem(environment.display);
        else if (platform.starts_with("wayland"))
            problem = WaylandProblem(environment);
        else
            return std::nullopt; // offscreen, minimal, vnc, eglfs, linuxfb: nothing to connect to first
        if (!problem) return std::nullopt;
        reasons += (reasons.empty() ? "" : "; ") + *problem;
    }
    return reasons;
}

} // namespace kestrune
