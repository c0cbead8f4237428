#!/usr/bin/env python3
"""A person's first two sessions with korvel, end to end, on a private X display.

Signs in on the login page, opens the example from the welcome window, opens its preview and
takes a picture of the preview window (it must not be blank), deletes a layer in the editor, saves
under a new name, quits; starts again, reopens the document from the recent documents, deletes the
next layer, saves, exports its frame as PNG and SVG into a folder, quits. The saved file must hold
exactly the layer that both edits left: the second session saw the first session's edit. The project
server got the sign-in (token and author); a file that is no document, handed to the second session
before anything is open, is refused and korvel stays open with its welcome window.

Usage: korvel_e2e.py <korvel executable> <source tree>
"""
import json
import os
import shutil
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from korvel_desktop import Desktop, layers_in  # noqa: E402

desk = Desktop(sys.argv[1], sys.argv[2], "e2e", signed_in=False)
SAVED = os.path.join(desk.documents, "Landing Page.korvelx")
TRACE = os.path.join(desk.work, "server-trace.jsonl")
desk.env["KORVEL_SERVER_TRACE"] = TRACE
log, fail, xdo, find_window, wait_window, geometry = (desk.log, desk.fail, desk.xdo, desk.find_window,
                                                      desk.wait_window, desk.geometry)
click, keys, wait_until, attempt = desk.click, desk.keys, desk.wait_until, desk.attempt


def preview_window():
    # The preview's title is the previewed frame's name and its zoom: "Hero  (100%)".
    return find_window(r"\([0-9]+%\)$")


def open_preview(editor_pattern):
    """The title bar's Preview button opens the preview beside the document window."""
    window = wait_window(editor_pattern)
    attempt("opening the preview", lambda: click(window, 40, 23), preview_window, timeout=15)
    # The page shows the frame in its device on a dark stage: more than a handful of colours.
    wait_until(lambda: desk.picture(preview_window(), "preview")[0] > 8, "a preview that is not blank", 60)
    log("preview shown:", desk.picture(preview_window(), "preview")[0], "colours")


# Where the welcome page keeps its first example (window coordinates).
EXAMPLE_X, EXAMPLE_Y = 160, 144
# The editor page's "Export…" button and, in the formats it shows (PNG checked), SVG and "Export".
TOOLS_X, EXPORT_Y, SVG_X, SVG_Y, EXPORT_GO_Y = 120, 156, 21, 256, 296
TOOLS_BELOW_BUTTONS = (8, 170, 212, 140)


def png_size(path):
    try:
        with open(path, "rb") as f:
            head = f.read(24)
    except OSError:
        return None
    if len(head) < 24 or head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big")


def export_frame(editor, folder):
    """Exports the document's frame as PNG and SVG through the page's Export command and the folder chooser."""
    # The panel pushes the tools below the buttons down.
    desk.click_until_changed("the export panel", editor, (TOOLS_X, EXPORT_Y), TOOLS_BELOW_BUTTONS)
    click(editor, SVG_X, SVG_Y)
    attempt("the export folder chooser", lambda: click(editor, TOOLS_X, EXPORT_GO_Y),
            lambda: find_window("^Export to Folder"))
    # The chooser starts in the folder that holds the document: choose it, again while a key comes
    # before the chooser takes the keyboard.
    attempt("choosing the export folder", lambda: keys("Return"), lambda: not find_window("^Export to Folder"),
            timeout=10)

    def exported():
        return [name for name in os.listdir(folder) if png_size(os.path.join(folder, name))]

    wait_until(lambda: exported() and any(n.endswith(".svg") for n in os.listdir(folder)), "the exported frame", 60)
    return {name: png_size(os.path.join(folder, name)) for name in exported()}


def edit_and_save(korvel, editor_pattern, count):
    """Selects the first layer, deletes it and saves; the title tells when the edit arrived."""
    korvel.wait_log("Editor page ready", count)

    def delete_first_layer():
        desk.focus_editor(wait_window(editor_pattern))
        keys("ctrl+a", "Delete")

    attempt("the edit", delete_first_layer, lambda: find_window("Edited"))
    keys("ctrl+s")


# --- first session: sign in, open the example, edit, save as, quit ---
log("first start")
first = desk.start_korvel("korvel-1")
login = wait_window("^Log in$")
# The window shows before its page: the person types once the page is up.
wait_until(lambda: desk.standin_counts().get("loginShown", 0) >= 1, "the login page")
attempt("signing in", lambda: desk.sign_in(login), lambda: find_window("^Welcome to Korvel$"), timeout=30)
log("signed in")
welcome = wait_window("^Welcome to Korvel$")
# The page fades in once it has loaded; a click before that is tried again.
attempt("opening the example",
        lambda: (shown := find_window("^Welcome to Korvel$")) and click(shown, EXAMPLE_X, EXAMPLE_Y),
        lambda: find_window("Landing Page example"), tries=4, timeout=15)
log("example opened")


def server_starts():
    try:
        with open(TRACE) as f:
            return [r for r in map(json.loads, f) if r.get("event") == "start"]
    except (OSError, ValueError):
        return []


wait_until(lambda: server_starts(), "the project server")
start = server_starts()[0]
if start["author"] != "Demo Designer" or start["tokenLength"] != len("demo-token") or start["tokenArgument"] != "":
    fail("the project server got no sign-in: %r" % start)
log("the project server got the token and the author")
first.wait_log("Editor page ready", 1)
open_preview("Landing Page example")
edit_and_save(first, "Landing Page example", 1)
wait_window("^Save")


def name_the_copy():
    # A name without folders: the dialog's completion of typed paths can swallow keys.
    keys("ctrl+a")
    xdo("type", "--delay", "20", os.path.basename(SAVED))
    keys("Return")


# Keys that come before the dialog takes the keyboard are lost: the person types the name again.
attempt("naming the copy", name_the_copy, lambda: not find_window("^Save"), timeout=15)
wait_until(lambda: layers_in(SAVED) == ["features", "footer"], "the first save")
log("saved", layers_in(SAVED))
keys("ctrl+q")
first.wait_exit()
log("first session ended")

# --- second session: the recent document opens from the welcome window with the edit in it ---
second = desk.start_korvel("korvel-2")
welcome = wait_window("^Welcome to Korvel$")
_, _, width, _ = geometry(welcome)

# A file that is no document is refused; after OK korvel stays, with its welcome window.
NOTES = os.path.join(desk.work, "Notes.korvelx")
with open(NOTES, "w") as f:
    f.write("Only some notes.\n")
desk.hand_file(NOTES)
second.wait_log("Could not open " + NOTES)
desk.dismiss_alert(second)
desk.still_running_with(second, "^Welcome to Korvel$", "refusing a file")
log("refused the notes and stayed open")


def open_first_recent():
    if find_window("^Welcome to Korvel$"):
        click(welcome, width - 120, 21)  # the first row of the recent documents
        keys("Return")


attempt("reopening the recent document", open_first_recent, lambda: find_window("^Landing Page"))
edit_and_save(second, "^Landing Page", 1)
wait_until(lambda: layers_in(SAVED) == ["footer"], "the second save")
log("saved", layers_in(SAVED))
exported = export_frame(wait_window("^Landing Page"), os.path.dirname(SAVED))
if not all(w > 0 and h > 0 for w, h in exported.values()):
    fail("an exported frame is empty: %r" % exported)
log("exported", exported)

# A document given to a second start goes to the running korvel, which opens it.
OTHER = os.path.join(desk.work, "Second Project.korvelx")
shutil.copy(os.path.join(desk.root, "resources/WelcomeWindow/examples/example-welcome.korvelx"), OTHER)
desk.hand_file(OTHER)
wait_window("Second Project")
second.wait_log("Editor page ready", 2)
log("second document opened in the running korvel")
keys("ctrl+q")
second.wait_exit()
log("second session ended")
desk.cleanup()
shutil.rmtree(desk.work, ignore_errors=True)
log("PASS")
