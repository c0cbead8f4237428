#!/usr/bin/env python3
"""A document that another tool zipped (no manifest, so no identity of its own), and questions
answered without a button, on a private X display with openbox, as a person meets them.

- Opened, edited until the edit is in its working copy, kill -9, start, opened: the edit is back
  and the title says Edited; the kill left no temporary, and the file has one working copy.
- Another program rewrites the file, then Ctrl+S: the question is answered with Escape, then
  with the window's close: the file stays as the other program wrote it, the window keeps its edits.
- Save As onto another file: "Replace?" answered with Escape, then with the window's close: that
  file stays as it was.
- The file damaged, then Ctrl+S and Revert: the revert fails and the window keeps its edits; Save
  Anyway writes them, and the next start's opening speaks of no unsaved edits.

Usage: korvel_unnamed_zip.py <korvel executable> <source tree>
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from korvel_desktop import Desktop, layers_in, layers_in_working_copy, working_copies  # noqa: E402

desk = Desktop(sys.argv[1], sys.argv[2], "unnamed-zip", window_manager=True)
EXAMPLE = os.path.join(desk.root, "resources/WelcomeWindow/examples/example-landing page.korvelx")
AUTOSAVE = os.path.join(desk.home, ".local/share/Korvel/Autosave Information")
ADD_TEXT = (120, 96)  # the editor page's text tool (window coordinates)
MANIFEST = "_project.korvelxproj"


def zipped_by_zip(path):
    """The example as `zip` makes it from its files: no manifest."""
    unpacked = tempfile.mkdtemp(dir=desk.work)
    with zipfile.ZipFile(EXAMPLE) as z:
        z.extractall(unpacked)
    os.remove(os.path.join(unpacked, MANIFEST))
    subprocess.run(["zip", "-qr", path, "."], cwd=unpacked, check=True)
    shutil.rmtree(unpacked)
    with zipfile.ZipFile(path) as z:
        if MANIFEST in z.namelist():
            desk.fail("the zip holds a manifest")


def start():
    korvel = desk.start_korvel("korvel-%d" % len(desk.logs))
    desk.wait_window("^Welcome to Korvel$", 90)
    return korvel


def temporaries_of(pid):
    """What a process left under the person's documents and korvel's data: names that carry its id."""
    mark = "korvel-%d-" % pid
    found = []
    for top in (desk.documents, os.path.join(desk.home, ".local/share/Korvel"), os.path.join(desk.home, ".cache")):
        for folder, dirs, files in os.walk(top):
            found += [os.path.join(folder, n) for n in dirs + files if mark in n]
    return found


def edit_kill_reopen(document):
    korvel = start()
    window = korvel.open_document(document, "^Zipped")
    before = layers_in_working_copy(AUTOSAVE, document) or 0
    desk.attempt("adding a text layer", lambda: desk.click(window, *ADD_TEXT),
                 lambda: desk.find_window("^Zipped.*Edited"))
    desk.wait_until(lambda: (layers_in_working_copy(AUTOSAVE, document) or 0) > before,
                    "the edit in the working copy", 120)
    killed = korvel.proc.pid
    korvel.kill()

    korvel = start()
    window = korvel.open_document(document, "^Zipped .*Edited")
    desk.log("screenshot of the zipped document reopened after a kill:", desk.shot("zipped-reopened"))
    left = temporaries_of(killed)
    if left:
        desk.fail("the kill left temporaries: %s" % left)
    copies = working_copies(AUTOSAVE).get(os.path.realpath(document), [])
    if len(copies) != 1:
        desk.fail("the zipped document has %d working copies" % len(copies))
    desk.log("a document zipped by zip came back edited after a kill, with one working copy")
    return korvel, window


def press(window, keys, what, done):
    desk.attempt(what, lambda: (desk.xdo("windowactivate", "--sync", window, check=False), desk.keys(keys)), done)


def answer_without_a_button(korvel, keys, name):
    """Once korvel's question is on screen and has the keyboard, the person answers it `keys`."""
    desk.wait_until(lambda: desk.untitled(korvel), "the question on screen")
    question = desk.untitled(korvel)[0]
    desk.wait_until(lambda: desk.xdo("getactivewindow", check=False) == question, "the question to have the keyboard")
    time.sleep(0.5)
    desk.log("screenshot of %s:" % name, desk.shot(name))
    desk.keys(keys)
    desk.wait_until(lambda: not desk.untitled(korvel), "the question to go", 20)


def expect_unchanged(path, content, window, what):
    time.sleep(1)
    with open(path, "rb") as f:
        if f.read() != content:
            desk.fail("%s replaced %s" % (what, os.path.basename(path)))
    if not desk.find_window("^Zipped .*Edited"):
        desk.fail("the window lost its edits at %s" % what)


def changed_on_disk_kept(korvel, window, document):
    theirs = os.path.join(desk.work, "theirs.korvelx")
    zipped_by_zip(theirs)
    shutil.copy(theirs, document)
    with open(document, "rb") as f:
        content = f.read()
    for keys, way in (("Escape", "Escape"), ("alt+F4", "the window's close")):
        press(window, "ctrl+s", "saving", lambda: desk.untitled(korvel))
        answer_without_a_button(korvel, keys, "changed-on-disk-" + keys)
        expect_unchanged(document, content, window, way + " in the changed-on-disk question")
    desk.log("Escape and the window's close left the file another program wrote")


def replace_kept(korvel, window):
    other = os.path.join(desk.documents, "Other.korvelx")
    shutil.copy(EXAMPLE, other)
    with open(other, "rb") as f:
        content = f.read()

    def name_it():
        desk.keys("ctrl+a")
        desk.xdo("type", "--delay", "20", "Other.korvelx")
        desk.keys("Return")

    for keys, way in (("Escape", "Escape"), ("alt+F4", "the window's close")):
        press(window, "ctrl+shift+s", "Save As", lambda: desk.find_window("^Save"))
        desk.attempt("naming the copy", name_it, lambda: not desk.find_window("^Save"), timeout=15)
        answer_without_a_button(korvel, keys, "replace-" + keys)
        expect_unchanged(other, content, window, way + " in the Replace question")
    if layers_in(other) != layers_in(EXAMPLE):
        desk.fail("the other file changed")
    desk.log("Escape and the window's close replaced no file")


def failed_revert_leaves_no_alarm(korvel, window, document):
    with open(document, "wb") as f:
        f.write(b"no zip at all")
    press(window, "ctrl+s", "saving", lambda: desk.untitled(korvel))
    desk.attempt("choosing Revert", lambda: desk.keys("Tab", "space"), lambda: "could not be reverted" in korvel.text(),
                 timeout=30)
    desk.log("screenshot of the failed revert:", desk.shot("revert-failed"))
    desk.dismiss_alert(korvel)
    if not desk.find_window("^Zipped .*Edited"):
        desk.fail("the window lost its edits when the revert failed")
    press(window, "ctrl+s", "saving", lambda: desk.untitled(korvel))
    desk.attempt("choosing Save Anyway", lambda: desk.keys("Tab", "Tab", "space"),
                 lambda: desk.find_window("^Zipped$"), timeout=30)
    if len(layers_in(document) or []) != len(layers_in(EXAMPLE)) + 1:
        desk.fail("the file does not hold the edit after Save Anyway")
    desk.focus_editor(window)
    desk.keys("ctrl+q")
    korvel.wait_exit()

    korvel = start()
    korvel.open_document(document, "^Zipped$")
    desk.still_running_with(korvel, "^Zipped$", "reopening the saved document")
    if "unsaved edits from an earlier session" in korvel.text() or desk.untitled(korvel):
        desk.fail("the next opening spoke of unsaved edits the file holds")
    desk.log("a revert that failed left no alarm; the file holds the edits")
    return korvel


document = os.path.join(desk.documents, "Zipped.korvelx")
zipped_by_zip(document)
korvel, window = edit_kill_reopen(document)
changed_on_disk_kept(korvel, window, document)
replace_kept(korvel, window)
korvel = failed_revert_leaves_no_alarm(korvel, window, document)
korvel.kill()
desk.cleanup()
if not os.environ.get("KORVEL_TEST_SHOTS"):
    shutil.rmtree(desk.work, ignore_errors=True)
desk.log("PASS")
