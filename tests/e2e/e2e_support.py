"""What the end-to-end scripts share: checks, waiting, an X server, closing a window."""
import ctypes
import os
import shutil
import subprocess
import sys
import time

failures = []


def check(ok, text):
    print(("ok   " if ok else "FAIL ") + text, flush=True)
    if not ok:
        failures.append(text)


def wait_for(predicate, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()


def rerun_under_xvfb():
    """None with an X server at hand (the program then uses it); otherwise runs this
    script again under xvfb-run and returns its exit code (77 when there is none)."""
    if os.environ.get("DISPLAY"):
        os.environ["QT_QPA_PLATFORM"] = "xcb"
        return None
    if shutil.which("xvfb-run") is None:
        print("no X server and no xvfb-run")
        return 77
    os.environ.pop("QT_QPA_PLATFORM", None)
    return subprocess.call(["xvfb-run", "-a", "-s", "-screen 0 1280x800x24",
                            sys.executable, os.path.abspath(sys.argv[0])] + sys.argv[1:])


def close_main_window(title_prefix):
    """Asks the window to close as a window manager does (WM_DELETE_WINDOW)."""
    x = ctypes.cdll.LoadLibrary("libX11.so.6")
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x.XDefaultRootWindow.restype = ctypes.c_ulong
    x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    x.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong),
                             ctypes.POINTER(ctypes.c_ulong),
                             ctypes.POINTER(ctypes.POINTER(ctypes.c_ulong)),
                             ctypes.POINTER(ctypes.c_uint)]
    x.XFetchName.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_char_p)]
    x.XInternAtom.restype = ctypes.c_ulong
    x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                             ctypes.c_void_p]
    x.XFlush.argtypes = [ctypes.c_void_p]
    x.XCloseDisplay.argtypes = [ctypes.c_void_p]

    class ClientMessage(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                    ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                    ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("l", ctypes.c_long * 5)]

    class Event(ctypes.Union):
        _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]

    dpy = x.XOpenDisplay(None)
    if not dpy:
        return False
    root = x.XDefaultRootWindow(dpy)
    r, p = ctypes.c_ulong(), ctypes.c_ulong()
    children, n = ctypes.POINTER(ctypes.c_ulong)(), ctypes.c_uint()
    x.XQueryTree(dpy, root, ctypes.byref(r), ctypes.byref(p), ctypes.byref(children),
                 ctypes.byref(n))
    sent = False
    for i in range(n.value):
        name = ctypes.c_char_p()
        if x.XFetchName(dpy, children[i], ctypes.byref(name)) and name.value and \
                name.value.decode(errors="replace").startswith(title_prefix):
            ev = Event()
            ev.xclient.type = 33  # ClientMessage
            ev.xclient.window = children[i]
            ev.xclient.message_type = x.XInternAtom(dpy, b"WM_PROTOCOLS", 0)
            ev.xclient.format = 32
            ev.xclient.l[0] = x.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
            x.XSendEvent(dpy, children[i], 0, 0, ctypes.byref(ev))
            sent = True
    x.XFlush(dpy)
    x.XCloseDisplay(dpy)
    return sent


def keep_or_remove(work, debug_file=None, tail_lines=40):
    """Removes the scratch folder after a pass; after a failure (or with VELT_E2E_KEEP)
    keeps it, says where, and prints the tail of the program's debugger output."""
    if failures or os.environ.get("VELT_E2E_KEEP"):
        print("kept", work, flush=True)
        if failures and debug_file and os.path.exists(debug_file):
            with open(debug_file, errors="replace") as f:
                tail = f.read().splitlines()[-tail_lines:]
            print(f"--- last {len(tail)} lines of {debug_file} ---", flush=True)
            for line in tail:
                print("    " + line, flush=True)
    else:
        shutil.rmtree(work, ignore_errors=True)
