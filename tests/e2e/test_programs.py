"""The unmodified programs of one build (Linux, or Windows under Wine), as a user meets them:
Orvane and Pelstow in the namespace lab, and Clock in the VM of scripts/clock-vm, where the clock is
the VM's own and is really set. Cases a build cannot show are skipped with the reason."""
import fcntl
import glob
import os
import pickle
import pwd
import re
import resource
import shutil
import signal
import socket
import struct
import subprocess
import time
import unittest

import lab

ORVANE, PELSTOW = os.path.join(lab.BUILD, "orvane"), os.path.join(lab.BUILD, "pelstow")
WINDOW, DOTS, FINISH = "網路校時 (By zevo)", ".............", (212, 180)
SUCCESS, REFUSED = "系統時間校正成功。", "執行時有錯誤發生！"
EXE = b".exe" if lab.WINDOWS else b""
DIST = os.path.join(lab.SOURCE, "build", "dist")
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
HELPER = "/usr/libexec/orvane-settime"
with open(os.path.join(lab.SOURCE, "CMakeLists.txt")) as f:
    VERSION = re.search(r"set\(ORVANE_VERSION (\S+)\)", f.read()).group(1)  # Orvane's, as built


def only_linux(reason):
    return unittest.skipIf(lab.WINDOWS, reason)


def shipped(pattern):
    """The file of build/dist that scripts/package made, or the case is skipped."""
    found = glob.glob(os.path.join(DIST, pattern))
    if not found:
        raise unittest.SkipTest("not made yet: scripts/package makes it")
    return found[0]


class Case(unittest.TestCase):
    def setUp(self):
        self.world = lab.World()
        self.addCleanup(lambda: self.world.close())  # whichever lab the case ends with

    def finished(self, process, seconds=30):
        self.addCleanup(lambda: process.poll() is None and process.kill())
        return process.wait(seconds)


@unittest.skipIf(lab.IN_VM, "in the namespace lab")
class Orvane(Case):
    def test_a_quiet_run_without_a_reply_says_so_after_the_wait(self):
        self.world.serve(lab.TABLE[0], "silent")
        start = time.monotonic()
        process = self.world.start(ORVANE, "-x", "/q")
        box = self.world.window("程式報告")
        self.assertGreater(time.monotonic() - start, 1.2)  # 200 ms pause + the 1 s wait
        self.assertIsNone(process.poll(), "the box waits for the user")
        self.world.press(box, "Return")
        self.assertEqual(self.finished(process), 0)
        self.assertEqual(self.world.boxes(), [("程式報告", "網路有問題！校時未能完成。")])
        self.assertEqual((self.world.shown()["lbl錯誤訊息"], self.world.shown()["lbl狀態"]), ("", DOTS))

    def test_the_window_shows_its_design_at_once_and_waits_for_the_user(self):
        self.world.inetd(*lab.TABLE)
        with open("/proc/sys/net/ipv4/icmp_echo_ignore_all", "w") as f:
            f.write("1")  # each echo now takes its whole second
        process = self.world.start(ORVANE)
        window = self.world.window(WINDOW)
        time.sleep(0.5)
        shot = os.path.join(self.world.dir, "first.png")
        self.world.screenshot(shot, window)
        # The window, the band, the buttons and the empty bar's red (Wine paints the bar anew only
        # once the echo returns); then the full bar's blue.
        for colour in ((255, 255, 192), (255, 128, 0), (255, 255, 0), (255, 0, 0))[:3 + (not lab.WINDOWS)]:
            self.assertGreater(lab.colours(shot).get(colour, 0), 1000, colour)
        self.assertEqual(self.world.shown().get("lbl目標"), DOTS, "still on the first echo")
        with open("/proc/sys/net/ipv4/icmp_echo_ignore_all", "w") as f:
            f.write("0")
        self.assertTrue(lab.until(lambda: self.world.shown().get("cmd再執行.enabled") == "1", 15))
        time.sleep(0.3)
        self.world.screenshot(shot, window)
        self.assertGreater(lab.colours(shot).get((0, 0, 255), 0), 1000, "the full bar")
        self.assertEqual(self.world.shown()["lbl錯誤訊息"], "請按〔完成〕結束校時")
        self.world.x_request(window, destroy=False)  # the close box
        time.sleep(0.5)
        self.assertIsNone(process.poll(), "the close box must not close the window")
        self.world.click(window, *FINISH)
        self.assertEqual(self.finished(process), 0)

    def runs(self):
        return sum(1 for e in self.world.events() if e[:3] == ("caption", "lbl目標", DOTS))

    def run_ended(self, runs):
        return lab.until(lambda: self.runs() == runs and
                         self.world.shown().get("cmd再執行.enabled") == "1", 15)

    def test_the_keys_a_user_presses_twice_do_the_same_thing_twice(self):
        self.world.inetd(*lab.TABLE)
        process = self.world.start(ORVANE)
        window = self.world.window(WINDOW)
        self.assertTrue(self.run_ended(1))
        # The run gives the focus back to "再執行一次": each of these keys runs once more.
        for runs, key in enumerate(("Return", "space", "KP_Enter", "space"), start=2):
            self.world.press(window, key)
            self.assertTrue(self.run_ended(runs), key)
        self.world.press(window, "alt+F4")
        time.sleep(0.5)
        self.assertIsNone(process.poll(), "Alt+F4 is the close box: refused")
        self.world.press(window, "Tab")
        self.world.press(window, "Return")  # on "完成"
        self.assertEqual(self.finished(process), 0)

    def test_without_a_display_orvane_ends_with_the_report(self):
        process = self.world.start(ORVANE, DISPLAY="")
        self.assertEqual(self.finished(process, 60), 1)
        self.assertIn("無法建立視窗" if lab.WINDOWS else "無法開啟顯示器", self.world.stderr())

    def test_a_quiet_run_ends_by_itself_and_at_sign_in_begins_once_a_route_is_there(self):
        """/Q against openbsd-inetd; as the autostart entry and the sign-in task start it: at once
        with the network up (also in a Wayland session), else saying it waits until a route
        appears 3 s later."""
        with open(os.path.join(lab.SOURCE, "packaging", "orvane-login.desktop")) as f:
            command = re.search(r"^Exec=orvane (.*)$", f.read(), re.M).group(1).split()
        waiting = ("caption", "lbl錯誤訊息", "等候網路連線…")
        rows = [(["/Q"], None, False), (command, 0, False), (command, 3, False)]
        for args, route_after, wayland in rows + ([] if lab.WINDOWS else [(command, 0, True)]):
            with self.subTest(args=args, route_after=route_after, wayland=wayland):
                self.world.close()
                self.world = lab.World()
                if route_after is None:
                    self.world.inetd(*lab.TABLE)
                else:
                    self.world.serve(lab.TABLE[0], "anchored", assign=route_after == 0)
                start = time.monotonic()
                process = self.world.start(ORVANE, *args, **(self.world.wayland() if wayland else {}))
                if route_after:
                    time.sleep(route_after)
                    self.world.assign(lab.TABLE[0])
                self.assertEqual(self.finished(process), 0)
                elapsed = time.monotonic() - start - (route_after or 0)
                self.assertEqual(self.world.boxes(), [])
                shown = self.world.shown()
                self.assertRegex(shown["lbl目標"], r"^[0-9.]+  \([0-9]+ms\)$")
                self.assertNotEqual(shown["lbl校正後"], DOTS)
                # The lab refuses the change; Wine reports one of under half a second as done.
                self.assertIn(shown["lbl狀態"], {REFUSED, SUCCESS} if lab.WINDOWS else {REFUSED})
                self.assertEqual(waiting in self.world.events(), bool(route_after))
                self.assertTrue(0 < elapsed < (6 if lab.WINDOWS else 2.5), elapsed)

    @only_linux("Wine's windows are Wine's to end")
    def test_a_window_ended_from_outside_ends_orvane(self):
        self.world.inetd(*lab.TABLE)
        for how in ("SIGTERM", "destroyed"):
            with self.subTest(how):
                process = self.world.start(ORVANE)
                window = self.world.window(WINDOW)
                lab.until(lambda: self.world.shown().get("cmd再執行.enabled") == "1")
                process.terminate() if how == "SIGTERM" else self.world.x_request(window, destroy=True)
                self.assertEqual(self.finished(process, 5), 0)


@unittest.skipIf(lab.IN_VM, "in the namespace lab")
class Pelstow(Case):
    """In a folder beside a stand-in main program whose new version records how it was started."""

    def setUp(self):
        super().setUp()
        name = b"\xe9 folder" if not lab.WINDOWS else "程式 資料夾".encode()
        self.folder = os.path.join(os.fsencode(self.world.dir), name)
        os.makedirs(self.folder)
        shutil.copy(os.path.join(os.fsencode(lab.BUILD), b"pelstow" + EXE), self.folder)
        self.record = os.path.join(os.fsencode(self.world.dir), b"started")

    def path(self, name):
        return os.path.join(self.folder, name)

    def write(self, name, content):
        with open(self.path(name), "wb") as f:
            f.write(content)
        os.chmod(self.path(name), 0o755)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def install(self, name):
        self.write(name, b"#!/bin/sh\necho old version\n")
        if lab.WINDOWS:  # the backend test program records its start when RECORD_START says where
            shutil.copy(os.path.join(os.fsencode(lab.BUILD), b"tests", b"backend_tests.exe"),
                        self.path(b"_new_" + name))
        else:
            self.write(b"_new_" + name, b"#!/bin/sh\n{ pwd; echo \"$#\"; } > '%s'\n" % self.record)
        return self.read(b"_new_" + name)

    def pelstow(self, *args, answer="Return"):
        record = lab.windows_path(self.record) if lab.WINDOWS else self.record
        process = self.world.start(self.path(b"pelstow"), *args, RECORD_START=record)
        if answer:
            self.world.answer("版本升級", answer)
        return process

    def started_text(self):
        """What a start of the recorder writes: its folder, and no arguments."""
        return (lab.windows_path(self.folder) if lab.WINDOWS else os.fsdecode(self.folder)) + "\n0\n"

    def started(self, seconds=15):
        text = lab.until(lambda: os.path.exists(self.record) and open(self.record, "rb").read(), seconds)
        return text and os.fsdecode(text) == self.started_text()

    def test_every_name_is_the_callers_byte_for_byte_and_yes_starts_the_new_version(self):
        # Reached through a link, Pelstow works in the link's folder.
        vendor = os.path.join(os.fsencode(self.world.dir), b"pelstow" + EXE)
        os.rename(self.path(b"pelstow" + EXE), vendor)
        os.symlink(vendor, self.path(b"pelstow" + EXE))
        names = [b"my app", b"-reverse"] + ([] if lab.WINDOWS else [b"caf\xe9", b"n" * 250])
        for name in (n + EXE for n in names):
            with self.subTest(name=name[:20]):
                new = self.install(name)
                self.assertEqual(self.finished(self.pelstow(*name.split(b" "))), 0)
                self.assertEqual(self.read(name), new)
                self.assertTrue(self.started())
                self.assertEqual(sorted(os.listdir(self.folder)), sorted([b"pelstow" + EXE, name]))
                os.remove(self.record)
                os.remove(self.path(name))

    def recorder(self, ending=None):
        """A program that appends to the record when started, then ends normally, by a real
        "crash" (Windows: this build's backend test program), or has "no interpreter" (Linux)."""
        if lab.WINDOWS:
            with open(os.path.join(os.fsencode(lab.BUILD), b"tests", b"backend_tests.exe"), "rb") as f:
                return f.read() + (b"FAULT" if ending == "crash" else b"")
        if ending == "no interpreter":
            return b"#!/usr/bin/env orvane-missing-interpreter\n"
        return b"#!/bin/sh\necho %s >> '%s'\n%s" % (b"new" if ending else b"old", self.record,
                                                   b"kill -SEGV $$\n" if ending else b"")

    def dismiss_report(self):
        """Its OK button, clicked: under Wine a box shown after another program was started takes
        no keys."""
        if not lab.WINDOWS:
            return self.world.answer("pelstow", "Return")
        box = self.world.window("pelstow")
        width, height = map(int, re.search(r"Geometry: (\d+)x(\d+)", self.world.xdotool(
            "getwindowgeometry", box)).groups())
        self.world.click(box, width // 2, height - 22)

    def test_a_new_version_that_cannot_run_gives_way_and_an_empty_download_is_refused(self):
        name, old = b"app" + EXE, self.recorder()
        # Started: the crashing new version, then the old one again (Windows records each start
        # as its folder and argument count); a script without its interpreter records nothing.
        both = (self.started_text() * 2).encode() if lab.WINDOWS else b"new\nold\n"
        rows = [(b"", "舊版程式未變更", b""), (self.recorder("crash"), "舊版程式已放回定位並已啟動", both)]
        if not lab.WINDOWS:
            rows.append((self.recorder("no interpreter"), "舊版程式已放回定位並已啟動", b"old\n"))
        for download, standing, started in rows:
            with self.subTest(standing=standing, started=started):
                self.write(name, old)
                self.write(b"_new_" + name, download)
                process = self.pelstow(name)
                self.dismiss_report()
                self.assertEqual(self.finished(process), 1)
                self.assertIn(standing, self.world.boxes()[-1][1])
                self.assertEqual(self.read(name), old)
                self.assertEqual(os.path.exists(self.path(b"_new_" + name)), not started)
                record = lambda: open(self.record, "rb").read() if os.path.exists(self.record) else b""  # noqa: E731
                lab.until(lambda: record() == started, 10 if started else 1)
                self.assertEqual(record(), started)
                if os.path.exists(self.record):
                    os.remove(self.record)

    @only_linux("a path past PATH_MAX")
    def test_a_folder_deeper_than_the_systems_path_limit_works_like_any_other(self):
        for length in (4093, 4208):  # the path of pelstow; its download's passes 4096 either way
            with self.subTest(length):
                parent, last = self.deep_folder(length - len("/pelstow"))
                folder = os.path.join(parent, last)
                self.put(folder, b"pelstow", open(os.path.join(os.fsencode(lab.BUILD), b"pelstow"), "rb").read())
                self.put(folder, b"viewer", b"old")
                self.put(folder, b"_new_viewer", b"#!/bin/sh\necho new > '%s'\n" % self.record)
                process = subprocess.Popen([os.path.join(last, b"pelstow"), b"viewer"],
                                           env=self.world.env(), preexec_fn=lambda: os.chdir(parent))
                self.world.answer("版本升級", "Return")
                self.assertEqual(self.finished(process), 0)
                self.assertEqual(lab.until(lambda: os.path.exists(self.record) and
                                           open(self.record, "rb").read()), b"new\n")
                os.remove(self.record)

    def deep_folder(self, length):
        """A chain of folders whose last one's path has this many bytes: its parent's fd path and
        the last name. Made a step at a time: no path past PATH_MAX can be handed to mkdir."""
        top = os.path.join(self.world.dir, f"deep-{length}")
        os.mkdir(top)
        fd = os.open(top, os.O_RDONLY)
        left = length - len(os.fsencode(top))
        while True:
            name = b"d" * min(250, left - 1)
            os.mkdir(name, dir_fd=fd)
            left -= len(name) + 1
            if left <= 0:
                return os.fsencode(f"/proc/{os.getpid()}/fd/{fd}"), name
            fd = os.open(name, os.O_RDONLY, dir_fd=fd)

    @staticmethod
    def put(folder, name, content):
        fd = os.open(os.path.join(folder, name), os.O_WRONLY | os.O_CREAT, 0o755)
        os.write(fd, content)
        os.close(fd)

    @only_linux("Wine's windows are Wine's to end")
    def test_a_prompt_destroyed_from_outside_ends_pelstow_with_nothing_done(self):
        new = self.install(b"app")
        process = self.pelstow(b"app", answer=None)
        self.world.x_request(self.world.window("版本升級"), destroy=True)
        self.assertEqual(self.finished(process), 1)
        self.assertIn("版本升級", self.world.stderr())
        self.assertEqual(self.read(b"_new_app"), new)
        self.assertFalse(self.started(0.5))


# Windows' KnownDLLs: always loaded from System32, whatever lies beside a program.
KNOWN_DLLS = {"advapi32", "clbcatq", "combase", "comdlg32", "coml2", "gdi32", "gdiplus", "imagehlp",
              "imm32", "kernel32", "msctf", "msvcrt", "normaliz", "nsi", "ole32", "oleaut32", "psapi",
              "rpcrt4", "sechost", "setupapi", "shcore", "shell32", "shlwapi", "user32", "wldap32",
              "ws2_32"}


@unittest.skipUnless(lab.WINDOWS and not lab.IN_VM, "the Windows build, in the namespace lab")
class Shipping(Case):
    """What a Windows user is given: programs that load no DLL planted beside them, an installer."""

    def reg(self, *args):
        """Wine's registry tool: its output, or "" where it failed."""
        done = subprocess.run(self.world.command("reg", *args), capture_output=True, env=self.world.env())
        return done.stdout.decode("big5", errors="replace") if done.returncode == 0 else ""

    def test_the_programs_import_only_dlls_that_cannot_be_planted(self):
        for program, allowed in (("orvane", KNOWN_DLLS | {"comctl32"}), ("pelstow", KNOWN_DLLS)):
            dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p",
                                   os.path.join(lab.BUILD, program + ".exe")],
                                  capture_output=True, text=True, check=True).stdout
            imported = {name.lower().removesuffix(".dll")
                        for name in re.findall(r"DLL Name: (\S+)", dump)}
            self.assertLessEqual(imported, allowed, program)
            self.assertIn("kernel32", imported)

    def test_dlls_planted_beside_orvane_are_not_loaded(self):
        self.world.inetd(*lab.TABLE)
        folder = os.path.join(self.world.dir, "Downloads")
        os.makedirs(folder)
        shutil.copy(ORVANE + ".exe", folder)
        for name in ("uxtheme.dll", "iphlpapi.dll"):
            shutil.copy(os.path.join(lab.BUILD, "tests", "planted.dll"), os.path.join(folder, name))
        mark = os.path.join(self.world.dir, "planted-ran")
        env = dict(PLANTED_MARK=lab.windows_path(mark),
                   WINEDLLOVERRIDES="uxtheme,iphlpapi=n,b;mscoree,mshtml=;winemenubuilder.exe=d")
        subprocess.run(self.world.command("rundll32", lab.windows_path(
            os.path.join(folder, "uxtheme.dll")) + ",Mark"), env=self.world.env(**env), timeout=60)
        self.assertTrue(os.path.exists(mark), "a plain load takes the planted DLL")
        os.remove(mark)
        self.assertEqual(self.finished(self.world.start(os.path.join(folder, "orvane"), "/Q", **env)), 0)
        self.assertRegex(self.world.shown()["lbl目標"], r"\([0-9]+ms\)$", "the system's echo")
        self.assertFalse(os.path.exists(mark), "a planted DLL was loaded")

    def test_the_installer_puts_orvane_in_place_and_the_uninstaller_takes_it_away(self):
        setup = shipped("orvane-*-setup.exe")
        drive = os.path.join(os.environ["WINEPREFIX"], "drive_c")
        placed = [os.path.join(drive, "Program Files", "Orvane", "orvane.exe"),
                  os.path.join(drive, "ProgramData", "Microsoft", "Windows", "Start Menu",
                               "Programs", "網路校時.lnk")]
        definition = os.path.join(os.path.dirname(placed[0]), "sign-in-task.xml")
        task = os.path.join(drive, "windows", "system32", "tasks", "Orvane", "SetClockAtSignIn")
        key = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Orvane"
        for switches, signin in ((["/S", "/LOGIN=0"], False), (["/S"], True)):
            with self.subTest(switches=switches):
                subprocess.run(self.world.command(setup[:-4], *switches), check=True, timeout=120,
                               env=self.world.env())
                self.assertEqual([os.path.exists(p) for p in placed], [True, True])
                self.assertEqual((os.path.exists(definition), os.path.exists(task)), (signin, signin))
        with open(placed[1], "rb") as f:  # run as administrator: RunAsUser in LinkFlags
            self.assertTrue(struct.unpack_from("<I", f.read(), 0x14)[0] & 0x2000)
        entry = self.reg("query", key)
        self.assertRegex(entry, r"DisplayVersion\s+REG_SZ\s+" + re.escape(VERSION))
        self.assertRegex(entry, r"DisplayIcon\s+REG_SZ\s+C:\\Program Files\\Orvane\\orvane\.exe")
        # The task as handed to Task Scheduler: at the sign-in of Administrators, with their highest
        # rights, only with a network. Wine keeps neither trigger, principal nor action when it
        # registers one (nor runs it at sign-in): of its own record, only the condition is read.
        with open(definition, encoding="utf-16") as f:
            self.assertRegex(re.sub(r">\s+<", "><", f.read()), "".join((
                r"<LogonTrigger><Enabled>true</Enabled><Delay>PT5S</Delay></LogonTrigger>.*",
                r"<GroupId>S-1-5-32-544</GroupId><RunLevel>HighestAvailable</RunLevel>.*",
                r"<MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>.*",
                r"<RunOnlyIfNetworkAvailable>true</RunOnlyIfNetworkAvailable>.*",
                r'<Command>"C:\\Program Files\\Orvane\\orvane\.exe"</Command><Arguments>/Q /LOGIN</Arguments>')))
        with open(task, encoding="utf-8-sig") as f:
            self.assertIn("<RunOnlyIfNetworkAvailable>true</RunOnlyIfNetworkAvailable>", f.read())
        uninstaller = os.path.join(os.path.dirname(placed[0]), "uninstall")
        subprocess.run(self.world.command(uninstaller, "/S"), check=True, timeout=120,
                       env=self.world.env())
        # The uninstaller works from a copy of itself, and ends after the one it started.
        self.assertTrue(lab.until(lambda: not any(map(os.path.exists, placed + [task])) and
                                  not self.reg("query", key), 30))
        self.assertFalse(os.path.exists(os.path.dirname(placed[0])))


def as_nobody(work):
    """What work() returns, run in a child process as the user nobody, with no groups."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        try:
            os.setgroups([])
            os.setresgid(65534, 65534, 65534)
            os.setresuid(65534, 65534, 65534)
            result = (True, work())
        except BaseException as error:  # noqa: B036: every failure goes back to the test
            result = (False, repr(error))
        os.write(write, pickle.dumps(result))
        os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as f:
        done, value = pickle.loads(f.read())
    os.waitpid(pid, 0)
    if not done:
        raise AssertionError(value)
    return value


class HelperClient:
    """The window's side of the installed clock helper's protocol: kind, length, payload."""

    def __init__(self, nofile=None):
        self.channel, its = socket.socketpair()
        limit = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))) if nofile else None
        self.process = subprocess.Popen([HELPER], stdin=its, stderr=subprocess.DEVNULL, preexec_fn=limit)
        its.close()

    def say(self, kind, payload=b""):
        try:
            self.channel.sendall(kind + struct.pack("=I", len(payload)) + payload)
        except OSError:
            pass  # it has ended: hear() says so

    def hear(self, kinds):
        """The next frame of one of these kinds; None once the helper has ended."""
        self.channel.settimeout(10)
        try:
            while len(head := self.channel.recv(5, socket.MSG_WAITALL)) == 5:
                length = struct.unpack_from("=I", head, 1)[0]
                payload = self.channel.recv(length, socket.MSG_WAITALL) if length else b""
                if head[:1] in kinds:
                    return head[:1], payload
        except ConnectionResetError:  # it ended with words of ours unread
            pass
        return None

    def reply(self, address):
        """Connects to the address on port 37: the server's time (UTC seconds), None without it."""
        self.say(b"A", socket.inet_aton(address) + struct.pack("=H", 37))
        frame = self.hear((b"D", b"F"))
        return struct.unpack(">I", frame[1][:4])[0] - 2208988800 if frame and frame[0] == b"D" else None

    def set(self, utc):
        """The answer to Set: 1 (set) or 0; None when the helper ended instead."""
        self.say(b"S", struct.pack("=q", utc))
        frame = self.hear((b"R",))
        return frame[1][0] if frame else None

    def end(self):
        self.channel.close()
        return self.process.wait(10)


def sets(times, nofile=None):
    """A helper's answers to Set asked so many times with the one reply it got; its exit code."""
    helper = HelperClient(nofile)
    utc = helper.reply(lab.TABLE[0])
    return [helper.set(utc) for _ in range(times)] if utc is not None else [], helper.end()


def second_helper_between():
    """Helper A has its reply; B gets its own and sets the clock; A is asked again and again."""
    a, b = HelperClient(), HelperClient()
    utc = a.reply(lab.TABLE[0])
    answers = [b.set(b.reply(lab.TABLE[0]))]
    b.end()
    return answers + [a.set(utc) for _ in range(3)], a.end()


def lock_then_set():
    """The helper's lock held by its caller first, if it can be: then one setting."""
    try:
        with open(HELPER, "rb") as f:
            fcntl.flock(f, fcntl.LOCK_EX)
            return "locked", sets(1)
    except PermissionError:
        return "cannot lock", sets(1)


def off_the_table():
    """An address off the table, the table's on port 13: the helper's exit codes."""
    helpers = [HelperClient(), HelperClient()]
    for helper, (address, port) in zip(helpers, (("192.0.2.1", 37), (lab.TABLE[0], 13))):
        helper.say(b"A", socket.inet_aton(address) + struct.pack("=H", port))
    return [helper.end() for helper in helpers]


def stop_or_read_the_helper():
    """Whether its caller is refused stopping, killing and reading a helper at work."""
    helper = HelperClient()
    helper.reply(lab.TABLE[0])
    refused = []
    for attempt in (lambda: os.kill(helper.process.pid, signal.SIGSTOP),
                    lambda: os.kill(helper.process.pid, signal.SIGKILL),
                    lambda: open(f"/proc/{helper.process.pid}/mem", "rb").close()):
        try:
            attempt()
            refused.append(False)
        except PermissionError:
            refused.append(True)
    return refused, helper.end()


@unittest.skipUnless(lab.IN_VM, "only in the VM of scripts/clock-vm, where the clock is its own")
class Clock(Case):
    """The true time is anchored to the monotonic clock before the wall clock is put wrong."""

    def setUp(self):
        super().setUp()
        wall, monotonic = map(float, self.world.serve(lab.TABLE[0], "anchored"))
        self.truth = lambda: wall + time.monotonic() - monotonic
        self.addCleanup(lambda: time.clock_settime(time.CLOCK_REALTIME, self.truth()))
        self.out = os.environ.get("VM_OUT", self.world.dir)
        self.log = lab.SystemLog()  # the helper sets no clock it cannot record
        self.addCleanup(self.log.close)

    def quiet_run(self, *prefix, program=ORVANE, **env):
        done = subprocess.run([*prefix, *self.world.command(program, "/Q")], env=self.world.env(**env),
                              capture_output=True, text=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr)
        return done

    def figure(self, line):
        print(line)
        with open(os.path.join(self.out, "figures.txt"), "a") as f:
            f.write(line + "\n")

    def reachable(self, path):
        """A copy of a file of the build where an unprivileged user reaches it: the checkout may
        lie in a home folder that no one else may enter."""
        copy = os.path.join(self.world.dir, os.path.basename(path))
        (shutil.copytree if os.path.isdir(path) else shutil.copy)(path, copy)
        return copy

    @only_linux("Wine sets no clock")
    def test_a_wrong_clock_is_corrected_and_a_user_without_the_right_cannot(self):
        self.reachable(os.path.join(lab.BUILD, "orvane-settime"))  # run beside the copy, no right
        rows = (("years slow", 978307200.0, [], ORVANE), ("minutes slow", -420, [], ORVANE),
                ("minutes fast", 420, [], ORVANE),
                ("without the right", 978307200.0, NOBODY, self.reachable(ORVANE)))
        for name, wrong, prefix, program in rows:
            with self.subTest(name):
                start = wrong if wrong > 1e6 else self.truth() + wrong
                time.clock_settime(time.CLOCK_REALTIME, start)
                wrong_now = lambda: start + time.monotonic() - began  # noqa: E731
                began = time.monotonic()
                self.quiet_run(*prefix, program=program)
                expected, outcome = (wrong_now, REFUSED) if prefix else (self.truth, SUCCESS)
                self.assertEqual(self.world.shown()["lbl狀態"], outcome)
                offset = time.time() - expected()
                self.figure(f"clock {name}: {offset * 1000:+.0f} ms from where it should be")
                self.assertLessEqual(abs(offset), 1.5)  # whole seconds, no allowance for transit

    def rtc(self):
        with open("/sys/class/rtc/rtc0/since_epoch") as f:
            return int(f.read())

    def wrong(self, start=978307200.0):
        """The clock put at a wrong time, the hardware clock too; how the wrong clock runs on."""
        time.clock_settime(time.CLOCK_REALTIME, start)
        subprocess.run(["hwclock", "--systohc", "--utc", "--noadjfile"], check=True)
        began = time.monotonic()
        return lambda: start + time.monotonic() - began

    def install(self, deb=None):
        """The orvane package installed into the VM's throw-away root, purged after the case."""
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        # Triggers (the manual's index, the icon cache) are the system's work, not the package's.
        subprocess.run(["dpkg", "--no-triggers", "-i", deb or shipped("orvane_*.deb")], check=True,
                       capture_output=True, env=env)
        self.addCleanup(subprocess.run, ["dpkg", "--no-triggers", "--purge", "orvane"], capture_output=True)

    @only_linux("the Debian package")
    def test_the_package_lends_the_right_to_its_helper_alone_and_the_administrator_decides(self):
        deb = shipped("orvane_*.deb")
        self.install(deb)
        files = subprocess.run(["dpkg", "-L", "orvane"], capture_output=True, text=True).stdout.split()
        rights = lambda: subprocess.run(["getcap", *filter(os.path.isfile, files)], capture_output=True,  # noqa: E731
                                        text=True).stdout.split()
        owner = lambda: (pwd.getpwuid(os.stat(HELPER).st_uid).pw_name, oct(os.stat(HELPER).st_mode & 0o7777))  # noqa: E731
        self.assertEqual((rights(), owner()), ([HELPER, "cap_sys_time=p"], ("_orvane", "0o4711")))
        self.assertNotIn("libQt", subprocess.run(["ldd", HELPER], capture_output=True, text=True).stdout)

        # As nobody, a plugin of the user's planted: the window corrects the clock, the hardware
        # clock follows, the log names the user; the plugin runs, holding no capability.
        self.log.lines(0.1)
        # An earlier correction in this boot left the kernel's 11-minute timer pending, and Linux
        # 6.1 writes the hardware clock again only once it has run: let it run, unsynchronised.
        subprocess.run(["hwclock", "--systohc", "--utc", "--noadjfile"], check=True)
        time.clock_settime(time.CLOCK_REALTIME, self.truth() + 700)
        time.sleep(0.2)
        self.wrong()
        mark = "/tmp/orvane-planted-plugin-ran"
        planted = dict(QT_PLUGIN_PATH=self.reachable(os.path.join(lab.BUILD, "tests", "planted-plugins")),
                       QT_QPA_GENERIC_PLUGINS="planted")
        self.quiet_run(*NOBODY, program="/usr/bin/orvane", **planted)
        self.assertEqual(self.world.shown()["lbl狀態"], SUCCESS)
        self.assertLessEqual(abs(time.time() - self.truth()), 2)
        self.assertTrue(lab.until(lambda: abs(self.rtc() - self.truth()) <= 2, 10), "the hardware clock")
        with open(mark) as f:
            self.assertEqual(re.findall(r"Cap(?:Prm|Eff):\s*(\w+)", f.read()), ["0" * 16] * 2)
        self.assertRegex("".join(self.log.lines()), rf"^<85>.*orvane\[\d+\]: nobody \(uid 65534\) .* {lab.TABLE[0]}: 2001-")

        # Both answers (lend the right; correct at login, through its autostart entry) hold across
        # a reinstall, an upgrade and a downgrade, until changed.
        newer = os.path.join(self.world.dir, "newer.deb")
        unpacked = os.path.join(self.world.dir, "unpacked")
        subprocess.run(["dpkg-deb", "-R", deb, unpacked], check=True)
        subprocess.run(["sed", "-i", "s/^Version: .*/&.1/", os.path.join(unpacked, "DEBIAN", "control")], check=True)
        subprocess.run(["dpkg-deb", "-b", unpacked, newer], check=True, capture_output=True)
        entry = "/etc/xdg/autostart/orvane-login.desktop"
        self.assertFalse(os.path.exists(entry), "no correction at login unless asked for")
        for lend, login, step in (("false", "true", deb), ("false", "true", newer), ("true", "false", None),
                                  ("true", "false", deb)):
            subprocess.run(["debconf-set-selections"], text=True, check=True,
                           input=f"orvane orvane/lend-clock-right boolean {lend}\n"
                                 f"orvane orvane/correct-at-login boolean {login}\n")
            self.install(step) if step else subprocess.run(["dpkg-reconfigure", "orvane"], check=True, env=dict(
                os.environ, DEBIAN_FRONTEND="noninteractive"))
            lent = lend == "true"
            self.assertEqual((rights(), owner(), os.path.exists(entry)),
                             ([HELPER, "cap_sys_time=p"] if lent else [],
                              ("_orvane", "0o4711") if lent else ("root", "0o755"), login == "true"), step)

        subprocess.run(["dpkg", "--no-triggers", "--purge", "orvane"], check=True, capture_output=True)
        left = [f for f in files + glob.glob("/var/lib/dpkg/info/orvane.*")
                if os.path.isfile(f) or os.path.islink(f)]
        self.assertEqual(left, [])
        with open("/var/lib/dpkg/statoverride") as f:
            self.assertNotIn(HELPER, f.read())
        self.assertFalse(os.path.exists(entry))

    @only_linux("the Linux helper")
    def test_the_helper_sets_the_clock_once_from_its_own_reply_and_never_without_a_record(self):
        """Its protocol spoken directly by a local user (nobody), as an attacker would."""
        self.install()
        # What the client did, what it got (Set's answers, None once the helper had ended; the
        # exit code), and where the clock ends: at the truth, or for a refusal where it was.
        rows = (
            ("an address off the table, the table's on another port", -100, off_the_table, [3, 3]),
            ("one reply, asked again and again, the clock at 2001", 978307200.0, lambda: sets(5),
             ([1, None, None, None, None], 6)),
            ("one reply, asked again and again, the clock right", 0, lambda: sets(5),
             ([1, None, None, None, None], 6)),
            ("another helper's correction between a reply and its Set", -100, second_helper_between,
             ([1, 0, None, None], 6)),
            ("its caller tries to hold the helper's lock first", -100, lock_then_set,
             ("cannot lock", ([1], 0))),
            ("its caller stops it, kills it, reads it", 0, stop_or_read_the_helper, ([True] * 3, 0)),
        )
        for name, wrong, client, outcome in rows:
            with self.subTest(name):
                wrong_now = self.wrong(wrong if wrong > 1e6 else self.truth() + wrong)
                self.assertEqual(as_nobody(client), outcome)
                expected = wrong_now if client is off_the_table else self.truth
                self.assertLessEqual(abs(time.time() - expected()), 2)
                self.log.lines(0.1)
        # Without the files or the logger it needs (None: no logger at all): either the clock is
        # unchanged, or the log has exactly one record of the change.
        for nofile in [*range(3, 17), None]:
            with self.subTest(nofile=nofile):
                if nofile is None:
                    self.log.close()
                wrong_now = self.wrong(self.truth() - 100)
                answers, _ = as_nobody(lambda: sets(1, nofile))
                records = [line for line in self.log.lines(0.3) if "set the clock" in line]
                changed = abs(time.time() - wrong_now()) > 1
                self.figure(f"helper with {nofile} files: answers {answers}, {len(records)} records, "
                            f"{'changed' if changed else 'unchanged'}")
                self.assertEqual((answers == [1], len(records)), (changed, 1 if changed else 0))
                if changed:
                    self.assertLessEqual(abs(time.time() - self.truth()), 2)

    @only_linux("the Linux helper")
    def test_a_run_stopped_at_any_moment_sets_no_stale_time(self):
        """Root stops Orvane, or its helper, the moment the connection to port 37 appears."""
        self.install()

        def connecting():
            """The process that holds a connection to port 37 being made or made, if one does."""
            with open("/proc/net/tcp") as table:
                sockets = {f"socket:[{f[9]}]" for f in map(str.split, table.readlines()[1:])
                           if f[2].endswith(":0025") and f[3] in ("01", "02")}
            for fd in glob.glob("/proc/[0-9]*/fd/*"):
                try:
                    if os.readlink(fd) in sockets:
                        return int(fd.split("/")[2])
                except OSError:
                    pass
        for stopped, args in (("orvane", ["/Q"]), ("orvane-settime", [])):
            with self.subTest(stopped):
                wrong_now = self.wrong()
                open(self.world.log, "w").close()
                process = subprocess.Popen([*NOBODY, "/usr/bin/orvane", *args], env=self.world.env())
                self.addCleanup(lambda p=process: p.poll() is None and p.kill())
                helper = lab.until(connecting, 30)
                with open(f"/proc/{helper}/status") as f:  # the helper, as its own user, connects
                    self.assertEqual(re.search(r"^Uid:\s+(.*)$", f.read(), re.M).group(1).split(),
                                     [str(pwd.getpwnam("_orvane").pw_uid)] * 4)
                pid = process.pid if stopped == "orvane" else helper
                os.kill(pid, signal.SIGSTOP)
                time.sleep(20)
                os.kill(pid, signal.SIGCONT)
                if args:  # quiet: set at once, or the reply given up for the box
                    lab.until(lambda: process.poll() is not None or self.world.window("程式報告", 0), 10)
                    if process.poll() is None:
                        self.world.answer("程式報告", "Return")
                else:
                    self.assertTrue(lab.until(lambda: self.world.shown().get("lbl狀態") == SUCCESS, 10))
                    self.world.click(self.world.window(WINDOW), *FINISH)
                self.assertEqual(self.finished(process), 0)
                offsets = abs(time.time() - self.truth()), abs(time.time() - wrong_now())
                self.figure(f"{stopped} stopped 20 s: {offsets[0]:.1f} s from the truth, {offsets[1]:.1f} s from unset")
                self.assertLessEqual(min(offsets), 2)

    @unittest.skipUnless(lab.WINDOWS, "the Windows build")
    def test_orvane_exe_asks_for_the_right_utc_time(self):
        # Wine sets no clock, but its refusal names the difference between the requested time and
        # the clock: put an hour slow, a right request is an hour ahead.
        time.clock_settime(time.CLOCK_REALTIME, self.truth() - 3600)
        stderr = self.quiet_run(WINEDEBUG="err+ntdll").stderr
        found = re.search(r"NtSetSystemTime not allowed: difference (-?\d+) ms", stderr)
        self.assertIsNotNone(found, stderr)
        error = int(found.group(1)) - 3600 * 1000
        self.figure(f"orvane.exe asked for the true time {error:+d} ms")
        self.assertLessEqual(abs(error), 1500)


if __name__ == "__main__":
    unittest.main()
