#!/usr/bin/env python3
"""A new user's first start, as the README's run command makes it, under a window manager.

- korvel starts signed out with a copy of the example given: once signed in the example opens
  in its window and the welcome window stays away; closing the example brings the welcome
  window, with its examples, tutorial and recent documents.
- Keys typed into the editor page's colour field reach it, in order; keys typed where nothing on
  the page takes them go nowhere: the image chooser opened afterwards has an empty search. The
  menu's shortcut for the welcome window still works from the document window.

What is in the page's field and the chooser's search is read through the desktop's
accessibility bus, as a screen reader reads it.

Usage: korvel_keys.py <korvel executable> <source tree>
"""
import json
import os
import shutil
import signal
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from korvel_desktop import Desktop  # noqa: E402

desk = Desktop(sys.argv[1], sys.argv[2], "keys", signed_in=False, window_manager=True)
# korvel answers the accessibility bus, which the session bus starts when asked.
desk.env.pop("NO_AT_BRIDGE", None)
log, fail, find_window, wait_window, wait_until, attempt, click, keys, xdo = (
    desk.log, desk.fail, desk.find_window, desk.wait_window, desk.wait_until, desk.attempt, desk.click, desk.keys,
    desk.xdo)
EXAMPLE = os.path.join(desk.root, "resources/WelcomeWindow/examples/example-landing page.korvelx")
WELCOME = "^Welcome to Korvel$"
# Where the editor page keeps its picture and colour tools (window coordinates): below the
# toolbar's buttons, "Choose Image…", the colour field, "Sample Colour".
CHOOSE_IMAGE, COLOUR_FIELD = (120, 221), (120, 249)
CANVAS_EMPTY = (700, 700)  # the canvas below the frame, where nothing is
COLOUR = "#e63946"

# What the accessibility bus shows of a process, as JSON: each of its windows with its title,
# whether it is the active one, and its text fields (the text, whether it has the keyboard).
ACCESSIBLE = """
import json, sys, gi
gi.require_version('Atspi', '2.0')
from gi.repository import Atspi
def fields(node, depth, out):
    if node is None or depth > 80:
        return out
    try:
        # The toolkit's entries are "text", the page's fields "entry".
        if node.get_role_name() in ('text', 'entry') and 'Text' in node.get_interfaces():
            out.append({'text': Atspi.Text.get_text(node, 0, Atspi.Text.get_character_count(node)),
                        'focused': node.get_state_set().contains(Atspi.StateType.FOCUSED)})
        for i in range(node.get_child_count()):
            fields(node.get_child_at_index(i), depth + 1, out)
    except Exception:
        pass
    return out
windows = []
desktop = Atspi.get_desktop(0)
for i in range(desktop.get_child_count()):
    app = desktop.get_child_at_index(i)
    if app is None or app.get_process_id() != int(sys.argv[1]):
        continue
    for j in range(app.get_child_count()):
        window = app.get_child_at_index(j)
        windows.append({'title': window.get_name(), 'fields': fields(window, 0, []),
                        'active': window.get_state_set().contains(Atspi.StateType.ACTIVE)})
print(json.dumps(windows))
"""


def windows(korvel):
    out = subprocess.run(["/usr/bin/python3", "-c", ACCESSIBLE, str(korvel.proc.pid)],
                         env=dict(desk.env, DBUS_SESSION_BUS_ADDRESS=desk.bus), capture_output=True, text=True,
                         timeout=60)
    try:
        return json.loads(out.stdout)
    except ValueError:
        return []


def focused_text(korvel):
    texts = [f["text"] for w in windows(korvel) for f in w["fields"] if f["focused"]]
    return texts[0] if texts else None


def chooser(korvel):
    """The image chooser, once it is the active window."""
    return next((w for w in windows(korvel) if w["title"] == "Open" and w["active"]), None)


def strays(korvel):
    """What the chooser's fields hold: the person typed nothing into them."""
    shown = chooser(korvel)
    return [f["text"] for f in shown["fields"] if f["text"]] if shown else []


# --- the first start: signed out, with the example given, as the run command starts korvel ---
copy = os.path.join(desk.documents, "Landing Page.korvelx")
shutil.copy(EXAMPLE, copy)
korvel = desk.start_korvel("first", files=[copy])
login = wait_window("^Log in$")
wait_until(lambda: desk.standin_counts().get("loginShown", 0) >= 1, "the login page")
attempt("signing in", lambda: desk.sign_in(login), lambda: find_window("^Landing Page"), timeout=30)
window = wait_window("^Landing Page")
korvel.wait_log("Editor page ready")
log("screenshot after signing in:", desk.shot("signed-in"))
if find_window(WELCOME):
    fail("the welcome window came up beside the example")
log("signed in: the example opened in its window, the welcome window stayed away")

# Closing the example's window: the welcome window comes, its page drawn.
attempt("closing the example", lambda: (xdo("windowactivate", "--sync", window, check=False), keys("ctrl+w")),
        lambda: find_window(WELCOME), timeout=15)
wait_until(lambda: desk.picture(find_window(WELCOME), "welcome")[0] > 8, "the welcome page drawn")
log("screenshot of the welcome window:", desk.shot("welcome"))
log("closing the example brought the welcome window")

# --- typing into the page's colour field ---
desk.hand_file(copy)
window = wait_window("^Landing Page")
korvel.wait_log("Editor page ready", 2)


def type_colour():
    click(window, *COLOUR_FIELD)
    desk.within(lambda: focused_text(korvel) is not None, 10)
    # Whatever an earlier try left in the field goes first.
    keys("End", "shift+Home", "BackSpace")
    xdo("type", "--delay", "60", COLOUR)


attempt("typing the colour", type_colour, lambda: focused_text(korvel) == COLOUR, timeout=15)
log("screenshot of the typed colour:", desk.shot("typed-colour"))
log("the colour field holds", repr(focused_text(korvel)))
# Letters typed over the canvas, where nothing on the page takes them.
click(window, *CANVAS_EMPTY)
xdo("type", "--delay", "60", "abc")

# --- the image chooser opened afterwards: its search is empty ---
attempt("the image chooser", lambda: click(window, *CHOOSE_IMAGE), lambda: find_window("^Open$"), timeout=15)
wait_window("^Open$")
# The chooser takes the keyboard once it is up; a key held back for it would show in its search.
wait_until(lambda: chooser(korvel), "the chooser to take the keyboard")
log("screenshot of the image chooser:", desk.shot("chooser"))
if desk.within(lambda: strays(korvel), 5):
    fail("typed keys turned up in the chooser: %r" % strays(korvel))
log("the image chooser's search is empty")
keys("Escape")
wait_until(lambda: not find_window("^Open$"), "the chooser to close")
# The welcome window comes from the keyboard too, beside the document.
attempt("the welcome window from the keyboard",
        lambda: (xdo("windowactivate", "--sync", window, check=False), keys("ctrl+shift+1")),
        lambda: find_window(WELCOME), timeout=15)
log("Ctrl+Shift+1 brought the welcome window")
os.killpg(korvel.proc.pid, signal.SIGKILL)
korvel.proc.wait()
desk.cleanup()
shutil.rmtree(desk.work, ignore_errors=True)
log("PASS")
