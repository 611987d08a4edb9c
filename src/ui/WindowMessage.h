#pragma once

// Notifications that controls post to their dialog. Each carries the number
// the rest of the program knows it by, as its event type, with the two
// parameters that go with it, so a dialog tells them apart by number alone.

#include <QEvent>
#include <QtGlobal>

namespace kestrune {

// A bitmap slider's position changed or the mouse was released on it:
// first parameter the slider's control id, second its position.
inline constexpr int kSliderMoved = 10449;

static_assert(kSliderMoved >= QEvent::User && kSliderMoved <= QEvent::MaxUser,
              "message numbers double as Qt user event types");

class WindowMessage : public QEvent {
public:
    WindowMessage(int message, quintptr first, qintptr second)
        : QEvent(static_cast<QEvent::Type>(message)), m_first(first), m_second(second)
    {
    }

    int message() const { return static_cast<int>(type()); }
    quintptr first() const { return m_first; }
    qintptr second() const { return m_second; }

    // The message behind an event, or nullptr when it is not `message`.
    static const WindowMessage* As(const QEvent* event, int message)
    {
        if (event == nullptr || static_cast<int>(event->type()) != message) return nullptr;
        return dynamic_cast<const WindowMessage*>(event);
    }

private:
    quintptr m_first;
    qintptr m_second;
};

} // namespace kestrune
