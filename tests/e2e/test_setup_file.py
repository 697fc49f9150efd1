"""Setup-file mode as a user sees it: the setup file is found in the unpacked tree, its
signature is checked (with the user's question when the check fails), it runs with the window
hidden, and the setup program waits for every process it started."""
import shutil
import subprocess

import pytest

from bench import (PONDREL_MAKE, SOURCE, box_text, button_text, click, close_window, finish, message_box, run, scratch, start,
                   tool, wait_for, windows, winpath, wintest, work_folders)

QUESTION_EN = ("The signature of the new version of the program could not be verified. The installation was "
               "launched on an outdated version of the Windows operating system. You may not have the necessary "
               "Windows updates installed. Continue installation?")
QUESTION_RU = ("Не удалось проверить подпись новой версии программы. Установка запущена на устаревшей версии "
               "операционной системы Windows. Возможно, у вас не установлены необходимые обновления Windows. "
               "Продолжить установку?")
IDOK, IDYES, IDNO = 1, 6, 7

_certs = None


def sign(*files):
    global _certs
    _certs = _certs or scratch("certs-")
    subprocess.run(["bash", str(SOURCE / "tests" / "bench" / "sign.sh"), str(_certs), *map(str, files)], check=True)


def distribution(program="marker_setup.exe", where="bin", signed=True, tamper=False):
    dist = scratch("dist-") / "dist"
    (dist / where).mkdir(parents=True)
    target = dist / where / "setup.exe"
    shutil.copyfile(tool(program), target)
    if signed:
        sign(target)
    if tamper:
        data = bytearray(target.read_bytes())
        data[len(data) // 2] ^= 0xFF
        target.write_bytes(bytes(data))
    (dist / "readme.txt").write_text("client")
    return dist


def build(dist, name="ClientSetup.exe"):
    out = scratch("out-")
    result = run(PONDREL_MAKE, "-d", winpath(dist), "-s", "setup.exe", "-o", winpath(out), "-c", name)
    assert result.code == 0, result
    return out / name


class Run:
    """A started setup program with its own marker folder."""

    def __init__(self, program, locale=None, extra=None):
        self.markers = scratch("markers-")
        self.before = set(work_folders())
        env = {"PONDREL_MARKER_DIR": winpath(self.markers), "PONDREL_TREE_DELAY": "2500"}
        env.update(extra or {})
        self.proc = start(program, env=env, locale=locale)

    def marker(self, name="marker.txt"):
        path = self.markers / name
        return path.read_text(encoding="utf-8").splitlines() if path.exists() else None

    def finish(self, timeout=60):
        result = finish(self.proc, timeout)
        assert result.code == 0, result
        left = set(work_folders()) - self.before
        assert not left, f"the working folder stayed behind: {[list(p.rglob('*')) for p in left]}"
        return result


def test_signed_setup_file_runs_without_question_with_quoted_path_and_one_space():
    setup = Run(build(distribution()))
    result = setup.finish()
    command_line, current_folder, own_path = setup.marker()
    assert own_path.endswith("\\bin\\setup.exe")
    assert command_line == f'"{own_path}" '
    assert current_folder  # the setup file inherits the caller's folder; it is recorded, not checked
    assert not result.stderr.strip()


def test_waits_for_the_whole_process_tree():
    setup = Run(build(distribution("tree_setup.exe")))
    # The first process exits at once; its grandchild outlives it and marks its end late.
    assert wait_for(lambda: setup.marker("tree-start.txt"), 30)
    assert setup.proc.poll() is None
    setup.finish()
    # The setup program ended only after the grandchild had written its mark.
    assert setup.marker("tree-done.txt")


@pytest.mark.parametrize("locale,question", [("en_US.UTF-8", QUESTION_EN), ("ru_RU.UTF-8", QUESTION_RU)])
def test_unsigned_setup_file_asks_and_no_runs_nothing(locale, question):
    setup = Run(build(distribution(signed=False)), locale=locale)
    box = message_box("Pondrel", 30000)
    assert box_text(box) == question
    click(button_text(box, IDNO), "Pondrel")
    setup.finish()
    assert setup.marker() is None


def test_tampered_setup_file_asks_and_yes_runs_it():
    setup = Run(build(distribution(tamper=True)))
    box = message_box("Pondrel", 30000)
    assert box_text(box) == QUESTION_EN
    click(button_text(box, IDYES), "Pondrel")
    setup.finish()
    assert setup.marker() is not None


def test_setup_file_only_in_a_deep_subfolder_is_found():
    setup = Run(build(distribution(where="tools/x64")))
    setup.finish()
    assert setup.marker()[2].endswith("\\tools\\x64\\setup.exe")


def test_first_match_in_preorder_wins_and_the_top_folder_comes_first():
    dist = distribution(where="b")
    shutil.copytree(dist / "b", dist / "a")
    shutil.copyfile(dist / "b" / "setup.exe", dist / "setup.exe")
    setup = Run(build(dist))
    setup.finish()
    assert setup.marker()[2].endswith(".tmp\\setup.exe")


def test_folder_named_like_the_setup_file_counts_as_found():
    dist = distribution(where="later")
    (dist / "aaa" / "setup.exe").mkdir(parents=True)  # listed before "later"
    (dist / "aaa" / "setup.exe" / "inside.txt").write_text("a folder, not a program")
    setup = Run(build(dist))
    # A folder carries no signature: the question comes; after Yes nothing can start, and the
    # run ends quietly.
    box = message_box("Pondrel", 30000)
    click(button_text(box, IDYES), "Pondrel")
    setup.finish()
    assert setup.marker() is None
    assert not [w for w in windows() if w["title"] == "Error"]


def test_setup_file_name_that_is_nowhere_is_reported():
    program = build(distribution())
    # The builder refuses such a name, so the resource is rewritten after the build.
    wintest("update-resource-text", program, 10, 2, 0, "missing.exe")
    setup = Run(program)
    box = message_box("Error", 30000)
    assert box_text(box) == "setup file: missing.exe doesn't exist"
    click(button_text(box, IDOK), "Error")
    setup.finish()
    assert setup.marker() is None


def test_close_request_while_the_setup_file_runs_lets_it_finish_then_cleans_up():
    markers_release = scratch("release-") / "release"
    setup = Run(build(distribution(), "Hold.exe"), extra={"PONDREL_MARKER_HOLD": winpath(markers_release)})
    assert wait_for(lambda: setup.marker(), 30)
    # The window is hidden while the setup file runs; a close request still reaches it.
    close_window("Hold")
    assert setup.proc.poll() is None  # the setup file's files are in use: nothing is removed yet
    assert len(set(work_folders()) - setup.before) == 1
    markers_release.write_text("go")
    setup.finish()

