"""The unmodified programs of one build (Linux, or Windows under Wine), as a user meets them:
Orvane and Pelstow in the namespace lab, and Clock in the VM of scripts/vm, where the clock is
the VM's own and is really set. Cases a build cannot show are skipped with the reason."""
import os
import re
import shutil
import subprocess
import threading
import time
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "lab"))
import lab  # noqa: E402

ORVANE, PELSTOW = os.path.join(lab.BUILD, "orvane"), os.path.join(lab.BUILD, "pelstow")
WINDOW, DOTS, FINISH = "網路校時 (By zevo)", ".............", (212, 180)
SUCCESS, REFUSED = "系統時間校正成功。", "執行時有錯誤發生！"
EXE = b".exe" if lab.WINDOWS else b""


def only_linux(reason):
    return unittest.skipIf(lab.WINDOWS, reason)


class Case(unittest.TestCase):
    def setUp(self):
        self.lab = lab.Lab()
        self.addCleanup(lambda: self.lab.close())  # whichever lab the case ends with

    def finished(self, process, seconds=30):
        self.addCleanup(lambda: process.poll() is None and process.kill())
        return process.wait(seconds)


@unittest.skipIf(lab.IN_VM, "in the namespace lab")
class Orvane(Case):
    def test_a_quiet_run_with_a_reply_ends_by_itself(self):
        self.lab.inetd(*lab.TABLE)
        start = time.monotonic()
        self.assertEqual(self.finished(self.lab.start(ORVANE, "/Q")), 0)
        self.assertEqual(self.lab.boxes(), [])
        shown = self.lab.shown()
        self.assertRegex(shown["lbl目標"], r"^[0-9.]+  \([0-9]+ms\)$")
        self.assertNotEqual(shown["lbl校正後"], DOTS)
        # The lab refuses the change; Wine reports one of under half a second as done.
        self.assertIn(shown["lbl狀態"], {REFUSED, SUCCESS} if lab.WINDOWS else {REFUSED})
        self.assertLess(time.monotonic() - start, 5 if lab.WINDOWS else 2)

    def test_a_quiet_run_without_a_reply_says_so_after_the_wait(self):
        for server in ("silent", None):  # then a refused port
            with self.subTest(server):
                self.lab.close()
                self.lab = lab.Lab()
                self.lab.serve(lab.TABLE[0], server) if server else self.lab.assign(lab.TABLE[0])
                start = time.monotonic()
                process = self.lab.start(ORVANE, "-x", "/q")
                box = self.lab.window("程式報告")
                self.assertGreater(time.monotonic() - start, 1.2)  # 200 ms pause + the 1 s wait
                self.assertIsNone(process.poll(), "the box waits for the user")
                self.lab.press(box, "Return")
                self.assertEqual(self.finished(process), 0)
                self.assertEqual(self.lab.boxes(), [("程式報告", "網路有問題！校時未能完成。")])
                shown = self.lab.shown()
                if server or not lab.WINDOWS:  # the system's own words, in the user's language
                    self.assertEqual(shown["lbl錯誤訊息"], "" if server else "連線被拒絕")
                self.assertEqual(shown["lbl狀態"], DOTS if server else "有錯誤發生！")

    def test_the_window_shows_its_design_at_once_and_waits_for_the_user(self):
        self.lab.inetd(*lab.TABLE)
        with open("/proc/sys/net/ipv4/icmp_echo_ignore_all", "w") as f:
            f.write("1")  # each echo now takes its whole second
        process = self.lab.start(ORVANE)
        window = self.lab.window(WINDOW)
        time.sleep(0.5)
        shot = os.path.join(self.lab.dir, "first.png")
        self.lab.screenshot(shot, window)
        colours = lab.colours(shot)
        for colour in ((255, 255, 192), (255, 128, 0), (255, 255, 0)):  # window, band, buttons
            self.assertGreater(colours.get(colour, 0), 200, colour)
        self.assertEqual(self.lab.shown().get("lbl目標"), DOTS, "still on the first echo")
        with open("/proc/sys/net/ipv4/icmp_echo_ignore_all", "w") as f:
            f.write("0")
        self.assertTrue(lab.until(lambda: self.lab.shown().get("cmd再執行.enabled") == "1", 15))
        self.assertEqual(self.lab.shown()["lbl錯誤訊息"], "請按〔完成〕結束校時")
        self.lab.x_request(window, destroy=False)  # the close box
        time.sleep(0.5)
        self.assertIsNone(process.poll(), "the close box must not close the window")
        self.lab.click(window, *FINISH)
        self.assertEqual(self.finished(process), 0)

    @only_linux("Wine's windows are Wine's to end")
    def test_a_window_ended_from_outside_ends_orvane(self):
        self.lab.inetd(*lab.TABLE)
        for how in ("SIGTERM", "destroyed"):
            with self.subTest(how):
                process = self.lab.start(ORVANE)
                window = self.lab.window(WINDOW)
                lab.until(lambda: self.lab.shown().get("cmd再執行.enabled") == "1")
                process.terminate() if how == "SIGTERM" else self.lab.x_request(window, destroy=True)
                self.assertEqual(self.finished(process, 5), 0)


@unittest.skipIf(lab.IN_VM, "in the namespace lab")
class Pelstow(Case):
    """In a folder beside a stand-in main program whose new version records how it was started."""

    def setUp(self):
        super().setUp()
        self.use_folder(b"\xe9 folder" if not lab.WINDOWS else "程式 資料夾".encode())

    def use_folder(self, name):
        self.folder = os.path.join(os.fsencode(self.lab.dir), name)
        os.makedirs(self.folder, exist_ok=True)
        shutil.copy(os.path.join(os.fsencode(lab.BUILD), b"pelstow" + EXE), self.folder)
        self.record = os.path.join(os.fsencode(self.lab.dir), b"started")

    def path(self, name):
        return os.path.join(self.folder, name)

    def write(self, name, content, mode=0o755):
        with open(self.path(name), "wb") as f:
            f.write(content)
        os.chmod(self.path(name), mode)

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

    def pelstow(self, *args, answer="Return", title="版本升級"):
        record = lab.windows_path(self.record) if lab.WINDOWS else self.record
        process = self.lab.start(self.path(b"pelstow"), *args, RECORD_START=record)
        if answer:
            self.lab.press(self.lab.window(title), answer)
        return process

    def started(self, seconds=15):
        text = lab.until(lambda: os.path.exists(self.record) and open(self.record, "rb").read(), seconds)
        expected = lab.windows_path(self.folder) if lab.WINDOWS else os.fsdecode(self.folder)
        return text and os.fsdecode(text) == expected + "\n0\n"

    def test_every_name_is_the_callers_byte_for_byte_and_yes_starts_the_new_version(self):
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
        self.assertEqual(self.lab.boxes()[0], ("版本升級", "已下載完成，要立即執行新版程式嗎？"))

    def test_no_installs_a_download_still_being_written_only_when_whole(self):
        self.write(b"app" + EXE, b"old")
        self.write(b"_new_app" + EXE, b"")
        chunk = bytes(range(256)) * 40

        def main_program_still_writing():
            for _ in range(10):
                time.sleep(0.3)
                with open(self.path(b"_new_app" + EXE), "ab") as f:
                    f.write(chunk)
        writer = threading.Thread(target=main_program_still_writing)
        writer.start()
        process = self.pelstow(b"app" + EXE, answer="n" if lab.WINDOWS else "Escape")
        self.assertEqual(self.finished(process), 0)
        writer.join()
        self.assertEqual(self.read(b"app" + EXE), chunk * 10)
        self.assertEqual(self.read(b"_new_app" + EXE), chunk * 10)
        self.assertFalse(self.started(1))

    def test_without_a_download_only_the_call_message_is_shown(self):
        self.write(b"app" + EXE, b"old")
        self.assertEqual(self.finished(self.pelstow(b"app" + EXE, title="Tarrin（zevo）說：")), 0)
        self.assertEqual(self.lab.boxes(), [("Tarrin（zevo）說：", "必需由主程式呼叫始可執行！")])
        self.assertEqual(sorted(os.listdir(self.folder)), [b"app" + EXE, b"pelstow" + EXE])

    def test_a_failed_copy_is_reported_and_ends_with_code_1(self):
        os.mkdir(self.path(b"app" + EXE))  # a folder cannot be replaced by the download
        self.write(b"_new_app" + EXE, b"new")
        process = self.pelstow(b"app" + EXE)
        self.lab.press(self.lab.window("pelstow"), "Return")
        self.assertEqual(self.finished(process), 1)
        self.assertIn("執行階段錯誤", self.lab.boxes()[-1][1])
        self.assertEqual(self.read(b"_new_app" + EXE), b"new")
        self.assertFalse(self.started(0.5))

    @only_linux("Wine's windows are Wine's to end")
    def test_a_prompt_destroyed_from_outside_ends_pelstow_with_nothing_done(self):
        new = self.install(b"app")
        process = self.pelstow(b"app", answer=None)
        self.lab.x_request(self.lab.window("版本升級"), destroy=True)
        self.assertEqual(self.finished(process), 1)
        self.assertIn("版本升級", self.lab.stderr())
        self.assertEqual(self.read(b"_new_app"), new)
        self.assertFalse(self.started(0.5))


@unittest.skipUnless(lab.IN_VM, "only in the VM of scripts/vm, where the clock is its own")
class Clock(Case):
    """The true time is anchored to the monotonic clock before the wall clock is put wrong."""

    def setUp(self):
        super().setUp()
        wall, monotonic = map(float, self.lab.serve(lab.TABLE[0], "anchored"))
        self.truth = lambda: wall + time.monotonic() - monotonic
        self.addCleanup(lambda: time.clock_settime(time.CLOCK_REALTIME, self.truth()))
        self.out = os.environ.get("VM_OUT", self.lab.dir)

    def quiet_run(self, *prefix, **env):
        done = subprocess.run([*prefix, *self.lab.command(ORVANE, "/Q")], env=self.lab.env(**env),
                              capture_output=True, text=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr)
        return done

    def figure(self, line):
        print(line)
        with open(os.path.join(self.out, "figures.txt"), "a") as f:
            f.write(line + "\n")

    @only_linux("Wine sets no clock")
    def test_a_wrong_clock_is_corrected_and_a_user_without_the_right_cannot(self):
        rows = (("years slow", 978307200.0, []), ("minutes slow", -420, []), ("minutes fast", 420, []),
                ("without the right", 978307200.0, ["setpriv", "--reuid=65534", "--regid=65534",
                                                    "--clear-groups"]))
        for name, wrong, prefix in rows:
            with self.subTest(name):
                start = wrong if wrong > 1e6 else self.truth() + wrong
                time.clock_settime(time.CLOCK_REALTIME, start)
                wrong_now = lambda: start + time.monotonic() - began  # noqa: E731
                began = time.monotonic()
                self.quiet_run(*prefix)
                expected, outcome = (wrong_now, REFUSED) if prefix else (self.truth, SUCCESS)
                self.assertEqual(self.lab.shown()["lbl狀態"], outcome)
                offset = time.time() - expected()
                self.figure(f"clock {name}: {offset * 1000:+.0f} ms from where it should be")
                self.assertLessEqual(abs(offset), 1.5)  # whole seconds, no allowance for transit

    @only_linux("Wine sets no clock")
    def test_the_window_shows_a_correction_and_inetd_keeps_a_right_clock_right(self):
        time.clock_settime(time.CLOCK_REALTIME, 978307200.0)
        process = self.lab.start(ORVANE)
        window = self.lab.window(WINDOW, seconds=60)
        self.assertTrue(lab.until(lambda: self.lab.shown().get("lbl狀態") == SUCCESS, 30))
        time.sleep(1.5)
        self.lab.screenshot(os.path.join(self.out, "orvane-vm.png"), window)
        self.assertLessEqual(abs(time.time() - self.truth()), 1.5)
        self.lab.click(window, *FINISH)
        self.assertEqual(self.finished(process), 0)
        self.lab.close()
        self.lab = lab.Lab()
        self.lab.inetd(*lab.TABLE)  # serves the VM's own clock
        before, began = time.time(), time.monotonic()
        self.quiet_run()
        self.assertEqual(self.lab.shown()["lbl狀態"], SUCCESS)
        self.assertLessEqual(abs(time.time() - before - (time.monotonic() - began)), 1.5)

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
