#!/usr/bin/env python3
"""Names typed into Save As without the document's extension, on a private X display with
openbox, as a person types them.

- An edited document saved as `CopyA`: korvel writes CopyA.korvelx (no file named CopyA), the
  window is named CopyA; closed, it opens again from the recent documents and by its path, with
  its edit and without an alert.
- Saved as `CopyB.zip`: korvel writes CopyB.zip.korvelx, which opens again the same two ways.
- Saved as `CopyA` again: the question asks about replacing CopyA.korvelx, the file written;
  Escape leaves it as it was.
- A project zip written by `zip` under a name without any extension, as earlier builds wrote
  `CopyA`, opens by its path and from the recent documents.

Usage: korvel_typed_names.py <korvel executable> <source tree>
"""
import hashlib
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from korvel_desktop import Desktop, layers_in, layers_in_working_copy  # noqa: E402

desk = Desktop(sys.argv[1], sys.argv[2], "typed-names", window_manager=True)
EXAMPLE = os.path.join(desk.root, "resources/WelcomeWindow/examples/example-landing page.korvelx")
WELCOME = "^Welcome to Korvel$"
AUTOSAVE = os.path.join(desk.home, ".local/share/Korvel/Autosave Information")
ADD_TEXT = (120, 96)  # the editor page's text tool (window coordinates)
FIRST_RECENT = (900 - 120, 21)  # the first row of the welcome window's recent documents
REFUSED = "is not a Korvel document"


open_document = desk.open_document


def save_as_typed(window, typed):
    def name_it():
        desk.keys("ctrl+a")
        desk.xdo("type", "--delay", "20", typed)
        desk.keys("Return")

    desk.attempt("Save As", lambda: (desk.xdo("windowactivate", "--sync", window, check=False),
                                     desk.keys("ctrl+shift+s")),
                 lambda: desk.find_window("^Save"))
    desk.attempt("typing " + typed, name_it, lambda: not desk.find_window("^Save"), timeout=15)


def close(window, name):
    desk.attempt("closing " + name, lambda: (desk.xdo("windowactivate", "--sync", window, check=False),
                                             desk.keys("ctrl+w")),
                 lambda: not desk.find_window("^" + name), timeout=15)
    return desk.wait_window(WELCOME)


def expect_opened(korvel, path, name, how, edited_layers):
    if REFUSED in korvel.text():
        desk.fail("%s was refused when opened %s" % (path, how))
    if desk.find_window("^%s .*Edited" % name):
        desk.fail("%s opened %s as edited: its edit was not in the file" % (name, how))
    if layers_in_working_copy(AUTOSAVE, path) != edited_layers:
        desk.fail("%s opened %s without its edit: %s layers" % (name, how, layers_in_working_copy(AUTOSAVE, path)))
    desk.log("%s opened %s with its edit; screenshot:" % (name, how), desk.shot("%s-%s" % (name, how.split()[-1])))


design = os.path.join(desk.documents, "Design1.korvelx")
shutil.copy(EXAMPLE, design)
korvel = desk.start_korvel("korvel")
desk.wait_window(WELCOME, 90)
window = open_document(korvel, design, "^Design1")
edited = len(layers_in(design)) + 1
desk.attempt("adding a text layer", lambda: desk.click(window, *ADD_TEXT), lambda: desk.find_window("^Design1.*Edited"))

for typed in ("CopyA", "CopyB.zip"):
    written = os.path.join(desk.documents, typed + ".korvelx")
    save_as_typed(window, typed)
    window = desk.wait_window("^%s$" % typed.replace(".", "\\."))
    desk.wait_until(lambda: os.path.exists(written), "the file " + written)
    if os.path.exists(os.path.join(desk.documents, typed)):
        desk.fail("a file named as typed, %s, was written" % typed)
    if len(layers_in(written) or []) != edited:
        desk.fail("%s lacks the edit" % written)
    desk.log("typed %s: korvel wrote %s" % (typed, os.path.basename(written)))

    welcome = close(window, typed)
    ready = korvel.text().count("Editor page ready")
    desk.attempt("opening the first recent document", lambda: desk.click(welcome, *FIRST_RECENT, repeat=2),
                 lambda: desk.find_window("^" + typed) or REFUSED in korvel.text(), timeout=15)
    korvel.wait_log("Editor page ready", count=ready + 1)
    expect_opened(korvel, written, typed, "from the recents", edited)

    close(desk.wait_window("^" + typed), typed)
    window = open_document(korvel, written, "^" + typed)
    expect_opened(korvel, written, typed, "by its path", edited)

# The question about replacing names the file that would be replaced.
copy_a = os.path.join(desk.documents, "CopyA.korvelx")
before = hashlib.sha256(open(copy_a, "rb").read()).hexdigest()
save_as_typed(window, "CopyA")
korvel.wait_log("Alert: \u201cCopyA.korvelx\u201d already exists. Do you want to replace it?")
desk.log("screenshot of the question:", desk.shot("replace-question"))
desk.attempt("Escape to the question", lambda: desk.keys("Escape"), lambda: not desk.untitled(korvel), timeout=15)
if hashlib.sha256(open(copy_a, "rb").read()).hexdigest() != before:
    desk.fail("CopyA.korvelx changed after Escape to the question")
if not desk.find_window("^CopyB\\.zip$"):
    desk.fail("the window is no longer CopyB.zip's")
desk.log("typing CopyA again asked about CopyA.korvelx; Escape left it as it was")

# A project zip named without any extension, made by `zip` from the example's files.
unpacked = os.path.join(desk.work, "earlier-files")
subprocess.run(["unzip", "-q", EXAMPLE, "-d", unpacked], check=True)
earlier = os.path.join(desk.documents, "Earlier")
with open(earlier, "wb") as out:
    subprocess.run(["zip", "-qr", "-", "."], cwd=unpacked, stdout=out, check=True)
close(window, "CopyB\\.zip")
window = open_document(korvel, earlier, "^Earlier")
if REFUSED in korvel.text():
    desk.fail("Earlier was refused when opened by its path")
desk.log("Earlier, a zip without an extension, opened by its path; screenshot:", desk.shot("Earlier-path"))
welcome = close(window, "Earlier")
ready = korvel.text().count("Editor page ready")
desk.attempt("opening the first recent document", lambda: desk.click(welcome, *FIRST_RECENT, repeat=2),
             lambda: desk.find_window("^Earlier") or REFUSED in korvel.text(), timeout=15)
if REFUSED in korvel.text():
    desk.fail("Earlier was refused when opened from the recents")
korvel.wait_log("Editor page ready", count=ready + 1)
window = desk.wait_window("^Earlier")
desk.log("Earlier opened from the recents; screenshot:", desk.shot("Earlier-recents"))
desk.quit_and_pass(korvel, window)
