#!/usr/bin/env python3
"""A damaged file chosen in the open panel (Ctrl+O) of a signed-in korvel with two documents open
and a preview shown, under a window manager (openbox):

- the alert stands on the window the person is in, and the preview stays on the screen;
- once the alert is answered, the window the person was in is still the active one and the other
  document's window lies where it lay among the others;
- nothing warns of an event for a widget not yet realised, nor of a cast of a window.

Usage: korvel_damaged_open.py <korvel executable> <source tree>
"""
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from korvel_desktop import Desktop  # noqa: E402

desk = Desktop(sys.argv[1], sys.argv[2], "damaged-open", window_manager=True)
EXAMPLE = os.path.join(desk.root, "resources/WelcomeWindow/examples/example-landing page.korvelx")
# The document window's title-bar button that opens the preview (window coordinates).
PREVIEW_BUTTON = (40, 23)
WARNINGS = ("WIDGET_REALIZED_FOR_EVENT", "invalid cast")


def preview_window():
    # The preview's title is the previewed frame's name and its zoom: "Hero  (100%)".
    return desk.find_window(r"\([0-9]+%\)$")


def stacking():
    """The managed windows, bottom first."""
    out = subprocess.run(["xprop", "-root", "_NET_CLIENT_LIST_STACKING"], env=desk.env, capture_output=True,
                         text=True).stdout
    return [str(int(w.strip(), 16)) for w in out.partition("#")[2].split(",") if w.strip()]


def above(window, among):
    order = [w for w in stacking() if w in among]
    return set(order[order.index(window) + 1:]) if window in order else None


def active():
    return desk.xdo("getactivewindow", check=False)


korvel = desk.start_korvel("korvel")
desk.wait_window("^Welcome to Korvel$")
for name in ("Other", "Screens"):
    path = os.path.join(desk.documents, name + ".korvelx")
    shutil.copy(EXAMPLE, path)
    desk.hand_file(path)
    desk.wait_window("^" + name)
other, document = desk.find_window("^Other"), desk.find_window("^Screens")
korvel.wait_log("Editor page ready", 2)
desk.attempt("opening the preview", lambda: desk.click(document, *PREVIEW_BUTTON), preview_window, timeout=15)
desk.wait_until(lambda: desk.picture(preview_window(), "preview")[0] > 8, "a preview that is not blank", 60)
preview = preview_window()

damaged = os.path.join(desk.documents, "Damaged.korvelx")
with open(EXAMPLE, "rb") as whole, open(damaged, "wb") as half:
    content = whole.read()
    half.write(content[:len(content) // 2])

desk.focus_editor(document)
desk.wait_until(lambda: active() in (document, preview), "the document window or its preview to be active")
was_active = active()
windows = set(stacking())
other_under = above(other, windows)
desk.shot("before-the-open-panel")

desk.keys("ctrl+o")
panel = desk.wait_window("^Open$", 30)
desk.wait_until(lambda: active() == panel, "the open panel to have the keyboard", 30)
# Through the panel's own keys, without typing a name: its completion of a typed name may keep
# memory the leak check counts, and its location field (Ctrl+L), opened over the recent files,
# sends keys to a widget of its own not yet realised. Home folder, its first row (Documents), then
# the first file there (Damaged.korvelx); the panel may still be reading a folder when a key comes.
desk.attempt("choosing the damaged file", lambda: desk.keys("alt+Home", "Home", "Return", "Home", "Return"),
             lambda: desk.untitled(korvel), timeout=15)
alert = desk.untitled(korvel)[0]
desk.shot("damaged-file-alert")
owner = subprocess.run(["xprop", "-id", alert, "WM_TRANSIENT_FOR"], env=desk.env, capture_output=True,
                       text=True).stdout
if "0x%x" % int(was_active) not in owner:
    desk.fail("the alert for the damaged file stands on %r, not on the active window 0x%x" % (owner.strip(),
                                                                                             int(was_active)))
if preview_window() != preview:
    desk.fail("the preview went off the screen under the alert for the damaged file")
desk.attempt("answering the alert", lambda: desk.keys("Return"), lambda: not desk.untitled(korvel), timeout=10)

desk.wait_until(lambda: active() == was_active, "the window the person was in to be active again", 15)
desk.shot("after-the-alert")
# Whatever the window manager still does with the focus comes before the stacking is read.
if desk.within(lambda: active() != was_active, 2):
    desk.fail("after the alert the active window went from %s to %s" % (was_active, active()))
if preview_window() != preview:
    desk.fail("the preview went off the screen after the alert for the damaged file")
if above(other, windows) != other_under:
    desk.fail("the other document's window was restacked: above it were %r, now %r"
              % (sorted(other_under), sorted(above(other, windows))))
for warning in WARNINGS:
    if warning in korvel.text():
        desk.fail("korvel warned: " + warning)
desk.log("the damaged file's alert stood on", was_active, "which is active again; the other document lies as it lay")

desk.focus_editor(document)
desk.keys("ctrl+q")
korvel.wait_exit()
desk.cleanup()
if not os.environ.get("KORVEL_TEST_SHOTS"):
    shutil.rmtree(desk.work, ignore_errors=True)
desk.log("PASS")
