"""Watching a private X server for the utility's dialog, through libX11 (ctypes, no extra package)."""

import ctypes
import ctypes.util
import select
import time

from wine_desktop import TITLE, DesktopError


class _XEvent(ctypes.Structure):
    # The start shared by XCreateWindowEvent, XMapEvent and XDestroyWindowEvent, padded to sizeof(XEvent).
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("event", ctypes.c_ulong), ("window", ctypes.c_ulong),
                ("pad", ctypes.c_long * 20)]


class DialogWatch:
    """Tells when a top-level window named TITLE is mapped, from the X server's own notifications (no polling,
    so it neither lags nor takes CPU time from the program being timed)."""

    MAP_NOTIFY = 19
    SUBSTRUCTURE_NOTIFY_MASK = 1 << 19

    def __init__(self, display):
        x = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
        x.XOpenDisplay.restype = ctypes.c_void_p
        x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x.XDefaultRootWindow.restype = ctypes.c_ulong
        x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        x.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
        x.XConnectionNumber.argtypes = [ctypes.c_void_p]
        x.XPending.argtypes = [ctypes.c_void_p]
        x.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
        x.XInternAtom.restype = ctypes.c_ulong
        x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        x.XFree.argtypes = [ctypes.c_void_p]
        x.XCloseDisplay.argtypes = [ctypes.c_void_p]
        x.XGetWindowProperty.argtypes = [
            ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_long, ctypes.c_long, ctypes.c_int,
            ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_int),
            ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_void_p)]
        # A window can be gone by the time its name is asked for; Xlib's default handler would end this
        # process on the error that follows.
        self._on_error = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)(lambda d, e: 0)
        x.XSetErrorHandler.restype = ctypes.c_void_p
        x.XSetErrorHandler.argtypes = [ctypes.c_void_p]
        x.XSetErrorHandler(ctypes.cast(self._on_error, ctypes.c_void_p))
        self.x = x
        self.d = x.XOpenDisplay(display.encode())
        if not self.d:
            raise DesktopError(f"cannot open X display {display}")
        x.XSelectInput(self.d, x.XDefaultRootWindow(self.d), self.SUBSTRUCTURE_NOTIFY_MASK)
        self.net_wm_name = x.XInternAtom(self.d, b"_NET_WM_NAME", 0)
        x.XSync(self.d, 0)
        self.fd = x.XConnectionNumber(self.d)

    def close(self):
        if self.d:
            self.x.XCloseDisplay(self.d)
            self.d = None

    def _name(self, window):
        kind, fmt, count, left, value = (ctypes.c_ulong(), ctypes.c_int(), ctypes.c_ulong(), ctypes.c_ulong(),
                                         ctypes.c_void_p())
        if self.x.XGetWindowProperty(self.d, window, self.net_wm_name, 0, 256, 0, 0, ctypes.byref(kind),
                                     ctypes.byref(fmt), ctypes.byref(count), ctypes.byref(left),
                                     ctypes.byref(value)) != 0 or not value.value:
            return None
        text = ctypes.string_at(value.value, count.value)
        self.x.XFree(value)
        return text.decode("utf-8", errors="replace")

    def drain(self):
        """The windows mapped since the last call, as (window id, name or None if it is gone)."""
        self.x.XSync(self.d, 0)
        event, mapped = _XEvent(), []
        while self.x.XPending(self.d):
            self.x.XNextEvent(self.d, ctypes.byref(event))
            if event.type == self.MAP_NOTIFY:
                mapped.append((event.window, self._name(event.window)))
        return mapped

    def wait_mapped(self, deadline, alive=lambda: True):
        """(monotonic time, window id) of the next window named TITLE to be mapped; None if deadline passes or
        alive() turns false first."""
        event = _XEvent()
        while True:
            while self.x.XPending(self.d):
                self.x.XNextEvent(self.d, ctypes.byref(event))
                if event.type == self.MAP_NOTIFY:
                    seen = time.monotonic()
                    if self._name(event.window) == TITLE:
                        return seen, event.window
            now = time.monotonic()
            if now >= deadline or not alive():
                return None
            select.select([self.fd], [], [], min(0.05, deadline - now))
