"""Orvane's run costs, measured in the lab against local servers (medians of several runs):
- "/Q" with a replying server: wall time from start to exit against its floor, `sleep 0.4` (the
  two fixed 200 ms pauses) started the same way, and the CPU time of the whole run;
- "/Q" with a silent server: CPU time of the whole run, the one-second wait included;
- peak resident memory of both."""
import os
import statistics
import subprocess
import threading
import time

import lab

RUNS = int(os.environ.get("BENCH_RUNS", "7"))


def run_once(world, answer_box):
    start = time.monotonic()
    p = world.start(os.path.join(lab.BUILD, "orvane"), "/Q")
    helper = None
    if answer_box:
        helper = threading.Thread(target=lambda: world.press(world.window("程式報告"), "Return"))
        helper.start()
    _, status, usage = os.wait4(p.pid, 0)
    wall = time.monotonic() - start
    if helper:
        helper.join()
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def floor():
    """`sleep 0.4`, started and waited for as the program is."""
    rows = []
    for _ in range(RUNS):
        start = time.monotonic()
        p = subprocess.Popen(["sleep", "0.4"])
        os.wait4(p.pid, 0)
        rows.append(time.monotonic() - start)
    return statistics.median(rows)


def measure(setup, answer_box):
    world = lab.World()
    try:
        setup(world)
        return [run_once(world, answer_box) for _ in range(RUNS)]
    finally:
        world.close()


def main():
    replying = measure(lambda s: s.inetd(*lab.TABLE), answer_box=False)
    pauses = floor()
    silent = measure(lambda s: s.serve(lab.TABLE[0], "silent"), answer_box=True)
    median = lambda rows, i: statistics.median(r[i] for r in rows)
    print(f"orvane /Q, replying server: wall {median(replying, 0) * 1000:.0f} ms, "
          f"{median(replying, 0) / pauses:.3f} x its floor of {pauses * 1000:.0f} ms "
          f"(target <= 1.10 x), CPU {median(replying, 1) * 1000:.0f} ms, "
          f"peak RSS {median(replying, 2):.1f} MiB")
    print(f"orvane /Q, silent server:   CPU {median(silent, 1) * 1000:.0f} ms (target < 100 ms), "
          f"wall {median(silent, 0) * 1000:.0f} ms (message box answered by xdotool), "
          f"peak RSS {median(silent, 2):.1f} MiB")
    print(f"medians of {RUNS} runs each")


if __name__ == "__main__":
    main()
