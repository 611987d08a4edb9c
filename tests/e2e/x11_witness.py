#!/usr/bin/env python3
"""A second X client that tells the end-to-end test what the X server did.

    x11_witness.py grab KEYSYM..  prints for each key "held" when another client
                                  holds a grab on it (our own grab on the root
                                  window fails), "free" when it can be taken
    x11_witness.py record FILE    writes "ready" once it records, then one line
                                  "press|release KEYCODE TIME_MS" for every key
                                  event of the server, with the server's own
                                  time stamp, until ended

Talks to libX11 and libXtst (the RECORD extension) through ctypes, so it
needs nothing beyond what xdotool already brings.
"""
import ctypes
import sys

x11 = ctypes.CDLL("libX11.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
x11.XDefaultRootWindow.restype = ctypes.c_ulong
x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x11.XStringToKeysym.restype = ctypes.c_ulong
x11.XStringToKeysym.argtypes = [ctypes.c_char_p]
x11.XKeysymToKeycode.restype = ctypes.c_ubyte
x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
x11.XGrabKey.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                         ctypes.c_int]
x11.XUngrabKey.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_uint, ctypes.c_ulong]
x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
x11.XFlush.argtypes = [ctypes.c_void_p]

ANY_MODIFIER = 1 << 15
GRAB_MODE_ASYNC = 1
KEY_PRESS, KEY_RELEASE = 2, 3


def open_display():
    display = x11.XOpenDisplay(None)
    if not display:
        sys.exit("x11_witness: cannot open the display")
    return display


def grab(keysym_names):
    errors = []
    handler_type = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)

    def on_error(_display, _event):
        errors.append(True)  # BadAccess: someone else grabs the key
        return 0

    handler = handler_type(on_error)
    x11.XSetErrorHandler(handler)
    display = open_display()
    root = x11.XDefaultRootWindow(display)
    states = []
    for name in keysym_names:
        keycode = x11.XKeysymToKeycode(display, x11.XStringToKeysym(name.encode()))
        if keycode == 0:
            sys.exit(f"x11_witness: no key sends {name}")
        errors.clear()
        x11.XGrabKey(display, keycode, ANY_MODIFIER, root, 0, GRAB_MODE_ASYNC, GRAB_MODE_ASYNC)
        x11.XSync(display, 0)
        if errors:
            states.append("held")
            continue
        x11.XUngrabKey(display, keycode, ANY_MODIFIER, root)
        x11.XSync(display, 0)
        states.append("free")
    print(" ".join(states))


class RecordRange(ctypes.Structure):
    class Range8(ctypes.Structure):
        _fields_ = [("first", ctypes.c_ubyte), ("last", ctypes.c_ubyte)]

    class Range16(ctypes.Structure):
        _fields_ = [("first", ctypes.c_ushort), ("last", ctypes.c_ushort)]

    class ExtRange(ctypes.Structure):
        pass

    ExtRange._fields_ = [("ext_major", Range8), ("ext_minor", Range16)]
    _fields_ = [("core_requests", Range8), ("core_replies", Range8), ("ext_requests", ExtRange),
                ("ext_replies", ExtRange), ("delivered_events", Range8), ("device_events", Range8),
                ("errors", Range8), ("client_started", ctypes.c_int), ("client_died", ctypes.c_int)]


class InterceptData(ctypes.Structure):
    _fields_ = [("id_base", ctypes.c_ulong), ("server_time", ctypes.c_ulong), ("client_seq", ctypes.c_ulong),
                ("category", ctypes.c_int), ("client_swapped", ctypes.c_int),
                ("data", ctypes.POINTER(ctypes.c_ubyte)), ("data_len", ctypes.c_ulong)]


def record(path):
    xtst = ctypes.CDLL("libXtst.so.6")
    xtst.XRecordAllocRange.restype = ctypes.POINTER(RecordRange)
    xtst.XRecordCreateContext.restype = ctypes.c_ulong
    xtst.XRecordCreateContext.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.POINTER(ctypes.c_ulong), ctypes.c_int,
                                          ctypes.POINTER(ctypes.POINTER(RecordRange)), ctypes.c_int]
    callback_type = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.POINTER(InterceptData))
    xtst.XRecordEnableContext.argtypes = [ctypes.c_void_p, ctypes.c_ulong, callback_type, ctypes.c_void_p]
    xtst.XRecordFreeData.argtypes = [ctypes.POINTER(InterceptData)]

    control = open_display()
    data_display = open_display()
    ranges = xtst.XRecordAllocRange()
    ranges.contents.device_events.first = KEY_PRESS
    ranges.contents.device_events.last = KEY_RELEASE
    all_clients = ctypes.c_ulong(3)  # XRecordAllClients
    context = xtst.XRecordCreateContext(control, 0, ctypes.byref(all_clients), 1, ctypes.byref(ranges), 1)
    if not context:
        sys.exit("x11_witness: the X server does not record")
    x11.XSync(control, 0)
    out = open(path, "w", buffering=1)

    def on_data(_closure, data):
        item = data.contents
        if item.category == 4:  # XRecordStartOfData: from now on nothing is missed
            out.write("ready\n")
        elif item.category == 0 and item.data_len * 4 >= 8:  # XRecordFromServer: one event
            raw = bytes(item.data[:8])
            kind = raw[0] & 0x7F
            if kind in (KEY_PRESS, KEY_RELEASE):
                time_ms = int.from_bytes(raw[4:8], "little")
                out.write(f"{'press' if kind == KEY_PRESS else 'release'} {raw[1]} {time_ms}\n")
        xtst.XRecordFreeData(data)

    callback = callback_type(on_data)
    # Blocks in the library until the process is ended; SIGTERM keeps its
    # default action, since a Python handler would not run before it returns.
    xtst.XRecordEnableContext(data_display, context, callback, None)


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "grab":
        grab(sys.argv[2:])
    elif len(sys.argv) == 3 and sys.argv[1] == "record":
        record(sys.argv[2])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
