#!/usr/bin/env python3
"""A Save As to a new name killed with -9, on a private X display with openbox, as a person meets it.

A document of 40 MB gets a text layer and is saved under a new name; korvel is killed as the
save begins, half way through the new file and as the new file lands. After the next start the
person's folder holds the document and, whole, the new file or nothing of it: no hidden folder
or partial file is left. The edit is in the working copy, and the document the working copy
records opens with it.

A document of 5.5 MB whose files would take 5.7 GB is refused with an alert that names both
sizes, and nothing of it is left among the working copies.

Usage: korvel_killed_save_as.py <korvel executable> <source tree>
"""
import base64
import json
import os
import shutil
import signal
import subprocess
import sys
import time
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from korvel_desktop import Desktop, layers_in  # noqa: E402

desk = Desktop(sys.argv[1], sys.argv[2], "killed-save-as", window_manager=True)
EXAMPLE = os.path.join(desk.root, "resources/WelcomeWindow/examples/example-landing page.korvelx")
WELCOME = "^Welcome to Korvel$"
AUTOSAVE = os.path.join(desk.home, ".local/share/Korvel/Autosave Information")
ADD_TEXT = (120, 96)  # the editor page's text tool (window coordinates)
DOCUMENT = os.path.join(desk.documents, "Design1.korvelx")
COPY = os.path.join(desk.documents, "Design1 copy.korvelx")


def large_document():
    """The example with 40 MB of pictures that don't compress."""
    with zipfile.ZipFile(EXAMPLE) as source, zipfile.ZipFile(DOCUMENT, "w") as out:
        items = source.infolist()
        manifest = [item for item in items if item.filename == "_project.korvelxproj"]
        for item in items:
            if item not in manifest:
                out.writestr(item, source.read(item.filename))
        for i in range(10):
            out.writestr("design/images/photo%d.jpg" % i, os.urandom(4 << 20), zipfile.ZIP_STORED)
        for item in manifest:  # last, as korvel writes it
            out.writestr(item, source.read(item.filename))


def kill(korvel):
    os.killpg(korvel.proc.pid, signal.SIGKILL)
    korvel.proc.wait()


def start():
    korvel = desk.start_korvel("korvel-%d" % len(desk.logs))
    desk.wait_window(WELCOME, 90)
    return korvel


def working_copy_layers():
    """The layers of every working copy's design, by folder."""
    found = {}
    for name in os.listdir(AUTOSAVE):
        if not name.startswith("Korvel-") or " unsaved edits " in name:
            continue
        try:
            with open(os.path.join(AUTOSAVE, name, "container/design/document.json")) as f:
                design = json.load(f)
        except (OSError, ValueError):
            continue
        found[name] = sum(len(page.get("layers", [])) for page in design.get("pages", []))
    return found


def written():
    """Bytes of the new file so far: of the partial one beside it, all once it landed, -1 before
    the save began."""
    if os.path.exists(COPY):
        return float("inf")
    prefix = ".%s.korvel-tmp-" % os.path.basename(COPY)
    for name in os.listdir(desk.documents):
        if name.startswith(prefix):
            try:
                return os.path.getsize(os.path.join(desk.documents, name, os.path.basename(COPY)))
            except OSError:
                return 0
    return -1


def records(folder):
    """The document a working copy's origin record names."""
    try:
        with open(os.path.join(AUTOSAVE, folder, "info")) as f:
            return json.loads(base64.b64decode(json.load(f)["bookmarkData"]))["path"]
    except (OSError, ValueError, KeyError, TypeError):
        return None


def kill_save_as_at(what, goal):
    korvel = start()
    ready = korvel.text().count("Editor page ready")
    desk.hand_file(DOCUMENT)
    window = desk.wait_window("^Design1")
    korvel.wait_log("Editor page ready", count=ready + 1)
    original = len(layers_in(DOCUMENT))
    desk.attempt("adding a text layer", lambda: desk.click(window, *ADD_TEXT),
                 lambda: desk.find_window("^Design1.*Edited"))

    def name_it():
        desk.keys("ctrl+a")
        desk.xdo("type", "--delay", "20", os.path.basename(COPY))
        desk.keys("Return")

    desk.attempt("Save As", lambda: (desk.xdo("windowactivate", "--sync", window, check=False),
                                     desk.keys("ctrl+shift+s")),
                 lambda: desk.find_window("^Save"))
    desk.attempt("naming the copy", name_it, lambda: not desk.find_window("^Save"), timeout=15)
    # Polled closely: the whole save takes a fraction of a second.
    deadline = time.monotonic() + 120
    while written() < goal:
        if time.monotonic() > deadline:
            desk.fail("the save never reached its moment (%s)" % what)
        time.sleep(0.0002)
    kill(korvel)
    at = "killed " + what

    korvel = start()
    left = lambda: sorted(n for n in os.listdir(desk.documents) if n not in ("Design1.korvelx", "Design1 copy.korvelx"))
    desk.wait_until(lambda: not left(), "nothing of the killed save in the folder (%s): %s" % (at, left()), 30)
    if os.path.exists(COPY):
        with zipfile.ZipFile(COPY) as z:
            if z.testzip() is not None:
                desk.fail("the new file is damaged (%s)" % at)
        if len(layers_in(COPY)) != original + 1:
            desk.fail("the new file lacks the edit (%s): it holds %d layers, the document %d; the working copies %s"
                      % (at, len(layers_in(COPY)), original, working_copy_layers()))
    if not any(count == original + 1 for count in working_copy_layers().values()):
        desk.fail("the edit is in no working copy (%s): %s" % (at, working_copy_layers()))
    # The file the working copy records opens with the edit: the new one once its record was
    # written, else the document, edited.
    records_copy = any(records(name) == os.path.realpath(COPY) for name in working_copy_layers())
    ready = korvel.text().count("Editor page ready")
    desk.hand_file(COPY if records_copy else DOCUMENT)
    title = "^Design1 copy" if records_copy else "^Design1 .*Edited"
    desk.wait_window(title)
    korvel.wait_log("Editor page ready", count=ready + 1)
    desk.log("%s: %s; screenshot:" % (at, "the new file whole" if os.path.exists(COPY) else "no new file"),
             desk.shot("reopened-" + what.replace(" ", "-")))
    kill(korvel)
    # The next round begins from the document as it was.
    if os.path.exists(COPY):
        os.remove(COPY)
    for name in os.listdir(AUTOSAVE):
        shutil.rmtree(os.path.join(AUTOSAVE, name), ignore_errors=True)


large_document()
# The new file holds the same files as the document, about as large.
whole = os.path.getsize(DOCUMENT)
for what, goal in (("as the save began", 0), ("half way through the new file", whole // 2),
                   ("as the new file landed", float("inf"))):
    kill_save_as_at(what, goal)
desk.log("three Save As killed -9: nothing left in the folder, the new file whole or absent, the edit kept")


def expansion_bomb_refused():
    bomb = os.path.join(desk.documents, "Bomb.korvelx")
    subprocess.check_call([sys.executable, os.path.join(desk.root, "tests/document_container/data/expansion_bomb.py"),
                           bomb, "3", "1900000000"])
    korvel = start()
    desk.hand_file(bomb)
    korvel.wait_log("Alert: “Bomb.korvelx” can't be opened. — The file is 5.5 MB, but its content would take 5.7 GB")
    desk.log("screenshot of the refusal:", desk.shot("bomb-refused"))
    left = [name for name in os.listdir(AUTOSAVE) if name.startswith("Korvel-")]
    if left:
        desk.fail("the refused document left working copies: %s" % left)
    kill(korvel)
    desk.log("the expansion bomb was refused with its sizes, and left nothing")


expansion_bomb_refused()
