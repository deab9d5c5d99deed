"""The end-to-end harness: the programs of one build (ORVANE_TARGET linux, or windows under Wine)
in the lab of in_lab or the VM of scripts/clock-vm, local time servers at the table's addresses,
an X server, and a user played by xdotool and Xlib; what the window shows is PLATFORM_UI_LOG's."""
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
WINDOWS = os.environ.get("ORVANE_TARGET") == "windows"
BUILD = os.environ.get("ORVANE_BUILD", os.path.join(SOURCE, "build", "windows" if WINDOWS else "linux"))
IN_VM = os.environ.get("IN_VM") == "1"

with open(os.path.join(SOURCE, "clocksetter", "server_table.cpp"), encoding="utf-8") as f:
    TABLE = re.findall(r'^\s*"([0-9.]+)_', f.read(), re.MULTILINE)  # the programs' own table


def until(predicate, seconds=10):
    """The predicate's first true result within the time, else its last."""
    deadline = time.monotonic() + seconds
    while not (result := predicate()) and time.monotonic() < deadline:
        time.sleep(0.05)
    return result


class SystemLog:
    """A listener on /dev/log, as a system logger makes it, for the VM alone, whose /dev is its own:
    the clock helper sets no clock it cannot record. lines() takes what came."""

    PATH = "/dev/log"

    def __init__(self):
        if not IN_VM:
            raise RuntimeError("only in the VM: elsewhere /dev/log is the system's own logger")
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.socket.bind(self.PATH)
        os.chmod(self.PATH, 0o666)

    def lines(self, wait=0.5):
        """The lines received, until none has come for the wait; none once closed."""
        if self.socket.fileno() < 0:
            return []
        self.socket.settimeout(wait)
        got = []
        try:
            while True:
                got.append(self.socket.recv(4096).decode(errors="replace"))
        except socket.timeout:
            return got

    def close(self):
        if self.socket.fileno() >= 0:
            self.socket.close()
            os.remove(self.PATH)


def windows_path(path):
    """A path as a Windows program under Wine sees it (drive Z: is /)."""
    return "Z:" + os.fsdecode(os.path.abspath(path)).replace("/", "\\")


def colours(png):
    """How many pixels of each colour an image has."""
    out = subprocess.run(["convert", png, "-format", "%c", "histogram:info:-"],
                         capture_output=True, text=True, check=True).stdout
    found = {}
    for line in out.splitlines():
        count, _, rest = line.strip().partition(":")
        found[tuple(int(float(c)) for c in rest.strip(" (").split(")")[0].split(",")[:3])] = int(count)
    return found


class World:
    """One case's world, torn down with close(): a folder, time servers, an X display, the log."""

    def __init__(self):
        if os.environ.get("IN_LAB") != "1":
            sys.exit("run this in lab/in_lab or scripts/clock-vm: never on the real network")
        self.dir = tempfile.mkdtemp(prefix="orvane-e2e-")
        os.chmod(self.dir, 0o777)  # an unprivileged run writes its log here too
        self.log = os.path.join(self.dir, "ui.log")
        open(self.log, "w").close()
        os.chmod(self.log, 0o666)
        self.addresses, self.processes, self.xvfb = [], [], None
        if WINDOWS and os.environ.get("DISPLAY") and not IN_VM:
            self.display = os.environ["DISPLAY"]  # Wine keeps one desktop per display
            return
        read, write = os.pipe()
        self.xvfb = subprocess.Popen([os.path.join(HERE, "xvfb"), str(write), "800x600x24"],
                                     pass_fds=[write], stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as f:
            self.display = ":" + f.readline().strip()

    def close(self):
        for p in self.processes:
            p.kill()
            p.wait()
        if self.xvfb:  # terminated, not killed: it removes its socket and lock
            self.xvfb.terminate()
            self.xvfb.wait()
        for a in self.addresses:
            subprocess.run(["ip", "addr", "del", a + "/32", "dev", "lo"], check=False)
        self.addresses, self.processes, self.xvfb = [], [], None
        shutil.rmtree(self.dir, ignore_errors=True)

    # --- Time servers at the table's addresses, on the loopback device ---

    def assign(self, *addresses):
        for a in addresses:
            subprocess.run(["ip", "addr", "add", a + "/32", "dev", "lo"], check=True)
            self.addresses.append(a)

    def inetd(self, *addresses):
        """openbsd-inetd's built-in RFC 868 service on each address."""
        self.assign(*addresses)
        conf = os.path.join(self.dir, "inetd.conf")
        with open(conf, "w") as f:
            f.writelines(f"{a}:time stream tcp nowait root internal\n" for a in addresses)
        self.processes.append(subprocess.Popen(["/usr/sbin/inetd", "-i", conf]))
        until(lambda: all(socket.socket().connect_ex((a, 37)) == 0 for a in addresses), 5)

    def serve(self, address, mode, assign=True):
        """Our scripted server (timeserver.py); the words after "ready" it starts with. Without
        assign the address is not on the loopback device yet: no route leads there."""
        if assign:
            self.assign(address)
        p = subprocess.Popen([sys.executable, os.path.join(HERE, "timeserver.py"), address, mode],
                             stdout=subprocess.PIPE, text=True)
        self.processes.append(p)
        return p.stdout.readline().split()[1:]

    # --- The programs ---

    def env(self, **extra):
        runtime = os.path.join(self.dir, "runtime")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        env = dict(os.environ, DISPLAY=self.display, QT_QPA_PLATFORM="xcb", LANG="zh_TW.UTF-8",
                   LC_ALL="", QT_ACCESSIBILITY="0", XDG_RUNTIME_DIR=runtime,
                   PLATFORM_UI_LOG=windows_path(self.log) if WINDOWS else self.log)
        env.update(extra)
        return env

    def wayland(self):
        """A Wayland session's compositor (Weston, headless): what a program started with these
        extra settings meets instead of the X server."""
        extra = dict(WAYLAND_DISPLAY="wayland-lab", QT_QPA_PLATFORM="wayland", DISPLAY="")
        self.processes.append(subprocess.Popen(
            ["weston", "--backend=headless-backend.so", "--socket=wayland-lab", "--idle-time=0"],
            env=self.env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        socket_path = os.path.join(self.env()["XDG_RUNTIME_DIR"], "wayland-lab")
        until(lambda: os.path.exists(socket_path), 10)
        return extra

    def command(self, path, *args):
        """How to start a program of the build under test: natively, or under Wine."""
        if WINDOWS:
            return [os.path.join(SOURCE, "scripts", "wine-exe"), os.fsencode(path) + b".exe", *args]
        return [path, *args]

    def start(self, path, *args, **env):
        errors = open(os.path.join(self.dir, "stderr"), "ab")
        return subprocess.Popen(self.command(path, *args), env=self.env(**env),
                                stdout=subprocess.DEVNULL, stderr=errors)

    def stderr(self):
        with open(os.path.join(self.dir, "stderr"), "rb") as f:
            return f.read().decode(errors="replace")

    # --- What the window showed (PLATFORM_UI_LOG) ---

    def events(self):
        with open(self.log, encoding="utf-8") as f:
            return [tuple((line.rstrip("\n").split("\t") + ["", ""])[:3]) for line in f]

    def shown(self):
        """The last caption and enabled state of every control."""
        state = {}
        for event, control, text in self.events():
            if event in ("caption", "enabled"):
                state[control + (".enabled" if event == "enabled" else "")] = text
        return state

    def boxes(self):
        return [(title, text) for event, title, text in self.events() if event == "messagebox"]

    # --- The user ---

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env=self.env(), capture_output=True,
                              text=True).stdout.strip()

    def window(self, title, seconds=15):
        def find():
            for w in self.xdotool("search", "--onlyvisible", "--name", "").split():
                if self.xdotool("getwindowname", w) == title:
                    return w
        return until(find, seconds)

    def press(self, window, key):
        self.xdotool("windowfocus", "--sync", window)
        self.xdotool("key", key)

    def answer(self, title, key):
        """Answers a message box with a key, again while that box stays: a key sent while Wine is
        still settling a new box can be lost on a loaded machine."""
        window = self.window(title)
        visible = lambda: self.xdotool("search", "--onlyvisible", "--name", "").split()
        for _ in range(3):
            self.press(window, key)
            if until(lambda: window not in visible(), 3):
                break

    def click(self, window, x, y):
        self.xdotool("mousemove", "--window", window, str(x), str(y), "click", "1")

    def screenshot(self, path, window):
        subprocess.run(["import", "-window", window, path], env=self.env(), check=True)

    def x_request(self, window, destroy):
        """Another X client at work: destroying the window, or asking it to close as a window
        manager's close box does (WM_DELETE_WINDOW)."""
        from Xlib import X, display as xdisplay, protocol
        d = xdisplay.Display(self.display)
        target = d.create_resource_object("window", int(window))
        if destroy:
            target.destroy()
        else:
            protocols, delete = d.intern_atom("WM_PROTOCOLS"), d.intern_atom("WM_DELETE_WINDOW")
            target.send_event(protocol.event.ClientMessage(
                window=target, client_type=protocols, data=(32, [delete, X.CurrentTime, 0, 0, 0])),
                event_mask=X.NoEventMask)
        d.sync()
        d.close()
