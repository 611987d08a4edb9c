#include "app/WindowReporter.h"

#include "config/LanguageTable.h"
#include "ui/UserDialogs.h"

#include <QCoreApplication>
#include <QThread>

namespace kestrune {
namespace {

QString Text(const UserMessage& message)
{
    return QString::fromStdU16String(MessageText(TheLanguageTable(), message));
}

bool OnGuiThread()
{
    return QThread::currentThread() == QCoreApplication::instance()->thread();
}

} // namespace

void WindowReporter::Inform(const UserMessage& message)
{
    const QString text = Text(message);
    if (OnGuiThread()) {
        Show(text);
        return;
    }
    // The window owns this reporter: with the window as the call's context, a
    // message still on its way when the window goes is dropped with it.
    QObject* context = m_window ? static_cast<QObject*>(m_window.data()) : QCoreApplication::instance();
    QMetaObject::invokeMethod(
        context, [this, text] { Show(text); }, Qt::QueuedConnection);
}

void WindowReporter::Show(const QString& text)
{
    m_waiting.append(text);
    if (m_showing) return;
    m_showing = true;
    while (!m_waiting.isEmpty()) ShowInformation(m_window, m_waiting.takeFirst());
    m_showing = false;
}

bool WindowReporter::Ask(const UserMessage& message)
{
    const QString text = Text(message);
    if (OnGuiThread()) return AskYesNo(m_window, text);
    bool yes = false;
    QPointer<QWidget> window = m_window;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [window, text, &yes] { yes = AskYesNo(window, text); },
        Qt::BlockingQueuedConnection);
    return yes;
}

} // namespace kestrune
