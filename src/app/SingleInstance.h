#pragma once

// One running program per user. The first instance holds a lock file and
// listens on a local socket, both in the user's runtime folder and named from
// the program file name; a later start finds the lock held, sends the running
// one a window message through the socket ('OPEN' to show its window, 'KILL'
// to end it) and waits until the running one has handled it and answered.
//
// The runtime folder belongs to the user alone (mode 0700), so another
// user's instance is never reached. The lock is an flock() on the lock file,
// which the system lets go of when its process ends however it ends: the
// file and socket left by an instance that crashed are taken over.
//
// Plain Unix sockets rather than Qt's network module: loading that module and
// the libraries it pulls in made every start measurably slower, and a later
// start that only hands its request over needs none of Qt's event machinery.
//
// Messages arrive on the thread that owns this object (the GUI thread) and
// go to the target object as a WindowMessage, sent, not posted: the answer
// leaves only after the target's handler has returned.

#include "common/Result.h"
#include "ui/WindowMessage.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

class QSocketNotifier;

namespace kestrune {

// A message on the wire: message, first and second parameter as 32-bit
// little-endian values, then a text of at most kInstanceTextLimit bytes
// (UTF-8, length first) for requests that carry one, such as a file name.
struct InstanceRequest {
    std::uint32_t message = 0;
    std::uint32_t first = 0;
    std::uint32_t second = 0;
    QByteArray text;
};
inline constexpr int kInstanceHeaderSize = 16;
inline constexpr int kInstanceTextLimit = 4096;
// What the running instance answers once the message has been handled.
inline constexpr std::uint32_t kInstanceHandled = 1;

QByteArray EncodeInstanceRequest(const InstanceRequest& request);
// Complete fills `out`; NeedMore while the bytes hold only part of a request;
// Invalid for a message number outside the window-message range or a text
// over the limit, after which the connection is dropped.
enum class DecodeState { Complete, NeedMore, Invalid };
DecodeState DecodeInstanceRequest(const QByteArray& bytes, InstanceRequest& out);

// The message a request becomes at its target: a WindowMessage that also
// carries the request's text.
class InstanceMessage : public WindowMessage {
public:
    explicit InstanceMessage(const InstanceRequest& request)
        : WindowMessage(static_cast<int>(request.message), request.first, static_cast<qint32>(request.second)),
          m_text(request.text)
    {
    }
    const QByteArray& text() const { return m_text; }

private:
    QByteArray m_text;
};

// The lock file and socket of a program file name in a runtime folder.
struct InstancePaths {
    QString lockFile;
    QString socket;
};
InstancePaths InstancePathsFor(const QString& runtimeFolder, const QString& programFileName);

// $XDG_RUNTIME_DIR when it is set and private to the user, else a folder of
// the user's own below the temporary folder (created 0700).
Result<QString> UserRuntimeFolder();

class SingleInstance : public QObject {
    Q_OBJECT
public:
    SingleInstance(QString runtimeFolder, QString programFileName, QObject* parent = nullptr);
    ~SingleInstance() override;

    enum class Claim { First, Running };
    // First: this process holds the lock. Running: another live instance
    // holds it. An error says why neither could be found out. Needs no
    // application object, so a later start hands over its request without
    // connecting to a display.
    Result<Claim> TryClaim();
    // After First, with the application object made: listens for requests.
    Status Listen();

    // Sends a request to the running instance and waits for its answer:
    // connecting for up to connectMs (it may be starting and not listen yet),
    // then up to answerMs for the answer, which comes only after handling.
    Status Send(const InstanceRequest& request, int connectMs = 5000, int answerMs = 60000);

    // Where requests go once the program is ready for them; until then they wait.
    void SetTarget(QObject* target);

    // Stops listening and gives up the lock (also done on destruction).
    void Release();

    const InstancePaths& Paths() const { return m_paths; }

private:
    struct Connection;
    void OnNewConnection();
    void OnReadable(const std::shared_ptr<Connection>& connection);
    void DispatchPending();
    void Handle(const std::shared_ptr<Connection>& connection, const InstanceRequest& request);
    void Drop(const std::shared_ptr<Connection>& connection);

    InstancePaths m_paths;
    int m_lockFd = -1;
    int m_serverFd = -1;
    QSocketNotifier* m_serverNotifier = nullptr;
    std::vector<std::shared_ptr<Connection>> m_connections;
    QPointer<QObject> m_target;
};

} // namespace kestrune
