#!/usr/bin/env python3
"""korvel's web pages drawn whole on a display without a graphics card, as korvel chooses itself.

Runs without any setting of the web engine's in the environment, on a virtual frame buffer (no
direct rendering): the login page must come up and be drawn on the window's own colour, and the
welcome window, the editor and the preview must each show a picture that is not blank.

Usage: korvel_drawn.py <korvel executable> <source tree>
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from korvel_desktop import Desktop  # noqa: E402

desk = Desktop(sys.argv[1], sys.argv[2], "drawn", signed_in=False)
# korvel decides how its pages are drawn; nothing here decides it for it.
for name in ("WEBKIT_DISABLE_COMPOSITING_MODE", "WEBKIT_DISABLE_DMABUF_RENDERER", "LIBGL_ALWAYS_SOFTWARE"):
    desk.env.pop(name, None)
log, fail, find_window, wait_window, wait_until, attempt, click, keys = (
    desk.log, desk.fail, desk.find_window, desk.wait_window, desk.wait_until, desk.attempt, desk.click, desk.keys)

def whole(pattern, name):
    """A window whose picture is more than a handful of colours: its page is drawn."""
    wait_until(lambda: desk.picture(find_window(pattern), name)[0] > 8, "the page of %r drawn" % pattern, 60)
    log(name, "drawn:", desk.picture(find_window(pattern), name)[0], "colours")


korvel = desk.start_korvel("korvel")
login = wait_window("^Log in$")
# The page reports itself up to the service once its script ran.
wait_until(lambda: desk.standin_counts().get("loginShown", 0) >= 1, "the login page", 90)
whole("^Log in$", "login")
# Where the page is transparent the window's white shows, not black.
wait_until(lambda: desk.picture(find_window("^Log in$"), "login")[1] == ["ffffff", "ffffff"],
           "the login page on the window's white", 30)


attempt("signing in", lambda: desk.sign_in(login), lambda: find_window("^Welcome to Korvel$"), timeout=30)
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
