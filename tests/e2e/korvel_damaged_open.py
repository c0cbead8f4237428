#!/usr/bin/env python3
"""A damaged file chosen in the open panel (Ctrl+O) of a signed-in korvel with two documents open
and a preview shown, under a window manager (openbox):

- the alert stands on the window the person is in, the document window or its preview, and the
  preview stays on the screen;
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


def give_keyboard(window):
    if window == document:
        desk.focus_editor(document)
    else:
        desk.xdo("windowactivate", "--sync", window, check=False)
    desk.wait_until(lambda: active() == window, "the window to have the keyboard", 15)


def open_damaged_from(window, what):
    """Ctrl+O in `window`, the damaged file chosen, its alert answered."""
    give_keyboard(window)
    windows = set(stacking())
    other_under = above(other, windows)
    desk.keys("ctrl+o")
    panel = desk.wait_window("^Open$", 30)
    desk.wait_until(lambda: active() == panel, "the open panel to have the keyboard", 30)
    # Through the panel's own keys, without typing a name: its completion of a typed name may keep
    # memory the leak check counts. Home folder, its first row (Documents), then the first file
    # there (Damaged.korvelx); the panel may still be reading a folder when a key comes.
    found = []

    def alert_up():
        # Untitled windows come and go while the panel works (its pop-ups): the alert comes after it.
        found[:] = [] if desk.find_window("^Open$") else desk.untitled(korvel)[:1]
        return bool(found)

    # A key sent again must not answer the alert: the keys go only while the panel is open.
    desk.attempt("choosing the damaged file",
                 lambda: desk.find_window("^Open$") and desk.keys("alt+Home", "Home", "Return", "Home", "Return"),
                 alert_up, timeout=15)
    alert = found[0]
    desk.shot("damaged-file-alert-over-" + what)
    owner = subprocess.run(["xprop", "-id", alert, "WM_TRANSIENT_FOR"], env=desk.env, capture_output=True,
                           text=True).stdout
    if "0x%x" % int(window) not in owner:
        desk.fail("the alert for the damaged file opened from %s stands on %r, not on it (0x%x)"
                  % (what, owner.strip(), int(window)))
    if preview_window() != preview:
        desk.fail("the preview went off the screen under the alert for the damaged file")
    desk.attempt("answering the alert", lambda: desk.keys("Return"), lambda: not desk.untitled(korvel), timeout=10)

    desk.wait_until(lambda: active() == window, what + " to be active again", 15)
    desk.shot("after-the-alert-over-" + what)
    # Whatever the window manager still does with the focus comes before the stacking is read.
    if desk.within(lambda: active() != window, 2):
        desk.fail("after the alert over %s the active window went to %s" % (what, active()))
    if preview_window() != preview:
        desk.fail("the preview went off the screen after the alert for the damaged file")
    if above(other, windows) != other_under:
        desk.fail("the other document's window was restacked: above it were %r, now %r"
                  % (sorted(other_under), sorted(above(other, windows))))
    desk.log("the damaged file's alert stood on", what, "which is active again; the other document lies as it lay")


for window, what in ((document, "the document window"), (preview, "the preview")):
    open_damaged_from(window, what)
for warning in WARNINGS:
    if warning in korvel.text():
        desk.fail("korvel warned: " + warning)


desk.quit_and_pass(korvel, document)
