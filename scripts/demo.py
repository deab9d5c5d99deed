"""The demo: Orvane against local RFC 868 servers at the table's five addresses.

In the virtual machine of scripts/clock-vm, whose clock is its own, the VM's clock is put wrong first
and the servers serve the true time: the run corrects the clock (orvane.exe under Wine asks for
the right time, and Wine, which sets no clock, says how far it was). Elsewhere it runs in the
namespace lab, where setting the clock is refused."""
import os
import re
import subprocess
import sys
import time

import lab

SHOT = os.path.join(lab.BUILD, "demo", "orvane.png")


def utc(seconds):
    return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(seconds))


def main():
    world = lab.World()
    log = lab.SystemLog() if lab.IN_VM else None  # Orvane's helper records each correction
    try:
        true_time = None
        if lab.IN_VM:  # the true time, from every table address
            wall, monotonic = map(float, [world.serve(a, "anchored") for a in lab.TABLE][0])
            true_time = lambda: wall + time.monotonic() - monotonic  # noqa: E731
            time.clock_settime(time.CLOCK_REALTIME, true_time() - 3600 if lab.WINDOWS else 978307200)
            subprocess.run(["hwclock", "--systohc", "--utc", "--noadjfile"], check=False)
            print(f"the VM's clock, put wrong:   {utc(time.time())} (its hardware clock too)")
            print(f"the time the servers serve:  {utc(true_time())}")
        else:
            world.inetd(*lab.TABLE)
        print(f"time servers: {', '.join(lab.TABLE)} (local, port 37)")
        process = world.start(os.path.join(lab.BUILD, "orvane"), *sys.argv[1:], WINEDEBUG="err+ntdll")
        window = world.window("網路校時 (By zevo)", seconds=60)
        lab.until(lambda: world.shown().get("cmd確定.enabled") == "1", 60)
        time.sleep(1.2)
        os.makedirs(os.path.dirname(SHOT), exist_ok=True)
        if window:
            world.screenshot(SHOT, window)
        print("\nthe window ended with:")
        for name, text in world.shown().items():
            print(f"  {name:16} {text}")
        if true_time:
            print(f"\nthe VM's clock now:          {utc(time.time())}")
            print(f"offset from the served time: {(time.time() - true_time()) * 1000:+.0f} ms")
            if not lab.WINDOWS:  # the kernel writes the hardware clock within a few seconds
                rtc = lambda: int(open("/sys/class/rtc/rtc0/since_epoch").read())  # noqa: E731
                lab.until(lambda: abs(rtc() - true_time()) < 2, 10)
                print(f"the hardware clock now:      {utc(rtc())}")
            refused = re.search(r"not allowed: difference (-?\d+) ms", world.stderr())
            if refused:
                asked = int(refused.group(1)) - 3600 * 1000
                print(f"Wine sets no clock; orvane.exe asked for the served time {asked:+d} ms")
        if log:
            print("\nthe system log:")
            for line in log.lines():
                print(f"  {line}")
        if window and process.poll() is None:
            world.click(window, 212, 180)  # 完成
            process.wait(30)
        print(f"\nscreenshot: {SHOT}")
        if not lab.IN_VM:
            print("(this machine's clock was not changed: the namespace lab refuses it)")
    finally:
        world.close()
        if log:
            log.close()


if __name__ == "__main__":
    main()
