"""Distribution mode as a user meets it: a setup program built without a setup file finds the
distribution in the unpacked tree, checks its signatures and manufacturer, merges its launcher
settings, installs it through its own setup.exe or the installer service with the user's
language, copies the certificate into the installation and starts the installed launcher.
The packages are real ones, built with wixl and signed with the test certificate."""
import re
import shutil
import subprocess
import time

import pytest

from bench import (ProcessWatch, WorkFolderWatch, box_text, build_setup, button_text, click, close_window, finish,
                   finish_without_error_box, linux_path, message_box, prefix_environment, prefix_folder,
                   program_files, run, scratch, screenshot, sign, start, tool, wait_for, wait_gone, windows, winpath)
from distgen import msi_package
from test_setup_file import build as build_setup_file, distribution as setup_file_distribution

SERVICE_PRODUCT = "{6C1D2E3F-0A1B-4C5D-8E9F-A0B1C2D3E4F5}"  # installed by the tests through the stub
SETUP_PRODUCT = "{7D2E3F40-1B2C-4D5E-9FA0-B1C2D3E4F506}"  # installed beforehand for setup.exe runs
PERCENT_PRODUCT = "{8E3F4051-2C3D-4E6F-A0B1-C2D3E4F50617}"  # installed below a folder with "%" in its name
IDOK, IDYES, IDNO = 1, 6, 7
LAUNCHER_TITLE = "Tarnel Test Launcher"

def distribution(folder, product=SETUP_PRODUCT, vendor="KelmSetup", setup_exe=True, transforms=(), signed=True,
                 files=None, **package):
    """A client distribution in `folder`: a signed package of ours (with the test launcher as
    tarnel.exe), setup.ini naming its product code, the certificate, and the signed test setup
    program as setup.exe unless told otherwise. `transforms` are written as stand-in .mst files;
    `files` ({name: bytes}) are added as they are."""
    folder.mkdir(parents=True, exist_ok=True)
    package_file = msi_package(folder, product_code=product, vendor=vendor, launcher=tool("tarnel.exe"), **package)
    (folder / "setup.ini").write_text(f"[Startup]\nProductCode={product}\n")
    (folder / "cacertnx.pem").write_text("-----BEGIN CERTIFICATE-----\ntest\n-----END CERTIFICATE-----\n")
    if setup_exe:
        shutil.copyfile(tool("marker_setup.exe"), folder / "setup.exe")
    for name in transforms:
        (folder / name).write_bytes(b"a stand-in transform")
    for name, data in (files or {}).items():
        (folder / name).write_bytes(data)
    if signed:
        sign(package_file, *([folder / "setup.exe"] if setup_exe else []))
    return folder


def build(dist, name, system=None):
    """A distribution-mode setup program of `dist`. `system` makes Wine report that system to it
    ("vista": no signature checks; "winxp": XP, older than Vista)."""
    program = build_setup(dist, name, setup_file=None)
    if system:
        subprocess.run(["wine", "reg", "add", rf"HKCU\Software\Wine\AppDefaults\{name}", "/v", "Version", "/d", system,
                        "/f"], check=True, capture_output=True)
    return program


# The user's launcher file (Wine takes APPDATA from the user's profile, not from the caller).
USER_CONFIG = prefix_folder("APPDATA") / "Kelm" / "Tarnel" / "Tarnel.cfg"


class Run:
    """A started setup program with its own marker folder; `user_config` is the user's launcher
    file beforehand (bytes), None for a user without one. `trace` names Wine debug channels whose
    trace goes to the `log` file."""

    def __init__(self, program, locale=None, exit_code=0, launcher_life=3000, user_config=None, busy_launcher=False,
                 trace=None):
        self.markers = scratch("markers-")
        shutil.rmtree(USER_CONFIG.parent.parent, ignore_errors=True)
        if user_config is not None:
            USER_CONFIG.parent.mkdir(parents=True)
            USER_CONFIG.write_bytes(user_config)
        self.folders = WorkFolderWatch()
        env = {"PONDREL_MARKER_DIR": winpath(self.markers), "PONDREL_MARKER_EXIT": str(exit_code),
               "PONDREL_LAUNCHER_LIFE": str(launcher_life)}
        if busy_launcher:
            env["PONDREL_LAUNCHER_BUSY"] = "1"
        self.log = None
        if trace:
            env["WINEDEBUG"] = f"-all,trace+{trace}"
            self.log = self.markers / "wine.log"
        self.proc = start(program, locale=locale, env=env, capture=False, log=self.log)

    def lines(self, name):
        path = self.markers / name
        return path.read_text(encoding="utf-8").splitlines() if path.exists() else None

    def finish(self, timeout=120):
        result = finish_without_error_box(self.proc, timeout)
        assert result.code == 0, result
        self.folders.assert_removed()
        return result

    def error(self, timeout=60):
        """The error box that ends the run, answered: its text. The run then ends as it should."""
        box = message_box("Error", timeout * 1000)
        click(button_text(box, IDOK), "Error")
        assert finish(self.proc, timeout).code == 0
        self.folders.assert_removed()
        return box_text(box)



def msiexec(*args):
    subprocess.run(["wine", "msiexec", *args, "/qn"], check=True, capture_output=True, timeout=120)


def uninstall(product):
    # A launcher still running would keep its file in use.
    wait_gone(LAUNCHER_TITLE, 30000)
    msiexec("/x", product)


@pytest.fixture(scope="module")
def installed_product():
    """SETUP_PRODUCT installed beforehand, so that runs through a stand-in setup.exe have an
    installed location, a "bin" folder and a launcher for the steps after the installation."""
    package = msi_package(scratch("preinstall-"), product_code=SETUP_PRODUCT, vendor="KelmSetup",
                          launcher=tool("tarnel.exe"))
    msiexec("/i", winpath(package))
    yield program_files("KelmSetup", "2.4.1")
    uninstall(SETUP_PRODUCT)


# Where a package installs: (place, the Windows folder it lies below, the registry view of its
# uninstall key, whether the certificate goes through the elevated interpreter). The setup
# program's token is a limited one, as an administrator's is under account control.
PLACES = [
    ("x64", "ProgramW6432", "/reg:64", True),
    ("x86", "ProgramFiles(x86)", "/reg:32", True),
    ("root", "SystemDrive", "/reg:64", False),
]


@pytest.mark.parametrize("place,folder,view,elevated", PLACES, ids=[p[0] for p in PLACES])
def test_installs_through_the_installer_service_and_finishes_the_run(place, folder, view, elevated):
    dist = distribution(scratch("service-") / "dist", product=SERVICE_PRODUCT, vendor="KelmService", setup_exe=False,
                        place=place, files={"Tarnel.cfg": b"DefaultVersion=2.4.1\r\nNewKey=dist\r\n"})
    program = build(dist, f"ServiceSetup{place}.exe")
    interpreters = ProcessWatch("cmd.exe")
    setup = Run(program, launcher_life=8000, user_config=b"defaultversion=2.4.0\r\nCommonInfoBases=C:\\bases\r\n",
                trace="msi")
    try:
        # It ends while the launcher it started still runs.
        wait_for(lambda: setup.proc.poll() is not None, 120)
        launchers = [w for w in windows() if w["title"] == LAUNCHER_TITLE]
        screenshot(f"distribution-launcher-{place}.png")
        setup.finish()
        assert launchers, setup.lines("launcher.txt")
        vendor = prefix_environment()[folder.upper()].rstrip("\\") + "\\KelmService"
        location = linux_path(vendor + "\\2.4.1")
        assert (location / "bin" / "client.txt").read_text() == "KelmService 2.4.1\n"
        assert (location / "bin" / "cacertnx.pem").read_bytes() == (dist / "cacertnx.pem").read_bytes()
        # Below a Program Files folder the copy is made by the system's interpreter, started
        # elevated (for this 32-bit program, Windows runs the 32-bit one); elsewhere directly.
        system_interpreter = prefix_environment()["SYSTEMROOT"] + "\\SysWOW64\\cmd.exe"
        assert [p.lower() for p in interpreters.stop()] == ([system_interpreter.lower()] if elevated else [])
        registered = subprocess.run(["wine", "reg", "query", r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
                                     + "\\" + SERVICE_PRODUCT, "/v", "InstallLocation", view], capture_output=True,
                                    text=True)
        assert vendor + "\\2.4.1\\" in registered.stdout, registered
        # The user's spelling and place kept, the value replaced; the new key appended.
        assert USER_CONFIG.read_bytes() == b"defaultversion=2.4.1\r\nCommonInfoBases=C:\\bases\r\nNewKey=dist\r\n"
        command_line, _, own_path = setup.lines("launcher.txt")
        assert own_path == vendor + "\\common\\tarnel.exe"
        assert command_line.replace('"', "").strip().lower().endswith("tarnel.exe"), command_line  # no arguments
        # The service's own windows get no owner (a null pointer where the owner's would be):
        # the progress window may be closed while they are up.
        calls = re.findall(r"MsiSetInternalUI (\w+) (\w+)", setup.log.read_text(errors="replace"))
        assert calls == [("00000003", "00000000")], calls
    finally:
        interpreters.stop()
        uninstall(SERVICE_PRODUCT)


LANGUAGES = [
    # (locale, transforms in the distribution, system, properties)
    ("en_US.UTF-8", ["1033.mst", "1049.mst"], "vista", "LIMITUI=1 TRANSFORMS=1033.mst DEFLANGUAGE=auto"),
    ("ru_RU.UTF-8", ["1033.mst", "1049.mst"], "vista", "LIMITUI=1 TRANSFORMS=1049.mst DEFLANGUAGE=RU"),
    ("ka_GE.UTF-8", ["1033.mst", "1049.mst"], "vista", "LIMITUI=1 TRANSFORMS=1033.mst DEFLANGUAGE=KA"),
    ("kk_KZ.UTF-8", ["1033.mst", "1049.mst"], "vista", "LIMITUI=1 TRANSFORMS=1049.mst DEFLANGUAGE=KK"),
    ("ru_RU.UTF-8", ["1033.mst"], "vista", "LIMITUI=1  DEFLANGUAGE=RU"),
    # Older than Vista: the "_xp" package, and its own transform.
    ("ru_RU.UTF-8", ["1049.mst", "1049_xp.mst"], "winxp", "LIMITUI=1 TRANSFORMS=1049_xp.mst DEFLANGUAGE=RU"),
    ("ru_RU.UTF-8", ["1049.mst"], "winxp", "LIMITUI=1  DEFLANGUAGE=RU"),
]


@pytest.mark.parametrize("locale,transforms,system,properties", LANGUAGES,
                         ids=[f"{c[0][:5]}-{'+'.join(c[1])}-{c[2]}" for c in LANGUAGES])
def test_setup_exe_gets_the_users_language(locale, transforms, system, properties):
    dist = distribution(scratch("language-") / "dist", transforms=transforms)
    if system == "winxp":
        msi_package(dist, name="KelmQuorda_xp.msi", product_code=SETUP_PRODUCT, vendor="KelmSetup")
    name = f"Lang{len(properties)}{locale[:2]}{system}{len(transforms)}.exe"
    setup = Run(build(dist, name, system), locale=locale)
    setup.finish()
    command_line, current_folder, own_path = setup.lines("marker.txt")
    assert own_path.endswith(".tmp\\setup.exe"), own_path
    assert command_line == f'"{own_path}" {properties}'
    assert current_folder.rstrip("\\") == own_path.rsplit("\\", 1)[0]


AFTERWARDS = [
    # (case, setup.exe's exit code, the certificate is copied, the launcher starts)
    ("setup.exe ends with 0", 0, True, True),
    ("setup.exe ends with 1603", 1603, False, False),
    ("setup.exe asks for a restart", 3010, False, False),
    ("no certificate in the distribution", 0, False, True),
    ("the launcher never becomes ready", 0, True, True),
    ("no launcher where it should be", 0, True, False),
    ("closed while waiting for the launcher", 0, True, True),
    # Only a regular file is copied: the interpreter would copy a folder's files in its place.
    ("cacertnx.pem is a folder", 0, False, True),
    # The launcher's path is taken as it is: "%TEMP%" in it is no variable, and nothing but the
    # launcher shows.
    ("a % in the installed location", 0, False, True),
]


@pytest.mark.parametrize("case,code,copied,launched", AFTERWARDS, ids=[c[0] for c in AFTERWARDS])
def test_steps_after_the_installation(case, code, copied, launched, installed_product):
    location, product = installed_product, SETUP_PRODUCT
    if case == "a % in the installed location":
        product = PERCENT_PRODUCT
        package = msi_package(scratch("percent-"), product_code=product, vendor="Kelm 100%TEMP%",
                              launcher=tool("tarnel.exe"))
        msiexec("/i", winpath(package))
        location = program_files("Kelm 100%TEMP%", "2.4.1")
    certificate = location / "bin" / "cacertnx.pem"
    certificate.unlink(missing_ok=True)
    launcher = location.parent / "common" / "tarnel.exe"
    hidden = launcher.with_suffix(".hidden")
    if case == "no launcher where it should be":
        launcher.rename(hidden)
    dist = distribution(scratch("after-") / "dist", product=product)
    if case == "no certificate in the distribution":
        (dist / "cacertnx.pem").unlink()
    if case == "cacertnx.pem is a folder":
        (dist / "cacertnx.pem").unlink()
        (dist / "cacertnx.pem").mkdir()
        (dist / "cacertnx.pem" / "inside.pem").write_text("a file in a folder")
    busy = case in ("the launcher never becomes ready", "closed while waiting for the launcher")
    setup = Run(build(dist, f"After{AFTERWARDS.index((case, code, copied, launched))}.exe"), exit_code=code,
                busy_launcher=busy, launcher_life=60000 if busy else 3000)
    try:
        if case == "closed while waiting for the launcher":
            assert wait_for(lambda: setup.lines("launcher.txt"), 60)
            close_window(setup.proc.args[1].rsplit("/", 1)[1][:-4])
        # The run ends without waiting for the launcher to end, ready or not.
        wait_for(lambda: setup.proc.poll() is not None, 120)
        launcher_ended = setup.lines("launcher-ended.txt") is not None
        setup.finish(timeout=90)
        assert setup.lines("marker.txt"), "setup.exe did not run"
        assert certificate.exists() == copied, case
        assert {f.name for f in (location / "bin").iterdir()} <= {"client.txt", "cacertnx.pem"}
        assert (setup.lines("launcher.txt") is not None) == launched, case
        if launched:
            own_path = setup.lines("launcher.txt")[2]
            assert own_path.endswith(f"\\{location.parent.name}\\common\\tarnel.exe"), own_path
        if busy:
            assert not launcher_ended, "the setup program waited for the launcher to end"
    finally:
        if hidden.exists():
            hidden.rename(launcher)
        if busy:
            subprocess.run(["wine", "taskkill", "/F", "/IM", "tarnel.exe"], capture_output=True)
        if product != SETUP_PRODUCT:
            uninstall(product)


def rejected(folder, why):
    if why == "foreign manufacturer":
        return distribution(folder, manufacturer="Other Vendor")
    if why == "no ProductVersion row":
        return distribution(folder, product_version=False)
    # A package whose database cannot be opened.
    dist = distribution(folder)
    (dist / "KelmQuorda.msi").write_bytes(b"not an installer package")
    return dist


@pytest.mark.parametrize("why", ["foreign manufacturer", "no ProductVersion row", "database cannot be opened"])
def test_search_passes_over_rejected_folders(why):
    # The root first, then its subfolders last-listed first: "b" is looked at before "a".
    root = scratch("search-") / "dist"
    rejected(root / "b", why)
    distribution(root / "a" / "client")
    setup = Run(build(root, "Search" + why.split()[0].title() + ".exe", "vista"))
    setup.finish()
    command_line, current_folder, own_path = setup.lines("marker.txt")
    # Found in a subfolder, it runs there exactly as at the root.
    assert own_path.endswith(".tmp\\a\\client\\setup.exe"), own_path
    assert command_line.startswith(f'"{own_path}" LIMITUI=1 ')
    assert current_folder.rstrip("\\") == own_path.rsplit("\\", 1)[0]


def test_no_acceptable_folder_is_an_error():
    root = scratch("none-") / "dist"
    rejected(root / "only", "foreign manufacturer")
    setup = Run(build(root, "NoDistribution.exe", "vista"))
    assert setup.error() == "error occured while verifying distro!!!"
    assert setup.lines("marker.txt") is None


@pytest.mark.parametrize("answer", [IDYES, IDNO], ids=["yes", "no"])
def test_unsigned_cab_asks_and_the_answer_decides(answer, installed_product):
    # Windows 7 as Wine reports it: every executable part of the distribution is checked. "b" is
    # looked at first and rejected for its manufacturer, after its setup.ini named the product.
    root = scratch("cab-") / "dist"
    rejected(root / "b", "foreign manufacturer")
    distribution(root / "a", files={"a.cab": b"an unsigned cabinet", "b.cab": b"another one"})
    setup = Run(build(root, f"Cab{answer}.exe"))
    box = message_box("Pondrel", 60000)
    click(button_text(box, answer), "Pondrel")
    # One question only: a Yes stops the further checks, a No rejects the folder at once.
    wait_for(lambda: setup.proc.poll() is not None or any(w["title"] == "Pondrel" for w in windows()), 120)
    assert not any(w["title"] == "Pondrel" for w in windows()), "a second question"
    setup.finish()
    if answer == IDYES:
        assert setup.lines("marker.txt")[2].endswith("\\a\\setup.exe"), "setup.exe did not run after Yes"
    else:
        # Declined: nothing installed, and the run goes on with the steps after the installation,
        # which find the product that setup.ini named.
        assert setup.lines("marker.txt") is None
        assert setup.lines("launcher.txt"), "the launcher did not start after No"
    wait_gone(LAUNCHER_TITLE, 30000)


def marked_for(machine):
    """The test setup program marked as one for another processor."""
    data = bytearray(tool("marker_setup.exe").read_bytes())
    header = int.from_bytes(data[0x3C:0x40], "little")
    return bytes(data[:header + 4]) + machine.to_bytes(2, "little") + bytes(data[header + 6:])


UNSTARTABLE = {  # setup.exe as: its bytes, or None for a folder of that name
    "an empty file": b"", "a damaged program": tool("marker_setup.exe").read_bytes()[:3000],
    "a program for ARM64": marked_for(0xAA64), "a folder": None,
}


@pytest.mark.parametrize("what", UNSTARTABLE)
def test_setup_exe_that_cannot_start_is_an_error_and_nothing_follows(what, installed_product):
    certificate = installed_product / "bin" / "cacertnx.pem"
    certificate.unlink(missing_ok=True)
    dist = distribution(scratch("unstartable-") / "dist", setup_exe=False)
    if UNSTARTABLE[what] is None:
        (dist / "setup.exe").mkdir()
        (dist / "setup.exe" / "inside.txt").write_text("a folder, not a program")  # archived with it
    else:
        (dist / "setup.exe").write_bytes(UNSTARTABLE[what])
    setup = Run(build(dist, f"Unstartable{list(UNSTARTABLE).index(what)}.exe", "vista"))
    text = setup.error()
    assert text.startswith("can't start setup.exe: ") and len(text) > 24, text  # and the system's reason
    assert not certificate.exists() and setup.lines("launcher.txt") is None


@pytest.mark.parametrize("mode", ["distribution", "setup file"])
def test_close_while_the_question_is_up_ends_the_run_and_changes_nothing(mode):
    # Windows 7 as Wine reports it: the unsigned file brings the signature question.
    files = {"Tarnel.cfg": b"K=new\r\n", "a.cab": b"an unsigned cabinet"}
    program = (build(distribution(scratch("close-") / "dist", files=files), "CloseDistribution.exe")
               if mode == "distribution" else build_setup_file(setup_file_distribution(signed=False), "CloseSetupFile.exe"))
    setup = Run(program, user_config=b"K=old\r\n")
    message_box("Pondrel", 60000)
    close_window(program.stem)
    # The question goes with the window, and the run ends without waiting for an answer.
    assert wait_gone("Pondrel", 60000, "--class", "#32770")
    setup.finish(timeout=60)
    assert USER_CONFIG.read_bytes() == b"K=old\r\n" and setup.lines("marker.txt") is None


def test_close_during_the_search_ends_it_between_two_files():
    # Windows 7 as Wine reports it: each of the many signed programs beside the package is
    # checked, which takes far longer than the run may go on after a close.
    part = scratch("signed-") / "part.exe"
    shutil.copyfile(tool("marker_setup.exe"), part)
    sign(part)
    parts = {f"part{i:04d}.exe": part.read_bytes() for i in range(1000)}
    program = build(distribution(scratch("search-close-") / "dist", files=parts), "CloseSearch.exe")
    setup = Run(program, user_config=b"K=old\r\n")
    # Every file is there once the unpacking ends, and the search begins.
    assert wait_for(lambda: any(len(list(folder.glob("part*.exe"))) == len(parts) for folder in setup.folders.look()),
                    300, 0.2)
    close_window(program.stem)
    closed = time.monotonic()
    setup.finish(timeout=120)
    print(f"ended {time.monotonic() - closed:.2f} s after the close request")
    # The search of all 1,000 takes some 12 s.
    assert time.monotonic() - closed < 8
    assert USER_CONFIG.read_bytes() == b"K=old\r\n" and setup.lines("marker.txt") is None


# The file too large, and the end of the error text naming it.
TOO_LARGE = {"setup.ini": "setup.ini", "Tarnel.cfg": ".tmp\\Tarnel.cfg", "user": "\\Kelm\\Tarnel\\Tarnel.cfg"}


@pytest.mark.parametrize("which", TOO_LARGE)
def test_file_over_the_size_limit_is_reported_alike_in_every_build(which):
    # 16 MiB is the limit of the 32-bit and the 64-bit build alike. The user's file is far beyond
    # it: there the 32-bit build used to run out of memory, where the 64-bit one read on.
    lines = (300 if which == "user" else 16) * 2**20 // 53 + 1
    filler = b"".join(b"Key%07d=%s\r\n" % (i, b"v" * 40) for i in range(lines))
    dist = distribution(scratch("large-") / "dist", files={"Tarnel.cfg": b"K=new\r\n"})
    if which != "user":
        (dist / which).write_bytes((dist / which).read_bytes() + filler)
    user = b"K=old\r\n" + (filler if which == "user" else b"")
    setup = Run(build(dist, f"Large{list(TOO_LARGE).index(which)}.exe", "vista"), user_config=user)
    try:
        text = setup.error(timeout=120)
        assert text.startswith("file too large: ") and text.endswith(TOO_LARGE[which]), text
        assert setup.lines("marker.txt") is None and USER_CONFIG.read_bytes() == user
    finally:
        shutil.rmtree(USER_CONFIG.parent.parent)  # no later program of the prefix is to meet it
