#!/usr/bin/env python3
"""What a person meets after a crash and where korvel may not write, on a private X display.

- A document saved and then killed reopens with no alert and nothing set aside, even though
  its working copy never recorded the save.
- An untitled document's draft, kept by an autosave before a kill, comes back at the next start
  as an edited untitled document with its edit in it; a working copy of no document and no
  draft is removed, and so is the folder a confined tool of the killed korvel left.
- An untitled document saved under a name after its draft was autosaved doesn't come back as a
  second, untitled window at the next start.
- A double click on a text layer lets the person type into it; the edit is saved.
- In a folder the person can't write to, saving shows "You don't have permission to save in
  “folder”." and an export into it says why it stopped.

Usage: korvel_recovery.py <korvel executable> <source tree>
"""
import glob
import json
import os
import shutil
import signal
import stat
import sys
import time
import uuid
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from korvel_desktop import Desktop, layers_in  # noqa: E402

desk = Desktop(sys.argv[1], sys.argv[2], "recovery")
EXAMPLE = os.path.join(desk.root, "resources/WelcomeWindow/examples/example-landing page.korvelx")
WELCOME = "^Welcome to Korvel$"
AUTOSAVE = os.path.join(desk.home, ".local/share/Korvel/Autosave Information")
# Where the editor page puts things (window coordinates, below the title and menu bars): the
# tools on the left, their buttons in rows, the first frame's layers to the right of the tools.
ADD_TEXT = (120, 96)
EXPORT_BUTTON, EXPORT_SVG, EXPORT_GO = (120, 156), (21, 256), (120, 296)
TOOLS_BELOW_BUTTONS = (8, 170, 212, 140)  # what the export panel pushes down when it opens
CANVAS_X, CANVAS_Y = 259, 117  # where the first frame's layers are measured from


def texts_in(path):
    try:
        with zipfile.ZipFile(path) as z:
            document = json.loads(z.read("design/document.json"))
    except (OSError, KeyError, ValueError, zipfile.BadZipFile):
        return None
    return [layer.get("text") for page in document.get("pages", []) for layer in page.get("layers", [])]


def focus_editor(window):
    desk.xdo("windowraise", window)
    desk.xdo("windowfocus", "--sync", window, check=False)
    time.sleep(0.3)
    _, _, width, height = desk.geometry(window)
    desk.click(window, width // 2, height - 40)
    time.sleep(0.5)


def kill(korvel):
    os.killpg(korvel.proc.pid, signal.SIGKILL)
    korvel.proc.wait()


def unprivileged_korvel():
    """A korvel that the folders' permissions bind even when the tests run as the superuser."""
    if os.geteuid() != 0:
        return desk.korvel_path
    wrapper = os.path.join(desk.work, "korvel-unprivileged")
    with open(wrapper, "w") as f:
        f.write('#!/bin/sh\nexec setpriv --bounding-set -dac_override,-dac_read_search -- "%s" "$@"\n'
                % desk.korvel_path)
    os.chmod(wrapper, 0o755)
    return wrapper


def kill_after_save_then_reopen():
    """A save that landed before the working copy recorded it: no alert, nothing set aside."""
    saved = os.path.join(desk.documents, "Landing Page.korvelx")
    shutil.copy(EXAMPLE, saved)
    korvel = desk.start_korvel("kill-after-save-1")
    desk.wait_window(WELCOME)
    desk.hand_file(saved)
    window = desk.wait_window("^Landing Page")
    korvel.wait_log("Editor page ready")
    # What the working copy knows of its file before the save.
    infos = glob.glob(os.path.join(AUTOSAVE, "Korvel-*", "info"))
    if len(infos) != 1:
        desk.fail("expected one working copy, found %r" % infos)
    with open(infos[0], "rb") as f:
        before = f.read()
    desk.attempt("the edit", lambda: (focus_editor(window), desk.keys("ctrl+a", "Delete")),
                 lambda: desk.find_window("Edited"))
    desk.keys("ctrl+s")
    desk.wait_until(lambda: layers_in(saved) == ["features", "footer"], "the save")
    kill(korvel)
    # The kill fell between the save and the working copy's record of it: the record is the one
    # from before the save, the file holds what the working copy holds.
    with open(infos[0], "wb") as f:
        f.write(before)
    korvel = desk.start_korvel("kill-after-save-2")
    desk.wait_window(WELCOME)
    desk.hand_file(saved)
    desk.wait_window("^Landing Page")
    korvel.wait_log("Editor page ready")
    time.sleep(2)
    desk.log("screenshot after reopening:", desk.shot("reopened-after-kill"))
    if "Alert:" in korvel.text():
        desk.fail("an alert came up after reopening: " +
                  [line for line in korvel.text().splitlines() if "Alert:" in line][0])
    aside = [n for n in os.listdir(AUTOSAVE) if " unsaved edits " in n]
    if aside:
        desk.fail("a copy was set aside: %r" % aside)
    logs = "".join(open(p, errors="replace").read() for p in glob.glob(os.path.join(AUTOSAVE, "Korvel-*/container.log")))
    if "nothing to keep aside" not in logs:
        desk.fail("the working copy was not compared with the file")
    desk.log("reopened after a kill that followed a save: no alert, nothing set aside")
    kill(korvel)


def crashed_untitled_draft_comes_back():
    korvel = desk.start_korvel("draft-1")
    welcome = desk.wait_window(WELCOME)
    time.sleep(1)
    desk.attempt("a new document", lambda: (desk.xdo("windowfocus", "--sync", welcome, check=False),
                                            desk.keys("ctrl+n")),
                 lambda: desk.find_window("^Untitled"))
    window = desk.wait_window("^Untitled")
    korvel.wait_log("Editor page ready")
    time.sleep(1)
    desk.attempt("adding a text layer", lambda: desk.click(window, *ADD_TEXT),
                 lambda: desk.find_window("^Untitled.*Edited"))
    # The periodic autosave keeps a draft of the untitled document.
    desk.wait_until(lambda: glob.glob(os.path.join(AUTOSAVE, "Untitled*.korvelx")), "the draft", 120)
    draft = glob.glob(os.path.join(AUTOSAVE, "Untitled*.korvelx"))[0]
    desk.wait_until(lambda: texts_in(draft) == ["Text"], "the edit in the draft", 30)
    killed = korvel.proc.pid
    kill(korvel)
    # A working copy of an untitled document that never kept a draft: nothing refers to it.
    orphan = os.path.join(AUTOSAVE, "Korvel-" + str(uuid.uuid4()).upper())
    os.makedirs(os.path.join(orphan, "container", "design"))
    # What a confined tool of the killed korvel left, beside a live process's folder and a link
    # (named as a leftover) to a folder of the person's.
    tmp = os.path.join(desk.work, "tmp")
    theirs = os.path.join(desk.work, "theirs")
    os.makedirs(tmp)
    os.makedirs(theirs)
    leftover = os.path.join(tmp, "korvel-tool-%d-Ab12Cd" % killed)
    live = os.path.join(tmp, "korvel-tool-%d-Cd34Ef" % os.getpid())
    for folder in (leftover, live):
        os.makedirs(folder)
        with open(os.path.join(folder, "page.png"), "wb") as f:
            f.write(b"\0" * 100000)
    with open(os.path.join(theirs, "keep"), "w") as f:
        f.write("keep")
    link = os.path.join(tmp, "korvel-tool-%d-Link12" % killed)
    os.symlink(theirs, link)
    korvel = desk.start_korvel("draft-2", {"TMPDIR": tmp})
    window = desk.wait_window("^Untitled.*Edited", 90)
    korvel.wait_log("Reopened the draft")
    time.sleep(2)
    desk.log("screenshot of the draft brought back:", desk.shot("draft-back"))
    if desk.find_window(WELCOME):
        desk.fail("the welcome window came up over the draft")
    desk.log("the untitled draft came back edited:", desk.xdo("getwindowname", window))
    desk.wait_until(lambda: not os.path.exists(leftover), "the killed korvel's tool folder swept", 30)
    if not os.path.exists(os.path.join(live, "page.png")) or not os.path.islink(link) \
            or not os.path.exists(os.path.join(theirs, "keep")):
        desk.fail("the sweep took a folder of a live process's or went through a link")
    desk.log("the folder a killed korvel's tool left was swept; a live one and a link were not")
    kill(korvel)
    left = [n for n in os.listdir(AUTOSAVE) if n.startswith("Korvel-") and " unsaved edits " not in n]
    desk.log("working copies left:", len(left))
    if os.path.exists(orphan):
        desk.fail("a working copy of no document and no draft stayed")


def saved_draft_stays_saved():
    """An untitled document autosaved as a draft and then saved under a name: the next start
    brings no second window back."""
    drafts = lambda: set(glob.glob(os.path.join(AUTOSAVE, "Untitled*.korvelx")))
    earlier = drafts()
    saved = os.path.join(desk.documents, "Named Draft.korvelx")
    korvel = desk.start_korvel("saved-draft-1")
    welcome = desk.wait_window(WELCOME)
    time.sleep(1)
    desk.attempt("a new document", lambda: (desk.xdo("windowfocus", "--sync", welcome, check=False),
                                            desk.keys("ctrl+n")),
                 lambda: desk.find_window("^Untitled"))
    window = desk.wait_window("^Untitled")
    korvel.wait_log("Editor page ready")
    time.sleep(1)
    desk.attempt("adding a text layer", lambda: desk.click(window, *ADD_TEXT),
                 lambda: desk.find_window("^Untitled.*Edited"))
    desk.wait_until(lambda: drafts() - earlier, "the draft", 120)
    draft = sorted(drafts() - earlier)[0]
    desk.wait_until(lambda: texts_in(draft) == ["Text"], "the edit in the draft", 30)
    desk.attempt("Save", lambda: (desk.xdo("windowfocus", "--sync", window, check=False), desk.keys("ctrl+s")),
                 lambda: desk.find_window("^Save"))

    def name_it():
        desk.keys("ctrl+a")
        desk.xdo("type", "--delay", "20", os.path.basename(saved))
        desk.keys("Return")

    desk.attempt("naming the document", name_it, lambda: not desk.find_window("^Save"), timeout=15)
    desk.wait_until(lambda: texts_in(saved) == ["Text"], "the save", 30)
    desk.wait_window("^Named Draft")
    if os.path.exists(draft):
        desk.fail("the draft stayed after the save: " + draft)
    desk.keys("ctrl+q")
    korvel.wait_exit()
    korvel = desk.start_korvel("saved-draft-2")
    desk.wait_window(WELCOME, 90)
    time.sleep(2)
    desk.log("screenshot of the start after saving the draft:", desk.shot("saved-draft-start"))
    if desk.find_window("^Untitled") or "Reopened the draft" in korvel.text():
        desk.fail("the saved draft came back as an untitled document")
    desk.log("a draft saved under a name stays saved: the next start opens no second window")
    kill(korvel)


def double_click_edits_a_text_layer():
    saved = os.path.join(desk.documents, "Typing.korvelx")
    shutil.copy(EXAMPLE, saved)
    korvel = desk.start_korvel("typing")
    desk.wait_window(WELCOME)
    desk.hand_file(saved)
    window = desk.wait_window("^Typing")
    korvel.wait_log("Editor page ready")
    time.sleep(1)
    # The example's "footer" text layer lies at (40, 320), 560 × 32 in its frame.
    at = (CANVAS_X + 40 + 60, CANVAS_Y + 320 + 16)

    def type_into_footer():
        # Keys that come before the layer is open for typing change nothing: the person tries again.
        desk.xdo("windowfocus", "--sync", window, check=False)
        desk.click(window, *at, repeat=2)
        time.sleep(0.5)
        desk.keys("ctrl+a")
        desk.xdo("type", "--delay", "40", "Typed by hand")
        desk.keys("Return")

    desk.attempt("typing into the footer", type_into_footer, lambda: desk.find_window("^Typing.*Edited"))
    desk.log("screenshot of the typed layer:", desk.shot("typed"))
    desk.keys("ctrl+s")
    desk.wait_until(lambda: texts_in(saved) and "Typed by hand" in texts_in(saved), "the typed text in the file", 30)
    desk.log("a double click edited a text layer; the file holds:", texts_in(saved))
    kill(korvel)


def read_only_folder():
    locked = os.path.join(desk.home, "Shared")
    os.makedirs(locked)
    document = os.path.join(locked, "Landing Page.korvelx")
    shutil.copy(EXAMPLE, document)
    os.chmod(locked, stat.S_IRUSR | stat.S_IXUSR | stat.S_IRGRP | stat.S_IXGRP | stat.S_IROTH | stat.S_IXOTH)
    plain = desk.korvel_path
    desk.korvel_path = unprivileged_korvel()
    try:
        korvel = desk.start_korvel("read-only")
        desk.wait_window(WELCOME)
        desk.hand_file(document)
        window = desk.wait_window("^Landing Page")
        korvel.wait_log("Editor page ready")
        desk.attempt("the edit", lambda: (focus_editor(window), desk.keys("ctrl+a", "Delete")),
                     lambda: desk.find_window("Edited"))
        desk.keys("ctrl+s")
        sentence = "You don't have permission to save in \u201cShared\u201d."
        korvel.wait_log(sentence, timeout=30)
        time.sleep(1)
        desk.log("screenshot of the save alert:", desk.shot("save-refused"))
        if "no temporary file" in "".join(l for l in korvel.text().splitlines() if "Alert:" in l):
            desk.fail("the alert showed the low-level message")
        desk.dismiss_alert(korvel)
        # An export into the same folder: the chooser opens in the document's folder.
        desk.click_until_changed("the export panel", window, EXPORT_BUTTON, TOOLS_BELOW_BUTTONS)
        desk.click(window, *EXPORT_SVG)
        desk.attempt("the export folder chooser", lambda: desk.click(window, *EXPORT_GO),
                     lambda: desk.find_window("^Export to Folder"))
        desk.attempt("choosing the export folder", lambda: desk.keys("Return"),
                     lambda: not desk.find_window("^Export to Folder"), timeout=10)
        korvel.wait_log("export stopped: " + sentence, timeout=30)
        time.sleep(1)
        desk.log("screenshot of the refused export:", desk.shot("export-refused"))
        desk.log("saving and exporting into a read-only folder say why in words")
        kill(korvel)
    finally:
        desk.korvel_path = plain
        os.chmod(locked, stat.S_IRWXU)


kill_after_save_then_reopen()
double_click_edits_a_text_layer()
read_only_folder()
saved_draft_stays_saved()
crashed_untitled_draft_comes_back()
desk.cleanup()
shutil.rmtree(desk.work, ignore_errors=True)
desk.log("PASS")
