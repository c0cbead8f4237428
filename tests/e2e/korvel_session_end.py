#!/usr/bin/env python3
"""The session's end, as a logout or a shutdown ends korvel with SIGTERM, on a private X display.

- A document with a file, edited 2 s before SIGTERM (sent twice, as an impatient session manager
  does): korvel quits with status 0 and the file holds the edit; the next opening shows it, not
  edited.
- An untitled document, edited 2 s before SIGTERM: korvel quits without a question, and its draft
  holds the edit; the next start brings it back, edited.
- An alert on screen, waiting in its own loop: SIGTERM answers it as closing it would, and korvel
  quits.

Usage: korvel_session_end.py <korvel executable> <source tree>
"""
import glob
import json
import os
import shutil
import signal
import sys
import time
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from korvel_desktop import Desktop, layers_in  # noqa: E402

desk = Desktop(sys.argv[1], sys.argv[2], "session-end")
EXAMPLE = os.path.join(desk.root, "resources/WelcomeWindow/examples/example-landing page.korvelx")
WELCOME = "^Welcome to Korvel$"
AUTOSAVE = os.path.join(desk.home, ".local/share/Korvel/Autosave Information")
SAVED = os.path.join(desk.documents, "Landing Page.korvelx")
ADD_TEXT = (120, 96)  # the editor page's text tool (window coordinates)


def texts_in(path):
    try:
        with zipfile.ZipFile(path) as z:
            document = json.loads(z.read("design/document.json"))
    except (OSError, KeyError, ValueError, zipfile.BadZipFile):
        return None
    return [layer.get("text") for page in document.get("pages", []) for layer in page.get("layers", [])]


def end_session(korvel, times):
    """SIGTERM to korvel alone, as the session manager sends it; again while it quits."""
    for i in range(times):
        if korvel.running():
            os.kill(korvel.proc.pid, signal.SIGTERM)
        time.sleep(0.3)
    korvel.wait_exit(120)
    if "The session ends" not in korvel.text():
        desk.fail("korvel did not run the session's end")


# --- a document with a file ---
shutil.copy(EXAMPLE, SAVED)
before = layers_in(SAVED)
korvel = desk.start_korvel("file-1")
desk.wait_window(WELCOME, 90)
window = desk.open_document(korvel, SAVED, "^Landing Page")
desk.attempt("the edit", lambda: (desk.focus_editor(window), desk.keys("ctrl+a", "Delete")),
             lambda: desk.find_window("^Landing Page.*Edited"))
time.sleep(2)
if layers_in(SAVED) != before:
    desk.fail("the file changed before the session's end")
end_session(korvel, 2)
after = layers_in(SAVED)
if after is None or after == before:
    desk.fail("the edit is not in the file: %r" % after)
desk.log("the file holds the edit after SIGTERM:", after)

korvel = desk.start_korvel("file-2")
desk.wait_window(WELCOME, 90)
window = desk.open_document(korvel, SAVED, "^Landing Page")
time.sleep(1)
title = desk.xdo("getwindowname", window)
if "Edited" in title:
    desk.fail("reopened as edited: " + title)
desk.log("reopened with the edit:", title)
desk.focus_editor(window)
desk.keys("ctrl+q")
korvel.wait_exit()

# --- an untitled document ---
drafts = lambda: set(glob.glob(os.path.join(AUTOSAVE, "Untitled*.korvelx")))
earlier = drafts()
korvel = desk.start_korvel("untitled-1")
welcome = desk.wait_window(WELCOME, 90)
time.sleep(1)
desk.attempt("a new document", lambda: (desk.xdo("windowfocus", "--sync", welcome, check=False), desk.keys("ctrl+n")),
             lambda: desk.find_window("^Untitled"))
window = desk.wait_window("^Untitled")
korvel.wait_log("Editor page ready")
time.sleep(1)
desk.attempt("adding a text layer", lambda: desk.click(window, *ADD_TEXT), lambda: desk.find_window("^Untitled.*Edited"))
time.sleep(2)
end_session(korvel, 1)
kept = sorted(drafts() - earlier)
if len(kept) != 1:
    desk.fail("expected the untitled document's draft, found %r" % kept)
if texts_in(kept[0]) != ["Text"]:
    desk.fail("the draft lacks the edit: %r" % texts_in(kept[0]))
desk.log("the draft holds the edit after SIGTERM:", os.path.basename(kept[0]))

korvel = desk.start_korvel("untitled-2")
window = desk.wait_window("^Untitled.*Edited", 90)
korvel.wait_log("Reopened the draft")
desk.log("the untitled document came back:", desk.xdo("getwindowname", window))
korvel.kill()

# --- a question on screen, waiting in its own loop ---
damaged = os.path.join(desk.documents, "Damaged.korvelx")
with open(damaged, "wb") as f:
    f.write(b"PK\x03\x04 not a zip" * 16)
korvel = desk.start_korvel("question", files=(damaged,))
desk.wait_until(lambda: desk.untitled(korvel), "the alert for the damaged file", 90)
end_session(korvel, 1)
desk.log("the session ended with the alert on screen")
desk.cleanup()
shutil.rmtree(desk.work, ignore_errors=True)
desk.log("PASS")
