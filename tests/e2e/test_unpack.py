"""Unpacking as a user sees it: a setup program built by the builder copies its archive out,
unpacks it with a rising progress line, and stops cleanly when the window is closed."""
import shutil
import subprocess
import time

import pytest

from bench import (PONDREL_MAKE, SOURCE, box_text, button_text, click, close_window, finish, message_box, run, scratch, screenshot,
                   start, tool, user_temp, wait_for, wait_gone, wait_window, window_text, windows, winpath,
                   work_folders)
from distgen import generate, tree_hashes

PREFIX_EN = "Preparing to start installation - unpacking archive: "


def sign(*files):
    subprocess.run(["bash", str(SOURCE / "tests" / "bench" / "sign.sh"), str(scratch_certs()), *map(str, files)],
                   check=True)


_certs = None


def scratch_certs():
    global _certs
    if _certs is None:
        _certs = scratch("certs-")
    return _certs


def build_setup(dist, name="Setup.exe", setup_file="setup.exe"):
    out = scratch("out-")
    args = ["-d", winpath(dist), "-o", winpath(out), "-c", name]
    if setup_file:
        args += ["-s", setup_file]
    result = run(PONDREL_MAKE, *args, timeout=900)
    assert result.code == 0, result
    return out / name


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
    setup file waits for a release file so the unpacked tree can be compared."""
    dist = with_marker_setup(generate(scratch("large-") / "dist", 200 * 1024 * 1024, 3000))
    return dist, build_setup(dist, "LargeSetup.exe")


def test_large_distribution_unpacks_identically_with_rising_progress(large_setup):
    dist, program = large_setup
    markers = scratch("markers-")
    release = markers / "release"
    before = set(work_folders())
    proc = start(program, env={"PONDREL_MARKER_DIR": winpath(markers), "PONDREL_MARKER_HOLD": winpath(release)})
    try:
        wait_window("LargeSetup", 30000, "--class", "MYPONDREL")
        seen = []
        # Read the line while the setup file has not started yet.
        while not (markers / "marker.txt").exists() and proc.poll() is None:
            seen.append(progress_value("LargeSetup"))
            if len(seen) == 3:
                screenshot("unpacking-progress.png")
            time.sleep(0.2)
        assert wait_for(lambda: (markers / "marker.txt").exists(), 120)
        assert max(seen) <= 100, seen
        assert len(set(seen)) >= 3, seen  # it rose in steps while unpacking
        assert seen == sorted(seen), seen

        created = set(work_folders()) - before
        assert len(created) == 1
        folder = created.pop()
        unpacked = tree_hashes(folder)
        assert unpacked.pop("tmp.zip")
        assert unpacked == tree_hashes(dist)
        release.write_text("go")
    finally:
        result = finish(proc, timeout=120)
    assert result.code == 0
    assert set(work_folders()) == before


@pytest.mark.parametrize("moment", ["right after start", "during unpacking"])
def test_closing_the_window_stops_runs_nothing_and_cleans_up(large_setup, moment):
    # Right after start the close request lands while the installer is being made or the
    # archive copied out; later, while the background task unpacks.
    _, program = large_setup
    markers = scratch("markers-")
    before = set(work_folders())
    proc = start(program, env={"PONDREL_MARKER_DIR": winpath(markers)})
    try:
        wait_window("LargeSetup", 30000, "--class", "MYPONDREL")
        if moment == "during unpacking":
            assert wait_for(lambda: progress_value("LargeSetup") > 0, 60, 0.1)
        close_window("LargeSetup")
        closed = time.monotonic()
        result = finish(proc, timeout=60)
        print(f"ended {time.monotonic() - closed:.2f} s after the close request")
    finally:
        if proc.poll() is None:
            proc.kill()
    assert result.code == 0
    assert not (markers / "marker.txt").exists()  # nothing was run
    assert set(work_folders()) == before
    assert not [w for w in windows() if w["title"] == "Error"]


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


def test_damaged_archive_copy_is_reported_in_the_error_box():
    dist = scratch("damaged-") / "dist"
    dist.mkdir()
    (dist / "a.txt").write_text("x" * 100000)
    program = build_setup(dist, "Damaged.exe", setup_file=None)
    data = bytearray(program.read_bytes())
    # Cut the archive's central directory off: the copy cannot be opened as an archive.
    program.write_bytes(bytes(data[:-40]))
    before = set(work_folders())
    proc = start(program)
    try:
        box = message_box("Error", 30000)
        assert box_text(box).startswith("error occured, during archive unpackaging: can't open zip: ")
        click("OK", "Error")
    finally:
        assert finish(proc).code == 0
    assert set(work_folders()) == before
