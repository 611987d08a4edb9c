#pragma once

// The window's Reporter: messages from any thread become message boxes with
// the language file's texts, shown on the GUI thread over the main window.
// Informations show one after another, in the order they were given: one
// that arrives while another box is up waits for it to close. An
// information from another thread is queued and its sender goes on at once
// (it may hold a configuration lock the GUI thread is about to try); a
// question from another thread waits for the answer, so its sender must
// hold no lock.

#include "common/Reporter.h"

#include <QPointer>
#include <QStringList>
#include <QWidget>

namespace kestrune {

class WindowReporter : public Reporter {
public:
    explicit WindowReporter(QWidget* window) : m_window(window) {}

    void Inform(const UserMessage& message) override;
    bool Ask(const UserMessage& message) override;

private:
    void Show(const QString& text);

    QPointer<QWidget> m_window;
    QStringList m_waiting; // GUI thread only
    bool m_showing = false;
};

} // namespace kestrune
