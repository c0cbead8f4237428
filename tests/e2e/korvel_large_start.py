#!/usr/bin/env python3
"""A document given at the start, as a file manager's double click gives it with no korvel running,
and a large draft an earlier run left: each is read before any window shows, and korvel waits
for it. On a private X display.

- `korvel "Ten Thousand.korvelx"`, a zip of 10,000 pictures (18 MB): its window shows, korvel keeps
  running, and nothing was given up.
- A draft of the same size left in the autosave folder (as a crash leaves one): the next start
  reopens it as an edited document, twice in a row, and keeps running.

Usage: korvel_large_start.py <korvel executable> <source tree>
"""
import os
import shutil
import sys
import uuid
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from korvel_desktop import Desktop  # noqa: E402

desk = Desktop(sys.argv[1], sys.argv[2], "large-start")
EXAMPLE = os.path.join(desk.root, "resources/WelcomeWindow/examples/example-landing page.korvelx")
AUTOSAVE = os.path.join(desk.home, ".local/share/Korvel/Autosave Information")
DOCUMENT = os.path.join(desk.documents, "Ten Thousand.korvelx")
PICTURES = 10000


def many_pictures(path):
    """The example with 10,000 pictures of 1.8 KB that don't compress."""
    with zipfile.ZipFile(EXAMPLE) as source, zipfile.ZipFile(path, "w") as out:
        items = source.infolist()
        manifest = [item for item in items if item.filename == "_project.korvelxproj"]
        for item in items:
            if item not in manifest:
                out.writestr(item, source.read(item.filename))
        for i in range(PICTURES):
            out.writestr("design/images/picture-%05d.png" % i, os.urandom(1800), zipfile.ZIP_STORED)
        for item in manifest:  # last, as korvel writes it
            out.writestr(item, source.read(item.filename))


def stays_open(korvel, pattern, what):
    # A korvel that ends while it reads ends the wait too.
    desk.wait_until(lambda: not korvel.running() or desk.find_window(pattern), "a window named %r" % pattern, 300)
    if not korvel.running():
        desk.fail("korvel ended before the window showed: " + what)
    window = desk.wait_window(pattern)
    korvel.wait_log("Editor page ready", timeout=300)
    desk.still_running_with(korvel, pattern, what)
    if "The opening was given up" in korvel.text():
        desk.fail("an opening was given up: " + what)
    desk.log(what + ": the window shows and korvel runs:", desk.xdo("getwindowname", window))
    return window


many_pictures(DOCUMENT)
desk.log("made %s: %.1f MB" % (os.path.basename(DOCUMENT), os.path.getsize(DOCUMENT) / 1e6))

# --- a document given at the start, with no korvel running ---
korvel = desk.start_korvel("given-at-start", files=[DOCUMENT])
window = stays_open(korvel, "^Ten Thousand", "a document of 10,000 pictures given at the start")
desk.focus_editor(window)
desk.keys("ctrl+q")
korvel.wait_exit(120)
desk.log("quit")

# --- a large draft left by an earlier run, at two starts in a row ---
os.makedirs(AUTOSAVE, mode=0o700, exist_ok=True)
draft = os.path.join(AUTOSAVE, "Ten Thousand (%s).korvelx" % str(uuid.uuid4()).upper())
shutil.copy(DOCUMENT, draft)
for start in (1, 2):
    korvel = desk.start_korvel("draft-%d" % start)
    stays_open(korvel, r"^Ten Thousand.*Edited", "a large draft reopened at start %d" % start)
    korvel.kill()
    if not os.path.exists(draft):
        desk.fail("the draft went with the run")

desk.cleanup()
shutil.rmtree(desk.work, ignore_errors=True)
desk.log("PASS")
