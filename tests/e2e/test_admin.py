"""What an administrator relies on: the log every run leaves, and quiet runs that show nothing,
ask nothing and end with an exit code that tells how they ended."""
import os
import re
import shutil
import subprocess

import pytest

from bench import (WINTEST, WorkFolderWatch, build_setup, button_text, click, finish, finish_without_error_box,
                   message_box, scratch, sign, small_disk, start, tool, user_temp, user_temp_in, winpath)
from test_distribution import SERVICE_PRODUCT, USER_CONFIG, distribution as full_distribution, uninstall
from test_setup_file import distribution as setup_file_distribution
from test_unpack import damage_data

IDYES = 6
LINE = re.compile(r" *(\d+)\.(\d{3}) (.*)")


def log_lines(path):
    """The log's entries without their time offsets; the offsets must never go back."""
    text = path.read_bytes().decode("utf-8")
    assert text.startswith("\ufeff") and text.endswith("\r\n"), text[:200]
    matches = [LINE.fullmatch(line) for line in text[1:].split("\r\n")[:-1]]
    assert all(matches), text
    offsets = [int(m[1]) * 1000 + int(m[2]) for m in matches]
    assert offsets == sorted(offsets), offsets
    return [m[3] for m in matches]


def quiet_run(program, code, env=None, closer=False, folders_made=True):
    """Runs `program` /quiet with its log in a fresh folder: no window shows, no box, the run ends
    with `code` (as the shell sees it, its low 8 bits) and says so in the log's last line.
    Returns the log's lines."""
    log = scratch("log-") / "quiet run.log"
    folders = WorkFolderWatch()
    # Whatever would show: the progress window or any box of the program's.
    shown = start(WINTEST, "wait-window", program.stem, 600000, "--class", "MYPONDREL", "--visible")
    closing = start(WINTEST, "close", program.stem, "--class", "MYPONDREL", "--timeout", "60000") if closer else None
    try:
        result = finish_without_error_box(start(program, "/quiet", "/Log", winpath(log), env=env), 300)
    finally:
        shown.kill()
    assert shown.wait() != 0, "a window of the quiet run showed"
    if closing:
        assert finish(closing).code == 0
    lines = log_lines(log)
    assert result.code == code & 0xFF, (result, lines)
    assert re.fullmatch(rf"end: outcome {code} \(.+\), exit code {code}, \d+\.\d{{3}} s", lines[-1]), lines
    assert "mode: quiet" in lines and "working folders removed" in lines, lines
    folders.assert_removed(expect_seen=folders_made)
    return lines


def setup_file_case(code, exit_code=None, env=None, **dist):
    def case():
        env_ = {"PONDREL_MARKER_DIR": winpath(scratch("markers-")), **(env or {})}
        if exit_code is not None:
            env_["PONDREL_MARKER_EXIT"] = str(exit_code)
        lines = quiet_run(build_setup(setup_file_distribution(**dist), "QuietFile.exe"), code, env_)
        if env:
            assert any(line.startswith("no window, the quiet run goes on without it: InitInst failed") for line in lines)
        ran = any(line.startswith("ended: exit code") for line in lines)
        assert ran == (code != 101), lines
        if code == 101:
            assert "answer: No (quiet mode)" in lines, lines
    return case


def setup_file_not_started():
    # A signed library under the setup file's name: verified, but no program to start.
    dist = setup_file_distribution()
    shutil.copyfile(tool("planted/wintrust.dll"), dist / "bin" / "setup.exe")
    sign(dist / "bin" / "setup.exe")
    lines = quiet_run(build_setup(dist, "QuietNotStarted.exe"), 103)
    assert any(line.startswith("error (quiet, not shown): can't start setup.exe: ") for line in lines), lines


def no_distribution():
    dist = scratch("nodist-") / "dist"
    dist.mkdir()
    (dist / "readme.txt").write_text("no package here")
    lines = quiet_run(build_setup(dist, "QuietNoDist.exe", setup_file=None), 104)
    assert any(line.startswith("verdict: rejected, no package") for line in lines), lines


def merge_failed():
    dist = full_distribution(scratch("merge-") / "dist", setup_exe=False, files={"Tarnel.cfg": b"NewKey=dist\r\n"})
    program = build_setup(dist, "QuietMerge.exe", setup_file=None)
    shutil.rmtree(USER_CONFIG.parent.parent, ignore_errors=True)
    USER_CONFIG.parent.mkdir(parents=True)
    USER_CONFIG.write_bytes(b"\xef\xbb\xbfKey=caf\xe9\r\n")  # Latin-1 behind the UTF-8 mark
    lines = quiet_run(program, 105)
    assert USER_CONFIG.read_bytes() == b"\xef\xbb\xbfKey=caf\xe9\r\n"
    assert any(line.startswith("launcher settings ") and ": failed, can't read launcher file" in line
               for line in lines), lines


def certificate_not_copied():
    # Installed below Program Files by a limited token: the copy would need elevation, which a
    # quiet run does not ask for. The installer service shows nothing and logs beside the log.
    dist = full_distribution(scratch("quiet-service-") / "dist", product=SERVICE_PRODUCT, vendor="KelmQuiet",
                             setup_exe=False)
    program = build_setup(dist, "QuietService.exe", setup_file=None)
    markers = scratch("markers-")
    try:
        lines = quiet_run(program, 106, {"PONDREL_MARKER_DIR": winpath(markers)})
    finally:
        uninstall(SERVICE_PRODUCT)
    assert any(re.fullmatch(r'installer service: MsiInstallProductW\(".*KelmQuorda\.msi", "LIMITUI=1 .*"\), '
                            r"interface none", line) for line in lines), lines
    assert "installer service: status 0" in lines, lines
    assert any(line.startswith("certificate: ") and "needs elevation" in line for line in lines), lines
    assert "launcher: not started in quiet mode" in lines and not (markers / "launcher.txt").exists()
    installer_log = next(line for line in lines if line.startswith("installer service log: "))
    assert "quiet run installer.log (status 0)" in installer_log, installer_log


def no_room():
    dist = setup_file_distribution()
    (dist / "large.bin").write_bytes(os.urandom(6 << 20))
    program = build_setup(dist, "QuietRoom.exe")
    with user_temp_in("small") as temp, small_disk(temp, "8m"):
        lines = quiet_run(program, 112, folders_made=False)
        assert list(temp.iterdir()) == []
    assert any(line.startswith("error (quiet, not shown): Not enough disk space") for line in lines), lines


def closed():
    dist = setup_file_distribution()
    (dist / "large.bin").write_bytes(os.urandom(40 << 20))
    lines = quiet_run(build_setup(dist, "QuietClosed.exe"), 1602, closer=True)
    assert any(line.startswith("close request") for line in lines), lines
    assert not any(line.startswith("starting: ") for line in lines), lines


def unreadable_archive():
    dist = scratch("damaged-") / "dist"
    dist.mkdir()
    (dist / "a.bin").write_bytes(os.urandom(50_000) + b"compressible text\n" * 3000)
    program = build_setup(dist, "QuietDamaged.exe", setup_file=None)
    damage_data(program)
    quiet_run(program, 102)


CASES = {
    "success": setup_file_case(0),
    # No display for Wine: no window can be made, as in a session without a desktop.
    "success without a desktop": setup_file_case(0, env={"DISPLAY": ""}),
    "the setup file's own code, restart needed": setup_file_case(3010, exit_code=3010),
    "the setup file's code that reads as ours": setup_file_case(107, exit_code=102),
    "signature not verified, declined": setup_file_case(101, signed=False),
    "setup file not started": setup_file_not_started,
    "no acceptable distribution": no_distribution,
    "launcher settings not merged": merge_failed,
    "certificate not copied without elevation": certificate_not_copied,
    "disk full": no_room,
    "close request": closed,
    "archive unreadable": unreadable_archive,
}


@pytest.mark.parametrize("case", CASES)
def test_quiet_run_ends_with_the_code_of_its_outcome(case):
    CASES[case]()


def test_interactive_run_logs_each_step_in_the_temporary_folder():
    # An unsigned transform: its signature question is answered Yes, and the run installs.
    dist = full_distribution(scratch("logged-") / "dist", product=SERVICE_PRODUCT, vendor="KelmLogged",
                             setup_exe=False, place="root", files={"Tarnel.cfg": b"NewKey=dist\r\n", "1033.mst": b"x"})
    program = build_setup(dist, "Logged Setup.exe", setup_file=None)
    shutil.rmtree(USER_CONFIG.parent.parent, ignore_errors=True)
    before = set(user_temp().glob("Pondrel Logged Setup *.log"))
    markers = scratch("markers-")
    proc = start(program, "/unknown", env={"PONDREL_MARKER_DIR": winpath(markers), "PONDREL_LAUNCHER_LIFE": "3000"})
    try:
        box = message_box("Pondrel", 120000)
        click(button_text(box, IDYES), "Pondrel")
        result = finish_without_error_box(proc, 180)
    finally:
        uninstall(SERVICE_PRODUCT)
    assert result.code == 0, result
    [log] = set(user_temp().glob("Pondrel Logged Setup ????-??-?? ??-??-??.log")) - before
    lines = log_lines(log)
    expected = [
        r"program: .*\\Logged Setup\.exe, version 1\.1\.2\.2, \d+ bytes",
        r"command line: .*Logged Setup\.exe\"? /unknown",
        r"option ignored: /unknown",
        r"mode: interactive",
        r"system: Windows \d+\.\d+\.\d+, user language 0409, interface language 0409, ANSI code page 1252, "
        r"elevation limited",
        r"log: .*\\Pondrel Logged Setup [-0-9 ]+\.log",
        r"payload: archive at offset \d+, distribution mode",
        r"working folder: .*\\kel[0-9a-f]+\.tmp",
        r"archive folder: .*\\kel[0-9a-f]+\.tmp",
        r"archive copied: \d+ bytes",
        r"unpacking: 5 entries from \d+ archive bytes on 1 thread\(s\)",
        r"unpacked: 5 entries, \d+ bytes",
        r"unpacking ended after \d+\.\d{3} s",
        r"folder: .*\\kel[0-9a-f]+\.tmp",
        r"package: KelmQuorda\.msi",
        r"signature of KelmQuorda\.msi: 0x00000000, valid",
        r"signature of 1033\.mst: 0x(?!00000000)[0-9A-F]{8}, .+",
        r"question: The signature of the new version .*Continue installation\?",
        r"answer: Yes",
        r"setup\.ini: product code \{6C1D2E3F-0A1B-4C5D-8E9F-A0B1C2D3E4F5\}",
        r'package: version 2\.4\.1\.0, manufacturer "Kelm"',
        r"verdict: accepted, our package",
        r"distribution: .*\\kel[0-9a-f]+\.tmp, package KelmQuorda\.msi, product code \{6C1D.*\}",
        r"launcher settings .*\\Tarnel\.cfg: merged",
        r"installer service log: .*\\Pondrel Logged Setup [-0-9 ]+ installer\.log \(status 0\)",
        r'installer service: MsiInstallProductW\(".*\\KelmQuorda\.msi", "LIMITUI=1 TRANSFORMS=1033\.mst '
        r'DEFLANGUAGE=auto"\), interface basic',
        r"installer service: status 0",
        r"installed location: C:\\KelmLogged\\2\.4\.1\\",
        r"certificate: direct copy to C:\\KelmLogged\\2\.4\.1\\bin\\cacertnx\.pem made \(error 0\)",
        r"launcher: C:\\KelmLogged\\2\.4\.1\\\.\.\\common\\tarnel\.exe started, process \d+; waiting until it "
        r"is ready",
        r"launcher: ready for input",
        r"working folders removed",
        r"end: outcome 0 \(success\), exit code 0, \d+\.\d{3} s",
    ]
    assert len(lines) == len(expected), "\n".join(lines)
    for line, pattern in zip(lines, expected):
        assert re.fullmatch(pattern, line), (pattern, line)
    assert log.with_name(log.stem + " installer.log").stat().st_size > 0
