// The other instance in the single-instance tests.
//
//   instance_peer RUNTIME_DIR NAME [--handle-delay MS] [--ready-delay MS] [--send open|kill|bogus]
//
// Claims the instance. As the first instance it prints "first", becomes
// ready for requests after --ready-delay, and prints each request it handles
// ("message 5350 4f50454e") after holding it for --handle-delay; a 'KILL'
// ends it with status 0. Otherwise it prints "running" and, with --send,
// sends that request and ends with 0 when it was answered, 1 when not.

#include "app/MainWindowIds.h"
#include "app/SingleInstance.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <cstdio>

using namespace kestrune;

namespace {

class Target : public QObject {
public:
    int handleDelay = 0;

protected:
    bool event(QEvent* event) override
    {
        const auto* message = dynamic_cast<const InstanceMessage*>(event);
        if (message == nullptr) return QObject::event(event);
        QThread::msleep(static_cast<unsigned long>(handleDelay));
        std::printf("message %x %llx\n", message->message(), static_cast<unsigned long long>(message->first()));
        std::fflush(stdout);
        if (message->message() == mainwnd::kMsgKill && message->first() == mainwnd::kParamKill) QCoreApplication::quit();
        return true;
    }
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) return 2;
    int handleDelay = 0, readyDelay = 0;
    QString send;
    for (qsizetype i = 3; i + 1 < args.size(); i += 2) {
        if (args[i] == "--handle-delay")
            handleDelay = args[i + 1].toInt();
        else if (args[i] == "--ready-delay")
            readyDelay = args[i + 1].toInt();
        else if (args[i] == "--send")
            send = args[i + 1];
    }
    SingleInstance instance(args[1], args[2]);
    const auto claim = instance.TryClaim();
    if (!claim) {
        std::fprintf(stderr, "%s\n", claim.error().c_str());
        return 3;
    }
    if (*claim == SingleInstance::Claim::Running) {
        std::printf("running\n");
        std::fflush(stdout);
        if (send.isEmpty()) return 0;
        InstanceRequest request;
        if (send == "open")
            request = {mainwnd::kMsgOpen, mainwnd::kParamOpen, 0, {}};
        else if (send == "kill")
            request = {mainwnd::kMsgKill, mainwnd::kParamKill, 0, {}};
        else
            request = {0x10, 0, 0, {}}; // not a window message: refused
        const Status sent = instance.Send(request, 2000, 10000);
        if (!sent) std::fprintf(stderr, "%s\n", sent.error().c_str());
        return sent ? 0 : 1;
    }
    if (Status listening = instance.Listen(); !listening) {
        std::fprintf(stderr, "%s\n", listening.error().c_str());
        return 3;
    }
    std::printf("first\n");
    std::fflush(stdout);
    Target target;
    target.handleDelay = handleDelay;
    QTimer::singleShot(readyDelay, &app, [&] { instance.SetTarget(&target); });
    return app.exec();
}
