// Single instance with real processes: instance_peer plays the other program.

#include "app/SingleInstance.h"
#include "app/MainWindowIds.h"
#include "support/ScratchFolder.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>

#include <cerrno>
#include <cstring>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace kestrune;

namespace {

QString PeerProgram()
{
    return qEnvironmentVariable("KESTRUNE_INSTANCE_PEER");
}

class Peer {
public:
    explicit Peer(const QStringList& arguments) { m_process.start(PeerProgram(), arguments); }
    ~Peer()
    {
        if (m_process.state() != QProcess::NotRunning) {
            ::kill(static_cast<pid_t>(m_process.processId()), SIGKILL);
            m_process.waitForFinished(5000);
        }
    }
    QString ReadLine(int timeoutMs = 10000)
    {
        while (!m_process.canReadLine() && m_process.waitForReadyRead(timeoutMs)) {
        }
        return QString::fromUtf8(m_process.readLine()).trimmed();
    }
    // Exit status, or -1 when it did not end in time.
    int Finish(int timeoutMs = 10000)
    {
        if (!m_process.waitForFinished(timeoutMs)) return -1;
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -2;
    }
    QProcess& Process() { return m_process; }

private:
    QProcess m_process;
};

class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(PeerProgram().isEmpty()) << "KESTRUNE_INSTANCE_PEER not set"; }
    QStringList Args(const QString& name, QStringList more = {}) const { return QStringList{Folder(), name} + more; }
    QString Folder() const { return QString::fromStdString(m_folder.Path().string()); }

    // In /tmp: the instance socket's path must stay short.
    kestrune::testing::ScratchFolder m_folder{"kestrune-instance"};
};

TEST_F(SingleInstanceTest, SecondStartIsAnsweredOnlyAfterTheFirstHasHandledItAndKillEndsTheFirst)
{
    // The first instance becomes ready late and handles slowly: the second
    // waits through both, as a synchronous send would.
    Peer first(Args("kestrune", {"--ready-delay", "300", "--handle-delay", "400"}));
    ASSERT_EQ(first.ReadLine(), "first");

    QElapsedTimer clock;
    clock.start();
    Peer second(Args("kestrune", {"--send", "open"}));
    EXPECT_EQ(second.ReadLine(), "running");
    EXPECT_EQ(second.Finish(), 0);
    EXPECT_GE(clock.elapsed(), 400);
    EXPECT_EQ(first.ReadLine(), "message 5350 4f50454e");

    // Not a window message: the running instance drops it and the sender says so.
    Peer bogus(Args("kestrune", {"--send", "bogus"}));
    EXPECT_EQ(bogus.Finish(), 1);

    Peer killer(Args("kestrune", {"--send", "kill"}));
    EXPECT_EQ(killer.Finish(), 0);
    EXPECT_EQ(first.ReadLine(), "message 4d4b 4c4c494b");
    EXPECT_EQ(first.Finish(), 0);

    // Gone for good: the next start is the first again.
    SingleInstance next(Folder(), "kestrune");
    auto claim = next.TryClaim();
    ASSERT_TRUE(claim) << claim.error();
    EXPECT_EQ(*claim, SingleInstance::Claim::First);
}

TEST_F(SingleInstanceTest, LockAndSocketOfACrashedInstanceAreTakenOver)
{
    Peer crashed(Args("kestrune"));
    ASSERT_EQ(crashed.ReadLine(), "first");
    ::kill(static_cast<pid_t>(crashed.Process().processId()), SIGKILL);
    ASSERT_EQ(crashed.Finish(), -2);
    const InstancePaths paths = InstancePathsFor(Folder(), "kestrune");
    ASSERT_TRUE(QFileInfo::exists(paths.lockFile));
    ASSERT_TRUE(QFileInfo::exists(paths.socket));

    SingleInstance instance(Folder(), "kestrune");
    auto claim = instance.TryClaim();
    ASSERT_TRUE(claim) << claim.error();
    EXPECT_EQ(*claim, SingleInstance::Claim::First);
    const Status listening = instance.Listen();
    ASSERT_TRUE(listening) << listening.error();

    // And it is reachable: another process finds it running.
    Peer second(Args("kestrune"));
    EXPECT_EQ(second.ReadLine(), "running");
    EXPECT_EQ(second.Finish(), 0);
}

// A client of the instance's socket that writes raw bytes, as a broken or
// hostile sender would.
class RawClient {
public:
    explicit RawClient(const QString& socketPath)
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray path = QFile::encodeName(socketPath);
        std::memcpy(address.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) Close();
    }
    ~RawClient() { Close(); }
    bool Connected() const { return m_fd >= 0; }
    void Write(const QByteArray& bytes)
    {
        ASSERT_EQ(::send(m_fd, bytes.constData(), static_cast<std::size_t>(bytes.size()), MSG_NOSIGNAL), bytes.size());
    }
    // True when the instance closed the connection without a byte of answer
    // (a reset when it left some of the bytes unread).
    bool ClosedWithoutAnswer()
    {
        pollfd entry{m_fd, POLLIN, 0};
        if (::poll(&entry, 1, 10000) != 1) return false;
        char byte = 0;
        const ssize_t got = ::recv(m_fd, &byte, 1, 0);
        return got == 0 || (got < 0 && errno == ECONNRESET);
    }
    void Close()
    {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

TEST_F(SingleInstanceTest, BrokenRequestsAreDroppedWhileOtherStartsAreStillAnswered)
{
    Peer first(Args("kestrune"));
    ASSERT_EQ(first.ReadLine(), "first");
    const QString socket = InstancePathsFor(Folder(), "kestrune").socket;
    const QByteArray open = EncodeInstanceRequest({mainwnd::kMsgOpen, mainwnd::kParamOpen, 0, {}});
    QByteArray tooLong = open;
    tooLong[12] = '\x01';
    tooLong[13] = '\x10'; // 4097 bytes of text announced
    const struct {
        const char* what;
        QByteArray bytes;
    } refused[] = {
        {"a request with bytes after it", open + "x"},
        {"a text over the limit", tooLong + QByteArray(4200, 'a')},
    };
    for (const auto& c : refused) {
        RawClient client(socket);
        ASSERT_TRUE(client.Connected()) << c.what;
        client.Write(c.bytes);
        EXPECT_TRUE(client.ClosedWithoutAnswer()) << c.what;
    }
    // A sender that goes away halfway, and one that never finishes, hold up
    // nobody: the next start is answered while the second still waits.
    {
        RawClient gone(socket);
        ASSERT_TRUE(gone.Connected());
        gone.Write(open.left(6));
    }
    RawClient stalled(socket);
    ASSERT_TRUE(stalled.Connected());
    stalled.Write(open.left(kInstanceHeaderSize - 1));

    Peer second(Args("kestrune", {"--send", "open"}));
    EXPECT_EQ(second.ReadLine(), "running");
    EXPECT_EQ(second.Finish(), 0);
    EXPECT_EQ(first.ReadLine(), "message 5350 4f50454e");
}

TEST_F(SingleInstanceTest, InstancesOfOtherFoldersOrProgramNamesAreNotReached)
{
    Peer first(Args("kestrune"));
    ASSERT_EQ(first.ReadLine(), "first");

    // Another user's runtime folder is another folder; another program file
    // name is another instance.
    kestrune::testing::ScratchFolder otherUser{"kestrune-instance"};
    SingleInstance elsewhere(QString::fromStdString(otherUser.Path().string()), "kestrune");
    SingleInstance renamed(Folder(), "kestrune-copy");
    for (SingleInstance* instance : {&elsewhere, &renamed}) {
        auto claim = instance->TryClaim();
        ASSERT_TRUE(claim) << claim.error();
        EXPECT_EQ(*claim, SingleInstance::Claim::First);
        EXPECT_TRUE(instance->Listen());
    }

    // Only the user may connect to the socket.
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(InstancePathsFor(Folder(), "kestrune").socket).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 077, 0u);

    auto folder = UserRuntimeFolder();
    ASSERT_TRUE(folder) << folder.error();
    ASSERT_EQ(::stat(QFile::encodeName(*folder).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 077, 0u);
}

TEST(InstanceRequestTest, DecodesWholeRequestsAndRefusesWhatIsNoWindowMessage)
{
    const InstanceRequest open{mainwnd::kMsgOpen, mainwnd::kParamOpen, 0, QByteArray("file.kpf")};
    const QByteArray bytes = EncodeInstanceRequest(open);
    ASSERT_EQ(bytes.size(), kInstanceHeaderSize + 8);
    EXPECT_EQ(bytes.left(4), QByteArray("\x50\x53\x00\x00", 4)); // little-endian 0x5350

    InstanceRequest decoded;
    EXPECT_EQ(DecodeInstanceRequest(bytes.left(kInstanceHeaderSize + 3), decoded), DecodeState::NeedMore);
    ASSERT_EQ(DecodeInstanceRequest(bytes, decoded), DecodeState::Complete);
    EXPECT_EQ(decoded.message, mainwnd::kMsgOpen);
    EXPECT_EQ(decoded.first, mainwnd::kParamOpen);
    EXPECT_EQ(decoded.text, "file.kpf");

    EXPECT_EQ(DecodeInstanceRequest(bytes + "x", decoded), DecodeState::Invalid);
    EXPECT_EQ(DecodeInstanceRequest(EncodeInstanceRequest({0x0111, 0, 0, {}}), decoded), DecodeState::Invalid);
    QByteArray huge = EncodeInstanceRequest({mainwnd::kMsgOpen, 0, 0, {}});
    huge[12] = '\xff';
    huge[13] = '\xff';
    EXPECT_EQ(DecodeInstanceRequest(huge, decoded), DecodeState::Invalid);
}

} // namespace
