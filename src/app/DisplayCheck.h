#pragma once

// Whether the window system the program would show its window on can be
// reached. Qt ends the process with an abort when its platform cannot connect
// (status 134, the single-instance lock left behind); asked first, the program
// can say so in words and end cleanly instead.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

struct DisplayEnvironment {
    std::string qpaPlatform;    // QT_QPA_PLATFORM, or the -platform argument
    std::string display;        // DISPLAY
    std::string waylandDisplay; // WAYLAND_DISPLAY
    std::string runtimeFolder;  // XDG_RUNTIME_DIR
    std::string sessionType;    // XDG_SESSION_TYPE
};

// The environment of this process, with a "-platform NAME" among the
// arguments taking the place of QT_QPA_PLATFORM as it does for Qt.
DisplayEnvironment CurrentDisplayEnvironment(const std::vector<std::string>& arguments);

// Why no window can be shown, or nothing when one of the platforms Qt would
// try can connect. Platforms that need no display server (offscreen, vnc, a
// framebuffer) always can; xcb needs an X server to answer on DISPLAY's
// socket (a remote DISPLAY is taken on trust), wayland a compositor's socket.
std::optional<std::string> NoDisplayReason(const DisplayEnvironment& environment);

} // namespace kestrune
