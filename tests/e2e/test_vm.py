"""The clock really set: inside the virtual machine of scripts/vm, whose clock is its own, the
unmodified programs against local time servers (the VM has no network device).

The true time is anchored to the monotonic clock before the wall clock is put wrong, so that
setting the wall clock changes neither what the anchored server serves nor what is checked."""
import os
import re
import subprocess
import time
import unittest

import lab

OUT = os.environ.get("VM_OUT", "/tmp")
SUCCESS, REFUSED = "系統時間校正成功。", "執行時有錯誤發生！"
YEAR_2001 = 978307200.0  # 2001-01-01 00:00:00 UTC


class Anchor:
    """A time that moves on with the monotonic clock, whatever happens to the wall clock."""

    def __init__(self, wall, monotonic=None):
        self.wall, self.monotonic = float(wall), float(monotonic or time.monotonic())

    def now(self):
        return self.wall + time.monotonic() - self.monotonic


def set_clock(seconds):
    time.clock_settime(time.CLOCK_REALTIME, seconds)


class VmCase(unittest.TestCase):
    def setUp(self):
        lab.require_lab()
        if os.environ.get("IN_VM") != "1":
            self.skipTest("only in the virtual machine of scripts/vm, where the clock is its own")
        self.workdir = lab.workdir()
        os.chmod(self.workdir, 0o777)  # the unprivileged run writes its log here
        self.servers = lab.Servers(self.workdir)
        self.display = lab.Display(use_existing=False)
        self.log = lab.UiLog(self.workdir)
        os.chmod(self.log.path, 0o666)
        self.truth = Anchor(*self.servers.scripted(lab.TABLE[0], "anchored"))

    def tearDown(self):
        set_clock(self.truth.now())
        self.servers.close()
        self.display.close()
        lab.remove(self.workdir)

    def run_quietly(self, user=None, env=None):
        command = lab.program_command(os.path.join(lab.BUILD, "orvane"), "/Q")
        if user:
            command = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups", *command]
        environment = dict(lab.program_env(self.display, self.log), XDG_RUNTIME_DIR=self.workdir)
        environment.update(env or {})
        done = subprocess.run(command, env=environment, capture_output=True, text=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr)
        return done

    def record(self, line):
        print(line)
        with open(os.path.join(OUT, "figures.txt"), "a") as f:
            f.write(line + "\n")


@unittest.skipIf(lab.WINDOWS, "the Linux build")
class LinuxClock(VmCase):
    def test_a_wrong_clock_is_corrected(self):
        for name, wrong in (("years slow", lambda: YEAR_2001), ("minutes slow", lambda: -420),
                            ("minutes fast", lambda: 420)):
            with self.subTest(name):
                start = wrong()
                set_clock(start if start > 1e6 else self.truth.now() + start)
                self.log = lab.UiLog(self.workdir)
                self.run_quietly()
                offset = time.time() - self.truth.now()
                self.assertEqual(self.log.captions()["lbl狀態"], SUCCESS)
                self.record(f"clock {name}: offset after the run {offset * 1000:+.0f} ms")
                # Whole seconds, no allowance for transit: between -1 s and 0, plus the transit.
                self.assertLessEqual(abs(offset), 1.5)

    def test_a_right_clock_stays_right_against_inetd(self):
        self.servers.close()
        self.servers.inetd(*lab.TABLE)  # serves the VM's own clock
        before = Anchor(time.time())
        self.run_quietly()
        self.assertEqual(self.log.captions()["lbl狀態"], SUCCESS)
        offset = time.time() - before.now()
        self.record(f"inetd: clock moved by {offset * 1000:+.0f} ms")
        self.assertLessEqual(abs(offset), 1.5)

    def test_a_user_without_the_right_keeps_the_wrong_clock(self):
        set_clock(YEAR_2001)
        wrong = Anchor(YEAR_2001)
        self.run_quietly(user=65534)
        self.assertEqual(self.log.captions()["lbl狀態"], REFUSED)
        self.assertLessEqual(abs(time.time() - wrong.now()), 1.5)

    def test_the_window_after_a_successful_run(self):
        set_clock(YEAR_2001)
        process = lab.orvane(self.display, self.log)
        window = self.display.find_window("網路校時 (By zevo)", seconds=60)
        self.assertIsNotNone(window)
        self.assertTrue(self.log.wait_for(lambda l: l.captions().get("lbl狀態") == SUCCESS, 30))
        time.sleep(1.5)  # the one-second wait runs out; the window is idle
        self.display.screenshot(os.path.join(OUT, "orvane-vm.png"), window)
        self.assertLessEqual(abs(time.time() - self.truth.now()), 1.5)
        self.display.click(window, 212, 180)  # 完成
        self.assertEqual(process.wait(30), 0)


@unittest.skipUnless(lab.WINDOWS, "the Windows build")
class WindowsClock(VmCase):
    def test_orvane_exe_asks_for_the_right_utc_time(self):
        # Wine refuses to set the clock, and its refusal names how far the requested time is
        # from the clock: put one hour slow, a right request is one hour ahead.
        set_clock(self.truth.now() - 3600)
        done = self.run_quietly(env={"WINEDEBUG": "err+ntdll"})
        found = re.search(r"NtSetSystemTime not allowed: difference (-?\d+) ms", done.stderr)
        self.assertIsNotNone(found, done.stderr)
        error = int(found.group(1)) - 3600 * 1000
        self.record(f"orvane.exe asked for the true time {error:+d} ms")
        self.assertLessEqual(abs(error), 1500)


if __name__ == "__main__":
    unittest.main()
