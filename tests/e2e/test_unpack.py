"""Unpacking as a user sees it: a setup program built by the builder copies its archive out,
unpacks it with a rising progress line, and stops cleanly when the window is closed."""
import os
import random
import re
import shutil
import subprocess
import time

import pytest

from bench import (WINTEST, box_text, build_setup, button_text, click, error_box, finish, message_box, run,
                   scratch, screenshot, sign, start, tool, wait_for, wait_window, window_text, windows, winpath,
                   wintest, WorkFolderWatch)
from distgen import generate, tree_hashes

PREFIX_EN = "Preparing to start installation - unpacking archive: "


def with_marker_setup(dist):
    (dist / "bin").mkdir(parents=True, exist_ok=True)
    shutil.copyfile(tool("marker_setup.exe"), dist / "bin" / "setup.exe")
    sign(dist / "bin" / "setup.exe")
    return dist


def progress_value(title):
    text = window_text(title, 1000)
    assert text.startswith(PREFIX_EN) and text.endswith("%"), text
    return int(text[len(PREFIX_EN):-1])


@pytest.fixture(scope="module")
def large_setup():
    """A setup program of a generated ~200 MB distribution with a few thousand files, whose
    setup file waits for a release file so the unpacked tree can be compared. Mostly random
    data: the figure relates the bytes written to the archive's size, so for an archive that
    hardly compresses it follows the unpacking all the way."""
    dist = with_marker_setup(generate(scratch("large-") / "dist", 200 * 1024 * 1024, 3000, random_share=0.9))
    return dist, build_setup(dist, "LargeSetup.exe")


def test_large_distribution_unpacks_identically_with_rising_progress(large_setup):
    dist, program = large_setup
    markers = scratch("markers-")
    release = markers / "release"
    folders = WorkFolderWatch()
    # Every text the line shows from the window's showing until it hides for the setup file,
    # however busy the machine is: the watcher runs before the program starts and waits for the
    # window to show (a window found before it is shown would end the watch at once).
    watch = start(WINTEST, "watch-text", "LargeSetup", 1000, 180000, "--class", "MYPONDREL", "--visible")
    proc = start(program, env={"PONDREL_MARKER_DIR": winpath(markers), "PONDREL_MARKER_HOLD": winpath(release)})
    try:
        wait_window("LargeSetup", 30000, "--class", "MYPONDREL")
        if wait_for(lambda: 0 < progress_value("LargeSetup") < 100, 60, 0.1):
            screenshot("unpacking-progress.png")
        assert wait_for(lambda: (markers / "marker.txt").exists(), 120)
        lines = finish(watch, 60).out.splitlines()
        assert all(line.startswith(PREFIX_EN) and line.endswith("%") for line in lines), lines
        seen = [int(line[len(PREFIX_EN):-1]) for line in lines]
        assert seen[0] == 0 and max(seen) <= 100, seen
        assert [value for value in seen if 0 < value < 100], seen  # it rose in steps while unpacking
        assert seen == sorted(seen), seen

        # The working folder holds the distribution exactly; the archive copy has a folder of its
        # own beside it.
        trees = sorted((tree_hashes(folder) for folder in folders.look()), key=len)
        assert len(trees) == 2 and list(trees[0]) == ["tmp.zip"], [list(tree)[:5] for tree in trees]
        assert trees[1] == tree_hashes(dist)
        release.write_text("go")
    finally:
        result = finish(proc, timeout=120)
    assert result.code == 0
    folders.assert_removed()


@pytest.mark.parametrize("moment", ["right after start", "during unpacking"])
def test_closing_the_window_stops_runs_nothing_and_cleans_up(large_setup, moment):
    # Right after start the close request lands while the installer is being made or the
    # archive copied out; later, while the background task unpacks.
    _, program = large_setup
    markers = scratch("markers-")
    folders = WorkFolderWatch()
    # The closer watches from before the start, so that it cannot come late on a busy machine:
    # right after start it closes the window as soon as it shows; during unpacking at the line's
    # first move, below half (the unpacking has begun and has far to go), and a line first seen
    # moving at half or more fails the test rather than closing late.
    moment_args = ["--after-change", 1000, "--below", 50] if moment == "during unpacking" else []
    closer = start(WINTEST, "close", "LargeSetup", "--class", "MYPONDREL", "--visible", *moment_args,
                   "--timeout", 120000)
    proc = start(program, env={"PONDREL_MARKER_DIR": winpath(markers)})
    try:
        closed_in_time = finish(closer, 180)
        assert closed_in_time.code == 0, closed_in_time
        closed = time.monotonic()
        result = finish(proc, timeout=60)
        print(f"ended {time.monotonic() - closed:.2f} s after the close request")
    finally:
        if proc.poll() is None:
            proc.kill()
    assert result.code == 0
    assert not (markers / "marker.txt").exists()  # nothing was run
    folders.assert_removed()
    assert not [w for w in windows() if w["title"] == "Error"]


KIB, MIB = 1024, 1024 * 1024
# Every size at which the builder or the unpacker changes its way of working, and around it: the
# progress piece, the builder's store probe and the pieces both read in, the unpacker's whole
# inflate (1 MiB in archives of many entries, 8 MiB in this one), the builder's whole deflate,
# and the point where a stream that does not shrink is given up.
BOUNDARIES = [0, 1, 1000, 16 * KIB, 64 * KIB, 128 * KIB, 256 * KIB, MIB, MIB + 64 * KIB, 2 * MIB, 8 * MIB,
              8 * MIB + 64 * KIB]
SIZES = sorted({max(0, b + d) for b in BOUNDARIES for d in (-1, 0, 1, 100)} | {16 * MIB + 1})


def boundary_tree(root):
    """Files of every size in SIZES in three contents: zeros, text and random bytes (the largest
    only random: neither of the others stops shrinking)."""
    rng = random.Random(25)
    text = b"".join(b"%d: the client's settings, logs and modules\r\n" % i for i in range(400_000))
    assert len(text) > max(SIZES)
    for kind in ("zeros", "text", "random"):
        (root / kind).mkdir(parents=True)
        for size in SIZES:
            if size > 9 * MIB and kind != "random":
                continue
            data = bytes(size) if kind == "zeros" else text[:size] if kind == "text" else rng.randbytes(size)
            (root / kind / f"{size}.bin").write_bytes(data)
    return root


@pytest.fixture(scope="module")
def boundary_dist():
    return with_marker_setup(boundary_tree(scratch("boundaries-") / "dist"))


@pytest.mark.parametrize("packer", ["builder", "zip -1", "zip -9"])
def test_every_size_and_content_unpacks_byte_for_byte(boundary_dist, packer):
    """What the builder packs, or another tool's archive given with -f (stored and deflated
    entries), the setup program unpacks byte for byte."""
    archive = None
    if packer != "builder":
        archive = scratch("zip-") / "dist.zip"
        subprocess.run(["zip", "-r", "-q", packer.split()[1], str(archive), "."], cwd=boundary_dist, check=True)
    program = build_setup(boundary_dist, "Boundaries.exe", "setup.exe", archive=archive)
    markers = scratch("markers-")
    release = markers / "release"
    folders = WorkFolderWatch()
    proc = start(program, env={"PONDREL_MARKER_DIR": winpath(markers), "PONDREL_MARKER_HOLD": winpath(release)})
    try:
        assert wait_for(lambda: (markers / "marker.txt").exists() or proc.poll() is not None or error_box(), 300, 1)
        box = error_box()
        if box:
            click("OK", "Error")
        assert not box and proc.poll() is None, box_text(box) if box else finish(proc)
        trees = sorted((tree_hashes(folder) for folder in folders.look()), key=len)
        assert trees and trees[-1] == tree_hashes(boundary_dist)
        release.write_text("go")
    finally:
        result = finish(proc, timeout=120)
    assert result.code == 0
    folders.assert_removed()


def test_small_archive_leaves_the_line_at_zero():
    # A few bytes unpack within the first polling period, so no percentage is ever sent. The
    # unsigned "setup file" makes the run stop at the signature question with the window shown.
    dist = scratch("small-") / "dist"
    dist.mkdir()
    (dist / "setup.exe").write_text("not really a program")
    program = build_setup(dist, "SmallSetup.exe")
    proc = start(program)
    try:
        box = message_box("Pondrel", 30000)
        assert progress_value("SmallSetup") == 0
        click(button_text(box, 7), "Pondrel")
    finally:
        assert finish(proc, timeout=60).code == 0


def cut_directory(program):
    # The archive's central directory is gone: the copy cannot be opened as an archive.
    program.write_bytes(program.read_bytes()[:-40])


def damage_data(program):
    # Bytes inside the entry's data: the archive opens, but reading the entry fails.
    data = bytearray(program.read_bytes())
    # The entry's local header: its signature, 26 bytes of fields, then the name.
    name = re.search(rb"PK\x03\x04.{26}a\.bin", data, re.DOTALL).end()
    for i in range(name + 200, name + 2000, 7):
        data[i] ^= 0x5A
    program.write_bytes(bytes(data))


def shrink_size(program):
    # The entry's stated size (in its local and its central header) is cut to 1000 bytes: the
    # deflated data runs on past it.
    data = bytearray(program.read_bytes())
    for signature, field in ((b"PK\x03\x04", 22), (b"PK\x01\x02", 24)):
        header = re.search(re.escape(signature) + rb".{%d}a\.bin" % (26 if field == 22 else 42), data, re.DOTALL).start()
        data[header + field:header + field + 4] = (1000).to_bytes(4, "little")
    program.write_bytes(bytes(data))


DAMAGES = [
    # (damage, the error box's text begins, exit code)
    (cut_directory, "error occured, during archive unpackaging: can't open zip: ", 0),
    (damage_data, "error occured, during archive unpackaging: error reading file in archive: a.bin", 102),
    (shrink_size, "error occured, during archive unpackaging: damaged archive, data runs past its size: a.bin", 102),
]


@pytest.mark.parametrize("damage,text,code", DAMAGES, ids=[d[0].__name__ for d in DAMAGES])
def test_damaged_archive_is_reported_in_the_error_box_and_cleaned_up(damage, text, code):
    dist = scratch("damaged-") / "dist"
    dist.mkdir()
    # Deflated: half of it compresses.
    (dist / "a.bin").write_bytes(os.urandom(50_000) + b"compressible text\n" * 3000)
    program = build_setup(dist, "Damaged.exe", setup_file=None)
    damage(program)
    folders = WorkFolderWatch()
    proc = start(program)
    try:
        box = message_box("Error", 30000)
        assert box_text(box).startswith(text), box_text(box)
        click("OK", "Error")
    finally:
        result = finish(proc)
    # The folder goes before the process ends, whatever code the error calls for.
    assert result.code == code, result
    folders.assert_removed()
