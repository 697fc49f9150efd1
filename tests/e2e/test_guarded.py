"""What a run guards, as a hostile process of the same user and a full disk meet it: the files it
checked stay what it checked until they are used, its working folders are for its user only, a
killed run's folders go with the next run while a running one's stay, and a disk without room for
the unpacking is refused before anything is written."""
import os
import re
import subprocess

import pytest

from bench import (box_text, button_text, click, finish, message_box, scratch, small_disk, tool, user_temp_in,
                   wait_for, winpath, wintest)
from test_distribution import Run as DistributionRun, build as build_distribution, distribution
from test_setup_file import Run, build, distribution as setup_file_distribution

IDOK, IDYES = 1, 6


def assert_refuses_tampering(path):
    """A Windows process of the same user tries to overwrite `path` with another program, to
    rename it aside and back and to delete it: every attempt is refused."""
    result = wintest("tamper", winpath(path), winpath(tool("tree_setup.exe")), check=False)
    assert result.code == 0, f"{path.name}: {result}"


def question_up_setup_file():
    setup = Run(build(setup_file_distribution(signed=False), "GuardFile.exe"))
    box = message_box("Pondrel", 60000)
    [folder] = [f for f in setup.folders.look() if (f / "bin" / "setup.exe").exists()]
    assert_refuses_tampering(folder / "bin" / "setup.exe")
    click(button_text(box, IDYES), "Pondrel")
    setup.finish()
    # The program that ran is the one the question was about (the replacement marks no file).
    assert setup.marker()[2].endswith("\\bin\\setup.exe"), setup.marker()


def question_up_distribution():
    dist = distribution(scratch("guard-") / "dist", files={"a.cab": b"an unsigned cabinet"})
    setup = DistributionRun(build_distribution(dist, "GuardDistribution.exe"))
    box = message_box("Pondrel", 60000)
    [folder] = [f for f in setup.folders.look() if (f / "a.cab").exists()]
    # The package passed its check before the cabinet's question: both are held. (After a Yes the
    # other files go unchecked, as before.)
    for checked in [folder / "a.cab", *folder.glob("*.msi")]:
        assert_refuses_tampering(checked)
    click(button_text(box, IDYES), "Pondrel")
    setup.finish()
    assert setup.lines("marker.txt")[2].endswith("\\setup.exe"), "setup.exe did not run after Yes"


def working_folders_for_the_user_only():
    release = scratch("hold-") / "release"
    setup = Run(build(setup_file_distribution(), "GuardAcl.exe"), extra={"PONDREL_MARKER_HOLD": winpath(release)})
    assert wait_for(lambda: setup.marker(), 60)
    folders = sorted(setup.folders.look())
    assert len(folders) == 2  # the unpacked tree and the archive copy's
    # (What they hold would inherit their lists on Windows; Wine gives files a list of its own.)
    for path in folders:
        user, access = wintest("acl", winpath(path)).out.splitlines()
        trustees = {entry.rsplit(";", 1)[1] for entry in re.findall(r"\(([^)]*)\)", access)}
        # Without a list of its own the folder would read back with a read entry for Everyone (WD).
        # Wine keeps the user's and SYSTEM's entries, not the Administrators' nor the protection
        # from inheritance (see the shared Wine notes).
        assert user.split()[1] in trustees and trustees <= {user.split()[1], "SY", "BA"}, (path.name, access)
    release.write_text("go")
    setup.finish()


def a_killed_runs_folders():
    release = scratch("hold-") / "release"
    running = Run(build(setup_file_distribution(), "GuardRunning.exe"), extra={"PONDREL_MARKER_HOLD": winpath(release)})
    assert wait_for(lambda: running.marker(), 60)
    killed = Run(build(setup_file_distribution(signed=False), "GuardKilled.exe"))
    message_box("Pondrel", 60000)
    left = set(killed.folders.look())
    subprocess.run(["wine", "taskkill", "/F", "/IM", "GuardKilled.exe"], check=True, capture_output=True)
    finish(killed.proc, 60)
    assert len(left) == 2 and all(f.exists() and f.with_name(f.name + ".pondrel").exists() for f in left)
    # The next run takes them, marks and all, and leaves the running one's.
    Run(build(setup_file_distribution(), "GuardNext.exe")).finish()
    assert not [f for f in left if f.exists() or f.with_name(f.name + ".pondrel").exists()]
    assert len(running.folders.look()) == 2
    release.write_text("go")
    running.finish()


NO_ROOM = {
    "en_US.UTF-8": r"Not enough disk space to unpack the installation in C:\\.*\\small: (\d+) MB needed, (\d+) MB free\.",
    "ru_RU.UTF-8": r"Недостаточно места на диске для распаковки установки в C:\\.*\\small: нужно (\d+) МБ, свободно (\d+) МБ\.",
}


def no_room(locale):
    dist = setup_file_distribution()
    (dist / "large.bin").write_bytes(os.urandom(6 << 20))
    program = build(dist, "GuardRoom.exe")
    with user_temp_in("small") as temp, small_disk(temp, "8m"):
        setup = Run(program, locale=locale)
        box = message_box("Error", 60000)
        needed, free = map(int, re.fullmatch(NO_ROOM[locale], box_text(box)).groups())
        # The archive copy, 6 MiB unpacked and the margin, against what the 8 MiB disk has.
        assert needed >= 6 + 6 + 16 and free <= 8, (needed, free)
        click(button_text(box, IDOK), "Error")
        assert finish(setup.proc, 60).code == 112
        assert [p.name[:18] for p in temp.iterdir()] == ["Pondrel GuardRoom "]
        assert setup.marker() is None


CASES = {
    "a swap while the question is up, setup file": question_up_setup_file,
    "a swap while the question is up, distribution": question_up_distribution,
    "working folders for the user only": working_folders_for_the_user_only,
    "a killed run's folders go with the next run": a_killed_runs_folders,
    "no room, English": lambda: no_room("en_US.UTF-8"),
    "no room, Russian": lambda: no_room("ru_RU.UTF-8"),
}


@pytest.mark.parametrize("case", CASES)
def test_a_run_guards_its_files_its_folders_and_the_disk(case):
    CASES[case]()
