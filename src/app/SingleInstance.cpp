#include "app/SingleInstance.h"

#include "common/LittleEndian.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QThread>

#include <sys/stat.h>
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

constexpr const char* kBufferProperty = "kestruneRequestBytes";

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
    auto lock = std::make_unique<QLockFile>(m_paths.lockFile);
    // Never stale by age: a running instance may sit in the tray for weeks.
    // A lock whose process is gone is still taken over.
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0)) {
        switch (lock->error()) {
        case QLockFile::LockFailedError:
            return Claim::Running;
        case QLockFile::PermissionError:
            return Error{"cannot create the lock file " + m_paths.lockFile.toStdString() + ": permission denied"};
        default:
            return Error{"cannot create the lock file " + m_paths.lockFile.toStdString()};
        }
    }
    m_lock = std::move(lock);
    return Claim::First;
}

Status SingleInstance::Listen()
{
    if (!m_lock) return Error{"listening for requests needs the instance lock"};
    if (m_server != nullptr) return Status::Ok();
    // Holding the lock, any socket file left is a crashed instance's.
    QLocalServer::removeServer(m_paths.socket);
    auto* server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(m_paths.socket)) {
        const std::string why = server->errorString().toStdString();
        delete server;
        return Error{"cannot listen on " + m_paths.socket.toStdString() + ": " + why};
    }
    connect(server, &QLocalServer::newConnection, this, &SingleInstance::OnNewConnection);
    m_server = server;
    return Status::Ok();
}

Status SingleInstance::Send(const InstanceRequest& request, int connectMs, int answerMs)
{
    const std::string where = m_paths.socket.toStdString();
    QLocalSocket socket;
    // The running instance takes its lock a moment before it listens.
    QDeadlineTimer connectDeadline(connectMs);
    for (;;) {
        socket.connectToServer(m_paths.socket);
        if (socket.waitForConnected(static_cast<int>(std::max<qint64>(connectDeadline.remainingTime(), 0)))) break;
        if (connectDeadline.hasExpired())
            return Error{"the running instance does not answer on " + where + ": " +
                         socket.errorString().toStdString()};
        socket.abort();
        QThread::msleep(50);
    }
    socket.write(EncodeInstanceRequest(request));
    if (!socket.waitForBytesWritten(connectMs))
        return Error{"could not send to the running instance on " + where + ": " + socket.errorString().toStdString()};

    QByteArray answer;
    QDeadlineTimer answerDeadline(answerMs);
    while (answer.size() < 4) {
        if (socket.bytesAvailable() == 0 &&
            !socket.waitForReadyRead(static_cast<int>(std::max<qint64>(answerDeadline.remainingTime(), 0)))) {
            if (answerDeadline.hasExpired())
                return Error{"the running instance did not answer within " + std::to_string(answerMs / 1000) + " s"};
            return Error{"the running instance closed the connection without answering"};
        }
        answer.append(socket.readAll());
    }
    if (GetU32(answer, 0) != kInstanceHandled) return Error{"the running instance did not handle the request"};
    return Status::Ok();
}

void SingleInstance::SetTarget(QObject* target)
{
    m_target = target;
    DispatchPending();
}

void SingleInstance::Release()
{
    if (m_server != nullptr) {
        m_server->close();
        delete m_server;
        m_server = nullptr;
    }
    if (m_lock) {
        m_lock->unlock();
        m_lock.reset();
    }
}

void SingleInstance::OnNewConnection()
{
    while (m_server != nullptr && m_server->hasPendingConnections()) {
        QLocalSocket* socket = m_server->nextPendingConnection();
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { OnReadyRead(socket); });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        if (socket->bytesAvailable() > 0) OnReadyRead(socket);
    }
}

void SingleInstance::OnReadyRead(QLocalSocket* socket)
{
    QByteArray bytes = socket->property(kBufferProperty).toByteArray() + socket->readAll();
    InstanceRequest request;
    switch (DecodeInstanceRequest(bytes, request)) {
    case DecodeState::NeedMore:
        socket->setProperty(kBufferProperty, bytes);
        return;
    case DecodeState::Invalid:
        socket->abort();
        return;
    case DecodeState::Complete:
        socket->setProperty(kBufferProperty, QVariant());
        break;
    }
    if (m_target.isNull()) {
        // Not ready yet: the request waits, decoded, on its connection.
        socket->setProperty(kBufferProperty, bytes);
        socket->setProperty("kestruneComplete", true);
        return;
    }
    Handle(socket, request);
}

void SingleInstance::DispatchPending()
{
    if (m_target.isNull() || m_server == nullptr) return;
    const auto sockets = m_server->findChildren<QLocalSocket*>();
    for (QLocalSocket* socket : sockets) {
        if (!socket->property("kestruneComplete").toBool()) continue;
        InstanceRequest request;
        const QByteArray bytes = socket->property(kBufferProperty).toByteArray();
        socket->setProperty("kestruneComplete", QVariant());
        socket->setProperty(kBufferProperty, QVariant());
        if (DecodeInstanceRequest(bytes, request) == DecodeState::Complete) Handle(socket, request);
    }
}

void SingleInstance::Handle(QLocalSocket* socket, const InstanceRequest& request)
{
    // Keep the connection alive across the handler: it may run a nested
    // event loop (a message box) during which the sender could go away.
    QPointer<QLocalSocket> guard(socket);
    InstanceMessage message(request);
    const bool handled = QCoreApplication::sendEvent(m_target.data(), &message);
    if (guard.isNull() || guard->state() != QLocalSocket::ConnectedState) return;
    QByteArray answer;
    PutU32(answer, handled ? kInstanceHandled : 0);
    guard->write(answer);
    guard->flush();
    // The handler may have ended the program ('KILL'); the answer must be
    // out before the event loop stops.
    guard->waitForBytesWritten(1000);
    guard->disconnectFromServer();
}

} // namespace kestrune
