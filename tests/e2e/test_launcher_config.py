"""The launcher file's merge when the disk fills up: the write fails midway and the user's file
stays exactly as it was, with no fresh file left beside it, also while a running launcher holds
it open. Once there is room again, the same merge goes through. Setup programs merging at the
same time each keep what the others wrote."""
import contextlib
import errno
import os

import pytest

from bench import finish, held_open, run, scratch, small_disk, start, tool, winpath

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


@pytest.mark.parametrize("held", [False, True], ids=["alone", "held by the launcher"])
@pytest.mark.parametrize("encoding", sorted(ENCODINGS))
def test_full_disk_keeps_the_users_file_byte_for_byte(encoding, held):
    old = ENCODINGS[encoding](OLD_LINES)
    merged = ENCODINGS[encoding](OLD_LINES.replace(b"8.3.21", b"8.3.22"))
    work = scratch()
    with small_disk(work / "disk", "128k") as disk:
        appdata = disk / "AppData"
        folder = appdata / "Kelm" / "Tarnel"
        folder.mkdir(parents=True)
        user = folder / "Tarnel.cfg"
        user.write_bytes(old)
        distribution = work / "Tarnel.cfg"
        distribution.write_bytes(b"defaultversion=8.3.22\n")
        # A running launcher holds its file as the C runtime opens it: the file cannot be
        # replaced, only rewritten.
        with held_open(user, shared=True) if held else contextlib.nullcontext():
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


def test_setup_programs_merging_at_once_keep_each_others_keys():
    # Each distribution brings 20,000 keys of its own; the two merges start together.
    work = scratch()
    appdata = work / "AppData"
    (appdata / "Kelm" / "Tarnel").mkdir(parents=True)
    user = appdata / "Kelm" / "Tarnel" / "Tarnel.cfg"
    user.write_bytes(b"Own=1\r\n")
    keys = {}
    for name in ("a", "b"):
        keys[name] = [f"{name}{i}=v{i}" for i in range(20000)]
        (work / f"{name}.cfg").write_text("\n".join(keys[name]) + "\n")
    merges = [start(tool("config_probe.exe"), "merge", winpath(work / f"{name}.cfg"), winpath(appdata)) for name in keys]
    results = [finish(merge, timeout=600) for merge in merges]
    assert [(r.code, r.out) for r in results] == [(0, "merged: true\n")] * 2, results
    lines = user.read_bytes().decode("ascii").split("\r\n")
    assert lines[0] == "Own=1" and lines[-1] == ""
    assert sorted(lines[1:-1]) == sorted(keys["a"] + keys["b"])
