"""The unmodified pelstow in a temporary folder next to a stand-in main program, answered through
X as a user would."""
import os
import shutil
import subprocess
import time
import unittest

import lab

NEW_VERSION = """#!/bin/sh
{{ pwd; echo "$#"; }} > '{record}'
"""


class PelstowCase(unittest.TestCase):
    def setUp(self):
        self.root = lab.workdir()
        self.folder = os.path.join(self.root, "程式 資料夾")  # spaces and non-ASCII on the way
        os.mkdir(self.folder)
        self.exe = ".exe" if lab.WINDOWS else ""
        shutil.copy(os.path.join(lab.BUILD, "pelstow" + self.exe), self.folder)
        self.record = os.path.join(self.root, "started")
        self.display = lab.Display()
        self.log = lab.UiLog(self.root)

    def tearDown(self):
        self.display.close()
        lab.remove(self.root)

    def path(self, name):
        return os.path.join(self.folder, name)

    def write(self, name, content, mode=0o755):
        with open(self.path(name), "w") as f:
            f.write(content)
        os.chmod(self.path(name), mode)

    def read(self, name):
        with open(self.path(name)) as f:
            return f.read()

    def install(self, name):
        """The main program's executable and its downloaded new version, which records where
        and how it was started."""
        self.write(name, "#!/bin/sh\necho old version\n")
        if lab.WINDOWS:
            # The Windows stand-in: the backend test program records its start when RECORD_START
            # names a file.
            shutil.copy(os.path.join(lab.BUILD, "tests", "backend_tests.exe"), self.path("_new_" + name))
        else:
            self.write("_new_" + name, NEW_VERSION.format(record=self.record), mode=0o644)
        with open(self.path("_new_" + name), "rb") as f:
            self.new_content = f.read()

    def read_bytes(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def expected_start(self):
        folder = lab.windows_path(self.folder) if lab.WINDOWS else self.folder
        return folder + "\n0\n"

    def start_pelstow(self, *args):
        env = lab.program_env(self.display, self.log)
        env["RECORD_START"] = lab.windows_path(self.record)
        return subprocess.Popen(lab.program_command(self.path("pelstow"), *args), env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def run_pelstow(self, *args, answer=None, box_title=None):
        process = self.start_pelstow(*args)
        box = self.display.find_window(box_title, seconds=15)
        self.assertIsNotNone(box, f"no message box {box_title}")
        self.display.press(box, answer)
        return process.wait(10)

    def started(self, seconds=3):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if os.path.exists(self.record) and os.path.getsize(self.record):
                with open(self.record) as f:
                    return f.read()
            time.sleep(0.05)
        return None


class Answers(PelstowCase):
    def test_yes_installs_removes_the_download_and_starts_the_new_version(self):
        name = "my app" + self.exe
        self.install(name)
        code = self.run_pelstow("my", "app" + self.exe, answer="Return", box_title="版本升級")
        self.assertEqual(code, 0)
        self.assertEqual(self.log.message_boxes(), [("版本升級", "已下載完成，要立即執行新版程式嗎？")])
        self.assertEqual(self.read_bytes(name), self.new_content)
        self.assertTrue(os.access(self.path(name), os.X_OK), "the old version's mode is kept")
        self.assertFalse(os.path.exists(self.path("_new_" + name)))
        self.assertEqual(self.started(seconds=15), self.expected_start())

    def test_no_installs_but_keeps_the_download_and_starts_nothing(self):
        name = "app" + self.exe
        self.install(name)
        code = self.run_pelstow(name, answer="Escape" if not lab.WINDOWS else "n", box_title="版本升級")
        self.assertEqual(code, 0)
        self.assertEqual(self.read_bytes(name), self.new_content)
        self.assertEqual(self.read_bytes("_new_" + name), self.new_content)
        self.assertIsNone(self.started(seconds=1))


class Refusals(PelstowCase):
    def test_missing_download_only_shows_the_message(self):
        self.write("app", "old")
        code = self.run_pelstow("app", answer="Return", box_title="Tarrin（zevo）說：")
        self.assertEqual(code, 0)
        self.assertEqual(self.log.message_boxes(), [("Tarrin（zevo）說：", "必需由主程式呼叫始可執行！")])
        self.assertEqual(sorted(os.listdir(self.folder)), ["app", "pelstow" + self.exe])

    def test_a_name_reaching_outside_the_folder_is_refused(self):
        # Without the guard, "../victim" would copy _new_../victim over the folder's parent's file.
        os.mkdir(self.path("_new_.."))
        self.write("_new_../victim", "payload")
        with open(os.path.join(self.root, "victim"), "w") as f:
            f.write("untouched")
        code = self.run_pelstow("../victim", answer="Return", box_title="Tarrin（zevo）說：")
        self.assertEqual(code, 0)
        with open(os.path.join(self.root, "victim")) as f:
            self.assertEqual(f.read(), "untouched")

    def test_a_failed_copy_is_reported_and_ends_with_code_1(self):
        os.mkdir(self.path("app"))  # a folder cannot be replaced by the download
        self.write("_new_app", "new")
        process = self.start_pelstow("app")
        self.display.press(self.display.find_window("版本升級", seconds=15), "Return")
        report = self.display.find_window("pelstow", seconds=15)
        self.assertIsNotNone(report, "no error report")
        self.display.press(report, "Return")
        self.assertEqual(process.wait(10), 1)
        boxes = self.log.message_boxes()
        self.assertEqual(boxes[-1][0], "pelstow")
        self.assertIn("執行階段錯誤", boxes[-1][1])
        self.assertEqual(self.read("_new_app"), "new")
        self.assertIsNone(self.started(seconds=0.5))


if __name__ == "__main__":
    unittest.main()
