"""A private desktop for driving the real korvel as a person does: an X display, a session bus,
the cloud stand-in, a home folder, and xdotool for the pointer and the keyboard (XTEST).

Every failure takes a picture of the screen and prints the end of korvel's log before it ends
the script with status 1.
"""
import atexit
import base64
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request
import zipfile

SCREENSHOT = """
import sys, gi
gi.require_version('Gdk', '3.0')
from gi.repository import Gdk
w = Gdk.get_default_root_window()
Gdk.pixbuf_get_from_window(w, 0, 0, w.get_width(), w.get_height()).savev(sys.argv[1], 'png', [], [])
"""

# How many pixels of a region of the screen are dark: ink, such as text, on a light background.
INK = """
import sys, gi
gi.require_version('Gdk', '3.0')
from gi.repository import Gdk
x, y, width, height = (int(a) for a in sys.argv[1:5])
shot = Gdk.pixbuf_get_from_window(Gdk.get_default_root_window(), x, y, width, height)
pixels, stride, step = shot.get_pixels(), shot.get_rowstride(), shot.get_n_channels()
print(sum(1 for row in range(height) for col in range(width)
          if sum(pixels[row * stride + col * step:row * stride + col * step + 3]) < 300))
"""

# A picture of a region of the screen, saved: its number of colours, and the colours near the
# middle of its bottom edge and of its left edge.
PICTURE = """
import sys, gi
gi.require_version('Gdk', '3.0')
from gi.repository import Gdk
x, y, w, h = (int(v) for v in sys.argv[2:6])
shot = Gdk.pixbuf_get_from_window(Gdk.get_default_root_window(), x, y, w, h)
shot.savev(sys.argv[1], 'png', [], [])
data, stride, n = shot.get_pixels(), shot.get_rowstride(), shot.get_n_channels()
def at(c, r):
    return bytes(data[r * stride + c * n:r * stride + c * n + 3]).hex()
print(len({bytes(data[r * stride + c * n:r * stride + c * n + 3]) for r in range(h) for c in range(w)}))
print(at(w // 2, h - 8), at(8, h // 2))
"""


# The ids of every layer in a saved document; none when the file is not a readable document.
def layers_in(path):
    try:
        with zipfile.ZipFile(path) as z:
            document = json.loads(z.read("design/document.json"))
    except (OSError, KeyError, ValueError, zipfile.BadZipFile):
        return None
    return [layer["id"] for page in document.get("pages", []) for layer in page.get("layers", [])]


def origin_of(folder):
    """The document a working-copy folder's origin record names, or None."""
    try:
        with open(os.path.join(folder, "info")) as f:
            info = json.load(f)
        return json.loads(base64.b64decode(info["bookmarkData"]))["path"]
    except (OSError, ValueError, KeyError, TypeError):
        return None


def working_copies(autosave):
    """Working-copy folders (not set-aside copies) in `autosave` by the document they name."""
    named = {}
    for name in os.listdir(autosave):
        if name.startswith("Korvel-") and " unsaved edits " not in name:
            named.setdefault(origin_of(os.path.join(autosave, name)), []).append(name)
    return named


def layers_in_working_copy(autosave, document):
    """How many layers the working copy of `document` holds; None without one."""
    for folder in working_copies(autosave).get(os.path.realpath(document), []):
        try:
            with open(os.path.join(autosave, folder, "container/design/document.json")) as f:
                design = json.load(f)
        except (OSError, ValueError):
            continue
        return sum(len(page.get("layers", [])) for page in design.get("pages", []))
    return None


class Desktop:
    def __init__(self, korvel, root, name, signed_in=True, screen="1280x1024", window_manager=False):
        self.korvel_path, self.root = os.path.abspath(korvel), os.path.abspath(root)
        self.work = tempfile.mkdtemp(prefix="korvel-%s-" % name)
        self.home = os.path.join(self.work, "home")
        self.documents = os.path.join(self.home, "Documents")
        self.procs = []
        # Whatever ends the script, the display, the service and korvel go with it.
        atexit.register(self.cleanup)
        self.logs = []
        self.start = time.monotonic()
        self.screen = tuple(int(v) for v in screen.split("x"))
        self.display = self._start_display()
        if window_manager:
            self._start_window_manager()
        self.port = self._start_standin()
        for sub in (".config/Korvel", ".local/share", ".cache", "Documents"):
            os.makedirs(os.path.join(self.home, sub), exist_ok=True)
        local = "http://127.0.0.1:%d" % self.port
        defaults = {"CurrentStoreEnvironment": 3, "LocalServicesBaseURL": local, "CloudServerBaseUrl": local}
        if signed_in:
            defaults["KorvelLoginToken"] = "demo-token"
        with open(os.path.join(self.home, ".config/Korvel/defaults.json"), "w") as f:
            json.dump(defaults, f)
        self.env = dict(os.environ, DISPLAY=self.display, HOME=self.home,
                        XDG_CONFIG_HOME=os.path.join(self.home, ".config"),
                        XDG_DATA_HOME=os.path.join(self.home, ".local/share"),
                        XDG_CACHE_HOME=os.path.join(self.home, ".cache"),
                        G_MESSAGES_DEBUG="com.korvel.x.dev", NO_AT_BRIDGE="1", GSETTINGS_BACKEND="memory")
        if "detect_leaks=1" in self.env.get("ASAN_OPTIONS", ""):
            self.env["ASAN_OPTIONS"] += ":fast_unwind_on_malloc=0"
        self.env.pop("WAYLAND_DISPLAY", None)
        self.env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        self.bus = self._start_bus()

    # --- reporting ---

    def log(self, *args):
        print("[%6.1f]" % (time.monotonic() - self.start), *args, flush=True)

    def shot(self, name):
        path = os.path.join(self.work, name + ".png")
        subprocess.run(["/usr/bin/python3", "-c", SCREENSHOT, path], env=self.env, check=False)
        return path

    def ink(self, window, x, y, width, height):
        """How many dark pixels a region of a window (window coordinates) shows on screen."""
        wx, wy, _, _ = self.geometry(window)
        out = subprocess.run(["/usr/bin/python3", "-c", INK, str(wx + x), str(wy + y), str(width), str(height)],
                             env=self.env, capture_output=True, text=True)
        return int(out.stdout) if out.returncode == 0 and out.stdout.strip().isdigit() else 0

    def picture(self, window, name):
        """The number of colours of a picture of `window`, saved as `name`.png, and two colours near its
        edges (the middle of the bottom, the middle of the left)."""
        if not window:
            return 0, []
        path = os.path.join(self.work, name + ".png")
        shot = subprocess.run(["/usr/bin/python3", "-c", PICTURE, path, *map(str, self.geometry(window))],
                              env=self.env, capture_output=True, text=True)
        lines = shot.stdout.split("\n") if shot.returncode == 0 else []
        return (int(lines[0]), lines[1].split()) if len(lines) > 1 else (0, [])

    def fail(self, message):
        self.log("FAIL:", message)
        self.log("screenshot:", self.shot("failure"))
        for path in self.logs:
            if os.path.exists(path):
                with open(path, errors="replace") as f:
                    self.log("---", os.path.basename(path), "---\n" + f.read()[-6000:])
        self.cleanup()
        sys.exit(1)

    def cleanup(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                try:
                    os.killpg(p.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                p.wait()

    def quit_and_pass(self, korvel, window):
        """Ctrl+Q from `window`, then the work folder goes unless KORVEL_TEST_SHOTS keeps its pictures."""
        self.focus_editor(window)
        self.keys("ctrl+q")
        korvel.wait_exit()
        self.cleanup()
        if not os.environ.get("KORVEL_TEST_SHOTS"):
            shutil.rmtree(self.work, ignore_errors=True)
        self.log("PASS")

    # --- set-up ---

    def _start_display(self):
        # Servers of tests running beside this one start and end at the same moment; a display
        # that its server announced but that takes no client is given up and another started.
        for attempt in range(3):
            r, w = os.pipe()
            xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "%dx%dx24" % self.screen, "-nolisten", "tcp"],
                                    pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                    start_new_session=True)
            self.procs.append(xvfb)
            os.close(w)
            number = b""
            while not number.endswith(b"\n"):
                chunk = os.read(r, 16)
                if not chunk:
                    break
                number += chunk
            os.close(r)
            display = ":" + number.decode().strip()
            if number.strip() and self._display_answers(display, xvfb):
                return display
            self.log("display %s took no client; starting another" % display)
            os.killpg(xvfb.pid, signal.SIGKILL)
            xvfb.wait()
            self.procs.remove(xvfb)
        self.log("FAIL: no virtual display could be started")
        self.cleanup()
        sys.exit(1)

    def _start_window_manager(self):
        """openbox: windows get the keyboard when clicked and stack as on a person's desktop."""
        env = dict(os.environ, DISPLAY=self.display)
        log_path = os.path.join(self.work, "openbox.log")
        self.logs.append(log_path)

        def named():
            # The manager is ready once it names itself on the root window.
            out = subprocess.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], env=env, capture_output=True, text=True)
            return "window id" in out.stdout

        # On a loaded machine a display that a server beside ours has just given up can refuse a first
        # client for a moment, or the manager takes long to name itself: it is started again.
        for attempt in range(3):
            with open(log_path, "a") as log:
                manager = subprocess.Popen(["openbox", "--sm-disable"], env=env, stdout=log, stderr=subprocess.STDOUT,
                                           start_new_session=True)
            self.procs.append(manager)
            if self.within(lambda: manager.poll() is not None or named(), 30) and manager.poll() is None:
                return
            self.log("the window manager did not come up; starting it again")
            if manager.poll() is None:
                os.killpg(manager.pid, signal.SIGKILL)
                manager.wait()
            self.procs.remove(manager)
        self.fail("the window manager did not start")

    @staticmethod
    def _display_answers(display, xvfb):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and xvfb.poll() is None:
            if subprocess.run(["xdpyinfo", "-display", display], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0:
                return True
            time.sleep(0.1)
        return False

    def _start_standin(self):
        p = subprocess.Popen(["node", os.path.join(self.root, "tools/cloud-standin/server.js"), "0"],
                             stdout=subprocess.PIPE, text=True, start_new_session=True)
        self.procs.append(p)
        return json.loads(p.stdout.readline())["port"]

    def _start_bus(self):
        bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"], stdout=subprocess.PIPE,
                               text=True, start_new_session=True, env=self.env)
        self.procs.append(bus)
        return bus.stdout.readline().strip()

    def standin_counts(self):
        """What the cloud stand-in counted (requests of each kind, login pages shown)."""
        try:
            with urllib.request.urlopen("http://127.0.0.1:%d/_standin/counts" % self.port, timeout=10) as answer:
                return json.loads(answer.read())
        except (OSError, ValueError):
            return {}

    # --- korvel ---

    def start_korvel(self, name, extra_env=None, files=()):
        """korvel, started as `korvel files…` is."""
        log_path = os.path.join(self.work, name + ".log")
        self.logs.append(log_path)
        log = open(log_path, "w")
        env = dict(self.env, DBUS_SESSION_BUS_ADDRESS=self.bus, **(extra_env or {}))
        proc = subprocess.Popen([self.korvel_path, *files], env=env, stdout=log, stderr=subprocess.STDOUT,
                                start_new_session=True, cwd=self.work)
        self.procs.append(proc)
        return Korvel(self, proc, log_path)

    def hand_file(self, path):
        """Gives a file to the running korvel, as the desktop does when a file is opened with it."""
        done = subprocess.run([self.korvel_path, path], env=dict(self.env, DBUS_SESSION_BUS_ADDRESS=self.bus),
                              capture_output=True, timeout=60)
        if done.returncode != 0:
            self.fail("handing %s over ended with status %d" % (path, done.returncode))

    def open_document(self, korvel, path, title, hand=None):
        """Opens `path` in the running korvel (by default as the desktop hands a file) and waits
        for its window and for its editor page to be ready once more."""
        ready = korvel.text().count("Editor page ready")
        (hand or self.hand_file)(path)
        window = self.wait_window(title)
        korvel.wait_log("Editor page ready", count=ready + 1)
        return window

    # --- the person ---

    def xdo(self, *args, check=True):
        out = subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True)
        if check and out.returncode != 0:
            self.fail("xdotool %s: %s" % (" ".join(args), out.stderr.strip()))
        return out.stdout.strip()

    def find_window(self, pattern):
        ids = self.xdo("search", "--onlyvisible", "--name", pattern, check=False).split()
        return ids[-1] if ids else None

    def wait_window(self, pattern, timeout=60):
        # The id found is the one answered: a second search could miss a window being shown again.
        found = []
        self.wait_until(lambda: found.append(self.find_window(pattern)) or found[-1], "a window named %r" % pattern,
                        timeout)
        return found[-1]

    def geometry(self, window):
        """The window's position on the screen and its size: x, y, width, height. Under a window
        manager that puts the window in a frame of its own, xdotool counts the frame's offset twice;
        xwininfo does not."""
        out = subprocess.run(["xwininfo", "-id", window], env=self.env, capture_output=True, text=True).stdout
        values = {}
        for line in out.splitlines():
            key, _, value = line.strip().partition(":")
            values[key] = value.strip()
        try:
            return (int(values["Absolute upper-left X"]), int(values["Absolute upper-left Y"]), int(values["Width"]),
                    int(values["Height"]))
        except (KeyError, ValueError):
            self.fail("no geometry of window %s" % window)

    def frame(self, window):
        """The window's frame as the window manager draws it (root coordinates): x, y, width, height."""
        x, y, width, height = self.geometry(window)
        out = subprocess.run(["xprop", "-id", window, "_NET_FRAME_EXTENTS"], env=self.env, capture_output=True, text=True)
        try:
            left, right, top, bottom = (int(v) for v in out.stdout.split("=")[1].split(","))
        except (IndexError, ValueError):
            left = right = top = bottom = 0
        return x - left, y - top, width + left + right, height + top + bottom

    def click(self, window, x, y, repeat=1, button=1):
        wx, wy, _, _ = self.geometry(window)
        self.xdo("mousemove", "--sync", str(wx + x), str(wy + y))
        self.xdo("click", "--repeat", str(repeat), "--delay", "80", str(button))

    def keys(self, *names):
        for name in names:
            self.xdo("key", "--clearmodifiers", name)
            time.sleep(0.2)

    def sign_in(self, login):
        """Types the stand-in's token into the login page and sends it."""
        self.click(login, 120, 140)  # the page's heading: gives the page the keyboard
        self.keys("Tab", "ctrl+a")
        self.xdo("type", "--delay", "40", "demo-token")
        self.keys("Return")

    def focus_editor(self, window):
        """Gives a document window's page the keyboard without selecting anything.

        Without a window manager the windows lie on top of each other and a click does not move
        the keyboard between them: bring this one up and give it the keyboard, then click its
        empty canvas."""
        self.xdo("windowraise", window)
        self.xdo("windowfocus", "--sync", window, check=False)
        _, _, width, height = self.geometry(window)
        self.click(window, width // 2, height - 40)
        time.sleep(0.5)

    def click_until_changed(self, what, window, at, region, timeout=10):
        """Clicks a control of a page until a region of the window (x, y, width, height) looks
        different: the page shows what the click opens only once its web process has taken it."""
        before = self.ink(window, *region)
        self.attempt(what, lambda: self.click(window, *at), lambda: self.ink(window, *region) != before,
                     timeout=timeout)

    def untitled(self, korvel):
        """korvel's windows on screen without a title: its alerts and open menus."""
        ids = self.xdo("search", "--onlyvisible", "--pid", str(korvel.proc.pid), check=False).split()
        return [w for w in ids if self.xdo("getwindowname", w, check=False) == ""]

    def dismiss_alert(self, korvel):
        """Waits for an alert of korvel and answers it with its default button (Return)."""
        self.wait_until(lambda: self.untitled(korvel), "an alert")
        self.attempt("answering the alert", lambda: self.keys("Return"), lambda: not self.untitled(korvel),
                     timeout=10)

    def _popups(self):
        # Menus are untitled windows that name no process.
        ids = self.xdo("search", "--onlyvisible", "--name", "", check=False).split()
        return {w for w in ids if self.xdo("getwindowname", w, check=False) == ""}

    def pick(self, window, menu, item):
        """Opens a menu of the window's menu bar and, once it is on screen, clicks one of its items
        (window coordinates both). Answers whether the item was taken: a click the menu bar was not
        ready for opens nothing, and a disabled item leaves the menu open, until Escape."""
        before = self._popups()
        self.click(window, *menu)
        if not self.within(lambda: self._popups() - before, 15):
            return False
        opened = self._popups() - before
        self.click(window, *item)
        if self.within(lambda: not opened & self._popups(), 5):
            return True
        self.keys("Escape")
        self.wait_until(lambda: not opened & self._popups(), "the menu to close")
        return False

    def still_running_with(self, korvel, pattern, what):
        # korvel ends itself after two idle checks a second apart with nothing on screen: it has
        # had the time for them when it still runs after this.
        time.sleep(3.5)
        if not korvel.running():
            self.fail("korvel ended after " + what)
        if not self.find_window(pattern):
            self.fail("no window named %r after %s" % (pattern, what))

    def within(self, check, timeout):
        """Whether `check` holds within `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if check():
                return True
            time.sleep(0.2)
        return bool(check())

    def wait_until(self, check, what, timeout=60):
        if not self.within(check, timeout):
            self.fail("timed out waiting for " + what)

    def attempt(self, what, act, done, tries=3, timeout=20):
        """A person tries again when a click or a key came before the window was ready for it."""
        for _ in range(tries):
            act()
            if self.within(done, timeout):
                return
            self.log("trying again:", what)
        self.fail("gave up: " + what)


class Korvel:
    def __init__(self, desktop, proc, log_path):
        self.desktop, self.proc, self.log_path = desktop, proc, log_path

    def text(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def wait_log(self, needle, count=1, timeout=90):
        self.desktop.wait_until(lambda: self.text().count(needle) >= count, "%r in the log" % needle, timeout)

    def running(self):
        return self.proc.poll() is None

    def kill(self):
        """kill -9 of korvel and every process it started."""
        os.killpg(self.proc.pid, signal.SIGKILL)
        self.proc.wait()

    def open_document(self, path, title):
        """Hands `path` over and waits for its window, named as `title` matches, and its editor page."""
        ready = self.text().count("Editor page ready")
        self.desktop.hand_file(path)
        window = self.desktop.wait_window(title)
        self.wait_log("Editor page ready", count=ready + 1)
        return window

    def wait_exit(self, timeout=60):
        try:
            status = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.desktop.fail("korvel did not quit")
        if status != 0:
            self.desktop.fail("korvel exited with status %d" % status)
