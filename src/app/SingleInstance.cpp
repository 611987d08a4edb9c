#include "app/SingleInstance.h"

#include "common/LittleEndian.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace kestrune {

namespace {

void PutU32(QByteArray& bytes, std::uint32_t value)
{
    std::uint8_t raw[4];
    WriteLe32(raw, 0, value);
    bytes.append(reinterpret_cast<const char*>(raw), 4);
}

// The caller has checked that four bytes are there.
std::uint32_t GetU32(const QByteArray& bytes, int offset)
{
    return ReadLe32(std::span(reinterpret_cast<const std::uint8_t*>(bytes.constData()), bytes.size()),
                    static_cast<std::size_t>(offset));
}

std::string SystemError(int error)
{
    return std::strerror(error);
}

// The socket's address; false when the path does not fit in one.
bool SocketAddress(const QString& path, sockaddr_un& address)
{
    const QByteArray native = QFile::encodeName(path);
    address = {};
    address.sun_family = AF_UNIX;
    if (native.isEmpty() || static_cast<std::size_t>(native.size()) >= sizeof(address.sun_path)) return false;
    std::memcpy(address.sun_path, native.constData(), static_cast<std::size_t>(native.size()));
    return true;
}

// Waits for `events` on `fd` until the deadline; false when it passed.
bool WaitFor(int fd, short events, const QDeadlineTimer& deadline)
{
    for (;;) {
        pollfd entry{fd, events, 0};
        const int result = ::poll(&entry, 1, static_cast<int>(std::max<qint64>(deadline.remainingTime(), 0)));
        if (result > 0) return true;
        if (result == 0) return false;
        if (errno != EINTR) return false;
    }
}

void CloseFd(int& fd)
{
    if (fd >= 0) ::close(fd);
    fd = -1;
}

} // namespace

// One connection of a later start: the bytes of its request so far, and
// whether that request is whole and waits for the target. Its notifier is a
// child of the instance, let go of with deleteLater: it may be the one whose
// signal is being delivered when the connection ends.
struct SingleInstance::Connection {
    int fd = -1;
    QSocketNotifier* notifier = nullptr;
    QByteArray bytes;
    bool complete = false;
    bool handling = false;

    ~Connection() { CloseFd(fd); }
};

namespace {

void RetireNotifier(QSocketNotifier*& notifier)
{
    if (notifier == nullptr) return;
    notifier->setEnabled(false);
    notifier->deleteLater();
    notifier = nullptr;
}

} // namespace

QByteArray EncodeInstanceRequest(const InstanceRequest& request)
{
    QByteArray bytes;
    PutU32(bytes, request.message);
    PutU32(bytes, request.first);
    PutU32(bytes, request.second);
    PutU32(bytes, static_cast<std::uint32_t>(request.text.size()));
    bytes.append(request.text);
    return bytes;
}

DecodeState DecodeInstanceRequest(const QByteArray& bytes, InstanceRequest& out)
{
    if (bytes.size() < kInstanceHeaderSize) return DecodeState::NeedMore;
    const std::uint32_t message = GetU32(bytes, 0);
    const std::uint32_t textSize = GetU32(bytes, 12);
    if (message < static_cast<std::uint32_t>(QEvent::User) || message > static_cast<std::uint32_t>(QEvent::MaxUser))
        return DecodeState::Invalid;
    if (textSize > static_cast<std::uint32_t>(kInstanceTextLimit)) return DecodeState::Invalid;
    const qsizetype total = kInstanceHeaderSize + static_cast<qsizetype>(textSize);
    if (bytes.size() < total) return DecodeState::NeedMore;
    if (bytes.size() > total) return DecodeState::Invalid; // one request per connection
    out.message = message;
    out.first = GetU32(bytes, 4);
    out.second = GetU32(bytes, 8);
    out.text = bytes.mid(kInstanceHeaderSize, textSize);
    return DecodeState::Complete;
}

InstancePaths InstancePathsFor(const QString& runtimeFolder, const QString& programFileName)
{
    const QString base = QDir(runtimeFolder).filePath(programFileName);
    return {base + ".lock", base + ".socket"};
}

Result<QString> UserRuntimeFolder()
{
    // Qt checks that $XDG_RUNTIME_DIR is the user's own with mode 0700 and
    // otherwise makes such a folder of its own below the temporary folder.
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty()) return Error{"no runtime folder of the user's own could be found or made"};
    struct stat info {};
    const QByteArray native = QFile::encodeName(folder);
    if (::stat(native.constData(), &info) != 0)
        return Error{"the runtime folder " + folder.toStdString() + " does not exist"};
    if (info.st_uid != ::getuid() || (info.st_mode & 077) != 0)
        return Error{"the runtime folder " + folder.toStdString() + " is not private to this user"};
    return folder;
}

SingleInstance::SingleInstance(QString runtimeFolder, QString programFileName, QObject* parent)
    : QObject(parent), m_paths(InstancePathsFor(runtimeFolder, programFileName))
{
}

SingleInstance::~SingleInstance()
{
    Release();
}

Result<SingleInstance::Claim> SingleInstance::TryClaim()
{
    if (m_lockFd >= 0) return Claim::First;
    const QByteArray path = QFile::encodeName(m_paths.lockFile);
    // An instance that ends unlinks the file while it still holds the lock,
    // so a lock taken on a file that is no longer the one at the path is
    // not this program's lock: try again on the file that is.
    for (int attempt = 0; attempt < 100; ++attempt) {
        int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            const int error = errno;
            if (error == EACCES || error == EPERM)
                return Error{"cannot create the lock file " + m_paths.lockFile.toStdString() + ": permission denied"};
            return Error{"cannot create the lock file " + m_paths.lockFile.toStdString() + ": " + SystemError(error)};
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            if (error == EWOULDBLOCK) return Claim::Running;
            if (error == EINTR) continue;
            return Error{"cannot lock " + m_paths.lockFile.toStdString() + ": " + SystemError(error)};
        }
        struct stat held {
        }, named{};
        if (::fstat(fd, &held) != 0 || ::stat(path.constData(), &named) != 0 || held.st_dev != named.st_dev ||
            held.st_ino != named.st_ino) {
            ::close(fd);
            continue;
        }
        // Who holds it, for a person looking: process, program file, host.
        // Nothing reads it back, and the file lives only as long as this
        // session does, so it is not synced to disk (that alone took longer
        // than the rest of the check on a disk-backed folder).
        char host[256] = {};
        ::gethostname(host, sizeof(host) - 1);
        const QByteArray owner = QByteArray::number(::getpid()) + '\n' +
                                 QFile::encodeName(QFileInfo(m_paths.lockFile).completeBaseName()) + '\n' + host + '\n';
        if (::ftruncate(fd, 0) == 0) {
            [[maybe_unused]] const ssize_t written = ::pwrite(fd, owner.constData(), owner.size(), 0);
        }
        m_lockFd = fd;
        return Claim::First;
    }
    return Error{"cannot lock " + m_paths.lockFile.toStdString() + ": it is replaced faster than it can be locked"};
}

Status SingleInstance::Listen()
{
    if (m_lockFd < 0) return Error{"listening for requests needs the instance lock"};
    if (m_serverFd >= 0) return Status::Ok();
    const std::string where = m_paths.socket.toStdString();
    sockaddr_un address{};
    if (!SocketAddress(m_paths.socket, address)) return Error{"cannot listen on " + where + ": the path is too long"};
    // Holding the lock, any socket file left is a crashed instance's.
    ::unlink(address.sun_path);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return Error{"cannot listen on " + where + ": " + SystemError(errno)};
    // Nobody can connect before listen(), by when only the user may.
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        ::chmod(address.sun_path, S_IRWXU) != 0 || ::listen(fd, 16) != 0) {
        const int error = errno;
        ::close(fd);
        ::unlink(address.sun_path);
        return Error{"cannot listen on " + where + ": " + SystemError(error)};
    }
    m_serverFd = fd;
    m_serverNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_serverNotifier, &QSocketNotifier::activated, this, &SingleInstance::OnNewConnection);
    return Status::Ok();
}

Status SingleInstance::Send(const InstanceRequest& request, int connectMs, int answerMs)
{
    const std::string where = m_paths.socket.toStdString();
    sockaddr_un address{};
    if (!SocketAddress(m_paths.socket, address))
        return Error{"the running instance cannot be reached on " + where + ": the path is too long"};
    int fd = -1;
    struct FdCloser {
        int& fd;
        ~FdCloser() { CloseFd(fd); }
    } closer{fd};
    // The running instance takes its lock a moment before it listens.
    QDeadlineTimer connectDeadline(connectMs);
    for (;;) {
        // Non-blocking: a full backlog makes connect() fail at once rather
        // than wait past the deadline.
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) return Error{"cannot make a socket: " + SystemError(errno)};
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) break;
        const int error = errno;
        CloseFd(fd);
        if (connectDeadline.hasExpired())
            return Error{"the running instance does not answer on " + where + ": " + SystemError(error)};
        QThread::msleep(50);
    }

    const QByteArray bytes = EncodeInstanceRequest(request);
    QDeadlineTimer writeDeadline(connectMs);
    for (qsizetype sent = 0; sent < bytes.size();) {
        const ssize_t n =
            ::send(fd, bytes.constData() + sent, static_cast<std::size_t>(bytes.size() - sent), MSG_NOSIGNAL);
        if (n > 0) {
            sent += n;
            continue;
        }
        const int error = errno;
        if (n < 0 && error == EINTR) continue;
        if (n < 0 && (error == EAGAIN || error == EWOULDBLOCK) && WaitFor(fd, POLLOUT, writeDeadline)) continue;
        return Error{"could not send to the running instance on " + where + ": " +
                     (n < 0 && error != EAGAIN && error != EWOULDBLOCK ? SystemError(error) : "timed out")};
    }

    std::uint8_t answer[4] = {};
    std::size_t got = 0;
    QDeadlineTimer answerDeadline(answerMs);
    while (got < sizeof(answer)) {
        const ssize_t n = ::recv(fd, answer + got, sizeof(answer) - got, 0);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) return Error{"the running instance closed the connection without answering"};
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return Error{"the running instance closed the connection without answering"};
        if (!WaitFor(fd, POLLIN, answerDeadline))
            return Error{"the running instance did not answer within " + std::to_string(answerMs / 1000) + " s"};
    }
    if (ReadLe32(std::span<const std::uint8_t>(answer), 0) != kInstanceHandled)
        return Error{"the running instance did not handle the request"};
    return Status::Ok();
}

void SingleInstance::SetTarget(QObject* target)
{
    m_target = target;
    DispatchPending();
}

void SingleInstance::Release()
{
    for (const auto& connection : m_connections) {
        RetireNotifier(connection->notifier);
        CloseFd(connection->fd);
    }
    m_connections.clear();
    if (m_serverFd >= 0) {
        RetireNotifier(m_serverNotifier);
        CloseFd(m_serverFd);
        ::unlink(QFile::encodeName(m_paths.socket).constData());
    }
    if (m_lockFd >= 0) {
        // Unlinked while still held: a start that opened the old file sees,
        // once it gets the lock, that the file is gone and tries again.
        ::unlink(QFile::encodeName(m_paths.lockFile).constData());
        CloseFd(m_lockFd);
    }
}

void SingleInstance::OnNewConnection()
{
    while (m_serverFd >= 0) {
        const int fd = ::accept4(m_serverFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return; // EAGAIN: none left; anything else: the next notice tries again
        }
        auto connection = std::make_shared<Connection>();
        connection->fd = fd;
        connection->notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        std::weak_ptr<Connection> weak = connection;
        connect(connection->notifier, &QSocketNotifier::activated, this, [this, weak] {
            if (auto strong = weak.lock()) OnReadable(strong);
        });
        m_connections.push_back(connection);
        OnReadable(connection);
    }
}

void SingleInstance::Drop(const std::shared_ptr<Connection>& connection)
{
    RetireNotifier(connection->notifier);
    CloseFd(connection->fd);
    std::erase(m_connections, connection);
}

void SingleInstance::OnReadable(const std::shared_ptr<Connection>& connection)
{
    if (connection->fd < 0 || connection->handling) return;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(connection->fd, buffer, sizeof(buffer), 0);
        if (n > 0) {
            connection->bytes.append(buffer, n);
            // More than the largest request can hold is no request.
            if (connection->bytes.size() > kInstanceHeaderSize + kInstanceTextLimit) break;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        // The sender went away (or the connection failed): a request it
        // left waiting goes with it.
        Drop(connection);
        return;
    }
    InstanceRequest request;
    switch (DecodeInstanceRequest(connection->bytes, request)) {
    case DecodeState::NeedMore:
        return;
    case DecodeState::Invalid:
        Drop(connection);
        return;
    case DecodeState::Complete:
        break;
    }
    if (m_target.isNull()) {
        // Not ready yet: the request waits, whole, on its connection.
        connection->complete = true;
        return;
    }
    Handle(connection, request);
}

void SingleInstance::DispatchPending()
{
    if (m_target.isNull() || m_serverFd < 0) return;
    const auto waiting = m_connections; // handlers may add or drop connections
    for (const auto& connection : waiting) {
        if (!connection->complete || connection->fd < 0) continue;
        InstanceRequest request;
        if (DecodeInstanceRequest(connection->bytes, request) == DecodeState::Complete) Handle(connection, request);
    }
}

void SingleInstance::Handle(const std::shared_ptr<Connection>& connection, const InstanceRequest& request)
{
    // The handler may run a nested event loop (a message box): the
    // connection is not read meanwhile, and it outlives the handler even if
    // the sender goes away or the instance is released.
    connection->complete = false;
    connection->handling = true;
    if (connection->notifier != nullptr) connection->notifier->setEnabled(false);
    InstanceMessage message(request);
    const bool handled = QCoreApplication::sendEvent(m_target.data(), &message);
    connection->handling = false;
    if (connection->fd >= 0) {
        std::uint8_t answer[4];
        WriteLe32(answer, 0, handled ? kInstanceHandled : 0);
        // Four bytes into an unused socket's buffer: the answer is out before
        // the event loop stops, even when the handler has ended the program.
        [[maybe_unused]] const ssize_t sent = ::send(connection->fd, answer, sizeof(answer), MSG_NOSIGNAL);
    }
    Drop(connection);
}

} // namespace kestrune
