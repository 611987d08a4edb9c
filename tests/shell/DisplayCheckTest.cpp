// Without a window system to connect to, the program says so and ends with
// status 1, leaving nothing behind; with one, it goes on.

#include "app/DisplayCheck.h"

#include "support/EnvOverride.h"
#include "support/ScratchFolder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrune {
namespace {

// A socket something listens on, as a display server's.
class Listener {
public:
    explicit Listener(const std::string& path)
    {
        m_fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << path;
        EXPECT_EQ(::listen(m_fd, 4), 0);
    }
    ~Listener() { ::close(m_fd); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

private:
    int m_fd = -1;
};

TEST(DisplayCheckTest, EachPlatformNeedsItsServerToAnswer)
{
    const testing::ScratchFolder runtime("kestrune-display");
    const Listener compositor((runtime.Path() / "wayland-7").string());
    std::ofstream(runtime.Path() / "wayland-dead") << "not a socket";
    const std::string folder = runtime.Path().string();

    struct Case {
        DisplayEnvironment environment;
        const char* problem; // nullptr: the window can be shown
    };
    const Case cases[] = {
        {{"", "", "", folder, ""}, "DISPLAY is not set"},
        {{"xcb", "", "", folder, "wayland"}, "DISPLAY is not set"},
        {{"", ":9731", "", folder, ""}, "no X server answers on DISPLAY :9731"},
        {{"", "nonsense", "", folder, ""}, "DISPLAY \"nonsense\" names no display"},
        {{"", "far.example:0", "", folder, ""}, nullptr},
        {{"offscreen", "", "", folder, ""}, nullptr},
        {{"vnc:size=800x600", "", "", folder, ""}, nullptr},
        {{"wayland", "", "wayland-7", folder, ""}, nullptr},
        {{"", "", "wayland-7", folder, "wayland"}, nullptr},
        {{"wayland", "", "wayland-dead", folder, ""}, "no Wayland compositor answers on "},
        {{"wayland", "", "", "", ""}, "XDG_RUNTIME_DIR is not set"},
        {{"wayland;xcb", ":9731", "", folder, ""}, "WAYLAND_DISPLAY is not set; no X server answers on DISPLAY :9731"},
        {{"xcb;wayland", ":9731", "wayland-7", folder, ""}, nullptr},
    };
    for (const Case& c : cases) {
        const auto problem = NoDisplayReason(c.environment);
        SCOPED_TRACE(c.environment.qpaPlatform + " DISPLAY=" + c.environment.display +
                     " WAYLAND_DISPLAY=" + c.environment.waylandDisplay);
        if (c.problem == nullptr) {
            EXPECT_FALSE(problem.has_value()) << *problem;
        } else {
            ASSERT_TRUE(problem.has_value());
            EXPECT_EQ(problem->find(c.problem), 0u) << *problem;
        }
    }
    EXPECT_EQ(CurrentDisplayEnvironment({"--start", "-platform", "offscreen"}).qpaPlatform, "offscreen");
}

TEST(DisplayCheckTest, TheProgramWithoutADisplayEndsWithOneAndLeavesNoLock)
{
    const testing::ScratchFolder runtime("kestrune-nodisplay");
    ::chmod(runtime.Path().c_str(), 0700);
    const testing::EnvOverride folder("XDG_RUNTIME_DIR", runtime.Path().string());
    const testing::EnvOverride platform("QT_QPA_PLATFORM", std::nullopt);
    const testing::EnvOverride display("DISPLAY", std::nullopt);
    const testing::EnvOverride wayland("WAYLAND_DISPLAY", std::nullopt);
    const testing::EnvOverride session("XDG_SESSION_TYPE", std::nullopt);
    const std::filesystem::path errors = runtime.Path() / "stderr";

    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, STDERR_FILENO);
        ::execl(KESTRUNE_PROGRAM, KESTRUNE_PROGRAM, "--emulator", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    std::stringstream text;
    text << std::ifstream(errors).rdbuf();
    EXPECT_NE(text.str().find("kestrune: no display to show the window on: DISPLAY is not set"), std::string::npos)
        << text.str();
    for (const auto& entry : std::filesystem::directory_iterator(runtime.Path()))
        EXPECT_EQ(entry.path(), errors) << "left behind";
}

} // namespace
} // namespace kestrune
