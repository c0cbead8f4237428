#!/usr/bin/env python3
"""Saves that would replace what korvel has not read, on a private X display with openbox, as a
person meets them.

- Save As from one edited document onto another that is open in a window: an alert names that
  window; both windows keep their edits, both files stay as they were, and each then saves into
  its own file without a question.
- Another program rewrites an open document's file, then Ctrl+S: the person is asked; Revert
  opens the file as it is now and an alert says where the unsaved edits were kept.
- A second korvel (another session of the person's, with its own data) saves another document
  over the file with Save As and Replace, then Ctrl+S in the first: asked, Cancel leaves the
  file as the other korvel wrote it; closing the window asks again, and Save Anyway writes it.

Usage: korvel_save_conflicts.py <korvel executable> <source tree>
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import time
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from korvel_desktop import Desktop, Korvel, layers_in  # noqa: E402

desk = Desktop(sys.argv[1], sys.argv[2], "save-conflicts", window_manager=True)
EXAMPLE = os.path.join(desk.root, "resources/WelcomeWindow/examples/example-landing page.korvelx")
AUTOSAVE = os.path.join(desk.home, ".local/share/Korvel/Autosave Information")
ADD_TEXT = (120, 96)  # the editor page's text tool (window coordinates)
CHANGED = "changed on disk since it was last read or written"


def document(name):
    path = os.path.join(desk.documents, name + ".korvelx")
    shutil.copy(EXAMPLE, path)
    return path


open_document = desk.open_document


def add_text(window, name):
    desk.attempt("adding a text layer to " + name,
                 lambda: (desk.xdo("windowactivate", "--sync", window, check=False), desk.click(window, *ADD_TEXT)),
                 lambda: desk.find_window("^%s .*Edited" % name))


def press(window, keys, what, done, timeout=20):
    desk.attempt(what, lambda: (desk.xdo("windowactivate", "--sync", window, check=False), desk.keys(keys)), done,
                 timeout=timeout)


def alert_up(korvel, name):
    desk.wait_until(lambda: desk.untitled(korvel), "the alert on screen")
    time.sleep(1)
    desk.log("screenshot of %s:" % name, desk.shot(name))


def answer(korvel, tabs, done=None):
    """Answers korvel's alert with the button `tabs` steps after the default one, until `done`
    (by default: until no alert of korvel's is on screen)."""
    done = done or (lambda: not desk.untitled(korvel))

    def act():
        # A person clicks the alert first: the window manager may leave the keyboard with another
        # program's window when an alert comes up.
        alerts = desk.untitled(korvel)
        if alerts:
            desk.xdo("windowactivate", "--sync", alerts[0], check=False)
        desk.keys(*(["Tab"] * tabs), "space" if tabs else "Return")
    desk.attempt("answering the alert", act, done, timeout=30)


def save_as(window, name):
    def name_it():
        desk.keys("ctrl+a")
        desk.xdo("type", "--delay", "20", name + ".korvelx")
        desk.keys("Return")

    press(window, "ctrl+shift+s", "Save As", lambda: desk.find_window("^Save"))
    desk.attempt("naming the copy", name_it, lambda: not desk.find_window("^Save"), timeout=15)


def expect_layers(path, count, what):
    found = layers_in(path)
    if found is None or len(found) != count:
        desk.fail("%s: %s holds %s layers, not %d" % (what, os.path.basename(path), found and len(found), count))


def set_aside_copies():
    return [n for n in os.listdir(AUTOSAVE) if " unsaved edits " in n]


def layers_in_folder(folder):
    with open(os.path.join(folder, "design/document.json")) as f:
        design = json.load(f)
    return sum(len(page.get("layers", [])) for page in design.get("pages", []))


BASE = len(layers_in(EXAMPLE))
sa1, design1 = document("SA1"), document("Design1")
korvel = desk.start_korvel("korvel")
desk.wait_window("^Welcome to Korvel$", 90)


def save_as_onto_open_document():
    w_sa1 = open_document(korvel, sa1, "^SA1")
    add_text(w_sa1, "SA1")
    w_d1 = open_document(korvel, design1, "^Design1")
    add_text(w_d1, "Design1")
    save_as(w_d1, "SA1")
    korvel.wait_log("is open there")
    alert_up(korvel, "save-as-onto-open-document")
    answer(korvel, 0)
    if "Do you want to replace it?" in korvel.text():
        desk.fail("the Save As onto an open document went on")
    for name in ("SA1", "Design1"):
        if not desk.find_window("^%s .*Edited" % name):
            desk.fail("the window of %s lost its edit or its title" % name)
    expect_layers(sa1, BASE, "after the refused Save As")
    expect_layers(design1, BASE, "after the refused Save As")
    # Each saves into its own file, with no question: its own saves are no change by another.
    for window, name, path in ((w_sa1, "SA1", sa1), (w_d1, "Design1", design1)):
        press(window, "ctrl+s", "saving " + name, lambda: desk.find_window("^%s$" % name))
        expect_layers(path, BASE + 1, "after saving " + name)
    if CHANGED in korvel.text() or desk.untitled(korvel):
        desk.fail("korvel's own save was taken for a change on disk")
    press(w_d1, "ctrl+w", "closing Design1", lambda: not desk.find_window("^Design1"))
    desk.log("a Save As onto an open document was refused; both kept their edits and saved into their own files")
    return w_sa1


def another_program_rewrites(w_sa1):
    add_text(w_sa1, "SA1")
    before = set(set_aside_copies())
    # Another program writes the file in place: same inode, a new date and content.
    theirs = os.path.join(desk.work, "theirs.korvelx")
    with zipfile.ZipFile(EXAMPLE) as source, zipfile.ZipFile(theirs, "w") as target:
        for item in source.infolist():
            data = source.read(item.filename)
            if item.filename == "design/document.json":
                design = json.loads(data)
                design["pages"][0]["layers"] = design["pages"][0]["layers"][:1]
                data = json.dumps(design).encode()
            target.writestr(item, data)
    with open(theirs, "rb") as f, open(sa1, "r+b") as out:
        out.write(f.read())
        out.truncate()
    press(w_sa1, "ctrl+s", "saving SA1", lambda: desk.untitled(korvel))
    korvel.wait_log(CHANGED)
    alert_up(korvel, "changed-by-another-program-question")
    answer(korvel, 1, lambda: set(set_aside_copies()) - before)  # Revert
    korvel.wait_log("was changed by another application")
    alert_up(korvel, "changed-by-another-program-edits-kept")
    answer(korvel, 0)
    desk.wait_window("^SA1$")
    expect_layers(sa1, 1, "after Revert")
    copy = os.path.join(AUTOSAVE, (set(set_aside_copies()) - before).pop())
    if layers_in_folder(copy) != BASE + 2:
        desk.fail("the kept copy holds %d layers, not the %d of the unsaved edits" % (layers_in_folder(copy), BASE + 2))
    desk.log("a file another program rewrote was not replaced: the person was asked, the edits kept in", copy)


def second_korvel(name):
    """Another korvel with data of its own (another session of the person's) on this display."""
    home = os.path.join(desk.work, "home2")
    for sub in (".config/Korvel", ".local/share", ".cache"):
        os.makedirs(os.path.join(home, sub), exist_ok=True)
    shutil.copy(os.path.join(desk.home, ".config/Korvel/defaults.json"), os.path.join(home, ".config/Korvel"))
    env = dict(desk.env, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
               XDG_DATA_HOME=os.path.join(home, ".local/share"), XDG_CACHE_HOME=os.path.join(home, ".cache"))
    bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"], stdout=subprocess.PIPE,
                           text=True, start_new_session=True, env=env)
    desk.procs.append(bus)
    env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
    log_path = os.path.join(desk.work, name + ".log")
    desk.logs.append(log_path)
    proc = subprocess.Popen([desk.korvel_path], env=env, stdout=open(log_path, "w"), stderr=subprocess.STDOUT,
                            start_new_session=True, cwd=desk.work)
    desk.procs.append(proc)

    def hand(path):
        if subprocess.run([desk.korvel_path, path], env=env, capture_output=True, timeout=60).returncode != 0:
            desk.fail("handing %s to the second korvel failed" % path)
    return Korvel(desk, proc, log_path), hand


def another_korvel_rewrites(w_sa1):
    other_path = document("Other")
    other, hand = second_korvel("korvel-other")
    desk.wait_until(lambda: desk.xdo("search", "--onlyvisible", "--pid", str(other.proc.pid), check=False),
                    "the other korvel's window", 90)
    w_other = open_document(other, other_path, "^Other", hand)
    add_text(w_other, "Other")
    add_text(w_sa1, "SA1")
    save_as(w_other, "SA1")
    other.wait_log("Do you want to replace it?")
    desk.wait_until(lambda: desk.untitled(other), "the Replace question")
    answer(other, 1, lambda: len(layers_in(sa1) or []) == BASE + 1)  # Replace
    desk.wait_window("^SA1$")
    # Its window goes: the file is all that is left of it.
    os.killpg(other.proc.pid, signal.SIGKILL)
    other.proc.wait()

    press(w_sa1, "ctrl+s", "saving SA1", lambda: desk.untitled(korvel))
    alert_up(korvel, "changed-by-another-korvel-question")
    answer(korvel, 0)  # Cancel
    time.sleep(1)
    expect_layers(sa1, BASE + 1, "after Cancel")
    if not desk.find_window("^SA1 .*Edited"):
        desk.fail("SA1 lost its edits at Cancel")

    press(w_sa1, "ctrl+w", "closing SA1", lambda: desk.untitled(korvel))
    alert_up(korvel, "changed-by-another-korvel-at-close")
    answer(korvel, 2, lambda: not desk.find_window("^SA1"))  # Save Anyway
    expect_layers(sa1, 2, "after Save Anyway")
    desk.log("a file another korvel rewrote was replaced only at the person's word")


w_sa1 = save_as_onto_open_document()
another_program_rewrites(w_sa1)
another_korvel_rewrites(w_sa1)
desk.cleanup()
if not os.environ.get("KORVEL_TEST_SHOTS"):
    shutil.rmtree(desk.work, ignore_errors=True)
desk.log("PASS")
