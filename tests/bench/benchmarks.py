"""Benchmarks (not tests): figures printed from one run each, under the Wine bench.

  table      (the default) the performance table on the four shapes of distribution and a
             100,000-file set (table.py), for the shipped i686 programs, the x86_64 build and
             the native Linux builder
  builders   the builders alone (both Windows builds and the native one) against zip -r -q on
             the chosen shapes
  tree-wait  the setup program's CPU use while it waits for a long-running setup file
  merge      the launcher file's merge of 10,000 to 160,000 keys into a user's file of as many:
             about linear when the time per key stays about the same
"""
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
from bench import PONDREL_MAKE, scratch, sign, tool, winpath  # noqa: E402
from table import builders, median, table, timed  # noqa: E402


def tree_wait():
    dist = scratch("dist-") / "dist"
    (dist / "bin").mkdir(parents=True)
    shutil.copyfile(tool("tree_setup.exe"), dist / "bin" / "setup.exe")
    sign(dist / "bin" / "setup.exe")
    out = scratch("out-")
    subprocess.run(["wine", str(PONDREL_MAKE), "-d", winpath(dist), "-s", "setup.exe", "-o", winpath(out),
                    "-c", "Bench.exe"], check=True, stdout=subprocess.DEVNULL)
    def cpu_seconds(delay_ms):
        markers = scratch("markers-")
        env = dict(os.environ, PONDREL_MARKER_DIR=winpath(markers), PONDREL_TREE_DELAY=str(delay_ms))
        report = markers / "time.txt"
        started = time.monotonic()
        subprocess.run(["/usr/bin/time", "-f", "%U %S", "-o", str(report), "wine", str(out / "Bench.exe")], env=env,
                       check=True)
        user, system = map(float, report.read_text().split()[-2:])
        return time.monotonic() - started, user + system

    base_wall, base_cpu = cpu_seconds(0)
    seconds = 20
    wall, cpu = cpu_seconds(seconds * 1000)
    waiting = cpu - base_cpu
    print(f"setup program with a setup tree that ends at once: wall {base_wall:.1f} s, CPU {base_cpu:.2f} s")
    print(f"setup program with a setup tree running {seconds} s: wall {wall:.1f} s, CPU {cpu:.2f} s")
    print(f"CPU while waiting: {waiting:.2f} s over {wall - base_wall:.1f} s = "
          f"{100 * waiting / max(0.1, wall - base_wall):.1f} % of one core")


def merge():
    """The launcher file's merge through config_probe; the first row (no keys) is the cost of
    starting a program under Wine, which the others include."""
    print(f"{'keys':>8}{'seconds':>9}{'us per key, start deducted':>28}")
    start = None
    for keys in (0, 10_000, 40_000, 160_000):
        work = scratch("merge-")
        folder = work / "AppData" / "Kelm" / "Tarnel"
        folder.mkdir(parents=True)
        # Half of the distribution's keys are the user's already (in another letter case).
        (folder / "Tarnel.cfg").write_text("".join(f"KEY{i}=user\n" for i in range(keys)))
        (work / "dist.cfg").write_text("".join(f"key{i}=dist\n" for i in range(keys // 2, keys * 3 // 2)))
        seconds = median([timed(["wine", tool("config_probe.exe"), "merge", winpath(work / "dist.cfg"),
                                 winpath(work / "AppData")]) for _ in range(3)])
        start = seconds if start is None else start
        print(f"{keys:>8}{seconds:9.2f}{(seconds - start) / keys * 1e6 if keys else 0:28.1f}")


if __name__ == "__main__":
    {"table": table, "builders": builders, "tree-wait": tree_wait, "merge": merge}[
        sys.argv[1] if len(sys.argv) > 1 else "table"]()
