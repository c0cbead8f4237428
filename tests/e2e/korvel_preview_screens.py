#!/usr/bin/env python3
"""The preview window of a signed-in korvel on an ordinary screen, clicked through under a window
manager (openbox) on a private X display of the given size.

- Every device the preview page offers keeps the whole preview window on the screen's work area;
  a device the screen has room for shows at its own size, and the tablet after it gives the phone
  the phone's size again.
- The preview stays on the screen while its settings menu is open, opened while the document
  window had the keyboard.
- The web inspector attached to the preview keeps the window's title bar and its close button
  on the screen.

Usage: korvel_preview_screens.py <korvel executable> <source tree> <width>x<height>
"""
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from korvel_desktop import Desktop  # noqa: E402

SCREEN = sys.argv[3]
desk = Desktop(sys.argv[1], sys.argv[2], "preview-" + SCREEN, screen=SCREEN, window_manager=True)
WIDTH, HEIGHT = desk.screen
EXAMPLE = os.path.join(desk.root, "resources/WelcomeWindow/examples/example-landing page.korvelx")
# The devices of the preview page (resources/Ostrel/preview.js), in points: screen ÷ pixel ratio.
PHONE, TABLET, DESKTOP = (375, 667), (768, 1024), (1440, 900)
# The document window's title-bar button that opens the preview (window coordinates).
PREVIEW_BUTTON = (40, 23)


def preview_window():
    # The preview's title is the previewed frame's name and its zoom: "Hero  (100%)".
    return desk.find_window(r"\([0-9]+%\)$")


def on_screen(frame):
    x, y, width, height = frame
    return x >= 0 and y >= 0 and x + width <= WIDTH and y + height <= HEIGHT


def expected_content(device):
    """The device's own size when the screen has room for it with the window's frame, else half of it."""
    _, _, frame_width, frame_height = desk.frame(preview_window())
    _, _, width, height = desk.geometry(preview_window())
    chrome_width, chrome_height = frame_width - width, frame_height - height
    if device[0] + chrome_width <= WIDTH and device[1] + chrome_height <= HEIGHT:
        return device
    return (device[0] + 1) // 2, (device[1] + 1) // 2


def content_size():
    _, _, width, height = desk.geometry(preview_window())
    return width, height


def settings_button():
    """The preview's settings button, the rightmost of the buttons over its top right corner."""
    _, _, width, _ = desk.geometry(preview_window())
    return width - 20, 20


def open_settings_menu():
    before = desk._popups()
    desk.attempt("opening the settings menu", lambda: desk.click(preview_window(), *settings_button()),
                 lambda: desk._popups() - before, timeout=10)


def choose_device(downs_to_devices, downs_to_device, skin_downs=None):
    """Through the settings menu with the keyboard: Devices, then the device, then (for a device
    with skins) the skin."""
    open_settings_menu()
    desk.keys(*["Down"] * downs_to_devices, "Right", *["Down"] * downs_to_device)
    if skin_downs is not None:
        desk.keys("Right", *["Down"] * skin_downs)
    desk.keys("Return")


def settled_frame(timeout=30):
    """The preview's frame once springs and the window manager's answers are done: the same twice
    half a second apart."""
    seen = []

    def still():
        seen.append(desk.frame(preview_window()))
        time.sleep(0.5)
        return desk.frame(preview_window()) == seen[-1]

    desk.wait_until(still, "the preview to settle", timeout)
    return seen[-1]


def wait_for_size(what, size):
    if not desk.within(lambda: content_size() == size and settled_frame(), 30):
        desk.fail("%s: the preview is %dx%d, not %dx%d" % (what, *content_size(), *size))


korvel = desk.start_korvel("korvel")
desk.wait_window("^Welcome to Korvel$")
path = os.path.join(desk.documents, "Screens.korvelx")
shutil.copy(EXAMPLE, path)
desk.hand_file(path)
document = desk.wait_window("^Screens")
korvel.wait_log("Editor page ready", 1)
desk.attempt("opening the preview", lambda: desk.click(document, *PREVIEW_BUTTON), preview_window, timeout=15)
desk.wait_until(lambda: desk.picture(preview_window(), "preview")[0] > 8, "a preview that is not blank", 60)
desk.log("preview shown at", desk.frame(preview_window()), "on", SCREEN)

# The settings menu's items, as the keyboard reaches them: on the canvas "Canvas" is disabled, so
# "Devices" is the third item; with a device shown it is the fourth. In the devices menu the
# categories come as the catalog sorts them: Desktop, Korvel Phone (with its skins), Korvel Tablet.
CANVAS_TO_DEVICES, DEVICE_TO_DEVICES = 3, 4
# Key presses from the first device to each; in the phone's menu, "Screen Size Only" comes first,
# then, past a separator, its skins.
TO_DESKTOP, TO_PHONE, TO_TABLET = 0, 1, 2
SCREEN_ONLY, BLACK_SKIN = 0, 1

steps = [
    ("the tablet", CANVAS_TO_DEVICES, TO_TABLET, None, TABLET),
    ("the phone in its black skin", DEVICE_TO_DEVICES, TO_PHONE, BLACK_SKIN, PHONE),
    ("the desktop", DEVICE_TO_DEVICES, TO_DESKTOP, None, DESKTOP),
    ("the tablet again", DEVICE_TO_DEVICES, TO_TABLET, None, TABLET),
    ("the phone's screen alone", DEVICE_TO_DEVICES, TO_PHONE, SCREEN_ONLY, PHONE),
]
for name, to_devices, to_device, skin, device in steps:
    choose_device(to_devices, to_device, skin)
    wait_for_size(name, expected_content(device))
    frame = settled_frame()
    desk.shot("device-" + name.replace(" ", "-").replace("'", ""))
    if not on_screen(frame):
        desk.fail("%s: the preview's frame %r leaves the %s screen" % (name, frame, SCREEN))
    desk.log(name, "shows at", content_size(), "in the frame", frame)

# --- the settings menu, opened while the document window has the keyboard ---
desk.xdo("windowactivate", "--sync", document)
desk.wait_until(lambda: desk.xdo("getactivewindow", check=False) == document, "the document window to be active")
open_settings_menu()
# Longer than the preview takes to follow its document window out.
went = desk.within(lambda: not preview_window(), 2)
desk.shot("settings-menu-open")
if went:
    desk.fail("the preview went off the screen while its settings menu was open")
desk.keys("Escape")
desk.log("the preview stayed on the screen under its settings menu")

# --- the web inspector attached ---
before = desk.frame(preview_window())
desk.xdo("windowactivate", "--sync", preview_window())
desk.attempt("attaching the web inspector", lambda: desk.keys("ctrl+shift+i"),
             lambda: desk.frame(preview_window())[2] > before[2] + 100, timeout=20)
frame = settled_frame()
desk.shot("inspector-attached")
if not on_screen(frame):
    desk.fail("with the inspector attached the preview's frame %r leaves the %s screen" % (frame, SCREEN))
desk.log("inspector attached: the preview's frame", frame, "lies on the screen, its title bar and close button too")

desk.focus_editor(document)
desk.keys("ctrl+q")
korvel.wait_exit()
desk.cleanup()
if not os.environ.get("KORVEL_TEST_SHOTS"):
    shutil.rmtree(desk.work, ignore_errors=True)
desk.log("PASS")
