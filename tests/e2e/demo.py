"""The demo: Orvane against local RFC 868 servers at the table's five addresses.

In the virtual machine of scripts/vm, whose clock is its own, the VM's clock is put wrong first
and the servers serve the true time: the run corrects the clock (orvane.exe under Wine asks for
the right time, and Wine, which sets no clock, says how far it was). Elsewhere it runs in the
namespace lab, where setting the clock is refused. On the user's display if there is one, else
on Xvfb."""
import os
import re
import subprocess
import sys
import time

import lab

SHOT = os.path.join(lab.BUILD, "demo", "orvane.png")
IN_VM = os.environ.get("IN_VM") == "1"
YEAR_2001 = 978307200.0


def utc(seconds):
    return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(seconds))


def start_servers(servers):
    """The true time in the VM (anchored servers), openbsd-inetd's time service elsewhere."""
    if not IN_VM:
        servers.inetd(*lab.TABLE)
        return None
    anchor = [servers.scripted(address, "anchored") for address in lab.TABLE][0]
    wall, monotonic = map(float, anchor)
    return lambda: wall + time.monotonic() - monotonic


def main():
    lab.require_lab()
    work = lab.workdir()
    servers = lab.Servers(work)
    true_time = start_servers(servers)
    on_screen = (bool(os.environ.get("DISPLAY")) and os.path.exists("/tmp/.X11-unix")
                 and not os.environ.get("DEMO_HEADLESS") and not IN_VM)
    display = lab.Display(use_existing=on_screen or (lab.WINDOWS and not IN_VM))
    log = lab.UiLog(work)
    try:
        print(f"time servers: {', '.join(lab.TABLE)} (local, port 37)")
        if true_time:
            wrong = true_time() - 3600 if lab.WINDOWS else YEAR_2001
            time.clock_settime(time.CLOCK_REALTIME, wrong)
            print(f"the VM's clock, put wrong:  {utc(time.time())}")
            print(f"the time the servers serve: {utc(true_time())}")
        errors = os.path.join(work, "stderr")
        env = dict(lab.program_env(display, log), WINEDEBUG="err+ntdll")
        with open(errors, "w") as stderr:
            process = subprocess.Popen(lab.program_command(os.path.join(lab.BUILD, "orvane"),
                                                           *sys.argv[1:]),
                                       env=env, stdout=subprocess.DEVNULL, stderr=stderr)
        window = display.find_window("網路校時 (By zevo)", seconds=60)
        log.wait_for(lambda l: l.captions().get("cmd確定.enabled") is True, 60)
        time.sleep(1.2)
        os.makedirs(os.path.dirname(SHOT), exist_ok=True)
        if window:
            display.screenshot(SHOT, window)
        print("\nthe window ended with:")
        for name, text in log.captions().items():
            print(f"  {name:12} {text}")
        for title, text in log.message_boxes():
            print(f"  message box «{title}»: {text}")
        if true_time:
            print(f"\nthe VM's clock now:         {utc(time.time())}")
            print(f"offset from the served time: {(time.time() - true_time()) * 1000:+.0f} ms")
            with open(errors) as f:
                refused = re.search(r"not allowed: difference (-?\d+) ms", f.read())
            if refused:
                asked = int(refused.group(1)) - 3600 * 1000
                print(f"Wine sets no clock; orvane.exe asked for the served time {asked:+d} ms")
        if process.poll() is None and window:
            if on_screen:
                print("\nclick 完成 to close the window")
                process.wait()
            else:
                display.click(window, 212, 180)
                process.wait(30)
        print(f"\nscreenshot: {SHOT}")
        if not IN_VM:
            print("(this machine's clock was not changed: the namespace lab refuses it)")
    finally:
        servers.close()
        display.close()
        lab.remove(work)


if __name__ == "__main__":
    main()
