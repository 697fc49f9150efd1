"""Builder benchmark (not a test): `PondrelMake -d` against `zip -r -q` on four shapes of
distribution, each builder given on the command line (the shipped i686 build runs under qemu's
emulation of 32-bit code here, the x86_64 build natively; zip is always native).

  python3 builder_shapes.py [--runs N] [--shapes a,b] <PondrelMake.exe>...

Shapes (generated once into $PONDREL_SHAPES, /tmp/pondrel-shapes by default, and reused):
  bench        3,000 files, 200 MiB: two thirds text, a few large random packs
  half-random  2,770 files, 200 MiB: half text, half random files of at most 400 KiB
  client-like  1,500 files, 300 MiB, log-normal sizes, slices of real program files (Wine's DLLs)
  many-files   30,000 files, 200 MiB: two thirds text, in 64 folders
  huge         100,000 small files, 100 MiB (not in the default list)
Prints medians of the runs: wall seconds, CPU seconds, peak memory, archive size, and the
ratios to zip. Run it inside the Wine root under a bench:
  bash tests/bench/wine-root.sh run bash tests/bench/wine-env.sh build/i686 \\
    /usr/bin/python3 tests/bench/builder_shapes.py build/x86_64/make/PondrelMake.exe build/i686/make/PondrelMake.exe
"""
import argparse
import os
import random
import subprocess
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
from bench import scratch, winpath  # noqa: E402
from distgen import generate  # noqa: E402
from test_builder import archive_of  # noqa: E402

MIB = 2**20
CACHE = Path(os.environ.get("PONDREL_SHAPES", "/tmp/pondrel-shapes"))
PROGRAM_FILES = [Path("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"), Path("/usr/lib/x86_64-linux-gnu")]


def folders_of(root, count):
    return [root / f"pack{i // 8}" / f"part{i % 8}" for i in range(count)]


def half_random(root):
    """Half the bytes text (as the bench's), half random files of at most 400 KiB."""
    rng = random.Random(2)
    generate(root, 100 * MIB, 2270, seed=2, random_share=0)
    folders = folders_of(root, 64)
    for folder in folders:
        folder.mkdir(parents=True, exist_ok=True)
    left, i = 100 * MIB, 0
    while left > 0:
        size = min(left, rng.randint(1, 400 * 1024))
        (folders[i % len(folders)] / f"blob{i:04d}.bin").write_bytes(rng.randbytes(size))
        left -= size
        i += 1


def program_pool(size):
    """`size` bytes of real program files (PE DLLs, ELF libraries), concatenated."""
    pool, total = [], 0
    for folder in PROGRAM_FILES:
        for path in sorted(folder.glob("*")):
            if path.is_file() and path.suffix in (".dll", ".exe", ".so") or ".so." in path.name:
                data = path.read_bytes()
                pool.append(data)
                total += len(data)
                if total >= size:
                    return b"".join(pool)
    raise SystemExit(f"only {total} bytes of program files found")


def client_like(root):
    """1,500 files of log-normal sizes (median about 64 KiB), 300 MiB in all, each a slice of
    real program files."""
    rng = random.Random(3)
    sizes = [rng.lognormvariate(0, 1.6) for _ in range(1500)]
    scale = 300 * MIB / sum(sizes)
    sizes = [max(1, int(s * scale)) for s in sizes]
    pool = program_pool(max(sizes) + 64 * MIB)
    folders = folders_of(root, 40)
    for folder in folders:
        folder.mkdir(parents=True, exist_ok=True)
    for i, size in enumerate(sizes):
        start = rng.randrange(0, len(pool) - size)
        suffix = rng.choice((".dll", ".exe", ".dat", ".bin"))
        (folders[i % len(folders)] / f"module{i:04d}{suffix}").write_bytes(pool[start:start + size])


def many_small(root, files, size):
    """`files` small files, `size` bytes in all, a thousand to a folder."""
    rng = random.Random(5)
    line = b" ".join(rng.choice([b"alpha", b"beta", b"gamma", b"delta", b"value", b"key"]) for _ in range(200))
    average = size // files
    for i in range(files):
        folder = root / f"f{i // 1000:03d}"
        if i % 1000 == 0:
            folder.mkdir(parents=True)
        length = rng.randint(0, 2 * average)
        body = (f"{i} {rng.random()}\n".encode() + line * (length // len(line) + 1))[:length]
        (folder / f"n{i:06d}.txt").write_bytes(body)


SHAPES = {
    "bench": lambda root: generate(root, 200 * MIB, 3000),
    "half-random": half_random,
    "client-like": client_like,
    "many-files": lambda root: generate(root, 200 * MIB, 30000, seed=4),
    "huge": lambda root: many_small(root, 100_000, 100 * MIB),
}


def shape(name):
    root = CACHE / name
    if not (root / ".done").exists():
        subprocess.run(["rm", "-rf", str(root)], check=True)
        started = time.monotonic()
        SHAPES[name](root / "dist")
        (root / ".done").touch()
        print(f"generated {name} in {time.monotonic() - started:.0f} s", flush=True)
    dist = root / "dist"
    files = sum(len(f) for _, _, f in os.walk(dist))
    size = sum(p.stat().st_size for p in dist.rglob("*") if p.is_file())
    return dist, files, size


class Sampler:
    """CPU seconds and peak resident memory of the processes whose command line holds `name`,
    read from /proc every 20 ms: a Windows program started with `wine` runs in a process that
    the starting one never waits for, so the starter's own figures do not count it."""

    def __init__(self, name):
        self.name, self.cpu, self.peak = name.encode(), {}, 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        tick = os.sysconf("SC_CLK_TCK")
        while True:
            for pid in filter(str.isdigit, os.listdir("/proc")):
                try:
                    if self.name not in Path(f"/proc/{pid}/cmdline").read_bytes():
                        continue
                    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
                    self.cpu[pid] = (int(fields[11]) + int(fields[12])) / tick
                    status = Path(f"/proc/{pid}/status").read_text()
                    hwm = next(line for line in status.splitlines() if line.startswith("VmHWM"))
                    self.peak = max(self.peak, int(hwm.split()[1]) / 1024)
                except (OSError, StopIteration, IndexError):
                    pass
            if self._stop.wait(0.02):
                return

    def stop(self):
        self._stop.set()
        self._thread.join()
        return sum(self.cpu.values()), self.peak


def timed(command, match, cwd=None):
    """(wall seconds, CPU seconds, peak resident MiB) of one run; `match` is a text that only the
    command lines of this run's processes hold."""
    sampler = Sampler(match)
    started = time.monotonic()
    subprocess.run(list(map(str, command)), check=True, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wall = time.monotonic() - started
    cpu, peak = sampler.stop()
    return wall, cpu, peak


def median(values):
    values = sorted(values)
    return values[len(values) // 2]


def measure(command, runs, output, cwd=None):
    samples = []
    for _ in range(runs):
        output.unlink(missing_ok=True)
        samples.append(timed(command, output.parent.name, cwd))
    return tuple(median([s[i] for s in samples]) for i in range(3))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--shapes", default="bench,half-random,client-like,many-files")
    parser.add_argument("builders", nargs="+")
    args = parser.parse_args()
    print(f"load average at the start: {os.getloadavg()[0]:.2f}", flush=True)
    for name in args.shapes.split(","):
        dist, files, size = shape(name)
        out = scratch("out-")
        print(f"\n{name}: {files:,} files, {size / MIB:.0f} MiB", flush=True)
        print(f"{'':34}{'wall s':>8}{'CPU s':>8}{'peak MiB':>10}{'archive MiB':>13}{'time':>8}{'size':>9}")
        zip_s, zip_cpu, zip_peak = measure(["zip", "-r", "-q", str(out / "info.zip"), "."], args.runs, out / "info.zip",
                                           cwd=dist)
        zip_size = (out / "info.zip").stat().st_size
        print(f"{'zip -r -q':34}{zip_s:8.2f}{zip_cpu:8.2f}{zip_peak:10.1f}{zip_size / MIB:13.2f}", flush=True)
        for builder in args.builders:
            label = f"PondrelMake -d ({Path(builder).resolve().parents[1].name})"
            program = out / "Bench.exe"
            try:
                wall, cpu, peak = measure(["wine", Path(builder).resolve(), "-d", winpath(dist), "-o", winpath(out),
                                           "-c", "Bench.exe"], args.runs, program)
            except subprocess.CalledProcessError:
                print(f"{label:34}   fails")
                continue
            size_now = len(archive_of(program)[1])
            print(f"{label:34}{wall:8.2f}{cpu:8.2f}{peak:10.1f}{size_now / MIB:13.2f}{wall / zip_s:7.2f}x"
                  f"{100 * (size_now / zip_size - 1):+8.2f}%", flush=True)
        print(f"load average now: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
