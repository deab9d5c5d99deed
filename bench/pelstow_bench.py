"""The installer's replacement of a 256 MiB download, its length checks included, against `cp`
followed by `sync` on the same files (medians of several alternating runs), with peak resident
memory; and the peak memory of the whole pelstow process doing it, its prompt answered through X."""
import os
import shutil
import statistics
import subprocess
import time

import lab

RUNS = int(os.environ.get("BENCH_RUNS", "5"))
SIZE = 256 << 20


def timed(command):
    start = time.monotonic()
    p = subprocess.Popen(command)
    _, status, usage = os.wait4(p.pid, 0)
    if status != 0:
        raise RuntimeError(f"{command} failed")
    return time.monotonic() - start, usage.ru_maxrss / 1024


def whole_pelstow_rss(folder):
    shutil.copy(os.path.join(lab.BUILD, "pelstow"), folder)
    world = lab.World()
    try:
        p = subprocess.Popen([os.path.join(folder, "pelstow"), "app"], env=world.env(),
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        world.press(world.window("版本升級"), "Escape")  # No: replace, start nothing
        _, status, usage = os.wait4(p.pid, 0)
        return usage.ru_maxrss / 1024
    finally:
        world.close()


def main():
    folder = os.path.join(os.path.dirname(lab.BUILD), "bench-pelstow")  # on the project's disk
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    source, target = os.path.join(folder, "_new_app"), os.path.join(folder, "app")
    with open(source, "wb") as f:
        for _ in range(SIZE >> 20):
            f.write(os.urandom(1 << 20))
    ours, theirs = [], []
    try:
        for _ in range(RUNS):
            theirs.append(timed(["sh", "-c", f"cp '{source}' '{target}' && sync"]))
            os.remove(target)
            with open(target, "w") as f:
                f.write("old")
            ours.append(timed([os.path.join(lab.BUILD, "bench", "replace_bench"), folder,
                               "_new_app", "app"]))
        pelstow_rss = whole_pelstow_rss(folder)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    ours_wall = statistics.median(r[0] for r in ours)
    cp_wall = statistics.median(r[0] for r in theirs)
    print(f"256 MiB replacement: {ours_wall * 1000:.0f} ms; cp + sync: {cp_wall * 1000:.0f} ms; "
          f"ratio {ours_wall / cp_wall:.2f} (target <= 1.0)")
    print(f"peak RSS of the replacement: {statistics.median(r[1] for r in ours):.1f} MiB "
          f"(target < 32 MiB); whole pelstow process with its Qt prompt: {pelstow_rss:.1f} MiB")
    print(f"medians of {RUNS} runs each")


if __name__ == "__main__":
    main()
