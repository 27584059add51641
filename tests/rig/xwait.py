#!/usr/bin/python3
"""Waits until the rig's X desktop is usable: a window manager, its work area, a tray.

Talks to the X server through libX11 (ctypes) in one process, so polling costs no
process start per check. Exit status 0 when every condition holds, 1 on timeout
(the missing conditions are printed).
"""
import argparse
import ctypes
import ctypes.util
import os
import sys
import time

xlib = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
xlib.XOpenDisplay.restype = ctypes.c_void_p
xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
xlib.XDefaultRootWindow.restype = ctypes.c_ulong
xlib.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
xlib.XInternAtom.restype = ctypes.c_ulong
xlib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
xlib.XGetSelectionOwner.restype = ctypes.c_ulong
xlib.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
xlib.XGetWindowProperty.restype = ctypes.c_int
xlib.XGetWindowProperty.argtypes = [
    ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_long, ctypes.c_long, ctypes.c_int, ctypes.c_ulong,
    ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_ulong),
    ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_void_p)]
xlib.XDisplayWidth.argtypes = [ctypes.c_void_p, ctypes.c_int]
xlib.XDisplayHeight.argtypes = [ctypes.c_void_p, ctypes.c_int]
xlib.XFree.argtypes = [ctypes.c_void_p]
xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]


def cardinals(dpy, window, name):
    """A 32-bit property as a list of ints (Xlib hands them over as C longs); [] when absent."""
    atom = xlib.XInternAtom(dpy, name.encode(), 0)
    actual_type = ctypes.c_ulong()
    actual_format = ctypes.c_int()
    nitems = ctypes.c_ulong()
    after = ctypes.c_ulong()
    data = ctypes.c_void_p()
    status = xlib.XGetWindowProperty(dpy, window, atom, 0, 64, 0, 0, ctypes.byref(actual_type),
                                     ctypes.byref(actual_format), ctypes.byref(nitems), ctypes.byref(after),
                                     ctypes.byref(data))
    if status != 0 or not data.value:
        return []
    values = []
    if actual_format.value == 32:
        values = list(ctypes.cast(data, ctypes.POINTER(ctypes.c_ulong))[:nitems.value])
    xlib.XFree(data)
    return values


def wait(display, deadline, tray=False, strut=False, poll=None):
    """Polls until the conditions hold or time.monotonic() reaches deadline; returns what is still missing.

    Always: a window manager (_NET_SUPPORTING_WM_CHECK) and its work area (_NET_WORKAREA).
    tray: an owner of the tray selection _NET_SYSTEM_TRAY_S0. strut: a panel has shrunk the work area.
    poll() is called on each round (it may raise to give up early).
    """
    dpy = None
    while True:
        if poll:
            poll()
        dpy = xlib.XOpenDisplay(display.encode())
        if dpy or time.monotonic() >= deadline:
            break
        time.sleep(0.01)
    if not dpy:
        return ["the display " + display]
    try:
        root = xlib.XDefaultRootWindow(dpy)
        tray_atom = xlib.XInternAtom(dpy, b"_NET_SYSTEM_TRAY_S0", 0)
        full = [xlib.XDisplayWidth(dpy, 0), xlib.XDisplayHeight(dpy, 0)]
        while True:
            missing = []
            if not cardinals(dpy, root, "_NET_SUPPORTING_WM_CHECK"):
                missing.append("_NET_SUPPORTING_WM_CHECK")
            area = cardinals(dpy, root, "_NET_WORKAREA")
            if len(area) < 4:
                missing.append("_NET_WORKAREA")
            elif strut and area[2:4] == full:
                missing.append("a panel's strut in _NET_WORKAREA")
            if tray and not xlib.XGetSelectionOwner(dpy, tray_atom):
                missing.append("the _NET_SYSTEM_TRAY_S0 owner")
            if not missing or time.monotonic() >= deadline:
                return missing
            if poll:
                poll()
            time.sleep(0.01)
    finally:
        xlib.XCloseDisplay(dpy)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--timeout", type=float, default=5.0)
    parser.add_argument("--tray", action="store_true", help="wait for the owner of _NET_SYSTEM_TRAY_S0")
    parser.add_argument("--strut", action="store_true", help="wait until a panel has shrunk the work area")
    args = parser.parse_args()
    missing = wait(os.environ.get("DISPLAY", ""), time.monotonic() + args.timeout, args.tray, args.strut)
    if missing:
        print("xwait: timed out waiting for " + ", ".join(missing), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
