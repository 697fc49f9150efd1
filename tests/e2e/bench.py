"""Helpers of the end-to-end tests: running the built Windows programs under the test bench's
Wine prefix, reading and answering their windows through the Windows-side helper, and mapping
paths between Linux and the Windows side. The bench (tests/bench/wine-env.sh) provides
WINEPREFIX and DISPLAY."""
import contextlib
import functools
import json
import os
import shutil
import subprocess
import tempfile
import threading
import time
from pathlib import Path

BUILD = Path(os.environ.get("PONDREL_BUILD_DIR", Path(__file__).resolve().parents[2] / "build" / "i686"))
SOURCE = Path(os.environ.get("PONDREL_SOURCE_DIR", Path(__file__).resolve().parents[2]))
PREFIX = Path(os.environ["WINEPREFIX"]) if "WINEPREFIX" in os.environ else None
ARTIFACTS = BUILD / "artifacts"

PONDREL = BUILD / "setup" / "Pondrel.exe"
# The builder for POSIX build machines, carrying the same setup program (scripts/build.sh linux).
NATIVE_MAKE = Path(os.environ.get("PONDREL_NATIVE_MAKE", SOURCE / "build" / "linux" / "make" / "pondrelmake"))
PONDREL_MAKE = BUILD / "make" / "PondrelMake.exe"
TOOLS = BUILD / "tests"
WINTEST = TOOLS / "wintest.exe"


def tool(name):
    return TOOLS / name


def winpath(path):
    """The Windows name of a Linux path (Wine maps / to Z:)."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


@functools.lru_cache(maxsize=None)
def prefix_environment():
    """The environment a program of the prefix sees (names upper-cased), as the prefix itself
    sets it: where its user's folders and the Program Files folders are differs between Wine
    versions, so it is asked, never assumed."""
    result = run("cmd", "/c", "set")
    assert result.code == 0, result
    return {name.upper(): value for name, _, value in (line.partition("=") for line in result.out.splitlines()) if value}


def linux_path(windows_path):
    """The Linux path behind a path on the prefix's drive C:."""
    drive, _, rest = windows_path.partition(":")
    assert drive.upper() == "C", windows_path
    return PREFIX / "drive_c" / rest.strip("\\").replace("\\", "/")


def prefix_folder(variable):
    """The Linux folder behind one of the prefix's folder variables (TEMP, APPDATA,
    USERPROFILE, PROGRAMFILES(X86), PROGRAMW6432, ...); it must exist."""
    folder = linux_path(prefix_environment()[variable.upper()])
    assert folder.is_dir(), f"{variable} names {folder}, which does not exist"
    return folder


def user_temp():
    """The Linux folder behind the user's temporary folder in the prefix."""
    return prefix_folder("TEMP")


def program_files(*parts, bits=64):
    """A path below the prefix's 64-bit or 32-bit Program Files folder."""
    return prefix_folder("ProgramW6432" if bits == 64 else "ProgramFiles(x86)").joinpath(*parts)


def work_folders(ending=".tmp"):
    """The setup program's working folders now in the user's temporary folder (".tmp.pondrel":
    the marks beside them)."""
    return sorted(p for p in user_temp().iterdir() if p.name.lower().startswith("kel") and p.name.lower().endswith(ending))


class WorkFolderWatch:
    """Watches the user's temporary folder while a setup program runs: which working folders
    appeared (`seen`), so that a check that none is left behind has first seen them exist."""

    def __init__(self):
        self.before = set(work_folders())
        self.marks_before = set(work_folders(".tmp.pondrel"))
        self.seen = set()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, daemon=True)
        self._thread.start()

    def _watch(self):
        while not self._stop.is_set():
            self.look()
            self._stop.wait(0.01)

    def look(self):
        """The working folders made since the watch began that are there now."""
        now = set(work_folders()) - self.before
        self.seen |= now
        return now

    def assert_removed(self, expect_seen=True):
        """Stops watching and checks that every working folder made meanwhile is gone, after
        having seen at least one exist (unless the run is not to make any)."""
        self._stop.set()
        self._thread.join()
        left = self.look()
        if expect_seen:
            assert self.seen, "no working folder was ever seen: the check would prove nothing"
        else:
            assert not self.seen, f"working folders were made: {self.seen}"
        assert not left, f"the working folders stayed behind: {left}"
        marks = set(work_folders(".tmp.pondrel")) - self.marks_before
        assert not marks, f"the working folders' marks stayed behind: {marks}"


def scratch(prefix="pondrel-e2e-"):
    """A fresh Linux folder under the bench (visible to Windows as Z:...)."""
    base = Path(os.environ.get("PONDREL_BENCH_DIR", tempfile.gettempdir()))
    return Path(tempfile.mkdtemp(prefix=prefix, dir=base))


@functools.cache
def test_certificates():
    """The folder of the test publisher's certificate chain, which the first sign() makes."""
    return scratch("certs-")


def sign(*files):
    """Signs the files in place with the test publisher's certificate (tests/bench/sign.sh)."""
    subprocess.run(["bash", str(SOURCE / "tests" / "bench" / "sign.sh"), str(test_certificates()), *map(str, files)],
                   check=True, stdout=subprocess.DEVNULL)


def build_setup(dist, name="Setup.exe", setup_file="setup.exe", archive=None):
    """A setup program that the shipped builder makes of the folder `dist` (or of the ZIP file
    `archive`), in a fresh folder: one that runs `setup_file`, or a distribution-mode one when
    that is None."""
    out = scratch("out-")
    source = ["-f", winpath(archive)] if archive else ["-d", winpath(dist)]
    args = source + ["-o", winpath(out), "-c", name] + (["-s", setup_file] if setup_file else [])
    result = run(PONDREL_MAKE, *args, timeout=900)
    assert result.code == 0, result
    return out / name


def wine_env(extra=None, locale=None):
    env = dict(os.environ)
    if locale:
        env["LC_ALL"] = locale
    if extra:
        env.update(extra)
    return env


class Result:
    def __init__(self, code, stdout, stderr):
        self.code = code
        self.stdout = stdout
        self.stderr = stderr

    @property
    def out(self):
        return self.stdout.decode("utf-8", "replace").replace("\r\n", "\n")

    @property
    def err(self):
        return self.stderr.decode("utf-8", "replace").replace("\r\n", "\n")

    def __repr__(self):
        return f"Result(code={self.code}, out={self.out!r}, err={self.err!r})"


def run(exe, *args, cwd=None, env=None, locale=None, timeout=300):
    """Runs a Windows program to its end. The shell sees only the low 8 bits of the exit code."""
    proc = subprocess.run(["wine", str(exe), *map(str, args)], cwd=cwd, env=wine_env(env, locale),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, timeout=timeout)
    return Result(proc.returncode, proc.stdout, proc.stderr)


def run_native(exe, *args, cwd=None, env=None, locale=None, timeout=300, confined=False):
    """Runs a Linux program to its end, with the same environment as a Windows one. `confined`
    takes from it the administrator's right to pass by file permissions, as an ordinary user
    has none."""
    confine = ["setpriv", "--bounding-set=-dac_override,-dac_read_search"] if confined else []
    proc = subprocess.run([*confine, str(exe), *map(str, args)], cwd=cwd, env=wine_env(env, locale), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, timeout=timeout)
    return Result(proc.returncode, proc.stdout, proc.stderr)


def start(exe, *args, cwd=None, env=None, locale=None, capture=True, log=None):
    """Starts a Windows program and returns at once. Without `capture` its output is dropped, so
    that programs it starts and that outlive it (holding the output open) are not waited for;
    given a `log` file, it goes there instead."""
    output = subprocess.PIPE if capture else subprocess.DEVNULL
    with open(log, "wb") if log else contextlib.nullcontext(output) as output:
        return subprocess.Popen(["wine", str(exe), *map(str, args)], cwd=cwd, env=wine_env(env, locale),
                                stdout=output, stderr=output, stdin=subprocess.DEVNULL)


def wintest(*args, check=True, timeout=60):
    result = run(WINTEST, *args, timeout=timeout)
    if check and result.code != 0:
        raise AssertionError(f"wintest {' '.join(map(str, args))} failed: {result}")
    return result


def windows():
    return [json.loads(line) for line in wintest("list").out.splitlines() if line.strip()]


def wait_window(title, timeout_ms=30000, *options):
    result = wintest("wait-window", title, timeout_ms, *options, check=False, timeout=timeout_ms / 1000 + 30)
    if result.code != 0:
        raise AssertionError(f"no window {title!r} within {timeout_ms} ms; windows now: {windows()}")
    return json.loads(result.out.splitlines()[0])


def wait_gone(title, timeout_ms=30000, *options):
    return wintest("wait-gone", title, timeout_ms, *options, check=False,
                   timeout=timeout_ms / 1000 + 30).code == 0


def message_box(caption, timeout_ms=30000):
    """Waits for a message box with that caption; returns its JSON description."""
    return wait_window(caption, timeout_ms, "--class", "#32770")


def box_text(box):
    """The message text of a message box description (its Static child that has text)."""
    texts = [c["text"] for c in box["children"] if c["class"].lower() == "static" and c["text"]]
    return texts[-1] if texts else ""


def click(button, caption=None, attempts=5):
    """Clicks a button of a dialog and waits for the dialog to go. A click that reaches a box
    before it is ready for input is lost, so it is repeated while the same dialog stays."""
    args = ["click", button] + ([caption] if caption else []) + ["--timeout", "10000"]
    for _ in range(attempts):
        dialog = json.loads(wintest(*args).out.splitlines()[0])["dialog"]
        if wait_gone("", 5000, "--any", "--hwnd", dialog):
            return dialog
    raise AssertionError(f"dialog {caption!r} did not close after clicking {button!r}")


def close_window(title):
    return wintest("close", title)


def window_text(title, control_id=None):
    args = ["text", title] + ([str(control_id)] if control_id is not None else [])
    return wintest(*args).out.rstrip("\n")


def send(title, message, wparam, lparam):
    return wintest("send", title, message, wparam, lparam)


def screenshot(name):
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    target = ARTIFACTS / name
    subprocess.run(["import", "-window", "root", str(target)], check=False,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
    return target


def wait_for(predicate, timeout=30.0, interval=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    return predicate()


def finish(proc, timeout=60):
    """Waits for a started program; returns a Result. A program still running at the timeout is
    killed, so that it cannot disturb the tests after it, and the timeout is raised."""
    try:
        stdout, stderr = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        raise
    return Result(proc.returncode, stdout, stderr)


def error_box():
    """The "Error" box of a setup program, if one shows."""
    return next((w for w in windows() if w["title"] == "Error"), None)


def finish_without_error_box(proc, timeout=120):
    """Waits for a started setup program to end by itself. An "Error" box, which would hold it,
    is answered and fails the test with its text."""
    deadline = time.monotonic() + timeout
    while proc.poll() is None and time.monotonic() < deadline:
        box = error_box()
        if box:
            click("OK", "Error")
            finish(proc, 30)
            raise AssertionError(f"the setup program showed an error box: {box_text(box)!r}")
        time.sleep(0.3)
    return finish(proc, 30)


def button_text(box, control_id):
    """The text of a message box's button by its id (1 OK, 6 Yes, 7 No): it depends on the
    user's language."""
    for child in box["children"]:
        if child["class"].lower() == "button" and child["id"] == control_id:
            return child["text"].replace("&", "")
    raise AssertionError(f"no button {control_id} in {box}")


def copy_program(source, folder, name):
    target = Path(folder) / name
    shutil.copyfile(source, target)
    return target


@contextlib.contextmanager
def held_open(path, timeout=120, shared=False):
    """Keeps a file open without sharing, in a Windows process of the prefix, for the length of
    the block: no other program can open it meanwhile. `shared`: open for reading and writing,
    sharing both but not deletion, as a program holds it through the C runtime."""
    release = scratch("release-") / "release"
    proc = start(WINTEST, "hold", winpath(path), winpath(release), "--timeout", timeout * 1000,
                 *(["--shared"] if shared else []))
    try:
        line = proc.stdout.readline()
        if line.strip() != b"held":
            raise AssertionError(f"wintest could not hold {path}: {line!r}")
        yield
    finally:
        release.touch()
        result = finish(proc, timeout=timeout)
    assert result.code == 0, result


class ProcessWatch:
    """Records the image path of every process of one file name that starts while it watches
    (through the Windows-side helper, which looks many times a second)."""

    def __init__(self, exe_name, timeout=300):
        self._release = scratch("release-") / "release"
        self._proc = start(WINTEST, "watch-processes", exe_name, winpath(self._release), "--timeout", timeout * 1000)
        self._seen = None
        line = self._proc.stdout.readline()
        if line.strip() != b"watching":
            raise AssertionError(f"wintest could not watch for {exe_name}: {line!r}")

    def stop(self):
        """Ends the watch (once) and returns the paths seen, in the order the processes started."""
        if self._seen is None:
            self._release.touch()
            result = finish(self._proc, 60)
            assert result.code == 0, result
            self._seen = [line for line in result.out.splitlines() if line]
        return self._seen


@contextlib.contextmanager
def user_temp_in(name):
    """The user's temporary folder set to its sub-folder `name` for the block (new processes of the
    prefix read it from the registry); yields that folder."""
    utf8 = dict(os.environ, LC_ALL="C.UTF-8")
    query = subprocess.run(["wine", "reg", "query", r"HKCU\Environment"], check=True, capture_output=True, text=True,
                           env=utf8).stdout
    saved = [line.split(None, 2) for line in query.splitlines() if line.split()[:1] in (["TEMP"], ["TMP"])]
    folder = user_temp() / name
    folder.mkdir(exist_ok=True)

    def put(variable, kind, value):
        subprocess.run(["wine", "reg", "add", r"HKCU\Environment", "/v", variable, "/t", kind, "/d", value, "/f"],
                       check=True, capture_output=True, env=utf8)

    for variable, kind, value in saved:
        put(variable, kind, value + "\\" + name)
    try:
        yield folder
    finally:
        for variable, kind, value in saved:
            put(variable, kind, value)


@contextlib.contextmanager
def small_disk(folder, size):
    """A file system of `size` ("128k") mounted on `folder` for the block; skips the test where
    none can be mounted."""
    import pytest
    Path(folder).mkdir(parents=True, exist_ok=True)
    if subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(folder)]).returncode != 0:
        pytest.skip("cannot mount a small file system here")
    try:
        yield Path(folder)
    finally:
        subprocess.run(["umount", str(folder)], check=True)
