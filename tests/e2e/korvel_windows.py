#!/usr/bin/env python3
"""The windows of a signed-in korvel, clicked through on a private X display.

- Welcome window: Open… and then Cancel leaves korvel running with the welcome window.
- A file that is no document (plain text named .korvelx) is refused in words; after OK korvel
  stays running with the welcome window.
- Recent documents: a double click on a row opens that row's document, whichever row it is;
  the refused file is not listed.
- Two documents: the Edit menu of one window is validated against and acts on that window's
  editor (Select All, then Delete, edit that document and not the other).
- Revert to Saved: the editor shows the saved document again, so the next edit starts from it.

Usage: korvel_windows.py <korvel executable> <source tree>
"""
import os
import shutil
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from korvel_desktop import Desktop, layers_in  # noqa: E402

desk = Desktop(sys.argv[1], sys.argv[2], "windows")
EXAMPLE = os.path.join(desk.root, "resources/WelcomeWindow/examples/example-landing page.korvelx")
WELCOME = "^Welcome to Korvel$"
# The welcome window's fixed layout (window coordinates): 900 × 600, the recents in the 240-point
# sidebar on the right in 42-point rows, "Open…" on the left half of the bottom bar.
OPEN_BUTTON = (660 + 60, 600 - 16)
RECENT_ROW = lambda row: (900 - 120, 42 * row + 21)  # noqa: E731


def still_running_with_welcome(korvel, what):
    desk.still_running_with(korvel, WELCOME, what)


korvel = desk.start_korvel("korvel")
welcome = desk.wait_window(WELCOME)
desk.log("welcome window")

# --- Open… then Cancel ---
desk.attempt("the open dialog", lambda: desk.click(welcome, *OPEN_BUTTON), lambda: desk.find_window("^Open$"))
desk.keys("Escape")
desk.wait_until(lambda: not desk.find_window("^Open$"), "the open dialog to close", 10)
still_running_with_welcome(korvel, "Open… and Cancel")
desk.log("cancelled the open dialog: korvel runs on with the welcome window")

# --- a file that is no document ---
notes = os.path.join(desk.documents, "Notes.korvelx")
with open(notes, "w") as f:
    f.write("Only some notes, not a project.\n")
desk.hand_file(notes)
korvel.wait_log("Could not open " + notes)
desk.wait_until(lambda: desk.untitled(korvel), "the refusal")
desk.shot("refused")
desk.dismiss_alert(korvel)
still_running_with_welcome(korvel, "refusing a file that is no document")
desk.log("refused the notes: korvel runs on with the welcome window")

# --- recent documents ---
first, second = (os.path.join(desk.documents, n + ".korvelx") for n in ("First", "Second"))
for path in (first, second):
    shutil.copy(EXAMPLE, path)
desk.hand_file(first)
desk.wait_window("^First")
korvel.wait_log("Editor page ready", 1)
desk.hand_file(second)
desk.wait_window("^Second")
korvel.wait_log("Editor page ready", 2)
for name in ("Second", "First"):
    desk.attempt("closing " + name, lambda: (desk.focus_editor(desk.wait_window("^" + name)), desk.keys("ctrl+w")),
                 lambda: not desk.find_window("^" + name), timeout=10)
welcome = desk.wait_window(WELCOME)
desk.log("both closed; the recents list First, Second")
# Newest first: the second row is the document opened first. Notes never opened: not listed.
desk.attempt("opening the second recent row", lambda: desk.click(welcome, *RECENT_ROW(1), repeat=2),
             lambda: desk.find_window("^First"), timeout=15)
if desk.find_window("^Second") or desk.find_window("^Notes"):
    desk.fail("the double click opened another row")
korvel.wait_log("Editor page ready", 3)
desk.log("a double click on the second row opened First")
desk.attempt("closing First", lambda: (desk.focus_editor(desk.wait_window("^First")), desk.keys("ctrl+w")),
             lambda: not desk.find_window("^First"), timeout=10)
welcome = desk.wait_window(WELCOME)
# Now First is the newest: a double click on the second row opens Second.
desk.attempt("opening the second recent row", lambda: desk.click(welcome, *RECENT_ROW(1), repeat=2),
             lambda: desk.find_window("^Second"), timeout=15)
if desk.find_window("^First"):
    desk.fail("the double click opened another row")
korvel.wait_log("Editor page ready", 4)
desk.log("a double click on the second row opened Second")

# --- two documents: each window's Edit menu acts on its own editor ---
desk.hand_file(first)
desk.wait_window("^First")
korvel.wait_log("Editor page ready", 5)
# Without a window manager both windows open at the screen's corner; the one raised is clicked.
# Where the toolkit's theme puts the menu bar's "Edit" and its items (window coordinates):
EDIT_MENU, DELETE_ITEM, SELECT_ALL_ITEM = (121, 63), (162, 214), (162, 239)
FILE_MENU, SAVE_ITEM, REVERT_ITEM = (80, 63), (150, 189), (150, 264)
REVERT_BUTTON = (514, 475)  # the revert question's first button, centred on its window
# Where the canvas draws the example's first layer, "hero", a line of text at (40, 40) in its frame.
CANVAS_X, CANVAS_Y = 259, 117
HERO_TEXT = (CANVAS_X + 40, CANVAS_Y + 40, 400, 64)


def select_all_then_delete_in_second():
    window = desk.wait_window("^Second")
    desk.xdo("windowraise", window)
    # Delete is enabled only once the page has told of the selection: when it came too late, the
    # person tries both again.
    if desk.pick(window, EDIT_MENU, SELECT_ALL_ITEM):
        desk.pick(window, EDIT_MENU, DELETE_ITEM)


desk.attempt("Select All and Delete from Second's Edit menu", select_all_then_delete_in_second,
             lambda: desk.find_window("^Second \u2014 Edited$"))
if desk.find_window("^First \u2014 Edited$"):
    desk.fail("Second's Edit menu edited First")
desk.log("Second's Edit menu acted on Second, with First open beside it")
# The canvas no longer shows the deleted layer: what the wait after the revert below looks for.
desk.wait_until(lambda: desk.ink(desk.wait_window("^Second"), *HERO_TEXT) < 10, "the deleted first layer to go")

# --- Revert to Saved puts the saved document back into the editor ---
second_window = desk.wait_window("^Second")
desk.attempt("Revert to Saved from the File menu", lambda: desk.pick(second_window, FILE_MENU, REVERT_ITEM),
             lambda: desk.untitled(korvel), timeout=15)
desk.attempt("answering the revert question", lambda: desk.click(second_window, *REVERT_BUTTON),
             lambda: not desk.untitled(korvel), timeout=10)
desk.wait_until(lambda: desk.find_window("^Second$"), "the reverted title")
# The title changes at once, the editor shows the saved document once the project server has
# started again: the person waits for the removed layer to come back before editing.
desk.xdo("windowraise", second_window)
desk.wait_until(lambda: desk.ink(second_window, *HERO_TEXT) > 50, "the saved document's first layer on the canvas")
# The same edit again: it removes the first layer of the saved document only when the editor
# shows that document, not the edited one it had before.
desk.attempt("editing the reverted document", select_all_then_delete_in_second,
             lambda: desk.find_window("^Second \u2014 Edited$"))
desk.attempt("Save from the File menu", lambda: desk.pick(second_window, FILE_MENU, SAVE_ITEM),
             lambda: layers_in(second) == ["features", "footer"], timeout=30)
desk.log("after Revert to Saved the editor started again from the saved document:", layers_in(second))

desk.focus_editor(desk.wait_window("^Second"))
desk.keys("ctrl+q")
korvel.wait_exit()
desk.cleanup()
shutil.rmtree(desk.work, ignore_errors=True)
desk.log("PASS")
