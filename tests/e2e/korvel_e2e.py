#!/usr/bin/env python3
"""A person's first two sessions with korvel, end to end, on a private X display.

Signs in on the login page, opens the example from the welcome window, opens its preview and
takes a picture of the preview window (it must not be blank), deletes a layer in the editor, saves
under a new name, quits; starts again, reopens the document from the recent documents, deletes the
next layer, saves, exports its frame as PNG and SVG into a folder, quits. The saved file must hold
exactly the layer that both edits left: the second session saw the first session's edit. The project
server got the sign-in (token and author); a file that is no document, handed to the second session
before anything is open, is refused and korvel stays open with its welcome window.

Usage: korvel_e2e.py <korvel executable> <source tree>
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from korvel_desktop import layers_in  # noqa: E402

KORVEL, ROOT = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
WORK = tempfile.mkdtemp(prefix="korvel-e2e-")
HOME = os.path.join(WORK, "home")
SAVED = os.path.join(HOME, "Documents", "Landing Page.korvelx")
TRACE = os.path.join(WORK, "server-trace.jsonl")
procs = []


def log(*args):
    print("[e2e %6.1f]" % (time.monotonic() - START), *args, flush=True)


START = time.monotonic()


def fail(message):
    log("FAIL:", message)
    shot = os.path.join(WORK, "failure.png")
    subprocess.run(["/usr/bin/python3", "-c", SCREENSHOT, shot], env=ENV, check=False)
    log("screenshot:", shot)
    for name in ("korvel-1.log", "korvel-2.log"):
        path = os.path.join(WORK, name)
        if os.path.exists(path):
            with open(path, errors="replace") as f:
                log("---", name, "---\n" + f.read()[-6000:])
    cleanup()
    sys.exit(1)


SCREENSHOT = """
import sys, gi
gi.require_version('Gdk', '3.0')
from gi.repository import Gdk
w = Gdk.get_default_root_window()
Gdk.pixbuf_get_from_window(w, 0, 0, w.get_width(), w.get_height()).savev(sys.argv[1], 'png', [], [])
"""


def cleanup():
    for p in reversed(procs):
        if p.poll() is None:
            try:
                os.killpg(p.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            p.wait()


def start_display():
    r, w = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                            pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    procs.append(xvfb)
    os.close(w)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(r, 16)
        if not chunk:
            break
        number += chunk
    os.close(r)
    return ":" + number.decode().strip()


def start_standin():
    p = subprocess.Popen(["node", os.path.join(ROOT, "tools/cloud-standin/server.js"), "0"],
                         stdout=subprocess.PIPE, text=True, start_new_session=True)
    procs.append(p)
    return json.loads(p.stdout.readline())["port"]


def xdo(*args, check=True):
    out = subprocess.run(["xdotool", *args], env=ENV, capture_output=True, text=True)
    if check and out.returncode != 0:
        fail("xdotool %s: %s" % (" ".join(args), out.stderr.strip()))
    return out.stdout.strip()


def find_window(pattern):
    ids = xdo("search", "--onlyvisible", "--name", pattern, check=False).split()
    return ids[-1] if ids else None


def wait_window(pattern, timeout=60):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        window = find_window(pattern)
        if window:
            return window
        time.sleep(0.25)
    fail("no window named %r" % pattern)


def geometry(window):
    values = dict(line.split("=") for line in xdo("getwindowgeometry", "--shell", window).splitlines())
    return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])


def click(window, x, y, repeat=1):
    wx, wy, _, _ = geometry(window)
    xdo("mousemove", "--sync", str(wx + x), str(wy + y))
    xdo("click", "--repeat", str(repeat), "1")


def keys(*names):
    for name in names:
        xdo("key", "--clearmodifiers", name)
        time.sleep(0.15)


def wait_until(check, what, timeout=60):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if check():
            return
        time.sleep(0.2)
    fail("timed out waiting for " + what)


def start_bus():
    bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"], stdout=subprocess.PIPE,
                           text=True, start_new_session=True)
    procs.append(bus)
    return bus.stdout.readline().strip()


class Korvel:
    # `bus`: a session bus to share with later starts; without one korvel gets a bus of its own.
    def __init__(self, name, bus=None):
        self.log_path = os.path.join(WORK, name + ".log")
        self.log = open(self.log_path, "w")
        env = dict(ENV, DBUS_SESSION_BUS_ADDRESS=bus) if bus else ENV
        command = [KORVEL] if bus else ["dbus-run-session", "--", KORVEL]
        self.proc = subprocess.Popen(command, env=env, stdout=self.log, stderr=subprocess.STDOUT,
                                     start_new_session=True, cwd=WORK)
        procs.append(self.proc)

    def ready_count(self):
        with open(self.log_path, errors="replace") as f:
            return f.read().count("Editor page ready")

    def wait_editor(self, count=1):
        wait_until(lambda: self.ready_count() >= count, "the editor page", 90)

    def wait_exit(self, timeout=60):
        try:
            status = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            fail("korvel did not quit")
        if status != 0:
            fail("korvel exited with status %d" % status)


def preview_window():
    # The preview's title is the previewed frame's name and its zoom: "Hero  (100%)".
    return find_window(r"\([0-9]+%\)$")


PICTURE = """
import sys, gi
gi.require_version('Gdk', '3.0')
from gi.repository import Gdk
x, y, w, h = (int(v) for v in sys.argv[2:6])
shot = Gdk.pixbuf_get_from_window(Gdk.get_default_root_window(), x, y, w, h)
shot.savev(sys.argv[1], 'png', [], [])
data, stride, n = shot.get_pixels(), shot.get_rowstride(), shot.get_n_channels()
print(len({bytes(data[r * stride + c * n:r * stride + c * n + 3]) for r in range(h) for c in range(w)}))
"""


def colours_in_window(window, path):
    """The number of colours of a picture of `window`, saved at `path`."""
    if not window:
        return 0
    shot = subprocess.run(["/usr/bin/python3", "-c", PICTURE, path, *map(str, geometry(window))], env=ENV,
                          capture_output=True, text=True)
    return int(shot.stdout.strip() or 0) if shot.returncode == 0 else 0


def open_preview(editor_pattern):
    """The title bar's Preview button opens the preview beside the document window."""
    window = wait_window(editor_pattern)
    attempt("opening the preview", lambda: click(window, 40, 23), preview_window, timeout=15)
    shot = os.path.join(WORK, "preview.png")
    # The page shows the frame in its device on a dark stage: more than a handful of colours.
    wait_until(lambda: colours_in_window(preview_window(), shot) > 8, "a preview that is not blank", 60)
    log("preview shown:", shot, colours_in_window(preview_window(), shot), "colours")


def focus_editor(window):
    # A click on the editor's empty canvas gives the page the keyboard without selecting anything.
    # Without a window manager a click does not move the focus between windows (the preview may
    # hold it): the person's window manager would.
    xdo("windowfocus", "--sync", window, check=False)
    _, _, width, height = geometry(window)
    click(window, width // 2, height - 40)
    time.sleep(0.5)


# Where the welcome page keeps its first example (window coordinates).
EXAMPLE_X, EXAMPLE_Y = 160, 144
# The editor page's "Export…" button and, in the formats it shows (PNG checked), SVG and "Export".
TOOLS_X, EXPORT_Y, SVG_X, SVG_Y, EXPORT_GO_Y = 120, 156, 21, 256, 296


def png_size(path):
    try:
        with open(path, "rb") as f:
            head = f.read(24)
    except OSError:
        return None
    if len(head) < 24 or head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big")


def export_frame(editor, folder):
    """Exports the document's frame as PNG and SVG through the page's Export command and the folder chooser."""
    click(editor, TOOLS_X, EXPORT_Y)
    time.sleep(0.5)
    click(editor, SVG_X, SVG_Y)
    attempt("the export folder chooser", lambda: click(editor, TOOLS_X, EXPORT_GO_Y),
            lambda: find_window("^Export to Folder"))
    time.sleep(1)
    # The chooser starts in the folder that holds the document: choose it.
    keys("Return")

    def exported():
        return [name for name in os.listdir(folder) if png_size(os.path.join(folder, name))]

    wait_until(lambda: exported() and any(n.endswith(".svg") for n in os.listdir(folder)), "the exported frame", 60)
    return {name: png_size(os.path.join(folder, name)) for name in exported()}


# --- set-up ---
DISPLAY = start_display()
PORT = start_standin()
for sub in (".config/Korvel", ".local/share", ".cache", "Documents"):
    os.makedirs(os.path.join(HOME, sub), exist_ok=True)
with open(os.path.join(HOME, ".config/Korvel/defaults.json"), "w") as f:
    json.dump({"CurrentStoreEnvironment": 3, "LocalServicesBaseURL": "http://127.0.0.1:%d" % PORT}, f)
ENV = dict(os.environ, DISPLAY=DISPLAY, HOME=HOME, XDG_CONFIG_HOME=os.path.join(HOME, ".config"),
           XDG_DATA_HOME=os.path.join(HOME, ".local/share"), XDG_CACHE_HOME=os.path.join(HOME, ".cache"),
           G_MESSAGES_DEBUG="com.korvel.x.dev", NO_AT_BRIDGE="1",
           # Toolkit settings (the file chooser's among them) stay in memory, not in the desktop's store.
           GSETTINGS_BACKEND="memory", KORVEL_SERVER_TRACE=TRACE)
# Leak reports of korvel need whole stacks: the libraries below it keep no frame pointers, and a
# two-frame stack can't tell a process-lifetime table from a leak.
if "detect_leaks=1" in ENV.get("ASAN_OPTIONS", ""):
    ENV["ASAN_OPTIONS"] += ":fast_unwind_on_malloc=0"
ENV.pop("WAYLAND_DISPLAY", None)
ENV.pop("DBUS_SESSION_BUS_ADDRESS", None)

def attempt(what, act, done, tries=3, timeout=20):
    """A person tries again when a click or a key came before the window was ready for it."""
    for _ in range(tries):
        act()
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if done():
                return
            time.sleep(0.25)
        log("trying again:", what)
    fail("gave up: " + what)


def sign_in(login):
    click(login, 120, 140)  # the page's heading: gives the page the keyboard
    keys("Tab", "ctrl+a")
    xdo("type", "--delay", "40", "demo-token")
    keys("Return")


def edit_and_save(korvel, editor_pattern, count):
    """Selects the first layer, deletes it and saves; the title tells when the edit arrived."""
    korvel.wait_editor(count)

    def delete_first_layer():
        focus_editor(wait_window(editor_pattern))
        keys("ctrl+a", "Delete")

    attempt("the edit", delete_first_layer, lambda: find_window("Edited"))
    keys("ctrl+s")


# --- first session: sign in, open the example, edit, save as, quit ---
log("first start")
first = Korvel("korvel-1")
login = wait_window("^Log in$")
time.sleep(1.5)
attempt("signing in", lambda: sign_in(login), lambda: find_window("^Welcome to Korvel$"))
log("signed in")
welcome = wait_window("^Welcome to Korvel$")
time.sleep(2)  # the page fades in once it has loaded
attempt("opening the example",
        lambda: find_window("^Welcome to Korvel$") and click(welcome, EXAMPLE_X, EXAMPLE_Y),
        lambda: find_window("Landing Page example"), timeout=10)
log("example opened")


def server_starts():
    try:
        with open(TRACE) as f:
            return [r for r in map(json.loads, f) if r.get("event") == "start"]
    except (OSError, ValueError):
        return []


wait_until(lambda: server_starts(), "the project server")
start = server_starts()[0]
if start["author"] != "Demo Designer" or start["tokenLength"] != len("demo-token") or start["tokenArgument"] != "":
    fail("the project server got no sign-in: %r" % start)
log("the project server got the token and the author")
first.wait_editor(1)
open_preview("Landing Page example")
edit_and_save(first, "Landing Page example", 1)
save = wait_window("^Save")
time.sleep(1)
# A name without folders: the dialog's completion of typed paths can swallow keys.
keys("ctrl+a")
xdo("type", "--delay", "20", os.path.basename(SAVED))
keys("Return")
wait_until(lambda: layers_in(SAVED) == ["features", "footer"], "the first save")
log("saved", layers_in(SAVED))
keys("ctrl+q")
first.wait_exit()
log("first session ended")

# --- second session: the recent document opens from the welcome window with the edit in it ---
BUS = start_bus()
second = Korvel("korvel-2", BUS)
welcome = wait_window("^Welcome to Korvel$")
_, _, width, _ = geometry(welcome)

# A file that is no document is refused; after OK korvel stays, with its welcome window.
NOTES = os.path.join(WORK, "Notes.korvelx")
with open(NOTES, "w") as f:
    f.write("Only some notes.\n")
handed = subprocess.run([KORVEL, NOTES], env=dict(ENV, DBUS_SESSION_BUS_ADDRESS=BUS), capture_output=True, timeout=60)
if handed.returncode != 0:
    fail("handing the notes over ended with status %d" % handed.returncode)
wait_until(lambda: "Could not open " + NOTES in open(second.log_path, errors="replace").read(), "the refusal")
time.sleep(1)
keys("Return")
time.sleep(3.5)  # longer than two of the idle checks that end a korvel with nothing on screen
if second.proc.poll() is not None or not find_window("^Welcome to Korvel$"):
    fail("korvel did not stay open with its welcome window after refusing a file")
log("refused the notes and stayed open")


def open_first_recent():
    if find_window("^Welcome to Korvel$"):
        click(welcome, width - 120, 21)  # the first row of the recent documents
        keys("Return")


attempt("reopening the recent document", open_first_recent, lambda: find_window("^Landing Page"))
edit_and_save(second, "^Landing Page", 1)
wait_until(lambda: layers_in(SAVED) == ["footer"], "the second save")
log("saved", layers_in(SAVED))
exported = export_frame(wait_window("^Landing Page"), os.path.dirname(SAVED))
if not all(w > 0 and h > 0 for w, h in exported.values()):
    fail("an exported frame is empty: %r" % exported)
log("exported", exported)

# A document given to a second start goes to the running korvel, which opens it.
OTHER = os.path.join(WORK, "Second Project.korvelx")
shutil.copy(os.path.join(ROOT, "resources/WelcomeWindow/examples/example-welcome.korvelx"), OTHER)
forwarded = subprocess.run([KORVEL, OTHER], env=dict(ENV, DBUS_SESSION_BUS_ADDRESS=BUS), capture_output=True,
                           timeout=60)
if forwarded.returncode != 0:
    fail("the second start ended with status %d" % forwarded.returncode)
wait_window("Second Project")
second.wait_editor(2)
log("second document opened in the running korvel")
keys("ctrl+q")
second.wait_exit()
log("second session ended")
cleanup()
shutil.rmtree(WORK, ignore_errors=True)
log("PASS")
