"""The four shapes of distribution (and the 100,000-file set) that the benchmark table
(table.py) measures, generated once into $PONDREL_SHAPES, /tmp/pondrel-shapes by default, and
reused:
  bench        3,000 files, 200 MiB: two thirds text, a few large random packs
  half-random  2,770 files, 200 MiB: half text, half random files of at most 400 KiB
  client-like  1,500 files, 300 MiB, log-normal sizes, slices of real program files (Wine's DLLs)
  many-files   30,000 files, 200 MiB: two thirds text, in 64 folders
  huge         100,000 small files, 100 MiB
"""
import os
import random
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
from distgen import generate  # noqa: E402

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
