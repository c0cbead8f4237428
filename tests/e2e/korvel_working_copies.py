#!/usr/bin/env python3
"""Unsaved edits after a kill, on a private X display with openbox, as a person meets them.

- Save As, an edit, kill -9, start, reopen the new file: the edit is back and the title says
  Edited; the original opens as it was saved, into the same working copy at every opening.
- One file saved as two others, one after the other, then an edit and kill -9: at every opening
  after, the file comes back edited from its one working copy.
- Save As over another document whose edits never reached its file ("Replace"): an alert says
  where its edits were kept.
- Revert to Saved, an edit, kill -9, start, reopen: the same.
- A document whose drive is away at a start: its edits are kept aside, and its next opening
  tells the person where.
- After these rounds there is one working-copy folder per document.

Usage: korvel_working_copies.py <korvel executable> <source tree>
"""
import json
import os
import shutil
import signal
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from korvel_desktop import Desktop, layers_in_working_copy, working_copies  # noqa: E402

desk = Desktop(sys.argv[1], sys.argv[2], "working-copies", window_manager=True)
EXAMPLE = os.path.join(desk.root, "resources/WelcomeWindow/examples/example-landing page.korvelx")
WELCOME = "^Welcome to Korvel$"
AUTOSAVE = os.path.join(desk.home, ".local/share/Korvel/Autosave Information")
ADD_TEXT = (120, 96)  # the editor page's text tool (window coordinates)
FILE_MENU, REVERT_ITEM = (80, 63), (150, 264)  # where the toolkit's theme puts them


def kill(korvel):
    os.killpg(korvel.proc.pid, signal.SIGKILL)
    korvel.proc.wait()


open_document = desk.open_document


def add_text_then_wait_for_working_copy(window, document, name):
    before = layers_in_working_copy(AUTOSAVE, document)
    desk.attempt("adding a text layer to " + name, lambda: desk.click(window, *ADD_TEXT),
                 lambda: desk.find_window("^%s.*Edited" % name))
    # The working copy takes the editor's design at its next backup pass, within a minute.
    desk.wait_until(lambda: (layers_in_working_copy(AUTOSAVE, document) or 0) > (before or 0),
                    "the edit in the working copy of " + name, 120)


def start():
    korvel = desk.start_korvel("korvel-%d" % len(desk.logs))
    desk.wait_window(WELCOME, 90)
    return korvel


def save_as(window, copy, replace=None):
    """Save As from the document in `window` to `copy`, beside it; the window of the copy. An
    existing `copy` is replaced once `replace`, given korvel, has answered that question."""
    def name_it():
        desk.keys("ctrl+a")
        desk.xdo("type", "--delay", "20", os.path.basename(copy))
        desk.keys("Return")

    desk.attempt("Save As", lambda: (desk.xdo("windowactivate", "--sync", window, check=False),
                                     desk.keys("ctrl+shift+s")),
                 lambda: desk.find_window("^Save"))
    desk.attempt("naming the copy", name_it, lambda: not desk.find_window("^Save"), timeout=15)
    if replace:
        replace()
    window = desk.wait_window("^" + os.path.splitext(os.path.basename(copy))[0])
    desk.wait_until(lambda: os.path.exists(copy), "the saved copy")
    return window


def edit_kill_then_reopen_edited(korvel, window, document, name, beside=None):
    """An edit that reaches the working copy, a kill, then two starts at which the document opens
    edited (and `beside`, a document and its title, opens as saved after it)."""
    add_text_then_wait_for_working_copy(window, document, name)
    kill(korvel)
    for round in range(2):
        korvel = start()
        open_document(korvel, document, "^%s .*Edited" % name)
        desk.log("screenshot of %s reopened after a kill:" % name, desk.shot("%s-reopened-%d" % (name, round)))
        if beside:
            open_document(korvel, *beside)
            desk.log("screenshot of the original beside it:", desk.shot("original-reopened-%d" % round))
        kill(korvel)


def save_as_edit_kill_reopen():
    spring = os.path.join(desk.documents, "Spring Sale.korvelx")
    copy = os.path.join(desk.documents, "Spring Sale v2.korvelx")
    shutil.copy(EXAMPLE, spring)
    korvel = start()
    window = open_document(korvel, spring, "^Spring Sale")
    window = save_as(window, copy)
    edit_kill_then_reopen_edited(korvel, window, copy, "Spring Sale v2", (spring, "^Spring Sale$"))
    desk.log("after Save As, an edit and a kill, the copy came back edited; the original as saved")


def save_as_twice_edit_kill_reopen():
    alpha = os.path.join(desk.documents, "Alpha.korvelx")
    shutil.copy(EXAMPLE, alpha)
    for other in ("Bravo", "Charlie"):
        korvel = start()
        window = open_document(korvel, alpha, "^Alpha")
        save_as(window, os.path.join(desk.documents, other + ".korvelx"))
        kill(korvel)

    korvel = start()
    window = open_document(korvel, alpha, "^Alpha$")
    edit_kill_then_reopen_edited(korvel, window, alpha, "Alpha")
    desk.log("a file saved as two others came back edited after an edit and a kill")


def replace_document_with_unsaved_edits():
    target = os.path.join(desk.documents, "Target.korvelx")
    mine = os.path.join(desk.documents, "Mine.korvelx")
    shutil.copy(EXAMPLE, target)
    shutil.copy(EXAMPLE, mine)
    korvel = start()
    window = open_document(korvel, target, "^Target")
    add_text_then_wait_for_working_copy(window, target, "Target")
    kill(korvel)

    korvel = start()
    window = open_document(korvel, mine, "^Mine")

    def replace():
        korvel.wait_log("already exists. Do you want to replace it?")
        desk.wait_until(lambda: desk.untitled(korvel), "the question on screen")
        time.sleep(0.5)
        desk.log("screenshot of the question:", desk.shot("replace-question"))
        # "Cancel" is the default; "Replace" is the button after it.
        desk.attempt("choosing Replace", lambda: desk.keys("Tab", "space"),
                     lambda: "that you replaced had unsaved edits" in korvel.text(), timeout=30)

    save_as(window, target, replace)
    desk.wait_until(lambda: desk.untitled(korvel), "the alert on screen")
    time.sleep(1)
    desk.log("screenshot of the alert after replacing:", desk.shot("replaced-edits-alert"))
    desk.dismiss_alert(korvel)
    kill(korvel)
    aside = [n for n in os.listdir(AUTOSAVE) if " unsaved edits " in n]
    desk.log("copies of unsaved edits kept:", aside)
    desk.log("replacing a document with unsaved edits said where they were kept")


def revert_edit_kill_reopen():
    document = os.path.join(desk.documents, "Revert Me.korvelx")
    shutil.copy(EXAMPLE, document)
    korvel = start()
    window = open_document(korvel, document, "^Revert Me")
    desk.attempt("adding a text layer", lambda: desk.click(window, *ADD_TEXT),
                 lambda: desk.find_window("^Revert Me.*Edited"))
    desk.attempt("Revert to Saved from the File menu", lambda: desk.pick(window, FILE_MENU, REVERT_ITEM),
                 lambda: desk.untitled(korvel))
    desk.log("screenshot of the revert question:", desk.shot("revert-question"))
    ready = korvel.text().count("Editor page ready")
    desk.dismiss_alert(korvel)
    desk.wait_window("^Revert Me$")
    korvel.wait_log("Editor page ready", count=ready + 1)
    time.sleep(1)
    add_text_then_wait_for_working_copy(window, document, "Revert Me")
    kill(korvel)

    korvel = start()
    open_document(korvel, document, "^Revert Me .*Edited")
    desk.log("screenshot of the reverted document reopened after a kill:", desk.shot("revert-reopened"))
    kill(korvel)
    desk.log("after Revert to Saved, an edit and a kill, the document came back edited")


def away_at_start_then_told():
    drive = os.path.join(desk.home, "Drive")
    os.makedirs(drive)
    document = os.path.join(drive, "Away.korvelx")
    shutil.copy(EXAMPLE, document)
    korvel = start()
    window = open_document(korvel, document, "^Away")
    add_text_then_wait_for_working_copy(window, document, "Away")
    kill(korvel)

    unmounted = drive + "-unmounted"
    os.rename(drive, unmounted)
    korvel = start()
    korvel.wait_log("Unsaved edits of a document that is away were kept in")
    kill(korvel)
    os.rename(unmounted, drive)

    korvel = start()
    open_document(korvel, document, "^Away")
    korvel.wait_log("has unsaved edits from an earlier session")
    desk.wait_until(lambda: desk.untitled(korvel), "the alert on screen")
    time.sleep(1)
    desk.log("screenshot of the alert at the next opening:", desk.shot("set-aside-alert"))
    desk.dismiss_alert(korvel)
    if not desk.find_window("^Away$"):
        desk.fail("the document did not open as saved")
    kill(korvel)
    desk.log("edits kept aside while the document was away were announced at its next opening")


save_as_edit_kill_reopen()
save_as_twice_edit_kill_reopen()
replace_document_with_unsaved_edits()
revert_edit_kill_reopen()
away_at_start_then_told()

copies = working_copies(AUTOSAVE)
desk.log("working copies by document:", json.dumps(copies, indent=1))
for name in ("Spring Sale.korvelx", "Spring Sale v2.korvelx", "Alpha.korvelx", "Bravo.korvelx", "Charlie.korvelx",
             "Target.korvelx", "Revert Me.korvelx"):
    path = os.path.realpath(os.path.join(desk.documents, name))
    if len(copies.get(path, [])) != 1:
        desk.fail("%s has %d working copies" % (name, len(copies.get(path, []))))
if sum(len(v) for v in copies.values()) != 8:
    desk.fail("expected 8 working copies, one per document (Mine's went to Target with its Save As)")
desk.cleanup()
shutil.rmtree(desk.work, ignore_errors=True)
desk.log("PASS")
