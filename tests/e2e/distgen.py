"""Generated client distributions for tests and benchmarks: a deterministic mix of compressible
text and incompressible binary files in nested folders."""
import hashlib
import os
import random
from pathlib import Path

WORDS = ("client server update launcher config module texture sound shader locale patch "
         "version install window player region account market session").split()


def generate(root, total_bytes, files, seed=1):
    """Writes about `total_bytes` in `files` files below `root`: two thirds of the bytes are text,
    one third random; a few large binaries carry most of the random share."""
    rng = random.Random(seed)
    root = Path(root)
    root.mkdir(parents=True, exist_ok=True)
    folders = [root] + [root / f"pack{i // 8}" / f"part{i % 8}" for i in range(min(64, max(1, files // 40)))]
    for folder in folders:
        folder.mkdir(parents=True, exist_ok=True)
    binary_budget = total_bytes // 3
    big = max(1, min(8, files // 500))
    for i in range(big):
        size = binary_budget // big
        (rng.choice(folders) / f"data{i}.pak").write_bytes(rng.randbytes(size))
    text_files = files - big
    text_size = max(1, (total_bytes - binary_budget) // max(1, text_files))
    line = " ".join(rng.choice(WORDS) for _ in range(400)).encode() + b"\n"
    for i in range(text_files):
        size = max(0, int(text_size * rng.uniform(0.2, 1.8)))
        body = (line * (size // len(line) + 1))[:size]
        # A little variation, so files differ.
        header = f"# file {i} seed {rng.random()}\n".encode()
        (folders[i % len(folders)] / f"file{i:05d}.txt").write_bytes(header + body)
    return root


def tree_hashes(root):
    """Relative path (with "/") -> SHA-256 of every file below root."""
    root = Path(root)
    result = {}
    for dirpath, _, filenames in os.walk(root):
        for name in filenames:
            path = Path(dirpath) / name
            result[path.relative_to(root).as_posix()] = hashlib.sha256(path.read_bytes()).hexdigest()
    return result
