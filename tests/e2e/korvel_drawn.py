#!/usr/bin/env python3
"""korvel's web pages drawn whole on a display without a graphics card, as korvel chooses itself.

Runs without any setting of the web engine's in the environment, on a virtual frame buffer (no
direct rendering): the login page must come up and be drawn on the window's own colour, and the
welcome window, the editor and the preview must each show a picture that is not blank.

Usage: korvel_drawn.py <korvel executable> <source tree>
"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from korvel_desktop import Desktop  # noqa: E402

desk = Desktop(sys.argv[1], sys.argv[2], "drawn", signed_in=False)
# korvel decides how its pages are drawn; nothing here decides it for it.
for name in ("WEBKIT_DISABLE_COMPOSITING_MODE", "WEBKIT_DISABLE_DMABUF_RENDERER", "LIBGL_ALWAYS_SOFTWARE"):
    desk.env.pop(name, None)
log, fail, find_window, wait_window, wait_until, attempt, click, keys, xdo = (
    desk.log, desk.fail, desk.find_window, desk.wait_window, desk.wait_until, desk.attempt, desk.click, desk.keys,
    desk.xdo)

PICTURE = """
import sys, gi
gi.require_version('Gdk', '3.0')
from gi.repository import Gdk
x, y, w, h = (int(v) for v in sys.argv[2:6])
shot = Gdk.pixbuf_get_from_window(Gdk.get_default_root_window(), x, y, w, h)
shot.savev(sys.argv[1], 'png', [], [])
data, stride, n = shot.get_pixels(), shot.get_rowstride(), shot.get_n_channels()
def at(c, r):
    return bytes(data[r * stride + c * n:r * stride + c * n + 3]).hex()
print(len({bytes(data[r * stride + c * n:r * stride + c * n + 3]) for r in range(h) for c in range(w)}))
print(at(w // 2, h - 8), at(8, h // 2))
"""


def picture(window, name):
    """The number of colours of a picture of `window` and two colours near its edges."""
    if not window:
        return 0, []
    path = os.path.join(desk.work, name + ".png")
    shot = subprocess.run(["/usr/bin/python3", "-c", PICTURE, path, *map(str, desk.geometry(window))], env=desk.env,
                          capture_output=True, text=True)
    lines = shot.stdout.split("\n") if shot.returncode == 0 else []
    return (int(lines[0]), lines[1].split()) if len(lines) > 1 else (0, [])


def whole(pattern, name):
    """A window whose picture is more than a handful of colours: its page is drawn."""
    wait_until(lambda: picture(find_window(pattern), name)[0] > 8, "the page of %r drawn" % pattern, 60)
    log(name, "drawn:", picture(find_window(pattern), name)[0], "colours")


korvel = desk.start_korvel("korvel")
login = wait_window("^Log in$")
# The page reports itself up to the service once its script ran.
wait_until(lambda: desk.standin_counts().get("loginShown", 0) >= 1, "the login page", 90)
whole("^Log in$", "login")
# Where the page is transparent the window's white shows, not black.
wait_until(lambda: picture(find_window("^Log in$"), "login")[1] == ["ffffff", "ffffff"],
           "the login page on the window's white", 30)


def sign_in():
    click(login, 120, 140)
    keys("Tab", "ctrl+a")
    xdo("type", "--delay", "40", "demo-token")
    keys("Return")


attempt("signing in", sign_in, lambda: find_window("^Welcome to Korvel$"), timeout=30)
whole("^Welcome to Korvel$", "welcome")
attempt("opening the example",
        lambda: (shown := find_window("^Welcome to Korvel$")) and click(shown, 160, 144),
        lambda: find_window("Landing Page example"), tries=4, timeout=15)
korvel.wait_log("Editor page ready")
whole("Landing Page example", "editor")
attempt("opening the preview", lambda: click(wait_window("Landing Page example"), 40, 23),
        lambda: find_window(r"\([0-9]+%\)$"), timeout=15)
whole(r"\([0-9]+%\)$", "preview")
keys("ctrl+q")
korvel.wait_exit()
log("all pages drawn")
