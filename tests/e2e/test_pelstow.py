"""The unmodified pelstow in a temporary folder next to a stand-in main program, answered through
X as a user would. Paths are bytes: a folder or a name need not be UTF-8."""
import os
import shutil
import subprocess
import threading
import time
import unittest

import lab

NEW_VERSION = b"""#!/bin/sh
{ pwd; echo "$#"; } > '%s'
"""


class PelstowCase(unittest.TestCase):
    folder_name = "程式 資料夾".encode()  # spaces and non-ASCII on the way

    def setUp(self):
        self.root = os.fsencode(lab.workdir())
        self.folder = os.path.join(self.root, self.folder_name)
        os.mkdir(self.folder)
        self.exe = b".exe" if lab.WINDOWS else b""
        shutil.copy(os.path.join(os.fsencode(lab.BUILD), b"pelstow" + self.exe), self.folder)
        self.record = os.path.join(self.root, b"started")
        self.display = lab.Display()
        self.log = lab.UiLog(os.fsdecode(self.root))

    def tearDown(self):
        self.display.close()
        lab.remove(self.root)

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
        """The main program's executable and its downloaded new version, which records where
        and how it was started."""
        self.write(name, b"#!/bin/sh\necho old version\n")
        if lab.WINDOWS:
            # The Windows stand-in: the backend test program records its start when RECORD_START
            # names a file.
            shutil.copy(os.path.join(os.fsencode(lab.BUILD), b"tests", b"backend_tests.exe"),
                        self.path(b"_new_" + name))
        else:
            self.write(b"_new_" + name, NEW_VERSION % self.record, mode=0o644)
        self.new_content = self.read(b"_new_" + name)

    def expected_start(self):
        folder = lab.windows_path(self.folder) if lab.WINDOWS else os.fsdecode(self.folder)
        return folder + "\n0\n"

    def start_pelstow(self, *args):
        env = lab.program_env(self.display, self.log)
        env["RECORD_START"] = lab.windows_path(self.record) if lab.WINDOWS else self.record
        self.stderr = os.path.join(self.root, b"stderr")
        with open(self.stderr, "wb") as errors:
            return subprocess.Popen(lab.program_command(self.path(b"pelstow"), *args), env=env,
                                    stdout=subprocess.DEVNULL, stderr=errors)

    def run_pelstow(self, *args, answer=None, box_title=None):
        process = self.start_pelstow(*args)
        box = self.display.find_window(box_title, seconds=15)
        self.assertIsNotNone(box, f"no message box {box_title}")
        self.display.press(box, answer)
        return process.wait(20)

    def started(self, seconds=3):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if os.path.exists(self.record) and os.path.getsize(self.record):
                with open(self.record, "rb") as f:
                    return os.fsdecode(f.read())
            time.sleep(0.05)
        return None


class Answers(PelstowCase):
    def test_yes_installs_removes_the_download_and_starts_the_new_version(self):
        name = b"my app" + self.exe
        self.install(name)
        code = self.run_pelstow(b"my", b"app" + self.exe, answer="Return", box_title="版本升級")
        self.assertEqual(code, 0)
        self.assertEqual(self.log.message_boxes(), [("版本升級", "已下載完成，要立即執行新版程式嗎？")])
        self.assertEqual(self.read(name), self.new_content)
        self.assertTrue(os.access(self.path(name), os.X_OK), "the old version's mode is kept")
        self.assertFalse(os.path.exists(self.path(b"_new_" + name)))
        self.assertEqual(self.started(seconds=15), self.expected_start())

    def test_no_installs_but_keeps_the_download_and_starts_nothing(self):
        name = b"app" + self.exe
        self.install(name)
        code = self.run_pelstow(name, answer="n" if lab.WINDOWS else "Escape", box_title="版本升級")
        self.assertEqual(code, 0)
        self.assertEqual(self.read(name), self.new_content)
        self.assertEqual(self.read(b"_new_" + name), self.new_content)
        self.assertIsNone(self.started(seconds=1))


class Names(PelstowCase):
    """Whatever the caller passed is the name, byte for byte, however long (Linux)."""
    folder_name = b"\xe9 folder"  # not UTF-8

    def test_every_name_whose_download_exists_is_installed_and_started(self):
        for name in (b"-reverse", b"caf\xe9", b"n" * 250, b"$(touch x) 'q'"):
            with self.subTest(name=name[:20]):
                self.install(name)
                self.assertEqual(self.run_pelstow(name, answer="Return", box_title="版本升級"), 0)
                self.assertEqual(self.read(name), self.new_content)
                self.assertFalse(os.path.exists(self.path(b"_new_" + name)))
                self.assertEqual(self.started(), self.expected_start())
                self.assertEqual(sorted(os.listdir(self.folder)), sorted([b"pelstow", name]))
                os.remove(self.record)
                os.remove(self.path(name))


class Interruptions(PelstowCase):
    def test_a_download_still_being_written_is_installed_only_when_whole(self):
        self.write(b"app", b"old")
        self.write(b"_new_app", b"")
        chunk = bytes(range(256)) * 40

        def main_program_still_writing():
            for _ in range(10):
                time.sleep(0.3)
                with open(self.path(b"_new_app"), "ab") as f:
                    f.write(chunk)

        writer = threading.Thread(target=main_program_still_writing)
        writer.start()
        process = self.start_pelstow("app")
        box = self.display.find_window("版本升級", seconds=15)
        self.display.press(box, "Escape")  # No: installs all the same, starts nothing
        self.assertEqual(process.wait(20), 0)
        writer.join()
        self.assertEqual(self.read(b"app"), chunk * 10)

    def test_a_prompt_destroyed_from_outside_ends_pelstow_with_nothing_done(self):
        self.install(b"app")
        process = self.start_pelstow("app")
        box = self.display.find_window("版本升級", seconds=15)
        self.assertIsNotNone(box)
        lab.destroy_window(self.display, box)
        self.assertEqual(process.wait(10), 1)
        with open(self.stderr, "rb") as f:
            self.assertIn("版本升級", f.read().decode())
        self.assertEqual(self.read(b"app"), b"#!/bin/sh\necho old version\n")
        self.assertTrue(os.path.exists(self.path(b"_new_app")))
        self.assertIsNone(self.started(seconds=0.5))


class Refusals(PelstowCase):
    def test_missing_download_only_shows_the_message(self):
        self.write(b"app", b"old")
        code = self.run_pelstow("app", answer="Return", box_title="Tarrin（zevo）說：")
        self.assertEqual(code, 0)
        self.assertEqual(self.log.message_boxes(), [("Tarrin（zevo）說：", "必需由主程式呼叫始可執行！")])
        self.assertEqual(sorted(os.listdir(self.folder)), [b"app", b"pelstow" + self.exe])

    def test_a_name_reaching_outside_the_folder_is_refused(self):
        # Without the guard, "../victim" would copy _new_../victim over the folder's parent's file.
        os.mkdir(self.path(b"_new_.."))
        self.write(b"_new_../victim", b"payload")
        with open(os.path.join(self.root, b"victim"), "w") as f:
            f.write("untouched")
        code = self.run_pelstow("../victim", answer="Return", box_title="Tarrin（zevo）說：")
        self.assertEqual(code, 0)
        with open(os.path.join(self.root, b"victim")) as f:
            self.assertEqual(f.read(), "untouched")

    def test_a_failed_copy_is_reported_and_ends_with_code_1(self):
        os.mkdir(self.path(b"app"))  # a folder cannot be replaced by the download
        self.write(b"_new_app", b"new")
        process = self.start_pelstow("app")
        self.display.press(self.display.find_window("版本升級", seconds=15), "Return")
        report = self.display.find_window("pelstow", seconds=15)
        self.assertIsNotNone(report, "no error report")
        self.display.press(report, "Return")
        self.assertEqual(process.wait(10), 1)
        boxes = self.log.message_boxes()
        self.assertEqual(boxes[-1][0], "pelstow")
        self.assertIn("執行階段錯誤", boxes[-1][1])
        self.assertEqual(self.read(b"_new_app"), b"new")
        self.assertIsNone(self.started(seconds=0.5))


if __name__ == "__main__":
    unittest.main()
