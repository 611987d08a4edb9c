#pragma once

// Takes a few keys away from the whole desktop while a dialog needs them
// (the Windows keys, whose shortcuts the desktop would otherwise act on), by
// passive key grabs on the X11 root window. The grabbing window still gets
// the keys as ordinary key events while it has the focus. Without X11
// (Wayland, offscreen) nothing is grabbed and Grab says so.
//
// The grabs go with the object: Release, the destructor and the end of the
// process (the X server drops a dead client's grabs) each end them, so no way
// out of the dialog leaves a key stuck.
//
// The X server reports the press that sets a passive grab off on the grab
// window itself (the root), whatever owner_events says; only the events after
// it reach the focused window. While keys are grabbed, such a press is handed
// to the window that has the focus, so the dialog sees the press as well as
// the release.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

class QAbstractNativeEventFilter;

namespace kestrune {

class X11KeyGrab {
public:
    X11KeyGrab();
    ~X11KeyGrab();
    X11KeyGrab(const X11KeyGrab&) = delete;
    X11KeyGrab& operator=(const X11KeyGrab&) = delete;

    // Grabs exactly these native scan codes (X keycodes), with any
    // modifiers, after releasing what was grabbed before. Gives how many
    // were taken; a key another client holds already stays with it.
    std::size_t Grab(std::span<const std::uint32_t> nativeScanCodes);
    void Release();

    const std::vector<std::uint32_t>& Grabbed() const { return m_grabbed; }

    // Whether key grabs work here at all (an X11 connection exists).
    static bool Available();

private:
    std::vector<std::uint32_t> m_grabbed;
    std::unique_ptr<QAbstractNativeEventFilter> m_forwarder;
};

} // namespace kestrune
