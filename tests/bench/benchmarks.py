"""Benchmarks (not tests): figures printed from one run each, under the Wine bench.

  table      (the default) the performance table on the four shapes of distribution and a
             100,000-file set (table.py), for the shipped i686 programs and the x86_64 build
  builder    PondrelMake -d on a generated 200 MB distribution against its archive made on one
             thread, Info-ZIP zip and 7z
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
from bench import PONDREL_MAKE, SOURCE, scratch, sign, tool, winpath  # noqa: E402
from distgen import generate  # noqa: E402
from test_builder import archive_of  # noqa: E402
from table import median, table  # noqa: E402

SIZE = 200 * 1024 * 1024
FILES = 3000


def timed(command, env=None, cwd=None):
    """Runs a command under GNU time; returns (seconds, peak resident KiB)."""
    report = scratch("time-") / "time.txt"
    started = time.monotonic()
    subprocess.run(["/usr/bin/time", "-f", "%M", "-o", str(report), *map(str, command)], check=True, env=env,
                   cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.monotonic() - started, int(report.read_text().split()[-1])


def distribution():
    dist = scratch("dist-") / "dist"
    started = time.monotonic()
    generate(dist, SIZE, FILES)
    print(f"distribution: {FILES} files, {SIZE // 2**20} MiB, generated in {time.monotonic() - started:.1f} s")
    return dist


def builder():
    dist = distribution()
    out = scratch("out-")
    make_s, make_kib = timed(["wine", PONDREL_MAKE, "-d", winpath(dist), "-o", winpath(out), "-c", "Bench.exe"])
    # The builder's archive on one compressing thread: the sequential figure, and the archive
    # that the parallel build must equal byte for byte.
    one_s, one_kib = timed(["wine", tool("archive_probe.exe"), winpath(dist), winpath(out / "one.zip"), 1])
    zip_s, zip_kib = timed(["zip", "-r", "-q", str(out / "info.zip"), "."], cwd=dist)
    sz_s, sz_kib = timed(["7z", "a", "-tzip", "-bd", str(out / "7z.zip"), "."], cwd=dist)
    _, archive = archive_of(out / "Bench.exe")
    sequential = (out / "one.zip").read_bytes()
    sizes = {name: (out / name).stat().st_size / 2**20 for name in ("Bench.exe", "one.zip", "info.zip", "7z.zip")}
    print(f"{'':28}{'seconds':>9}{'peak MiB':>10}{'output MiB':>12}")
    print(f"{'PondrelMake -d':28}{make_s:9.2f}{make_kib / 1024:10.1f}{sizes['Bench.exe']:12.2f}")
    print(f"{'  its archive':28}{'':19}{len(archive) / 2**20:12.2f}")
    print(f"{'archive alone, one thread':28}{one_s:9.2f}{one_kib / 1024:10.1f}{sizes['one.zip']:12.2f}")
    print(f"{'zip -r -q':28}{zip_s:9.2f}{zip_kib / 1024:10.1f}{sizes['info.zip']:12.2f}")
    print(f"{'7z a -tzip':28}{sz_s:9.2f}{sz_kib / 1024:10.1f}{sizes['7z.zip']:12.2f}")
    print(f"ratio PondrelMake/zip: time {make_s / zip_s:.2f}x, memory {make_kib / zip_kib:.2f}x, "
          f"archive size {len(archive) / sizes['info.zip'] / 2**20:.3f}x")
    print(f"ratio PondrelMake/7z:  time {make_s / sz_s:.2f}x, memory {make_kib / sz_kib:.2f}x")
    print(f"parallel archive equals the one-thread archive: {'yes' if archive == sequential else 'NO'}")
    if archive != sequential:
        sys.exit(1)


def setup_run(program, markers):
    """One run of a setup program: seconds until its setup file runs, seconds until it ended, and
    its peak memory (KiB)."""
    for stale in markers.glob("*"):
        stale.unlink()
    env = dict(os.environ, PONDREL_MARKER_DIR=winpath(markers))
    started = time.monotonic()
    proc = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", str(markers / "time.txt"), "wine", str(program)],
                            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    while not (markers / "marker.txt").exists():
        time.sleep(0.005)
    seconds = time.monotonic() - started
    proc.wait()
    return seconds, time.monotonic() - started, int((markers / "time.txt").read_text().split()[-1])


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
                                 winpath(work / "AppData")])[0] for _ in range(3)])
        start = seconds if start is None else start
        print(f"{keys:>8}{seconds:9.2f}{(seconds - start) / keys * 1e6 if keys else 0:28.1f}")


if __name__ == "__main__":
    {"table": table, "builder": builder, "tree-wait": tree_wait, "merge": merge}[
        sys.argv[1] if len(sys.argv) > 1 else "table"]()
