#!/usr/bin/env python3
"""The real-display check of the setup window.

Starts a command on the current X display (run it under xvfb-run), waits for a
top-level window whose caption contains CAPTION, then asks that window to close
the way a window manager does (a WM_DELETE_WINDOW client message), and checks
that the command ends with exit code 0 and that every --gone path is gone.

    xvfb-run -a python3 tests/ui/close_on_display.py --caption "Vorlen" \
        --gone "$TMPDIR/Vorlen Setup" -- build/bin/vrnsetup

Uses nothing but the standard library and libX11.
"""
import argparse
import ctypes
import os
import subprocess
import sys
import time

Window = Atom = ctypes.c_ulong


class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", Window), ("message_type", Atom),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class XEvent(ctypes.Union):
    _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]


def load_x11():
    x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XDefaultRootWindow.restype = Window
    x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    x11.XInternAtom.restype = Atom
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XQueryTree.argtypes = [ctypes.c_void_p, Window, ctypes.POINTER(Window), ctypes.POINTER(Window),
                               ctypes.POINTER(ctypes.POINTER(Window)), ctypes.POINTER(ctypes.c_uint)]
    x11.XGetWindowProperty.argtypes = [ctypes.c_void_p, Window, Atom, ctypes.c_long, ctypes.c_long, ctypes.c_int,
                                       Atom, ctypes.POINTER(Atom), ctypes.POINTER(ctypes.c_int),
                                       ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_ulong),
                                       ctypes.POINTER(ctypes.c_void_p)]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, Window, ctypes.c_int, ctypes.c_long, ctypes.POINTER(XEvent)]
    x11.XFlush.argtypes = [ctypes.c_void_p]
    x11.XFree.argtypes = [ctypes.c_void_p]
    return x11


def caption_of(x11, display, window, net_wm_name, utf8):
    actual_type, actual_format = Atom(), ctypes.c_int()
    count, after, data = ctypes.c_ulong(), ctypes.c_ulong(), ctypes.c_void_p()
    if x11.XGetWindowProperty(display, window, net_wm_name, 0, 1024, 0, utf8, ctypes.byref(actual_type),
                              ctypes.byref(actual_format), ctypes.byref(count), ctypes.byref(after),
                              ctypes.byref(data)) != 0 or not data.value:
        return ""
    text = ctypes.string_at(data.value, count.value).decode("utf-8", "replace")
    x11.XFree(data)
    return text


def top_windows(x11, display):
    root, parent = Window(), Window()
    children, count = ctypes.POINTER(Window)(), ctypes.c_uint()
    if not x11.XQueryTree(display, x11.XDefaultRootWindow(display), ctypes.byref(root), ctypes.byref(parent),
                          ctypes.byref(children), ctypes.byref(count)):
        return []
    found = [children[i] for i in range(count.value)]
    if children:
        x11.XFree(children)
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--caption", required=True, help="text the window caption contains")
    parser.add_argument("--gone", action="append", default=[], help="a path that must not exist afterwards")
    parser.add_argument("--timeout", type=float, default=30)
    parser.add_argument("command", nargs="+")
    args = parser.parse_args()

    x11 = load_x11()
    display = x11.XOpenDisplay(None)
    if not display:
        sys.exit("no X display: run under xvfb-run")
    net_wm_name = x11.XInternAtom(display, b"_NET_WM_NAME", 0)
    utf8 = x11.XInternAtom(display, b"UTF8_STRING", 0)
    protocols = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
    delete = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)

    program = subprocess.Popen(args.command, env=dict(os.environ, QT_QPA_PLATFORM="xcb"))
    deadline = time.monotonic() + args.timeout
    window, caption = None, ""
    while window is None and time.monotonic() < deadline and program.poll() is None:
        for candidate in top_windows(x11, display):
            caption = caption_of(x11, display, candidate, net_wm_name, utf8)
            if args.caption in caption:
                window = candidate
                break
        time.sleep(0.2)
    if window is None:
        program.kill()
        sys.exit(f"no window with a caption containing {args.caption!r} appeared")
    print(f"window caption: {caption}")
    time.sleep(1)  # let the first page settle before the close request

    event = XEvent()
    event.xclient.type = 33  # ClientMessage
    event.xclient.window = window
    event.xclient.message_type = protocols
    event.xclient.format = 32
    event.xclient.data[0] = delete
    x11.XSendEvent(display, window, 0, 0, ctypes.byref(event))
    x11.XFlush(display)
    try:
        code = program.wait(timeout=args.timeout)
    except subprocess.TimeoutExpired:
        program.kill()
        sys.exit("the program did not end after the close request")
    print(f"exit code: {code}")
    left = [path for path in args.gone if os.path.exists(path)]
    for path in left:
        print(f"left behind: {path}")
    sys.exit(0 if code == 0 and not left else 1)


if __name__ == "__main__":
    main()
