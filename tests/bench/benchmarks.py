"""Benchmarks (not tests): figures printed from one run each, under the Wine bench.

  table      (the default) every row of the performance table: the setup program's start until
             its setup file runs against unzip, 7z and Wine's floor; PondrelMake -d against zip
             and 7z; the shipped stub's size; the setup program's peak memory against an empty
             window program; and that parallel unpacking and building give what one thread gives
  builder    PondrelMake -d on a generated 200 MB distribution against its archive made on one
             thread, Info-ZIP zip and 7z
  unpack     a built setup program's start-to-unpacked time against unzip and 7z x
  tree-wait  the setup program's CPU use while it waits for a long-running setup file
  merge      the launcher file's merge of 10,000 to 160,000 keys into a user's file of as many:
             about linear when the time per key stays about the same
"""
import contextlib
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
from bench import BUILD, PONDREL_MAKE, SOURCE, scratch, tool, user_temp, winpath  # noqa: E402
from distgen import generate, tree_hashes  # noqa: E402
from test_builder import archive_of  # noqa: E402

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


def sign(path):
    subprocess.run(["bash", str(SOURCE / "tests" / "bench" / "sign.sh"), str(scratch("certs-")), str(path)],
                   check=True)


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


def unpack():
    dist = distribution()
    (dist / "bin").mkdir()
    shutil.copyfile(tool("marker_setup.exe"), dist / "bin" / "setup.exe")
    sign(dist / "bin" / "setup.exe")
    out = scratch("out-")
    subprocess.run(["wine", str(PONDREL_MAKE), "-d", winpath(dist), "-s", "setup.exe", "-o", winpath(out),
                    "-c", "Bench.exe"], check=True, stdout=subprocess.DEVNULL)
    program = out / "Bench.exe"
    data = program.read_bytes()
    import pefile  # noqa: E402
    offset = int(pefile.PE(str(program), fast_load=False).get_overlay_data_start_offset() or 0)
    # The payload offset resource names where the archive starts; the image ends before it.
    offset = data.index(b"PK\x03\x04", offset)
    archive = out / "archive.zip"
    archive.write_bytes(data[offset:])
    print(f"setup program: {len(data) // 2**20} MiB, archive at {offset}")

    # The setup program: from start until the setup file runs (it marks its start and returns).
    stub_s, stub_total, stub_kib = setup_run(program, scratch("markers-"))

    temp = user_temp()
    target = temp / "bench-unzip"
    unzip_s, _ = timed(["unzip", "-q", "-o", str(archive), "-d", str(target)])
    shutil.rmtree(target)
    sz_s, _ = timed(["7z", "x", "-y", "-bd", f"-o{target}", str(archive)])
    shutil.rmtree(target)
    copy_s, _ = timed(["cp", str(archive), str(temp / "copy.zip")])
    (temp / "copy.zip").unlink()
    probe_dest = temp / "bench-probe"
    probe_dest.mkdir()
    probe_s, probe_kib = timed(["wine", tool("unzip_probe.exe"), winpath(archive), winpath(probe_dest)])
    shutil.rmtree(probe_dest)

    print(f"{'':44}{'seconds':>9}")
    print(f"{'setup program: start to unpacked (setup file runs)':44}{stub_s:9.2f}   peak {stub_kib / 1024:.1f} MiB")
    print(f"{'setup program: whole run incl. removal':44}{stub_total:9.2f}")
    print(f"{'unzip -q':44}{unzip_s:9.2f}")
    print(f"{'7z x':44}{sz_s:9.2f}")
    print(f"{'  of which: archive copy (cp, native)':44}{copy_s:9.2f}")
    print(f"{'  of which: unpacker alone under Wine':44}{probe_s:9.2f}   peak {probe_kib / 1024:.1f} MiB")
    print(f"ratio setup/unzip: {stub_s / unzip_s:.2f}x   setup/7z: {stub_s / sz_s:.2f}x")


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


def median(values):
    values = sorted(values)
    return values[len(values) // 2]


@contextlib.contextmanager
def journaled_temp():
    """The prefix's temporary folder on a fresh, journaled ext4 image while the block runs: the
    root file system of these machines has no journal, and ext4 then refuses to reuse inodes
    freed minutes ago, which can double file-creation times right after a large deletion. Falls
    back to the folder as it is (and says so) where nothing can be mounted."""
    temp = user_temp()
    temp.mkdir(parents=True, exist_ok=True)
    image = scratch("ext4-") / "temp.img"
    mounted = False
    try:
        subprocess.run(["truncate", "-s", "4G", str(image)], check=True)
        subprocess.run(["mkfs.ext4", "-q", "-F", str(image)], check=True, capture_output=True)
        mounted = subprocess.run(["mount", "-o", "loop", str(image), str(temp)], capture_output=True).returncode == 0
    except (OSError, subprocess.CalledProcessError):
        pass
    print("file system: " + ("a fresh journaled ext4 image as the user's temporary folder" if mounted else
                             "the machine's own (no journal: figures right after large deletions are slower)"))
    try:
        yield temp
    finally:
        if mounted:
            subprocess.run(["umount", str(temp)], check=False)
        image.unlink(missing_ok=True)


def table():
    runs = 5
    dist = distribution()
    with journaled_temp() as temp:
        out = scratch("out-")
        builder = [timed(["wine", PONDREL_MAKE, "-d", winpath(dist), "-o", winpath(out), "-c", "Bench.exe"])[0]
                   for _ in range(3)]
        zips = [timed(["zip", "-r", "-q", str(out / f"info{i}.zip"), "."], cwd=dist)[0] for i in range(3)]
        sevens = [timed(["7z", "a", "-tzip", "-bd", str(out / f"7z{i}.zip"), "."], cwd=dist)[0] for i in range(3)]
        sizes = {name: (out / name).stat().st_size for name in ("Bench.exe", "info0.zip", "7z0.zip")}
        subprocess.run(["wine", tool("archive_probe.exe"), winpath(dist), winpath(out / "one.zip"), "1"], check=True,
                       stdout=subprocess.DEVNULL)
        same_archive = archive_of(out / "Bench.exe")[1] == (out / "one.zip").read_bytes()

        (dist / "bin").mkdir()
        shutil.copyfile(tool("marker_setup.exe"), dist / "bin" / "setup.exe")
        sign(dist / "bin" / "setup.exe")
        subprocess.run(["wine", str(PONDREL_MAKE), "-d", winpath(dist), "-s", "setup.exe", "-o", winpath(out),
                        "-c", "Setup.exe"], check=True, stdout=subprocess.DEVNULL)
        archive = out / "info0.zip"
        (out / "Setup.zip").write_bytes(archive_of(out / "Setup.exe")[1])
        markers = scratch("markers-")
        setup, peaks, unzips, sevenx, floors = [], [], [], [], {1: [], 2: []}
        for _ in range(runs):
            seconds, _, peak = setup_run(out / "Setup.exe", markers)
            setup.append(seconds)
            peaks.append(peak)
            target = temp / "bench-unzip"
            unzips.append(timed(["unzip", "-q", "-o", str(archive), "-d", str(target)])[0])
            shutil.rmtree(target)
            sevenx.append(timed(["7z", "x", "-y", "-bd", f"-o{target}", str(archive)])[0])
            shutil.rmtree(target)
        for threads in (1, 2):
            for _ in range(3):
                target = temp / "bench-floor"
                target.mkdir()
                result = subprocess.run(["wine", tool("write_floor.exe"), winpath(dist), winpath(target), str(threads)],
                                        capture_output=True, text=True, check=True)
                floors[threads].append(float(result.stdout.split()[-1]))
                shutil.rmtree(target)
        launcher_peak = [timed(["wine", tool("tarnel.exe")], env=dict(os.environ, PONDREL_LAUNCHER_LIFE="1500"))[1]
                         for _ in range(3)]
        # The parallel work must give what the sequential work gives: the same tree, the same archive.
        trees = []
        for threads in (1, 2):
            target = temp / f"bench-probe{threads}"
            target.mkdir()
            subprocess.run(["wine", tool("unzip_probe.exe"), winpath(out / "Setup.zip"), winpath(target), "-1",
                            str(threads)], check=True, stdout=subprocess.DEVNULL)
            trees.append(tree_hashes(target))
            shutil.rmtree(target)
    stub = BUILD.parent / "i686" / "setup" / "Pondrel.exe"

    s, u, z, m = median(setup), median(unzips), median(zips), median(builder)
    print(f"\n{FILES} files, {SIZE // 2**20} MiB; medians of {runs} runs (builds: 3)\n")
    print(f"| work | now | anchor | goal |")
    print(f"|---|---|---|---|")
    print(f"| setup program start -> setup file running | {s:.2f} s ({s / u:.2f}x unzip) | `unzip -q` {u:.2f} s; "
          f"`7z x` {median(sevenx):.2f} s; Wine's floor for creating and writing the same files: "
          f"{median(floors[1]):.2f} s on one thread, {median(floors[2]):.2f} s on two | <= 1.0x `unzip -q` |")
    print(f"| `PondrelMake -d` | {m:.2f} s ({m / z:.2f}x zip), {sizes['Bench.exe'] / 2**20:.1f} MiB | `zip -r -q` "
          f"{z:.2f} s, {sizes['info0.zip'] / 2**20:.1f} MiB; `7z a -tzip` {median(sevens):.2f} s, "
          f"{sizes['7z0.zip'] / 2**20:.1f} MiB | <= 0.8x `zip -r -q`, size within 2 % "
          f"(now {100 * (sizes['Bench.exe'] / sizes['info0.zip'] - 1):+.1f} %) |")
    print(f"| `Pondrel.exe`, i686, shipped | {stub.stat().st_size:,} bytes | | <= 512 KB ({512 * 1024:,} bytes) |")
    print(f"| peak memory of the setup program while unpacking | {median(peaks) / 1024:.1f} MiB | an empty Wine window "
          f"program {median(launcher_peak) / 1024:.1f} MiB | <= 4 MiB above that "
          f"(now {(median(peaks) - median(launcher_peak)) / 1024:+.1f} MiB) |")
    print(f"\nunpacked on two threads, the tree equals the one-thread tree: {'yes' if trees[0] == trees[1] else 'NO'}")
    print(f"built on two threads, the archive equals the one-thread archive: {'yes' if same_archive else 'NO'}")
    if trees[0] != trees[1] or not same_archive:
        sys.exit(1)


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
    {"table": table, "builder": builder, "unpack": unpack, "tree-wait": tree_wait, "merge": merge}[
        sys.argv[1] if len(sys.argv) > 1 else "table"]()
