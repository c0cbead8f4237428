#!/usr/bin/env python3
"""The preview window of a signed-in korvel on an ordinary screen, clicked through under a window
manager (openbox) on a private X display of the given size.

- Every device the preview page offers keeps the whole preview window on the screen's work area;
  a device the screen has room for shows at its own size, and the tablet after it gives the phone
  the phone's size again.
- The preview stays on the screen while its settings menu is open, opened while the document
  window had the keyboard.
- The rotated phone and the tablet at half size show at their exact sizes.
- Every device is drawn whole at its own proportions, scaled to the window and centred in it: at
  "50%" the tablet fills its window.
- Closed with its frame's close button, the live-sharing popover open over it the first time,
  its document window moved meanwhile, and shown again: the preview stands where it stood and
  follows its document window's next move exactly.
- After a device change the preview follows its document window, and a following preview stays
  on the screen's work area when the document window is moved near the screen's edge.
- An alert for a damaged file opened with the preview shown stands on the window the person is in and
  leaves the preview where it was; nothing warns of a cast of its window.
- A layer added in the editor shows in the preview once the working copy has been written.
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
# The preview's Live button, left of its rotate and settings buttons (x in the window's content).
LIVE_BUTTON = lambda: desk.geometry(preview_window())[2] - 100
# The editor page's "Add Rectangle" button (window coordinates) and the colour of a new rectangle.
ADD_RECT = (120, 126)
RECT_COLOUR = (0x4A, 0x90, 0xE2)

# How many pixels of a region of the screen have a colour (within a few steps of it).
COLOURED = """
import sys, gi
gi.require_version('Gdk', '3.0')
from gi.repository import Gdk
x, y, width, height, r, g, b = (int(a) for a in sys.argv[1:8])
shot = Gdk.pixbuf_get_from_window(Gdk.get_default_root_window(), x, y, width, height)
pixels, stride, step = shot.get_pixels(), shot.get_rowstride(), shot.get_n_channels()
print(sum(1 for row in range(height) for col in range(width)
          if all(abs(pixels[row * stride + col * step + i] - c) <= 12 for i, c in enumerate((r, g, b)))))
"""


# The bounds of what the preview page draws that is not its background, in the window's content:
# across the middle row, and down a column inside the drawing's left edge (clear of the rounded
# corners of a skin, and of the buttons over the window's top right corner).
DRAWN = """
import sys, gi
gi.require_version('Gdk', '3.0')
from gi.repository import Gdk
x, y, width, height = (int(a) for a in sys.argv[1:5])
shot = Gdk.pixbuf_get_from_window(Gdk.get_default_root_window(), x, y, width, height)
pixels, stride, step = shot.get_pixels(), shot.get_rowstride(), shot.get_n_channels()
def drawn(col, row):
    return any(abs(pixels[row * stride + col * step + i] - 0x2b) > 12 for i in range(3))
row = [col for col in range(width) if drawn(col, height // 2)]
if not row:
    print("none")
    sys.exit()
column = min(row[0] + 40, (row[0] + row[-1]) // 2)
rows = [r for r in range(height) if drawn(column, r)]
print(row[0], rows[0], row[-1] - row[0] + 1, rows[-1] - rows[0] + 1)
"""
# What a skin adds around the device's screen on each side (resources/Ostrel/preview.html).
BEZEL = 18


def preview_window():
    # The preview's title is the previewed frame's name and its zoom: "Hero  (100%)".
    return desk.find_window(r"\([0-9]+%\)$")


def on_screen(frame):
    x, y, width, height = frame
    return x >= 0 and y >= 0 and x + width <= WIDTH and y + height <= HEIGHT


def chrome():
    """What the window manager's frame adds to the preview's content: width, height. Read from the
    frame's extents alone, which a resize under way leaves as they are."""
    out = subprocess.run(["xprop", "-id", preview_window(), "_NET_FRAME_EXTENTS"], env=desk.env, capture_output=True,
                         text=True).stdout
    try:
        left, right, top, bottom = (int(v) for v in out.split("=")[1].split(","))
    except (IndexError, ValueError):
        desk.fail("no frame extents of the preview: %r" % out)
    return left + right, top + bottom


def expected_content(device):
    """The device's own size when the screen has room for it with the window's frame, else half of it."""
    chrome_width, chrome_height = chrome()
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


def coloured(window, colour):
    x, y, width, height = desk.geometry(window)
    out = subprocess.run(["/usr/bin/python3", "-c", COLOURED, str(x), str(y), str(width), str(height), *map(str, colour)],
                         env=desk.env, capture_output=True, text=True)
    return int(out.stdout) if out.returncode == 0 and out.stdout.strip().isdigit() else 0


def kept_on_screen(x, y, width, height):
    return min(max(0, x), WIDTH - width), min(max(0, y), HEIGHT - height)


def move_document_to(x, y):
    """Moves the document window as another program would; where its frame went."""
    before = desk.frame(document)[:2]
    desk.xdo("windowmove", "--sync", document, str(x), str(y))
    if (x, y) != before:
        desk.wait_until(lambda: desk.frame(document)[:2] != before, "the document window to move", 15)
    return desk.frame(document)[:2]


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


def drawn_box():
    out = subprocess.run(["/usr/bin/python3", "-c", DRAWN, *map(str, desk.geometry(preview_window()))], env=desk.env,
                         capture_output=True, text=True).stdout.split()
    return tuple(int(v) for v in out) if len(out) == 4 else None


def whole_device_box(device, skinned):
    """The device scaled whole to the window's content and centred in it: x, y, width, height."""
    width, height = device[0] + (2 * BEZEL if skinned else 0), device[1] + (2 * BEZEL if skinned else 0)
    window_width, window_height = content_size()
    scale = min(1, window_width / width, window_height / height)
    width, height = width * scale, height * scale
    return (window_width - width) / 2, (window_height - height) / 2, width, height


def check_drawn_whole(what, device, skinned=False):
    """The device is drawn whole: its box is the whole device scaled to the window, within a pixel
    or two of edge smoothing. Waits for the page to draw it."""
    expected = whole_device_box(device, skinned)
    seen = []
    if not desk.within(lambda: seen.append(drawn_box()) or (seen[-1] is not None and all(
            abs(a - b) <= 2 for a, b in zip(seen[-1], expected))), 20):
        desk.fail("%s: the page draws the device at %r in the %dx%d window, not whole at %r"
                  % (what, seen[-1], *content_size(), tuple(round(v) for v in expected)))
    desk.log(what, "is drawn whole at", seen[-1], "in", content_size())


def wait_for_size(what, device):
    """Waits for the preview to show `device` at the size the screen has room for, and to settle."""
    if not desk.within(lambda: content_size() == expected_content(device) and settled_frame(), 30):
        desk.fail("%s: the preview is %dx%d, not %dx%d" % (what, *content_size(), *expected_content(device)))


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

# --- a layer added in the editor shows in the preview once the working copy holds it ---
before = coloured(preview_window(), RECT_COLOUR)
# Beside the preview, the editor's tools are in reach.
desk.attempt("adding a rectangle", lambda: desk.click(document, *ADD_RECT),
             lambda: desk.find_window("^Screens.*Edited"))
desk.focus_editor(document)
desk.keys("ctrl+s")
if not desk.within(lambda: coloured(preview_window(), RECT_COLOUR) > before + 2000, 30):
    desk.shot("preview-without-the-layer")
    desk.fail("the saved rectangle is not in the preview (%d pixels of its colour)" % coloured(preview_window(), RECT_COLOUR))
desk.shot("preview-with-the-layer")
desk.log("the added rectangle shows in the preview after the save")


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
    wait_for_size(name, device)
    frame = settled_frame()
    desk.shot("device-" + name.replace(" ", "-").replace("'", ""))
    if not on_screen(frame):
        desk.fail("%s: the preview's frame %r leaves the %s screen" % (name, frame, SCREEN))
    desk.log(name, "shows at", content_size(), "in the frame", frame)
    check_drawn_whole(name, device, skinned=skin == BLACK_SKIN)
    if device == TABLET and content_size() == expected_content(TABLET) != TABLET:
        # At half size the title says so, and the tablet fills its window.
        if not desk.xdo("getwindowname", preview_window()).endswith("(50%)"):
            desk.fail("the tablet at half size is titled %r" % desk.xdo("getwindowname", preview_window()))
        if drawn_box() != (0, 0, *content_size()):
            desk.fail("the tablet at 50%% fills %r of its %dx%d window" % (drawn_box(), *content_size()))

# --- the rotated phone, at its exact size ---
# "Rotate" comes right after "Devices".
open_settings_menu()
desk.keys(*["Down"] * (DEVICE_TO_DEVICES + 1), "Return")
wait_for_size("the rotated phone", (PHONE[1], PHONE[0]))
desk.shot("device-the-rotated-phone")
check_drawn_whole("the rotated phone", (PHONE[1], PHONE[0]))
open_settings_menu()
desk.keys(*["Down"] * (DEVICE_TO_DEVICES + 1), "Return")
wait_for_size("the phone upright again", PHONE)
desk.log("the phone rotated shows at", expected_content((PHONE[1], PHONE[0])), "and back")

# --- after the device changes the preview follows its document window, on the work area ---
preview_at = settled_frame()
document_at = desk.frame(document)[:2]
# Leftwards and down a little: room for the preview where it goes.
moved = move_document_to(document_at[0] - 15, document_at[1] + 12)
delta = (moved[0] - document_at[0], moved[1] - document_at[1])
follows_to = kept_on_screen(preview_at[0] + delta[0], preview_at[1] + delta[1], preview_at[2], preview_at[3])
if not desk.within(lambda: settled_frame()[:2] == follows_to, 20):
    desk.fail("after the device changes the preview stayed at %r: the document moved by %r, it goes to %r"
              % (desk.frame(preview_window())[:2], delta, follows_to))
desk.log("after the device changes the preview followed its document window to", follows_to)

# --- closed with its frame's close button and shown again: where it stood, following exactly ---
for dx, dy in ((-25, 18), (14, -9)):
    stood = settled_frame()
    x, y, width, _ = stood
    title_bar = desk.geometry(preview_window())[1] - y
    close = lambda: desk.xdo("mousemove", "--sync", str(x + width - 10), str(y + title_bar // 2), "click", "1")
    if (dx, dy) == (-25, 18):
        # The live-sharing popover open: one click on the close button closes the preview.
        before = desk._popups()
        desk.attempt("opening the live-sharing popover", lambda: desk.click(preview_window(), LIVE_BUTTON(), 20),
                     lambda: desk._popups() - before, timeout=10)
        popover = desk._popups() - before
        desk.shot("live-popover-open")
        close()
        if not desk.within(lambda: not preview_window() and not popover & desk._popups(), 10):
            desk.fail("with the live-sharing popover open the frame's close button left the preview (%s) or the "
                      "popover (%s)" % (preview_window(), popover & desk._popups()))
        desk.log("with the live-sharing popover open, one click on the close button closed the preview")
    else:
        desk.attempt("closing the preview with its close button", close, lambda: not preview_window(), timeout=10)
    # The document window moves while the preview is closed.
    moved_away = desk.frame(document)[:2]
    move_document_to(moved_away[0] + (-30 if moved_away[0] >= 60 else 30), moved_away[1] + 20)
    desk.xdo("windowactivate", "--sync", document)
    desk.attempt("showing the preview again", lambda: desk.click(document, *PREVIEW_BUTTON), preview_window, timeout=15)
    shown = settled_frame()
    if shown != stood:
        desk.fail("shown again the preview stands at %r, not where it stood: %r" % (shown, stood))
    desk.shot("preview-shown-again")
    document_at = desk.frame(document)[:2]
    moved = move_document_to(document_at[0] + dx, document_at[1] + dy)
    delta = (moved[0] - document_at[0], moved[1] - document_at[1])
    follows_to = kept_on_screen(shown[0] + delta[0], shown[1] + delta[1], shown[2], shown[3])
    if not desk.within(lambda: settled_frame()[:2] == follows_to, 20):
        desk.fail("shown again, the preview went to %r when its document moved by %r: it goes to %r"
                  % (desk.frame(preview_window())[:2], delta, follows_to))
    desk.log("closed and shown again at", shown[:2], "the preview followed its document by", delta, "to", follows_to)

move_document_to(60, 80)
frame = settled_frame()
desk.shot("document-near-the-edge")
if not on_screen(frame):
    desk.fail("following its document window to 60,80 the preview's frame %r leaves the %s screen" % (frame, SCREEN))
desk.log("the document window at 60,80: the preview follows to", frame, "on the screen")

# --- a damaged file opened with the preview shown: the alert stands on its window ---
damaged = os.path.join(desk.documents, "Damaged.korvelx")
with open(EXAMPLE, "rb") as whole, open(damaged, "wb") as half:
    content = whole.read()
    half.write(content[:len(content) // 2])
preview_before = preview_window()
desk.focus_editor(document)
# Handed over as the desktop opens a file: the open panel's own completion of a typed name keeps
# memory the leak check would count.
desk.hand_file(damaged)
desk.wait_until(lambda: desk.untitled(korvel), "the alert for the damaged file", 30)
alert = desk.untitled(korvel)[0]
alert_frame = desk.frame(alert)
desk.shot("damaged-file-alert")
owner = subprocess.run(["xprop", "-id", alert, "WM_TRANSIENT_FOR"], env=desk.env, capture_output=True, text=True).stdout
# The window the person is in: the document window, or its preview (the click that gave the
# editor the keyboard may have landed on the preview lying over it).
stands_on = [w for w in (document, preview_before) if "0x%x" % int(w) in owner]
if not stands_on:
    desk.fail("the alert for the damaged file stands on %r, not on the document window 0x%x or its preview 0x%x"
              % (owner.strip(), int(document), int(preview_before)))
owner_x, owner_y, owner_width, owner_height = desk.frame(stands_on[0])
middle = (alert_frame[0] + alert_frame[2] // 2, alert_frame[1] + alert_frame[3] // 2)
if not (owner_x <= middle[0] <= owner_x + owner_width and owner_y <= middle[1] <= owner_y + owner_height):
    desk.fail("the alert %r is not over its window %r" % (alert_frame, desk.frame(stands_on[0])))
if preview_window() != preview_before:
    desk.fail("the preview went off the screen under the alert for the damaged file")
desk.attempt("answering the alert", lambda: desk.keys("Return"), lambda: not desk.untitled(korvel), timeout=10)
if desk.within(lambda: preview_window() != preview_before, 2):
    desk.fail("the preview went off the screen after the alert for the damaged file")
active = desk.xdo("getactivewindow", check=False)
if active not in (document, preview_before):
    desk.fail("after the alert the active window is %s, neither the document nor its preview" % active)
if "invalid cast" in korvel.text():
    desk.fail("korvel warned about the alert's window: invalid cast")
desk.log("the damaged file's alert stood on", "the document window" if stands_on[0] == document else "the preview",
         "at", alert_frame, "and left the preview")

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

desk.quit_and_pass(korvel, document)
