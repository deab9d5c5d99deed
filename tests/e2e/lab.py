"""Helpers for end-to-end runs inside the lab made by in_lab: time servers on the loopback
device, an X server, the real programs, and xdotool to act as the user."""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
BUILD = os.environ.get("ORVANE_BUILD", os.path.join(SOURCE, "build", "linux"))

# The build under test: the Linux programs, or the Windows ones under Wine.
WINDOWS = os.environ.get("ORVANE_TARGET") == "windows"

TABLE = ["129.6.15.28", "129.6.15.29", "132.163.97.1", "132.163.96.1", "128.138.140.44"]


def require_lab():
    if os.environ.get("IN_LAB") != "1":
        sys.exit("run this inside tests/e2e/in_lab: it must never reach the real network")


class Servers:
    """Time servers at table addresses, torn down with close()."""

    def __init__(self, workdir):
        self.workdir = workdir
        self.addresses = []
        self.processes = []

    def assign(self, *addresses):
        for a in addresses:
            subprocess.run(["ip", "addr", "add", a + "/32", "dev", "lo"], check=True)
            self.addresses.append(a)

    def inetd(self, *addresses):
        """openbsd-inetd's built-in RFC 868 service on each address."""
        self.assign(*addresses)
        conf = os.path.join(self.workdir, "inetd.conf")
        with open(conf, "w") as f:
            for a in addresses:
                f.write(f"{a}:time stream tcp nowait root internal\n")
        self.processes.append(subprocess.Popen(["/usr/sbin/inetd", "-i", conf]))
        for a in addresses:
            wait_for_listener(a)

    def scripted(self, address, mode):
        """Our scripted server; returns the words after "ready" that it starts with."""
        self.assign(address)
        p = subprocess.Popen([sys.executable, os.path.join(HERE, "timeserver.py"), address, mode],
                             stdout=subprocess.PIPE, text=True)
        ready = p.stdout.readline().split()[1:]
        self.processes.append(p)
        return ready

    def close(self):
        for p in self.processes:
            p.kill()
            p.wait()
            if p.stdout:
                p.stdout.close()
        for a in self.addresses:
            subprocess.run(["ip", "addr", "del", a + "/32", "dev", "lo"], check=False)
        self.processes, self.addresses = [], []


def wait_for_listener(address, port=37, seconds=5):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            with socket.create_connection((address, port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"no listener on {address}:{port}")


class Display:
    """An X server of our own (Xvfb), or the user's display when asked to use it."""

    def __init__(self, use_existing=WINDOWS):
        # Wine keeps one desktop per display: the Windows runs share the one scripts/wine-env made.
        self.process = None
        if use_existing and os.environ.get("DISPLAY"):
            self.name = os.environ["DISPLAY"]
            return
        for number in range(90, 140):
            if not os.path.exists(f"/tmp/.X11-unix/X{number}") and not os.path.exists(f"/tmp/.X{number}-lock"):
                break
        self.name = f":{number}"
        self.process = subprocess.Popen(["Xvfb", self.name, "-screen", "0", "800x600x24", "-nolisten", "tcp", "-noreset"],
                                        stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not self._accepts(f"/tmp/.X11-unix/X{number}"):
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise RuntimeError("Xvfb did not start")
            time.sleep(0.05)

    @staticmethod
    def _accepts(path):
        try:
            with socket.socket(socket.AF_UNIX) as s:
                s.connect(path)
            return True
        except OSError:
            return False

    def env(self, extra=None):
        runtime = "/tmp/orvane-lab-runtime"
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        env = dict(os.environ, DISPLAY=self.name, QT_QPA_PLATFORM="xcb", LANG="zh_TW.UTF-8",
                   LC_ALL="", QT_ACCESSIBILITY="0", XDG_RUNTIME_DIR=runtime)
        env.update(extra or {})
        return env

    def close(self):
        if self.process:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def xdotool(self, *args, check=True):
        r = subprocess.run(["xdotool", *args], env=self.env(), capture_output=True, text=True)
        if check and r.returncode != 0:
            raise RuntimeError(f"xdotool {' '.join(args)}: {r.stderr.strip()}")
        return r.stdout.strip()

    def find_window(self, title, seconds=10):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            for window in self.xdotool("search", "--onlyvisible", "--name", "", check=False).split():
                if self.xdotool("getwindowname", window, check=False) == title:
                    return window
            time.sleep(0.05)
        return None

    def click(self, window, x, y):
        self.xdotool("mousemove", "--window", window, str(x), str(y), "click", "1")

    def press(self, window, key):
        self.xdotool("windowfocus", "--sync", window)
        self.xdotool("key", key)

    def screenshot(self, path, window="root"):
        subprocess.run(["/usr/bin/import", "-window", window, path], env=self.env(), check=True)


class UiLog:
    """Reads what the Qt layer logs of the window (PLATFORM_UI_LOG)."""

    def __init__(self, workdir):
        self.path = os.path.join(workdir, "ui.log")
        open(self.path, "w").close()

    def events(self):
        with open(self.path, encoding="utf-8") as f:
            return [tuple((line.rstrip("\n").split("\t") + ["", ""])[:3]) for line in f]

    def captions(self):
        """The last caption and enabled state of every control."""
        state = {}
        for event, control, text in self.events():
            if event == "caption":
                state[control] = text
            elif event == "enabled":
                state[control + ".enabled"] = text == "1"
        return state

    def message_boxes(self):
        return [(title, text) for event, title, text in self.events() if event == "messagebox"]

    def wait_for(self, predicate, seconds=10):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if predicate(self):
                return True
            time.sleep(0.02)
        return False


def windows_path(path):
    """A path as a Windows program under Wine sees it (drive Z: is /)."""
    return "Z:" + os.fsdecode(os.path.abspath(path)).replace("/", "\\")


def program_command(path, *args):
    """How to start a program of the build under test: natively, or under Wine."""
    if WINDOWS:
        return [os.path.join(SOURCE, "scripts", "wine-run"), os.fsencode(path) + b".exe", *args]
    return [path, *args]


def program_env(display, log):
    return display.env({"PLATFORM_UI_LOG": windows_path(log.path) if WINDOWS else log.path})


def orvane(display, log, *args):
    with open(log.path + ".stderr", "a") as errors:
        return subprocess.Popen(program_command(os.path.join(BUILD, "orvane"), *args),
                                env=program_env(display, log), stdout=subprocess.DEVNULL,
                                stderr=errors)


def workdir():
    return tempfile.mkdtemp(prefix="orvane-e2e-")


def remove(path):
    shutil.rmtree(path, ignore_errors=True)


def ignore_echoes(ignore=True):
    """Whether the lab's loopback leaves echoes unanswered, so that each probe takes its whole
    time-out."""
    with open("/proc/sys/net/ipv4/icmp_echo_ignore_all", "w") as f:
        f.write("1" if ignore else "0")


def colours(png):
    """How many pixels of each colour an image has."""
    out = subprocess.run(["convert", png, "-format", "%c", "histogram:info:-"],
                         capture_output=True, text=True, check=True).stdout
    counts = {}
    for line in out.splitlines():
        count, _, rest = line.strip().partition(":")
        rgb = rest.strip().split(")")[0].strip("( ").split(",")[:3]
        counts[tuple(int(float(c)) for c in rgb)] = int(count)
    return counts


def destroy_window(display, window):
    """What another X client can do to any window: destroy it."""
    from Xlib import display as xdisplay
    d = xdisplay.Display(display.name)
    d.create_resource_object("window", int(window)).destroy()
    d.sync()
    d.close()


def request_close(display, window):
    """What a window manager sends for the title-bar close box: WM_DELETE_WINDOW."""
    from Xlib import X, display as xdisplay, protocol
    d = xdisplay.Display(display.name)
    target = d.create_resource_object("window", int(window))
    protocols = d.intern_atom("WM_PROTOCOLS")
    delete = d.intern_atom("WM_DELETE_WINDOW")
    event = protocol.event.ClientMessage(window=target, client_type=protocols,
                                         data=(32, [delete, X.CurrentTime, 0, 0, 0]))
    target.send_event(event, event_mask=X.NoEventMask)
    d.flush()
    d.close()
