#include "ui/X11KeyGrab.h"

#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <QGuiApplication>
#include <QPoint>
#include <QWindow>

#if defined(KESTRUNE_WITH_XCB) && QT_CONFIG(xcb)
#include <xcb/xcb.h>
#define KESTRUNE_HAVE_XCB 1
#endif

#include <algorithm>
#include <cstdlib>

namespace kestrune {

namespace {

#ifdef KESTRUNE_HAVE_XCB
xcb_connection_t* Connection()
{
    auto* app = qGuiApp;
    if (app == nullptr) return nullptr;
    auto* x11 = app->nativeInterface<QNativeInterface::QX11Application>();
    return x11 != nullptr ? x11->connection() : nullptr;
}

xcb_window_t RootWindow(xcb_connection_t* connection)
{
    const xcb_setup_t* setup = xcb_get_setup(connection);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(setup);
    if (it.rem <= 0) return XCB_WINDOW_NONE;
    return it.data->root;
}

// Retargets key events of the grabbed keys that the X server reported on the
// root window to the window that has the focus, before Qt sees them; Qt drops
// key events for windows that are not its own.
class RootKeyForwarder : public QAbstractNativeEventFilter {
public:
    RootKeyForwarder(xcb_window_t root, std::vector<std::uint32_t> codes) : m_root(root), m_codes(std::move(codes)) {}

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* /*result*/) override
    {
        if (eventType != "xcb_generic_event_t") return false;
        auto* event = static_cast<xcb_generic_event_t*>(message);
        const std::uint8_t type = event->response_type & 0x7F;
        if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE) return false;
        // A release has the same layout as a press.
        auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
        if (key->event != m_root || std::find(m_codes.begin(), m_codes.end(), key->detail) == m_codes.end())
            return false;
        QWindow* focus = QGuiApplication::focusWindow();
        if (focus == nullptr || focus->handle() == nullptr) return false;
        const QPoint origin = focus->mapToGlobal(QPoint(0, 0));
        key->event = static_cast<xcb_window_t>(focus->winId());
        key->child = XCB_WINDOW_NONE;
        key->event_x = static_cast<std::int16_t>(key->root_x - origin.x());
        key->event_y = static_cast<std::int16_t>(key->root_y - origin.y());
        key->same_screen = 1;
        return false; // Qt goes on with the event, now addressed to our window
    }

private:
    xcb_window_t m_root;
    std::vector<std::uint32_t> m_codes;
};
#endif

} // namespace

X11KeyGrab::X11KeyGrab() = default;

X11KeyGrab::~X11KeyGrab()
{
    Release();
}

bool X11KeyGrab::Available()
{
#ifdef KESTRUNE_HAVE_XCB
    return Connection() != nullptr;
#else
    return false;
#endif
}

std::size_t X11KeyGrab::Grab(std::span<const std::uint32_t> nativeScanCodes)
{
    Release();
#ifdef KESTRUNE_HAVE_XCB
    xcb_connection_t* connection = Connection();
    if (connection == nullptr) return 0;
    const xcb_window_t root = RootWindow(connection);
    if (root == XCB_WINDOW_NONE) return 0;
    for (std::uint32_t code : nativeScanCodes) {
        if (code < 8 || code > 255) continue;
        const auto keycode = static_cast<xcb_keycode_t>(code);
        // owner_events: while one of our windows has the focus the key
        // reaches it as a normal key event.
        xcb_void_cookie_t cookie = xcb_grab_key_checked(connection, 1, root, XCB_MOD_MASK_ANY, keycode,
                                                        XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
        if (xcb_generic_error_t* error = xcb_request_check(connection, cookie)) {
            std::free(error); // another client holds it (BadAccess): the desktop keeps that key
            continue;
        }
        m_grabbed.push_back(code);
    }
    xcb_flush(connection);
    if (!m_grabbed.empty()) {
        m_forwarder = std::make_unique<RootKeyForwarder>(root, m_grabbed);
        qGuiApp->installNativeEventFilter(m_forwarder.get());
    }
#else
    (void)nativeScanCodes;
#endif
    return m_grabbed.size();
}

void X11KeyGrab::Release()
{
    if (m_forwarder) {
        if (qGuiApp != nullptr) qGuiApp->removeNativeEventFilter(m_forwarder.get());
        m_forwarder.reset();
    }
    if (m_grabbed.empty()) return;
#ifdef KESTRUNE_HAVE_XCB
    if (xcb_connection_t* connection = Connection()) {
        const xcb_window_t root = RootWindow(connection);
        for (std::uint32_t code : m_grabbed)
            xcb_ungrab_key(connection, static_cast<xcb_keycode_t>(code), root, XCB_MOD_MASK_ANY);
        xcb_flush(connection);
    }
#endif
    m_grabbed.clear();
}

} // namespace kestrune
