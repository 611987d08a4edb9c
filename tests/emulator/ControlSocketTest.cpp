#include "emulator/ControlSocket.h"

#include "EmulatorTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace kestrune::emulator {
namespace {

using testing::EnvOverride;
using testing::ScratchFolder;
using testing::WriteText;

ControlServer::Handler Echo(std::atomic<int>& calls)
{
    return [&calls](const std::vector<std::string>& words) {
        ++calls;
        std::string text;
        for (const auto& w : words) text += "[" + w + "]";
        return ControlReply{words.empty() || words[0] != "fail", text};
    };
}

TEST(ControlSocket, CarriesWordsAndRepliesBothWays)
{
    ScratchFolder scratch;
    std::atomic<int> calls{0};
    auto server = ControlServer::Start(scratch / "s", Echo(calls));
    ASSERT_TRUE(server) << server.error();
    struct stat info {};
    ASSERT_EQ(::stat((scratch / "s").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    auto ok = SendControlCommand(scratch / "s", {"fault", "drop", "2"});
    ASSERT_TRUE(ok) << ok.error();
    ASSERT_TRUE(ok->has_value());
    EXPECT_TRUE((*ok)->ok);
    EXPECT_EQ((*ok)->text, "[fault][drop][2]");
    auto failed = SendControlCommand(scratch / "s", {"fail"});
    ASSERT_TRUE(failed && failed->has_value());
    EXPECT_FALSE((*failed)->ok);
    EXPECT_EQ((*failed)->text, "[fail]");

    EXPECT_FALSE(SendControlCommand(scratch / "s", {"two words"})) << "a word with a space is refused";
    EXPECT_EQ(calls.load(), 2);

    server->reset();
    EXPECT_FALSE(std::filesystem::exists(scratch / "s")) << "the socket file goes with the server";
    auto nobody = SendControlCommand(scratch / "s", {"dump"});
    ASSERT_TRUE(nobody);
    EXPECT_FALSE(nobody->has_value());
}

TEST(ControlSocket, OneServerPerPathAndStaleSocketsAreReplaced)
{
    ScratchFolder scratch;
    std::atomic<int> calls{0};
    const auto path = scratch / "s";
    {
        // A socket file nobody listens on, as a crashed emulator leaves it.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path.c_str());
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        ::close(fd);
    }
    auto first = ControlServer::Start(path, Echo(calls));
    ASSERT_TRUE(first) << first.error();
    auto second = ControlServer::Start(path, Echo(calls));
    ASSERT_FALSE(second);
    EXPECT_NE(second.error().find("already serves"), std::string::npos) << second.error();
    auto sent = SendControlCommand(path, {"dump"});
    ASSERT_TRUE(sent && sent->has_value()) << "the first server still serves";

    WriteText(scratch / "file", "mine");
    auto onFile = ControlServer::Start(scratch / "file", Echo(calls));
    ASSERT_FALSE(onFile);
    EXPECT_EQ(testing::ReadText(scratch / "file"), "mine");
}

TEST(ControlSocket, OverlongOrUnfinishedCommandsAreRefused)
{
    ScratchFolder scratch;
    std::atomic<int> calls{0};
    auto server = ControlServer::Start(scratch / "s", Echo(calls));
    ASSERT_TRUE(server) << server.error();
    const auto raw = [&](const std::string& bytes) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, (scratch / "s").c_str());
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        EXPECT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
        ::shutdown(fd, SHUT_WR);
        std::string answer;
        char buffer[256];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof(buffer), 0)) > 0;)
            answer.append(buffer, static_cast<std::size_t>(n));
        ::close(fd);
        return answer;
    };
    EXPECT_EQ(raw(std::string(kMaxControlLine + 10, 'a')).rfind("error\n", 0), 0u);
    EXPECT_EQ(raw("dump").rfind("error\n", 0), 0u) << "no line feed";
    EXPECT_EQ(calls.load(), 0);
    EXPECT_EQ(raw("dump\n"), "ok\n[dump]");
}

TEST(ControlSocket, DefaultPathIsPrivateToTheUser)
{
    ScratchFolder scratch;
    EnvOverride socket(kControlSocketVariable, "");
    {
        EnvOverride runtime("XDG_RUNTIME_DIR", "/run/user/4242");
        EXPECT_EQ(DefaultControlSocketPath(), "/run/user/4242/kestrune-emulator.sock");
    }
    EnvOverride runtime("XDG_RUNTIME_DIR", "");
    EnvOverride temporary("TMPDIR", scratch.Path().string());
    const auto path = DefaultControlSocketPath();
    const auto folder = scratch / ("kestrune-emulator-" + std::to_string(::getuid()));
    EXPECT_EQ(path.parent_path(), folder);

    std::atomic<int> calls{0};
    {
        auto server = ControlServer::Start(path, Echo(calls));
        ASSERT_TRUE(server) << server.error();
        struct stat info {};
        ASSERT_EQ(::stat(folder.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u) << "created private";
    }
    ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
    auto open = ControlServer::Start(path, Echo(calls));
    ASSERT_FALSE(open);
    EXPECT_NE(open.error().find("not a private folder"), std::string::npos) << open.error();
}

} // namespace
} // namespace kestrune::emulator
