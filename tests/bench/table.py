"""The performance table (scripts/bench.sh): on each shape of distribution of builder_shapes.py,
the setup program's start until its setup file runs, against `unzip -q`, `7z x` and Wine's floor
for creating the same files on two threads; `PondrelMake -d` against `zip -r -q`; the phases of
one setup run; the setup program's peak memory; and that two unpacking threads give the tree one
gives. Then a 100,000-file set, which must build and unpack. Every anchor is measured in the same
run, and the load average is printed at the start and the end.

Both builds are measured: the shipped i686 programs run under qemu's emulation of 32-bit code
here (every 32-bit process start costs some 0.7 s and CPU-bound work runs several times slower
than natively), while unzip, 7z and zip run natively; the x86_64 build runs natively in the same
Wine, so its figures are the ones to hold against the anchors.
"""
import contextlib
import os
import shutil
import subprocess
import sys
import threading
import time
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
from bench import BUILD, NATIVE_MAKE, SOURCE, scratch, sign, user_temp, winpath  # noqa: E402
from builder_shapes import shape  # noqa: E402
from distgen import tree_hashes  # noqa: E402
from test_builder import archive_of  # noqa: E402

# PONDREL_BENCH_ARCHS picks the builds (i686,x86_64).
ARCHS = tuple(os.environ.get("PONDREL_BENCH_ARCHS", "i686,x86_64").split(","))
LARGE = "huge"
# PONDREL_BENCH_SHAPES picks some of the shapes (and "huge", the 100,000-file set).
CHOSEN = os.environ.get("PONDREL_BENCH_SHAPES", "bench,half-random,client-like,many-files,huge").split(",")
SHAPES = [name for name in CHOSEN if name != LARGE]
RUNS = int(os.environ.get("PONDREL_BENCH_RUNS", "3"))
MIB = 2**20
MEMORY_GOAL_MIB = 64
NATIVE_GOAL = 0.5  # the native builder against zip -r -q
FLOOR_GOAL = 1.2  # start -> setup file running against Wine's floor plus start-up


def program(arch, relative):
    return BUILD.parent / arch / relative


def wine(arch):
    # The 64-bit loader starts a 64-bit program directly; "wine" would first start the 32-bit
    # loader, under emulation here.
    return "wine64" if arch == "x86_64" else "wine"


def median(values):
    values = sorted(values)
    return values[len(values) // 2]


def load():
    one, five, _ = os.getloadavg()
    return f"{one:.2f} (1 min), {five:.2f} (5 min)"


class ProcessWatch:
    """Peak resident memory (MiB) of the Windows program that a run starts, read from /proc
    every 20 ms: "wine" leaves the 32-bit program to a process of its own that it never waits
    for, so the starter's own figures do not count (set `starter` to its id); "wine64" runs the
    program itself (leave `starter` unset)."""

    def __init__(self, name):
        self.name, self.peaks, self.starter = name.encode(), {}, None
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while True:
            for pid in filter(str.isdigit, os.listdir("/proc")):
                try:
                    if self.name not in Path(f"/proc/{pid}/cmdline").read_bytes():
                        continue
                    status = Path(f"/proc/{pid}/status").read_text()
                    hwm = next(line for line in status.splitlines() if line.startswith("VmHWM"))
                    self.peaks[int(pid)] = max(self.peaks.get(int(pid), 0), int(hwm.split()[1]) / 1024)
                except (OSError, StopIteration, IndexError):
                    pass
            if self._stop.wait(0.02):
                return

    def stop(self):
        self._stop.set()
        self._thread.join()
        own = [peak for pid, peak in self.peaks.items() if pid != self.starter]
        return max(own or self.peaks.values() or [0])


class PhaseWatch:
    """The phases of one setup run, seen from outside: the working folders appear (start and
    window), the archive copy reaches its size (copy), the first entry appears (directory), the
    archive's last entries and its largest ones have their sizes (extraction), the setup file
    leaves its marker (search, check and start)."""

    def __init__(self, archive, markers):
        self.size = archive.stat().st_size
        with zipfile.ZipFile(archive) as listing:
            files = [info for info in listing.infolist() if not info.is_dir()]
        watched = files[-12:] + sorted(files, key=lambda info: info.file_size)[-4:]
        # Names as the file system holds them ("\\" separates folders too).
        self.entries = {(info.filename.replace("\\", "/"), info.file_size) for info in watched}
        self.markers, self.temp = markers, user_temp()
        self.before = set(self.temp.iterdir())

    def watch(self, started, proc):
        seen = {}
        folders, work, copy = [], None, None
        while "marker" not in seen and proc.poll() is None:
            now = time.monotonic()
            if len(folders) < 2:
                folders = [p for p in self.temp.iterdir()
                           if p not in self.before and p.name.startswith("kel") and p.is_dir()]
                if folders and "folders" not in seen:
                    seen["folders"] = now
            if copy is None:
                copy = next((folder / "tmp.zip" for folder in folders if (folder / "tmp.zip").exists()), None)
            if copy is not None and work is None and len(folders) == 2:
                work = next(folder for folder in folders if folder != copy.parent)
            if "copied" not in seen and copy is not None and copy.stat().st_size >= self.size:
                seen["copied"] = now
            if "first" not in seen and work is not None and any(work.iterdir()):
                seen["first"] = now
            if "first" in seen and "extracted" not in seen and all(
                    (work / name).exists() and (work / name).stat().st_size == size for name, size in self.entries):
                seen["extracted"] = now
            if (self.markers / "marker.txt").exists():
                seen["marker"] = now
            time.sleep(0.005)
        points = [started] + [seen.get(key) for key in ("folders", "copied", "first", "extracted", "marker")]
        if None in points:
            print(f"  (phases not all seen: {', '.join(sorted(seen))})")
            return None
        return [later - earlier for earlier, later in zip(points, points[1:])]


def settle():
    """Writes back what earlier runs left dirty before the next timed run starts: otherwise the
    kernel's writeback of one run's 300 MiB lands in the middle of the next, and single runs
    of the same program differ by 2x."""
    os.sync()


def setup_run(arch, setup, markers, archive=None):
    """One run of a setup program: seconds from its start until its setup file runs, its peak
    memory (MiB) and, given its archive, the phases of the run."""
    for stale in markers.glob("*"):
        stale.unlink()
    env = dict(os.environ, PONDREL_MARKER_DIR=winpath(markers))
    phases = PhaseWatch(archive, markers) if archive else None
    watch = ProcessWatch(setup.name)
    settle()
    started = time.monotonic()
    proc = subprocess.Popen([wine(arch), str(setup)], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if arch == "i686":
        watch.starter = proc.pid
    split = phases.watch(started, proc) if phases else None
    while not (markers / "marker.txt").exists():
        if proc.poll() is not None:
            raise RuntimeError(f"{setup} ended without running its setup file")
        time.sleep(0.005)
    seconds = time.monotonic() - started
    proc.wait()
    return seconds, watch.stop(), split


def timed(command, cwd=None):
    settle()
    started = time.monotonic()
    subprocess.run(list(map(str, command)), check=True, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.monotonic() - started


def measure(command, output, cwd=None):
    """Median wall seconds of the command over RUNS runs, each writing `output` afresh."""
    seconds = []
    for _ in range(RUNS):
        output.unlink(missing_ok=True)
        seconds.append(timed(command, cwd))
    return median(seconds)


def measure_native(dist, out, zip_s, zip_size):
    """The native builder's wall seconds and archive size against zip's; printed, and None when
    it fails."""
    made = out / "Bench-native.exe"
    try:
        wall = measure([NATIVE_MAKE, "-d", dist, "-o", out, "-c", made.name], made)
    except subprocess.CalledProcessError:
        print("pondrelmake -d (native): fails")
        return None
    made_size = len(archive_of(made)[1])
    print(f"pondrelmake -d (native): {wall:.2f} s ({wall / zip_s:.2f}x zip, goal <= {NATIVE_GOAL}x: "
          f"{verdict(wall / zip_s, NATIVE_GOAL)}), archive {made_size / MIB:.1f} MiB "
          f"({100 * (made_size / zip_size - 1):+.2f} %)", flush=True)
    made.unlink()
    return wall, made_size / zip_size - 1


def builders():
    """The builders alone against zip -r -q on each chosen shape: quick, without setup runs."""
    print(f"load average at the start: {load()}; medians of {RUNS} runs", flush=True)
    for name in CHOSEN:
        dist, files, size = shape(name)
        out = scratch("out-")
        print(f"\n## {name}: {files:,} files, {size / MIB:.0f} MiB", flush=True)
        zip_s = measure(["zip", "-r", "-q", str(out / "info.zip"), "."], out / "info.zip", cwd=dist)
        zip_size = (out / "info.zip").stat().st_size
        print(f"zip -r -q: {zip_s:.2f} s, {zip_size / MIB:.1f} MiB")
        for arch in ARCHS:
            made = out / f"Bench-{arch}.exe"
            wall = measure([wine(arch), program(arch, "make/PondrelMake.exe"), "-d", winpath(dist), "-o",
                            winpath(out), "-c", made.name], made)
            print(f"PondrelMake -d ({arch}): {wall:.2f} s ({wall / zip_s:.2f}x zip)", flush=True)
        measure_native(dist, out, zip_s, zip_size)
        shutil.rmtree(out)
    print(f"load average at the end: {load()}")


def setup_tree(dist, arch):
    """The distribution (hard links, so nothing is copied) with the arch's signed setup file as
    bin\\setup.exe, which marks that it runs and ends."""
    tree = scratch(f"tree-{arch}-") / "dist"
    subprocess.run(["cp", "-al", str(dist), str(tree)], check=True)
    (tree / "bin").mkdir(exist_ok=True)
    shutil.copyfile(program(arch, "tests/marker_setup.exe"), tree / "bin" / "setup.exe")
    sign(tree / "bin" / "setup.exe")
    return tree


def build_setup(arch, tree, out):
    """Builds Setup-<arch>.exe from `tree` with the arch's builder. A builder that fails on the
    folder gets the folder as a ZIP archive made by zip instead, without the extra fields
    (times, owners) that the builder does not write either; the second value says so."""
    setup = out / f"Setup-{arch}.exe"
    make = [wine(arch), program(arch, "make/PondrelMake.exe")]
    args = ["-s", "setup.exe", "-o", winpath(out), "-c", setup.name]
    if subprocess.run(make + ["-d", winpath(tree)] + args, capture_output=True).returncode == 0:
        return setup, False
    archive = out / f"input-{arch}.zip"
    subprocess.run(["zip", "-r", "-q", "-X", str(archive), "."], cwd=tree, check=True)
    subprocess.run(make + ["-f", winpath(archive)] + args, check=True, capture_output=True)
    archive.unlink()
    return setup, True


def floor(arch, tree, temp):
    target = temp / "bench-floor"
    target.mkdir()
    settle()
    result = subprocess.run([wine(arch), program(arch, "tests/write_floor.exe"), winpath(tree), winpath(target), "2"],
                            capture_output=True, text=True, check=True)
    shutil.rmtree(target)
    return float(result.stdout.split()[-1])


def same_tree_on_two_threads(archive, temp):
    trees = []
    for threads in (1, 2):
        target = temp / f"bench-probe{threads}"
        target.mkdir()
        subprocess.run(["wine64", program("x86_64", "tests/unzip_probe.exe"), winpath(archive), winpath(target), "-1",
                        str(threads)], check=True, stdout=subprocess.DEVNULL)
        trees.append(tree_hashes(target))
        shutil.rmtree(target)
    return trees[0] == trees[1]


def start_up(arch, temp):
    """Seconds from a setup program's start until its setup file runs, for a distribution of
    the setup file alone: the fixed cost that every setup run pays."""
    tree = scratch("tiny-") / "dist"
    tree.mkdir()
    tree = setup_tree(tree, arch)
    setup, _ = build_setup(arch, tree, scratch("tiny-out-"))
    markers = scratch("markers-")
    return median([setup_run(arch, setup, markers)[0] for _ in range(RUNS)])


def measure_shape(name, temp, startup):
    dist, files, size = shape(name)
    out = scratch("out-")
    print(f"\n## {name}: {files:,} files, {size / MIB:.0f} MiB", flush=True)
    row = {"name": name, "files": files, "size": size}

    # Builders against zip, on the distribution as it is.
    zip_s = measure(["zip", "-r", "-q", str(out / "info.zip"), "."], out / "info.zip", cwd=dist)
    zip_size = (out / "info.zip").stat().st_size
    row["zip"] = zip_s
    print(f"zip -r -q: {zip_s:.2f} s, {zip_size / MIB:.1f} MiB")
    for arch in ARCHS:
        made = out / f"Bench-{arch}.exe"
        try:
            wall = measure([wine(arch), program(arch, "make/PondrelMake.exe"), "-d", winpath(dist), "-o", winpath(out),
                            "-c", made.name], made)
        except subprocess.CalledProcessError:
            print(f"PondrelMake -d ({arch}): fails")
            row[f"make-{arch}"] = None
            continue
        made_size = len(archive_of(made)[1])
        row[f"make-{arch}"] = (wall, made_size / zip_size - 1)
        print(f"PondrelMake -d ({arch}): {wall:.2f} s ({wall / zip_s:.2f}x zip), archive {made_size / MIB:.1f} MiB "
              f"({100 * (made_size / zip_size - 1):+.2f} %)", flush=True)
        made.unlink()
    row["make-native"] = measure_native(dist, out, zip_s, zip_size)

    # Setup programs, each with its own setup file.
    setups, trees = {}, {}
    for arch in ARCHS:
        trees[arch] = setup_tree(dist, arch)
        setups[arch], zipped = build_setup(arch, trees[arch], out)
        if zipped:
            print(f"setup program ({arch}) built from a zip archive: PondrelMake -d fails on this folder")
    archives = {}
    for arch in ARCHS:
        archives[arch] = out / f"Setup-{arch}.zip"
        archives[arch].write_bytes(archive_of(setups[arch])[1])
    archive = archives[ARCHS[0]]
    markers = scratch("markers-")
    seconds = {arch: [] for arch in ARCHS}
    peaks = {arch: [] for arch in ARCHS}
    unzips, sevens = [], []
    floors = {arch: [] for arch in ARCHS}
    # Each round measures every program once, the floor beside the setup runs, so that a slow
    # stretch of the machine falls on all of them alike.
    for _ in range(RUNS):
        for arch in ARCHS:
            s, peak, _ = setup_run(arch, setups[arch], markers)
            seconds[arch].append(s)
            peaks[arch].append(peak)
            floors[arch].append(floor(arch, trees[arch], temp))
        target = temp / "bench-unzip"
        unzips.append(timed(["unzip", "-q", "-o", archive, "-d", target]))
        shutil.rmtree(target)
        sevens.append(timed(["7z", "x", "-y", "-bd", f"-o{target}", archive]))
        shutil.rmtree(target)
    unzip_s = median(unzips)
    row.update(unzip=unzip_s, sevenzip=median(sevens))
    print(f"unzip -q: {unzip_s:.2f} s; 7z x: {median(sevens):.2f} s")
    for arch in ARCHS:
        setup_s, floor_s = median(seconds[arch]), median(floors[arch])
        bound = floor_s + startup[arch]
        row[arch] = dict(setup=setup_s, floor=floor_s, bound=bound, peak=median(peaks[arch]))
        print(f"setup program ({arch}): start -> setup file running {setup_s:.2f} s ({setup_s / unzip_s:.2f}x unzip); "
              f"Wine's floor on 2 threads {floor_s:.2f} s + start-up {startup[arch]:.2f} s = {bound:.2f} s "
              f"({setup_s / bound:.2f}x, goal <= {FLOOR_GOAL}x: {verdict(setup_s / bound, FLOOR_GOAL)}); "
              f"peak {median(peaks[arch]):.1f} MiB", flush=True)
        split = None
        for _ in range(3):  # a phase that passes between two looks leaves the split incomplete
            split = setup_run(arch, setups[arch], markers, archives[arch])[2]
            if split:
                break
        if split:
            print(f"  phases of one run ({arch}): " + ", ".join(
                f"{label} {value:.2f} s" for label, value in
                zip(("start and window", "copy", "directory", "extraction", "search/check/start"), split)))
    row["same-tree"] = same_tree_on_two_threads(archive, temp)
    print(f"two unpacking threads give the tree one gives: {'yes' if row['same-tree'] else 'NO'}", flush=True)
    for tree in trees.values():
        shutil.rmtree(tree.parent)
    shutil.rmtree(out)
    return row


def measure_large(temp):
    dist, files, size = shape(LARGE)
    out = scratch("out-")
    print(f"\n## {files:,} files, {size / MIB:.0f} MiB", flush=True)
    markers = scratch("markers-")
    result = {}
    for arch in ARCHS:
        tree = setup_tree(dist, arch)
        started = time.monotonic()
        setup, zipped = build_setup(arch, tree, out)
        built = time.monotonic() - started
        seconds, peak, _ = setup_run(arch, setup, markers)
        result[arch] = (peak, seconds)
        print(f"{arch}: " + ("PondrelMake -d fails; built from a zip archive" if zipped else f"built in {built:.1f} s")
              + f"; start -> setup file running {seconds:.1f} s, peak memory {peak:.1f} MiB "
              f"(goal <= {MEMORY_GOAL_MIB} MiB)", flush=True)
        shutil.rmtree(tree.parent)
        setup.unlink()
    shutil.rmtree(out)
    return result


@contextlib.contextmanager
def journaled_temp():
    """The prefix's temporary folder on a fresh, journaled ext4 image while the block runs: the
    root file system of these machines has no journal, and ext4 then refuses to reuse inodes
    freed minutes ago, which can double file-creation times right after a large deletion. The
    image is the empty one that PONDREL_BENCH_IMAGE names (scripts/bench.sh makes it outside
    the Wine root, which has no mkfs). Falls back to the folder as it is, and says so."""
    temp = user_temp()
    temp.mkdir(parents=True, exist_ok=True)
    image = os.environ.get("PONDREL_BENCH_IMAGE")
    mounted = bool(image) and subprocess.run(["mount", "-o", "loop", image, str(temp)],
                                             capture_output=True).returncode == 0
    print("file system: " + ("a fresh journaled ext4 image as the user's temporary folder" if mounted else
                             "the machine's own (no journal: figures right after large deletions are slower)"))
    try:
        yield temp
    finally:
        if mounted:
            subprocess.run(["umount", str(temp)], check=False)


def verdict(value, goal):
    return "met" if value <= goal else "missed"


def table():
    print(f"load average at the start: {load()}; medians of {RUNS} runs", flush=True)
    for arch in ARCHS:
        print(f"Pondrel.exe ({arch}): {program(arch, 'setup/Pondrel.exe').stat().st_size:,} bytes")
    with journaled_temp() as temp:
        startup = {arch: start_up(arch, temp) for arch in ARCHS}
        idle = {arch: median([idle_peak(arch) for _ in range(RUNS)]) for arch in ARCHS}
        print("start-up (a setup program whose distribution is its setup file alone): " +
              ", ".join(f"{arch} {startup[arch]:.2f} s" for arch in ARCHS))
        print("peak memory of an empty window program: " + ", ".join(f"{arch} {idle[arch]:.1f} MiB" for arch in ARCHS))
        rows = [measure_shape(name, temp, startup) for name in SHAPES]
        large = measure_large(temp) if LARGE in CHOSEN else {}
    stub = program("i686", "setup/Pondrel.exe").stat().st_size

    print("\n## Summary\n")
    print("| data | build | start -> setup file running | `unzip -q` | `7z x` | Wine floor, 2 threads (+ start-up) "
          "| peak memory | `PondrelMake -d` | `zip -r -q` |")
    print("|---|---|---|---|---|---|---|---|---|")
    for row in rows:
        for arch in ARCHS:
            figures = row[arch]
            made = row[f"make-{arch}"]
            made_text = "fails" if made is None else f"{made[0]:.2f} s ({made[0] / row['zip']:.2f}x, {100 * made[1]:+.1f} %)"
            if arch == ARCHS[-1] and row["make-native"]:
                native = row["make-native"]
                made_text += f"; native {native[0]:.2f} s ({native[0] / row['zip']:.2f}x)"
            print(f"| {row['name']}: {row['files']:,} files, {row['size'] / MIB:.0f} MiB | {arch} "
                  f"| {figures['setup']:.2f} s ({figures['setup'] / row['unzip']:.2f}x unzip, "
                  f"{figures['setup'] / figures['bound']:.2f}x floor + start-up) | {row['unzip']:.2f} s "
                  f"| {row['sevenzip']:.2f} s | {figures['floor']:.2f} s (+{startup[arch]:.2f} s) "
                  f"| {figures['peak']:.1f} MiB | {made_text} | {row['zip']:.2f} s |")
    print(f"\nGoals (per shape: start -> setup file running <= 1.0x unzip and <= {FLOOR_GOAL}x Wine's floor plus "
          "start-up; PondrelMake -d <= 0.8x zip at equal size +-1 %):")
    for row in rows:
        for arch in ARCHS:
            figures = row[arch]
            made = row[f"make-{arch}"]
            build = "fails" if made is None else (
                f"{verdict(made[0] / row['zip'], 0.8)} ({made[0] / row['zip']:.2f}x, size {100 * made[1]:+.1f} %)")
            print(f"  {row['name']} ({arch}): unzip {verdict(figures['setup'] / row['unzip'], 1.0)} "
                  f"({figures['setup'] / row['unzip']:.2f}x), floor {verdict(figures['setup'] / figures['bound'], FLOOR_GOAL)} "
                  f"({figures['setup'] / figures['bound']:.2f}x), build {build}")
    for row in rows:
        native = row["make-native"]
        print(f"  {row['name']} (native builder): " + ("fails" if native is None else
              f"{verdict(native[0] / row['zip'], NATIVE_GOAL)} ({native[0] / row['zip']:.2f}x zip, goal <= {NATIVE_GOAL}x)"))
    for arch in large:
        peak, _ = large[arch]
        print(f"  100,000 files ({arch}): peak memory {peak:.1f} MiB, {verdict(peak, MEMORY_GOAL_MIB)}"
              + (" (includes the emulator's own memory)" if arch == "i686" else ""))
    print(f"  Pondrel.exe i686: {stub:,} bytes, {verdict(stub, 262144)} (goal <= 262,144)")
    same = all(row["same-tree"] for row in rows)
    print(f"two unpacking threads give the tree one gives, on every shape: {'yes' if same else 'NO'}")
    print(f"load average at the end: {load()}")
    if not same:
        sys.exit(1)


def idle_peak(arch):
    """Peak memory (MiB) of the empty window program: the launcher stand-in, alive 1.5 s."""
    launcher = program(arch, "tests/tarnel.exe")
    watch = ProcessWatch(launcher.name)
    proc = subprocess.Popen([wine(arch), str(launcher)], env=dict(os.environ, PONDREL_LAUNCHER_LIFE="1500"),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if arch == "i686":
        watch.starter = proc.pid
    proc.wait()
    return watch.stop()
