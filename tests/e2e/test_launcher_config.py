"""The launcher file's merge when the disk fills up: the write fails midway and the user's file
stays exactly as it was, with no fresh file left beside it. Once there is room again, the same
merge goes through."""
import errno
import os
import subprocess

import pytest

from bench import run, scratch, tool, winpath

OLD_LINES = b"DefaultVersion=8.3.21\r\n" + b"".join(b"CommonInfoBases=\\\\srv\\base%d.v8i\r\n" % i for i in range(300))


def fill(path):
    """Writes to `path` until the file system is full."""
    with open(path, "wb", buffering=0) as filler:
        try:
            while True:
                filler.write(b"\0" * 4096)
        except OSError as error:
            assert error.errno == errno.ENOSPC, error


ENCODINGS = {
    "ansi": lambda text: text,
    "utf-16": lambda text: b"\xff\xfe" + text.decode().encode("utf-16-le"),
}


@pytest.mark.parametrize("encoding", sorted(ENCODINGS))
def test_full_disk_keeps_the_users_file_byte_for_byte(encoding):
    old = ENCODINGS[encoding](OLD_LINES)
    merged = ENCODINGS[encoding](OLD_LINES.replace(b"8.3.21", b"8.3.22"))
    work = scratch()
    disk = work / "disk"
    disk.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=128k", "tmpfs", str(disk)]).returncode != 0:
        pytest.skip("cannot mount a small file system here")
    try:
        appdata = disk / "AppData"
        folder = appdata / "Kelm" / "Tarnel"
        folder.mkdir(parents=True)
        user = folder / "Tarnel.cfg"
        user.write_bytes(old)
        distribution = work / "Tarnel.cfg"
        distribution.write_bytes(b"defaultversion=8.3.22\n")
        fill(disk / "filler")

        result = run(tool("config_probe.exe"), "merge", winpath(distribution), winpath(appdata))
        assert (result.code, result.out) == (0, "merged: false\n"), result
        assert user.read_bytes() == old
        assert os.listdir(folder) == ["Tarnel.cfg"]

        (disk / "filler").unlink()
        result = run(tool("config_probe.exe"), "merge", winpath(distribution), winpath(appdata))
        assert (result.code, result.out) == (0, "merged: true\n"), result
        assert user.read_bytes() == merged
        assert os.listdir(folder) == ["Tarnel.cfg"]
    finally:
        subprocess.run(["umount", str(disk)], check=True)
