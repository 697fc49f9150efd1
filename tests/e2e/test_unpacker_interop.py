"""The setup program's unpacker on archives written by other tools (Info-ZIP zip and 7-Zip),
on damaged archives, and on a disk that fills up. The unpacker runs in a probe program, so the
process's exit code is seen whole."""
import subprocess
from pathlib import Path

import pytest

from bench import run, scratch, small_disk, tool, winpath
from distgen import tree_hashes

PREFIX = "error occured, during archive unpackaging: "


def sample_tree(root):
    root = Path(root)
    (root / "bin" / "plugins").mkdir(parents=True)
    (root / "empty-folder").mkdir()
    (root / "docs").mkdir()
    (root / "bin" / "client.exe").write_bytes(bytes(range(256)) * 4001)
    (root / "bin" / "plugins" / "a.dll").write_bytes(b"\0" * 10_000 + b"tail")
    (root / "docs" / "readme.txt").write_text("hello\n" * 5000)
    (root / "empty.dat").write_bytes(b"")
    (root / "chunk-999.bin").write_bytes(b"x" * 999)
    (root / "chunk-1001.bin").write_bytes(b"y" * 1001)
    return root


def probe(archive, dest, *extra):
    dest.mkdir(parents=True, exist_ok=True)
    result = run(tool("unzip_probe.exe"), winpath(archive), winpath(dest), *extra)
    return result


WRITERS = {
    "info-zip": lambda archive, src: subprocess.run(["zip", "-r", "-q", str(archive), "."], cwd=src, check=True),
    "7z": lambda archive, src: subprocess.run(["7z", "a", "-tzip", "-bd", "-bso0", str(archive), "."], cwd=src,
                                              check=True),
    "info-zip-stored": lambda archive, src: subprocess.run(["zip", "-r", "-q", "-0", str(archive), "."], cwd=src,
                                                           check=True),
}


@pytest.mark.parametrize("writer", sorted(WRITERS))
def test_archives_of_other_writers_unpack_identically(writer):
    work = scratch()
    src = sample_tree(work / "src")
    archive = work / "tmp.zip"
    WRITERS[writer](archive, src)
    dest = work / "dest"
    result = probe(archive, dest)
    assert result.code == 0, result
    assert result.out.startswith("result: true"), result
    assert tree_hashes(dest) == tree_hashes(src)
    assert (dest / "empty-folder").is_dir()  # both writers store folder entries


def test_unpacking_stops_when_asked_and_leaves_the_partial_file():
    work = scratch()
    src = work / "src"
    src.mkdir()
    (src / "big.bin").write_bytes(bytes(range(256)) * 400)
    archive = work / "tmp.zip"
    WRITERS["info-zip"](archive, src)
    result = probe(archive, work / "dest", 3)
    assert "result: false" in result.out and "reports: 3" in result.out, result
    assert (work / "dest" / "big.bin").stat().st_size == 3000


@pytest.mark.parametrize("damage", ["truncated", "garbage"])
def test_unreadable_archive_is_reported(damage):
    work = scratch()
    src = sample_tree(work / "src")
    archive = work / "tmp.zip"
    WRITERS["info-zip"](archive, src)
    data = archive.read_bytes()
    archive.write_bytes(data[: len(data) // 2] if damage == "truncated" else b"not an archive" * 100)
    result = probe(archive, work / "dest")
    assert result.code == 3, result
    assert result.out.startswith(f"error: {PREFIX}can't open zip: {winpath(archive)}"), result


def test_corrupted_entry_data_is_a_read_error_calling_for_102():
    work = scratch()
    src = work / "src"
    src.mkdir()
    (src / "text.txt").write_text("a fairly compressible line of text\n" * 20000)
    archive = work / "tmp.zip"
    WRITERS["info-zip"](archive, src)
    data = bytearray(archive.read_bytes())
    for i in range(200, 400):
        data[i] ^= 0xA5
    archive.write_bytes(bytes(data))
    result = probe(archive, work / "dest")
    assert result.code == 102, result
    assert "error reading file in archive" in result.err
    assert result.out.startswith(f"error: {PREFIX}error reading file in archive: text.txt"), result


def test_full_disk_is_an_error_not_a_short_file():
    work = scratch()
    src = work / "src"
    src.mkdir()
    (src / "fits.txt").write_text("small")
    (src / "too-big.bin").write_bytes(bytes(range(256)) * 4096)  # 1 MiB
    archive = work / "tmp.zip"
    WRITERS["info-zip"](archive, src)
    with small_disk(work / "disk", "256k") as disk:
        result = probe(archive, disk / "dest")
        assert result.code == 3, result
        assert result.out.strip() == f"error: {PREFIX}can't write file: too-big.bin", result
