#!/usr/bin/env python3
"""A folder document whose manifest is a named pipe, handed to a running korvel as a file manager
hands it, under a window manager (openbox):

- an alert says it can't be opened within seconds (the bound here only catches an opening held by
  the pipe), and korvel's log names the file and what it is;
- once the alert is answered, Ctrl+Q ends korvel at once: no opening is left for the quit to wait on.

Usage: korvel_plain_files.py <korvel executable> <source tree>
"""
import json
import os
import shutil
import sys
import time
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from korvel_desktop import Desktop  # noqa: E402

desk = Desktop(sys.argv[1], sys.argv[2], "plain-files", window_manager=True)
EXAMPLE = os.path.join(desk.root, "resources/WelcomeWindow/examples/example-landing page.korvelx")

# The example's files as a folder document, its manifest a named pipe that nobody writes.
folder = os.path.join(desk.documents, "Piped")
with zipfile.ZipFile(EXAMPLE) as example:
    example.extractall(folder)
manifest = os.path.join(folder, "_project.korvelxproj")
if os.path.exists(manifest):
    os.remove(manifest)
os.mkfifo(manifest, 0o600)
with open(os.path.join(folder, "design", "document.json")) as f:
    json.load(f)  # the example is whole

korvel = desk.start_korvel("korvel")
welcome = desk.wait_window("^Welcome to Korvel$", 90)
handed = time.monotonic()
desk.hand_file(folder)
desk.wait_until(lambda: desk.untitled(korvel), "the alert for the piped manifest", 30)
desk.log("the alert came %.1f s after the folder was handed over" % (time.monotonic() - handed))
desk.shot("piped-manifest-alert")
korvel.wait_log("_project.korvelxproj", 1, 10)
if "is a named pipe" not in korvel.text():
    desk.fail("korvel's log does not say the manifest is a named pipe")
desk.attempt("answering the alert", lambda: desk.keys("Return"), lambda: not desk.untitled(korvel), timeout=10)
if desk.find_window("^Piped"):
    desk.fail("a window opened for the folder with the piped manifest")

desk.xdo("windowactivate", "--sync", welcome, check=False)
asked = time.monotonic()
desk.keys("ctrl+q")
korvel.wait_exit(15)
desk.log("korvel ended %.1f s after Ctrl+Q" % (time.monotonic() - asked))
desk.cleanup()
if not os.environ.get("KORVEL_TEST_SHOTS"):
    shutil.rmtree(desk.work, ignore_errors=True)
desk.log("PASS")
