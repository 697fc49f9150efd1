"""The builder as a user drives it: PondrelMake.exe under Wine, and the native Linux builder,
turn a folder or a ZIP archive into a setup program, and the result is read back from Linux
(pefile, unzip, 7z) and from Windows (wintest resources), and run. Every test runs with both
builders unless it is about Windows alone."""
import contextlib
import hashlib
import io
import json
import os
import random
import re
import shutil
import subprocess
import threading
import zipfile
from pathlib import Path

import pefile
import pytest

from bench import (box_text, click, error_box, finish, finish_without_error_box, held_open, NATIVE_MAKE, PONDREL,
                   PONDREL_MAKE, PREFIX, run, run_native, scratch, small_disk, sign, SOURCE, start, tool, user_temp, user_temp_in, wait_for, winpath,
                   wintest, WorkFolderWatch)
from distgen import generate, tree_hashes

USAGE = ("Usage:  [/d <str>] [/s <str>] [/f <str>] [/o <str>] [/c <str>] [--code-page <str>] [/h]\n"
         "/d, --input-directory=<str>   \tinput directory\n"
         "/s, --input-setup-file=<str>  \tinput setup file\n"
         "/f, --input-archive-file=<str>\tinput zip archive file\n"
         "/o, --output-directory=<str>  \toutput directory, default: current directory\n"
         "/c, --output-setup-file=<str> \toutput setup file name, default: Pondrel.exe\n"
         "  --code-page=<str>           \tcode page of the setup file name, default: the system's ANSI code page"
         " (1252 outside Windows)\n"
         "/h, --help                    \tUsage\n")

ARCHIVING, CREATING, SUCCEEDED = "Archiving...\n", "Creating sfx archive...\n", "Succesfully created sfx\n"
RUSSIAN_PROGRESS = "Архивация...\nСоздание sfx архива...\nSfx архив успешно создан\n"
# The end record of a ZIP archive without entries.
EMPTY_ZIP = b"PK\x05\x06" + bytes(18)
RT_RCDATA = 10
CHANGED_STRINGS = ("OriginalFilename", "FileDescription", "ProductName")
EN, RU = "en_US.UTF-8", "ru_RU.UTF-8"


# ---------------------------------------------------------------------------------------------
# Helpers


# Which builder the tests of this module run: "windows" (PondrelMake.exe under Wine) or "native",
# and the native one's temporary folder (TMPDIR).
BUILDER = "windows"
NATIVE_TEMP = None


@pytest.fixture(scope="module", autouse=True, params=["windows", "native"])
def builder(request):
    global BUILDER, NATIVE_TEMP
    BUILDER, NATIVE_TEMP = request.param, scratch("pondrel-native-temp-")
    yield request.param
    BUILDER = "windows"


def windows_builder_only():
    if BUILDER != "windows":
        pytest.skip("about the Windows builder alone")


def run_make(args, cwd, locale=None, timeout=120, env=None, confined=False):
    """Runs the builder with these arguments in `cwd`; the Result's out/err have "\n" line ends.
    The native builder gets the paths with "/" for "\"."""
    if BUILDER == "native":
        args = [str(arg).replace("\\", "/") for arg in args]
        env = dict(env or {}, TMPDIR=str(NATIVE_TEMP))
        return run_native(NATIVE_MAKE, *args, cwd=cwd, env=env, locale=locale, timeout=timeout, confined=confined)
    return run(PONDREL_MAKE, *args, cwd=cwd, env=env, locale=locale, timeout=timeout)


def make_path(path):
    """A path as the builder takes it: its Windows name, or the Linux path for the native one."""
    return winpath(path) if BUILDER == "windows" else str(Path(path).resolve())


def shown(text):
    """A message as the builder words it: paths with "/" from the native one."""
    return text if BUILDER == "windows" else text.replace("\\", "/")


def output_encoding(code_page):
    """What the builder writes on its streams: the code page on Windows, UTF-8 elsewhere."""
    return code_page if BUILDER == "windows" else "utf-8"


def decoded(data, encoding):
    return data.replace(b"\r\n", b"\n").decode(encoding)


def read_layout(path):
    """What a setup program file holds, read with pefile: its size, where its image ends (headers
    and every section's raw data), where the last resource's data ends, the RCDATA resources as
    {id: (language, bytes)} and the strings of the version block."""
    data = Path(path).read_bytes()
    pe = pefile.PE(data=data)
    image_end = max([pe.OPTIONAL_HEADER.SizeOfHeaders] +
                    [s.PointerToRawData + s.SizeOfRawData for s in pe.sections])
    rcdata, resource_end = {}, 0
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            for language in name.directory.entries:
                entry = language.data.struct
                offset = pe.get_offset_from_rva(entry.OffsetToData)
                resource_end = max(resource_end, offset + entry.Size)
                if kind.id == RT_RCDATA:
                    assert name.id not in rcdata, f"RCDATA {name.id} in two languages in {path}"
                    rcdata[name.id] = (language.id, data[offset:offset + entry.Size])
    strings = {}
    for info in getattr(pe, "FileInfo", []):
        for block in info:
            for table in getattr(block, "StringTable", []):
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    pe.close()
    return {"size": len(data), "image_end": image_end, "resource_end": resource_end, "rcdata": rcdata,
            "strings": strings}


def archive_of(path):
    """The archive offset A that RCDATA 1 names, and the bytes from A to the end of the file,
    after checking the layout: RCDATA 1 is plain ASCII digits in the neutral language, and the
    archive starts where the image with all its resources ends."""
    layout = read_layout(path)
    assert 1 in layout["rcdata"], f"{path} has no archive offset resource"
    language, digits = layout["rcdata"][1]
    assert language == 0 and digits.isdigit() and digits[:1] != b"0", digits
    offset = int(digits)
    assert layout["resource_end"] <= layout["image_end"] == offset, (layout["image_end"], offset)
    return offset, Path(path).read_bytes()[offset:]


def assert_archive_runs_to_end(archive):
    """The cut-out bytes are one whole ZIP archive: it starts with a local header (or is the empty
    archive), and its end record is the last 22 bytes, with the central directory right before
    it, so every offset inside counts from the archive offset."""
    assert archive[-22:-18] == b"PK\x05\x06", archive[-22:]
    directory_size = int.from_bytes(archive[-10:-6], "little")
    directory_offset = int.from_bytes(archive[-6:-2], "little")
    assert directory_offset + directory_size == len(archive) - 22
    assert archive == EMPTY_ZIP or archive[:4] == b"PK\x03\x04"


def cut_archive(program, folder):
    """Writes the archive of a setup program to a file of its own and checks it with Info-ZIP."""
    _, archive = archive_of(program)
    assert_archive_runs_to_end(archive)
    target = Path(folder) / (Path(program).stem + ".zip")
    target.write_bytes(archive)
    test = subprocess.run(["unzip", "-t", str(target)], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    assert test.returncode == 0, test.stdout.decode(errors="replace")
    return target


def entries_7z(archive):
    """(name, is folder, CRC) of every entry, as 7-Zip lists them."""
    listing = subprocess.run(["7z", "l", "-slt", str(archive)], stdout=subprocess.PIPE, check=True,
                             env=dict(os.environ, LC_ALL="C.UTF-8")).stdout.decode()
    entries = []
    for block in listing.split("----------\n", 1)[1].split("\n\n"):
        fields = dict(line.split(" = ", 1) for line in block.splitlines() if " = " in line)
        if "Path" in fields:
            entries.append((fields["Path"], fields["Folder"] == "+", fields.get("CRC", "")))
    return entries


def extracted_7z(archive, folder):
    """Extracts with 7-Zip and returns {entry name: sha256}. 7-Zip keeps a backslash in a name as
    part of the file name on Linux; either way the key is the backslash-joined path."""
    subprocess.run(["7z", "x", "-y", f"-o{folder}", str(archive)], stdout=subprocess.DEVNULL, check=True,
                   env=dict(os.environ, LC_ALL="C.UTF-8"))
    return {"\\".join(p.relative_to(folder).parts): sha256(p.read_bytes())
            for p in Path(folder).rglob("*") if p.is_file()}


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def make_tree(root, files, folders=()):
    """Creates files {relative path with "/": bytes} and empty folders below root; returns the
    expected archive {backslash-joined name: sha256}."""
    for folder in folders:
        (root / folder).mkdir(parents=True, exist_ok=True)
    for name, data in files.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(data)
    return {name.replace("/", "\\"): sha256(data) for name, data in files.items()}


def temp_listing():
    """What the user's temporary folder holds: a build leaves nothing there, complete or not."""
    return set((user_temp() if BUILDER == "windows" else NATIVE_TEMP).iterdir())


def windows_view(program):
    """RCDATA 1 and 2 (hex) and the version block as Windows reads them (wintest resources)."""
    view = json.loads(wintest("resources", winpath(program)).out)
    for key in ("rcdata1", "rcdata2"):
        if view[key] is not None:
            view[key] = view[key].lower()
    return view


def stub_strings():
    return read_layout(PONDREL)["strings"]


def run_setup_program(program, locale=None, marker=None, while_running=None, timeout=120):
    """Runs a built setup program to its end. It must end by itself with status 0; an "Error" box
    (which would block it) fails the test with the box's text. With `marker`, a folder, the test
    setup program writes marker.txt there; returns its lines (command line, folder, own path).
    `while_running(lines)` is called while the test setup program waits, its files unpacked."""
    env = {"PONDREL_MARKER_DIR": winpath(marker)} if marker else {}
    release = Path(marker) / "release" if marker else None
    if while_running:
        # The test setup program waits until this file exists.
        env["PONDREL_MARKER_HOLD"] = winpath(release)
    marker_file = Path(marker) / "marker.txt" if marker else None
    proc = start(program, cwd=Path(program).parent, env=env, locale=locale)
    if while_running:
        try:
            wait_for(lambda: marker_file.exists() or proc.poll() is not None or error_box(), timeout, 0.3)
            if marker_file.exists():
                while_running(marker_file.read_text(encoding="utf-8").splitlines())
        except BaseException:
            release.touch()
            finish(proc, timeout=30)
            raise
        release.touch()
    result = finish_without_error_box(proc, timeout)
    assert result.code == 0, result
    if marker:
        assert marker_file.exists(), f"{program.name} did not run its setup file"
        return marker_file.read_text(encoding="utf-8").splitlines()
    return None


def unpacked_files(working_folder):
    """{backslash-joined name: sha256} of what a setup program unpacked, its archive copy aside."""
    return {"\\".join(p.relative_to(working_folder).parts): sha256(p.read_bytes())
            for p in working_folder.rglob("*") if p.is_file() and p.relative_to(working_folder) != Path("tmp.zip")}


@pytest.fixture
def work():
    """A fresh folder in the bench (visible to Windows as Z:...), removed with the bench."""
    return scratch()


@pytest.fixture(scope="module")
def signed_marker():
    """The test setup program, signed so that no signature question appears."""
    folder = scratch()
    target = folder / "marker_setup.exe"
    shutil.copyfile(tool("marker_setup.exe"), target)
    sign(target)
    return target.read_bytes()


@pytest.fixture(scope="module")
def big_build(signed_marker):
    """A distribution with nested files, empty folders, an empty file, a 20 MB file and a
    Latin-1 name, built twice: without a setup file, and with bin\\setup.exe."""
    base = scratch()
    files = {
        "readme.txt": b"Kelm client\r\n",
        "empty.txt": b"",
        "café.txt": "crème brûlée".encode(),
        "bin/setup.exe": signed_marker,
        "data/nested/deep/values.bin": os.urandom(4099),
        "data/big.bin": os.urandom(20 * 1024 * 1024),
    }
    expected = make_tree(base / "dist", files, folders=["empty", "data/hollow/inner"])
    builds = {}
    for name, extra in (("Plain.exe", []), ("Client Setup.exe", ["-s", "setup.exe"])):
        result = run_make(["-d", "dist", "-c", name] + extra, base)
        assert (result.code, result.out, result.err) == (0, ARCHIVING + CREATING + SUCCEEDED, ""), (name, result)
        builds[name] = base / name
    return {"base": base, "expected": expected, "plain": builds["Plain.exe"], "setup": builds["Client Setup.exe"]}


# ---------------------------------------------------------------------------------------------
# The command line: usage text and the checks before a build


# Without an input left after parsing (a bad argument stops the parse) only the usage is shown.
USAGE_RUNS = [[], ["-h"], ["/d", "dist", "-h"], ["--help", "-f", "a.zip"], ["--bogus", "-d", "dist"],
              ["-o", "missing", "-c", "x.exe"], ["--input-directory", "dist"], ["-d="], ["-hx", "-d", "dist"],
              ["dist"], ["--", "-d", "dist"], ["-d"]]


@pytest.mark.parametrize("args", USAGE_RUNS, ids=repr)
def test_usage_text_is_printed_and_nothing_is_built(args, work):
    make_tree(work, {"dist/a.txt": b"a", "a.zip": EMPTY_ZIP})
    before = sorted(work.rglob("*"))
    result = run_make(args, work)
    assert result.stdout.replace(b"\r\n", b"\n") == USAGE.encode(), f"PondrelMake {args}: {result}"
    assert (result.code, result.err) == (0, ""), f"PondrelMake {args}: {result}"
    assert sorted(work.rglob("*")) == before, f"PondrelMake {args} created files"


SPELLINGS = [
    # (arguments, where the output lands)
    (["-ddist"], "Pondrel.exe"),
    (["-D:dist", "-c=Other.exe"], "Other.exe"),
    (["--INPUT-DIRECTORY=dist", "--Output-Setup-File=Long.exe"], "Long.exe"),
    # Recorded before the bad argument that stops the parse.
    (["-d", "dist", "-hx"], "Pondrel.exe"),
    # Spaces, and a quoted folder that ends in a backslash.
    (["/d", "my dist", "/o", "out dir\\", "/c", "my setup.exe"], "out dir/my setup.exe"),
]


@pytest.mark.parametrize("args,where", SPELLINGS, ids=[" ".join(c[0]) for c in SPELLINGS])
def test_option_spellings_build(args, where, work):
    make_tree(work, {"dist/a.txt": b"a", "my dist/a.txt": b"a"}, folders=["out dir"])
    result = run_make(args, work)
    assert (result.code, result.out, result.err) == (0, ARCHIVING + CREATING + SUCCEEDED, ""), f"{args}: {result}"
    with zipfile.ZipFile(cut_archive(work / where, work)) as archive:
        assert archive.namelist() == ["a.txt"], args


CHECKS = [
    # (arguments, stdout, stderr) of runs that end with status 1
    (["-o", "missing", "-d", "dist"], "", "Cannot find the output folder\n"),
    # The output name is refused before the inputs are looked at (both are missing here).
    (["-c", "setup.msi", "-d", "missing", "-f", "missing.zip"], "",
     "Client setup file name is not the exe file!\nsetup.msi must be an executable\n"),
    (["-c", "setup", "-d", "dist"], "", "Client setup file name is not the exe file!\nsetup must be an executable\n"),
    (["-f", "missing.zip"], "", "Cannot find the input file\n"),
    (["-f", "missing.txt"], "", "Cannot find the input file\n"),
    (["-f", "archive.zip.bak"], "", "File archive.zip.bak is not a zip archive\n"),
    (["-d", "plain.txt"], "", "Cannot find the input folder\n"),
    (["-d", "missing"], "", "Cannot find the input folder\n"),
    (["-f", "fake.zip", "-s", "setup.exe", "-c", "fake.exe"], CREATING, "Can't open zip: fake.zip\n"),
    # A name the system's code page cannot hold would name a file no setup program finds.
    (["-s", "устан.exe", "-d", "dist"], "", "Setup file name ?????.exe cannot be written in code page 1252\n"),
]


@pytest.mark.parametrize("args,out,err", CHECKS, ids=[" ".join(c[0]) for c in CHECKS])
def test_refused_runs_report_one_reason(args, out, err, work):
    make_tree(work, {"dist/bin/setup.exe": b"MZ", "plain.txt": b"plain", "fake.zip": b"not a zip archive"})
    with zipfile.ZipFile(work / "archive.zip.bak", "w") as archive:
        archive.writestr("setup.exe", b"MZ")
    result = run_make(args, work)
    # The native builder's messages are UTF-8, so a name outside the code page shows as it is.
    err = err if BUILDER == "windows" else err.replace("?????", "устан")
    assert (result.code, result.out, result.err) == (1, out, err), f"PondrelMake {args}: {result}"
    assert not list(work.glob("*.exe")), f"PondrelMake {args} wrote a program"


def snapshot(root):
    """{relative path: bytes, or None for a folder} of everything below root."""
    return {p.relative_to(root): (p.read_bytes() if p.is_file() else None) for p in root.rglob("*")}


REASON = "<the system's reason>"
FAILED_BUILDS = [
    # (arguments, file held open without sharing during the run, stdout, the one error line);
    # "{work}" is the Windows path of the folder the builder runs in.
    (["-d", "dist"], "dist/sub/locked.txt", ARCHIVING, "Can't add file to zip: dist\\sub\\locked.txt"),
    (["-d", "dist", "-o", "plain.txt"], None, ARCHIVING + CREATING,
     f"Can't create {{work}}\\plain.txt\\Pondrel.exe: {REASON}"),
    (["-d", "dist", "-c", "missing\\x.exe"], None, ARCHIVING + CREATING,
     f"Can't create {{work}}\\missing\\x.exe: {REASON}"),
    # A name with a drive is no file name below the output folder.
    (["-d", "dist", "-c", "{work}\\abs.exe"], None, "",
     "Client setup file name is not a plain file name: {work}\\abs.exe"),
    (["-d", "dist", "-c", "L" * 296 + ".exe"], None, ARCHIVING + CREATING,
     f"Can't create {{work}}\\{'L' * 296}.exe: {REASON}"),
    # The older output is in use: it stays as it is.
    (["-d", "dist"], "Pondrel.exe", ARCHIVING + CREATING, f"Can't create {{work}}\\Pondrel.exe: {REASON}"),
    (["-d", "dist", "-s", "missing.exe"], None, ARCHIVING + CREATING,
     "Error creating exe file: setup file doesn't exist!!!"),
    # A ".zip" name is not enough: the archive must open.
    (["-f", "fake.zip"], None, CREATING, "Can't open zip: fake.zip"),
]


@pytest.mark.parametrize("args,held,out,err", FAILED_BUILDS,
                         ids=[" ".join(c[0])[:40] + (f" holding {c[1]}" if c[1] else "") for c in FAILED_BUILDS])
def test_failed_builds_say_why_and_leave_nothing(args, held, out, err, work):
    make_tree(work, {"dist/readme.txt": b"readme", "dist/sub/locked.txt": b"locked", "plain.txt": b"plain",
                     "fake.zip": b"not a zip archive", "Pondrel.exe": b"an older build"})
    if held:
        windows_builder_only()  # no file is held against other programs on Linux
    before, temp_before = snapshot(work), temp_listing()
    args = [arg.replace("{work}", make_path(work)) for arg in args]
    with held_open(work / held) if held else contextlib.nullcontext():
        result = run_make(args, work)
    line = re.escape(shown(err).replace("{work}", make_path(work))).replace(re.escape(REASON), r"\S[^\n]*")
    assert result.code == 1 and result.out == out and re.fullmatch(line + "\n", result.err), \
        f"PondrelMake {args}: {result}"
    assert snapshot(work) == before, f"PondrelMake {args} left or changed files"
    assert temp_listing() == temp_before, f"PondrelMake {args} left temporary files"


USER_ARCHIVES = [
    # (arguments, file given with -f)
    (["-f", "user.zip"], "user.zip"),
    (["-f", "user.ZIP"], "user.ZIP"),
    (["-f", "user.zip", "-d", "dist"], "user.zip"),
    (["-d", "dist", "--input-archive-file=user.zip", "-s", "setup.exe"], "user.zip"),
]


@pytest.mark.parametrize("args,given", USER_ARCHIVES, ids=[" ".join(c[0]) for c in USER_ARCHIVES])
def test_user_archive_is_appended_as_is_and_kept(args, given, work):
    make_tree(work, {"dist/other.txt": b"not in the archive", "fake.zip": b"not a zip archive"})
    with zipfile.ZipFile(work / "user.zip", "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("bin/setup.exe", b"MZ" * 100)
        archive.writestr("readme.txt", b"readme")
    shutil.copyfile(work / "user.zip", work / "user.ZIP")
    original = (work / given).read_bytes()

    result = run_make(args, work)
    assert (result.code, result.out, result.err) == (0, CREATING + SUCCEEDED, ""), f"PondrelMake {args}: {result}"
    assert (work / given).read_bytes() == original, f"PondrelMake {args} changed or removed {given}"
    _, archive = archive_of(work / "Pondrel.exe")
    assert archive == original, f"PondrelMake {args}: the appended archive is not {given}"
    has_setup_name = "-s" in args
    assert (2 in read_layout(work / "Pondrel.exe")["rcdata"]) == has_setup_name, args


# ---------------------------------------------------------------------------------------------
# Round trip: a folder in, a working setup program out


def test_round_trip_layout_resources_and_archive(big_build, work):
    stub = stub_strings()
    for program, setup_name, product in ((big_build["plain"], None, stub["ProductName"]),
                                         (big_build["setup"], b"setup.exe\0", "Kelm:Quorda")):
        layout = read_layout(program)
        assert layout["rcdata"].get(2) == ((0, setup_name) if setup_name else None), program.name
        strings = layout["strings"]
        assert (strings["OriginalFilename"], strings["FileDescription"], strings["ProductName"]) == \
               (program.stem, program.stem, product), program.name
        # Everything else of the version block is the stub's.
        assert {k: v for k, v in strings.items() if k not in CHANGED_STRINGS} == \
               {k: v for k, v in stub.items() if k not in CHANGED_STRINGS}, program.name

        archive = cut_archive(program, work)
        entries = entries_7z(archive)
        assert sorted(name for name, _, _ in entries) == sorted(big_build["expected"]), program.name
        assert not any(folder for _, folder, _ in entries), entries
        assert extracted_7z(archive, work / program.stem) == big_build["expected"], program.name


def test_round_trip_windows_reads_the_same_resources(big_build):
    stub = windows_view(PONDREL)["version"]
    for program in (big_build["plain"], big_build["setup"]):
        layout = read_layout(program)
        seen = windows_view(program)
        for number in (1, 2):
            _, data = layout["rcdata"].get(number, (None, None))
            assert (seen[f"rcdata{number}"], seen[f"rcdata{number}_langs"]) == \
                   ((data.hex(), [0]) if data is not None else (None, [])), (program.name, number, seen)
        version = seen["version"]
        for name in CHANGED_STRINGS:
            assert version.pop(name) == layout["strings"][name], (program.name, name)
        # The rest of the rebuilt block (fixed info, translation, other strings) is the stub's.
        assert version == {k: v for k, v in stub.items() if k not in CHANGED_STRINGS}, program.name


def test_building_the_same_folder_twice_gives_the_same_entries(big_build):
    def entries(program):
        _, archive = archive_of(program)
        with zipfile.ZipFile(io.BytesIO(archive)) as z:
            return [(i.filename, i.CRC, i.file_size) for i in z.infolist()]

    assert entries(big_build["plain"]) == entries(big_build["setup"])


def test_source_date_epoch_makes_the_same_bytes_in_any_zone_on_any_day(work):
    make_tree(work, {"dist/bin/setup.exe": b"MZ setup", "dist/readme.txt": b"hello\n", "dist/a/b/c.bin": bytes(70000)})
    args = ["-d", "dist", "-s", "setup.exe", "-o", "out", "-c", "Same.exe"]
    built = []
    for zone, mtime in (("UTC", 1_000_000_000), ("Asia/Tokyo", 1_600_000_000)):
        for path in (work / "dist").rglob("*"):
            os.utime(path, (mtime, mtime))
        shutil.rmtree(work / "out", ignore_errors=True)
        (work / "out").mkdir()
        result = run_make(args, work, env={"SOURCE_DATE_EPOCH": "1700000001", "TZ": zone})
        assert result.code == 0, result
        built.append((work / "out" / "Same.exe").read_bytes())
    assert built[0] == built[1]
    assert pefile.PE(data=built[0]).FILE_HEADER.TimeDateStamp == 1700000001
    with zipfile.ZipFile(io.BytesIO(built[0])) as archive:
        # 2023-11-14 22:13:21 UTC, to the two seconds of a DOS time.
        assert {i.date_time for i in archive.infolist()} == {(2023, 11, 14, 22, 13, 20)}
    for bad in ("soon", "-1", "4294967296", "17e8", " 17"):
        result = run_make(args[:-1] + ["Bad.exe"], work, env={"SOURCE_DATE_EPOCH": bad})
        assert (result.code, result.err) == (1, f"SOURCE_DATE_EPOCH is not a number of seconds: {bad}\n"), result
        assert not (work / "out" / "Bad.exe").exists()


def resources_of(path):
    """Every resource of a program file, read with pefile: {(type, name, language): data}."""
    data = Path(path).read_bytes()
    pe = pefile.PE(data=data)
    found = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            for language in name.directory.entries:
                entry = language.data.struct
                offset = pe.get_offset_from_rva(entry.OffsetToData)
                key = (kind.id or str(kind.name), name.id or str(name.name), language.id)
                found[key] = data[offset:offset + entry.Size]
    pe.close()
    return found


def test_both_builders_make_the_same_setup_program(signed_marker, work):
    windows_builder_only()  # runs both builders itself
    # Files at the packer's edges (empty, deflated whole, streamed past 8 MiB, stored random data),
    # names outside ASCII and in different letter cases, and times in winter and in summer time.
    dist = generate(work / "dist", 2 * 2**20, 60, seed=5)
    rng = random.Random(5)
    make_tree(dist, {"bin/setup.exe": signed_marker, "Отчёт.txt": b"report", "b.txt": b"b", "B2.txt": b"B",
                     "edge/empty.txt": b"", "edge/random.bin": rng.randbytes(2**16 + 1),
                     "edge/large.txt": rng.randbytes(2**22 + 7).hex().encode()[:2**23 + 13]}, folders=["empty"])
    for number, path in enumerate(sorted(dist.rglob("*"))):
        stamp = (1_767_300_000, 1_783_000_000)[number % 2] + number  # 2026-01 and 2026-07
        os.utime(path, (stamp, stamp))
    programs = {}
    for name, run_builder, program in (("windows", run, PONDREL_MAKE), ("native", run_native, NATIVE_MAKE)):
        (work / name).mkdir()
        result = run_builder(program, "-d", "dist", "-s", "setup.exe", "-o", name, "-c", "Same.exe", cwd=work,
                             env={"TZ": "Europe/Berlin"})
        assert (result.code, result.out, result.err) == (0, ARCHIVING + CREATING + SUCCEEDED, ""), (name, result)
        programs[name] = work / name / "Same.exe"

    def entries(program):
        with zipfile.ZipFile(cut_archive(program, work)) as archive:
            return [(i.filename, i.compress_type, i.flag_bits, i.CRC, i.file_size, i.compress_size, i.date_time,
                     i.create_system, i.external_attr) for i in archive.infolist()]

    assert entries(programs["windows"]) == entries(programs["native"])
    assert resources_of(programs["windows"]) == resources_of(programs["native"])
    lines = run_setup_program(programs["native"], marker=work)
    assert lines[2].endswith("\\bin\\setup.exe"), lines


def test_package_installs_the_builder_with_the_same_setup_program(work):
    if BUILDER != "native":
        pytest.skip("the package holds the native builder")
    package, = (NATIVE_MAKE.parents[1]).glob("pondrelmake_*.deb")
    fields = subprocess.run(["dpkg-deb", "-f", package, "Package", "Depends"], capture_output=True, text=True,
                            check=True).stdout
    assert re.fullmatch(r"Package: pondrelmake\nDepends: libc6 \(>= [0-9.]+\)\n", fields), fields
    subprocess.run(["dpkg-deb", "-x", package, work / "root"], check=True)
    installed = work / "root" / "usr" / "bin" / "pondrelmake"
    make_tree(work, {"dist/bin/setup.exe": b"MZ setup", "dist/readme.txt": b"read me"}, folders=["one", "two"])
    for folder, program in (("one", installed), ("two", NATIVE_MAKE)):
        result = run_native(program, "-d", "dist", "-s", "setup.exe", "-o", folder, "-c", "Same.exe", cwd=work,
                            env={"SOURCE_DATE_EPOCH": "1700000000"})
        assert (result.code, result.err) == (0, ""), (folder, result)
    assert (work / "one" / "Same.exe").read_bytes() == (work / "two" / "Same.exe").read_bytes()


def test_parallel_build_gives_the_one_thread_archive(work):
    # A generated distribution (text to deflate, a random pack to store) with files at the edges
    # of the builder's ways: empty, 13 random bytes, random data just past the size that is
    # probed first, hex text of two 1 MiB chunks; and past the 8 MiB up to which files are
    # deflated whole, hex text of one such piece and 13 bytes, and 64 KiB of text followed by two
    # pieces of random data (deflated until the stream is seen not to shrink, then stored).
    dist = generate(work / "dist", 6 * 2**20, 150)
    rng = random.Random(7)
    make_tree(dist, {"edge/empty.txt": b"", "edge/tiny.bin": rng.randbytes(13),
                     "edge/probed.bin": rng.randbytes(2**16 + 1),
                     "edge/hex.txt": rng.randbytes(2**20 + 7).hex().encode(),
                     "edge/large.txt": rng.randbytes(2**22 + 7).hex().encode()[:2**23 + 13],
                     "edge/mixed.bin": rng.randbytes(2**15).hex().encode() + rng.randbytes(2**24)})
    expected = {name.replace("/", "\\"): digest for name, digest in tree_hashes(dist).items()}
    temp_before = temp_listing()

    result = run_make(["-d", "dist"], work)
    assert (result.code, result.out, result.err) == (0, ARCHIVING + CREATING + SUCCEEDED, ""), result
    archive = cut_archive(work / "Pondrel.exe", work)
    for threads in (1, 3):
        probe = run(tool("archive_probe.exe"), winpath(dist), winpath(work / f"{threads}.zip"), threads)
        assert probe.code == 0, probe
        assert (work / f"{threads}.zip").read_bytes() == archive.read_bytes(), f"{threads} threads"
    with zipfile.ZipFile(archive) as z:
        assert {info.filename: sha256(z.read(info)) for info in z.infolist()} == expected
        stored = {info.filename for info in z.infolist() if info.compress_type == zipfile.ZIP_STORED}
    assert stored == {"edge\\empty.txt", "edge\\tiny.bin", "edge\\probed.bin", "edge\\mixed.bin"} | \
           {name for name in expected if name.endswith(".pak")}
    assert temp_listing() == temp_before, "temporary files were left behind"


def test_round_trip_program_without_setup_file_looks_for_a_distribution(big_build):
    # It unpacks whole, then finds no installer package in the tree: distribution mode says so.
    folders = WorkFolderWatch()
    proc = start(big_build["plain"])
    try:
        box = wait_for(error_box, 120)
        assert box and box_text(box) == "error occured while verifying distro!!!", box
        click("OK", "Error")
    finally:
        assert finish(proc, timeout=60).code == 0
    folders.assert_removed()


def test_round_trip_program_unpacks_everything_and_runs_its_setup_file(big_build, work):
    folders = WorkFolderWatch()
    unpacked = {}

    def look(lines):
        # The working folder; the archive copy lies in a folder of its own.
        created = [folder for folder in folders.look() if not (folder / "tmp.zip").exists()]
        assert len(created) == 1, created
        unpacked.update(unpacked_files(created.pop()))

    lines = run_setup_program(big_build["setup"], marker=work, while_running=look)
    assert lines[2].lower().endswith("\\bin\\setup.exe"), lines
    assert unpacked == big_build["expected"]
    folders.assert_removed()


# Names that the ANSI code page of the locale can hold, in the input folder, the output name,
# the archive entries and the setup file name.
NATIONAL = [
    (RU, "cp1251", "Дистрибутив", "Установка клиента.exe", {"Отчёт.txt": b"report", "Папка/Данные.txt": b"data"},
     "пакет/Установщик.exe"),
    (EN, "cp1252", "Distribución", "Instalación.exe", {"café.txt": b"coffee", "Données/naïve.txt": b"naive"},
     "paquete/Configuración.exe"),
]


@pytest.mark.parametrize("locale,code_page,folder,output,files,setup", NATIONAL, ids=[n[0] for n in NATIONAL])
def test_national_names_round_trip(locale, code_page, folder, output, files, setup, signed_marker, work):
    setup_name = setup.rsplit("/", 1)[1]
    expected = make_tree(work / folder, dict(files, **{setup: signed_marker}))
    (work / (folder + ".zip.bak")).write_bytes(EMPTY_ZIP)
    # The native builder is told the code page that the Windows one takes from the system.
    code_page_option = [] if BUILDER == "windows" else ["--code-page=" + code_page[2:]]
    result = run_make(["-d", folder, "-c", output, "-s", setup_name] + code_page_option, work, locale=locale)
    progress = RUSSIAN_PROGRESS if locale == RU else ARCHIVING + CREATING + SUCCEEDED
    streams = output_encoding(code_page)
    assert (result.code, decoded(result.stdout, streams), decoded(result.stderr, streams)) == \
           (0, progress, ""), (locale, result)

    program = work / output
    layout = read_layout(program)
    assert layout["rcdata"][2] == (0, setup_name.encode(code_page) + b"\0"), locale
    stem = output[:-len(".exe")]
    assert (layout["strings"]["OriginalFilename"], layout["strings"]["FileDescription"]) == (stem, stem), locale
    archive = cut_archive(program, work)
    assert sorted(name for name, _, _ in entries_7z(archive)) == sorted(expected), locale
    assert extracted_7z(archive, work / "x") == expected, locale

    lines = run_setup_program(program, locale=locale, marker=work)
    assert lines[2].endswith("\\" + setup.replace("/", "\\")), lines

    # Error lines name paths in the same code page.
    refused = run_make(["-f", folder + ".zip.bak", "-c", output] + code_page_option, work, locale=locale)
    assert (refused.code, decoded(refused.stdout, streams), decoded(refused.stderr, streams)) == \
           (1, "", f"File {folder}.zip.bak is not a zip archive\n"), (locale, refused)


def test_resources_that_outgrow_the_stub_move_the_archive(signed_marker, work):
    setup_name = "L" * 196 + ".exe"
    output = "S" * 150 + ".exe"
    expected = make_tree(work / "dist", {"bin/" + setup_name: signed_marker, "readme.txt": b"readme"})
    result = run_make(["-d", "dist", "-s", setup_name, "-c", output], work)
    assert (result.code, result.out, result.err) == (0, ARCHIVING + CREATING + SUCCEEDED, ""), result

    program = work / output
    offset, _ = archive_of(program)
    assert offset > PONDREL.stat().st_size, "the resources did not grow the image"
    layout = read_layout(program)
    assert layout["rcdata"][2] == (0, setup_name.encode() + b"\0")
    strings = ("S" * 150, "S" * 150, "Kelm:Quorda")
    assert tuple(layout["strings"][name] for name in CHANGED_STRINGS) == strings
    seen = windows_view(program)
    assert seen["rcdata1"] == str(offset).encode().hex()
    assert tuple(seen["version"][name] for name in CHANGED_STRINGS) == strings
    archive = cut_archive(program, work)
    assert extracted_7z(archive, work / "x") == expected

    lines = run_setup_program(program, marker=work)
    assert lines[2].endswith("\\bin\\" + setup_name), lines


# ---------------------------------------------------------------------------------------------
# The setup file test, the output place, empty inputs, temporary files and link cycles


SETUP_LOOKUP = [
    # (how the archive is made, entry, found)
    ("builder", "bin/setup.exe", True),
    ("info-zip", "bin/setup.exe", True),
    ("builder", "bin/SETUP.EXE", False),
    ("info-zip", "SETUP.EXE", False),
]


@pytest.mark.parametrize("made_by,entry,found", SETUP_LOOKUP, ids=[f"{c[0]}:{c[1]}" for c in SETUP_LOOKUP])
def test_setup_file_is_looked_up_by_exact_last_name(made_by, entry, found, work):
    make_tree(work / "dist", {entry: b"MZ setup", "readme.txt": b"readme"})
    if made_by == "builder":
        args, progress = ["-d", "dist"], ARCHIVING + CREATING
    else:
        subprocess.run(["zip", "-q", "-r", str(work / "dist.zip"), "."], cwd=work / "dist", check=True)
        names = zipfile.ZipFile(work / "dist.zip").namelist()
        assert entry in names, names
        args, progress = ["-f", "dist.zip"], CREATING
    result = run_make(args + ["-s", "setup.exe"], work)
    program = work / "Pondrel.exe"
    if found:
        assert (result.code, result.out, result.err) == (0, progress + SUCCEEDED, ""), (entry, result)
        layout = read_layout(program)
        assert layout["rcdata"][2] == (0, b"setup.exe\0") and layout["strings"]["ProductName"] == "Kelm:Quorda"
        cut_archive(program, work)
    else:
        assert (result.code, result.out, result.err) == \
               (1, progress, "Error creating exe file: setup file doesn't exist!!!\n"), (entry, result)
        assert not program.exists(), entry


PLACES = [
    # (arguments, output file below the current folder, stem)
    (["-d", "dist"], "Pondrel.exe", "Pondrel"),
    (["-d", "dist", "-c", r"sub\x.exe"], "sub/x.exe", "x"),
    (["-d", "dist", "-o", "out\\", "-c", "y.EXE"], "out/y.EXE", "y"),
    (["-d", "dist", "-o", "out", "-c", r"sub\z.v2.exe"], "out/sub/z.v2.exe", "z.v2"),
    (["--input-directory=dist", "--output-directory=out", "--output-setup-file=Long Name.exe"], "out/Long Name.exe",
     "Long Name"),
    # A relative name that the system folder holds too (system32\wbem\wmic.exe): the version
    # strings are read from and written to the output, never looked up along the DLL search path.
    (["-d", "dist", "-o", "wbem", "-c", "wmic.exe"], "wbem/wmic.exe", "wmic"),
]


@pytest.mark.parametrize("args,where,stem", PLACES, ids=[" ".join(c[0]) for c in PLACES])
def test_output_file_place_and_name(args, where, stem, work):
    make_tree(work, {"dist/readme.txt": b"readme"}, folders=["sub", "out/sub", "wbem"])
    before = set(work.rglob("*"))
    result = run_make(args, work)
    assert (result.code, result.err) == (0, ""), f"PondrelMake {args}: {result}"
    assert set(work.rglob("*")) - before == {work / where}, f"PondrelMake {args}"
    expected = (stem, stem, stub_strings()["ProductName"])
    strings = read_layout(work / where)["strings"]
    assert tuple(strings[name] for name in CHANGED_STRINGS) == expected, f"PondrelMake {args}"
    # Read from a copy: for a name it has a program of its own under (wmic.exe), Wine loads that.
    seen = windows_view(shutil.copyfile(work / where, scratch() / "placed.exe"))["version"]
    assert tuple(seen[name] for name in CHANGED_STRINGS) == expected, f"PondrelMake {args} (Windows)"
    assert_archive_runs_to_end(archive_of(work / where)[1])


@pytest.fixture
def drives(work):
    """Two free drive letters of the prefix, mapped to fresh folders: {letter: Linux folder}."""
    devices = PREFIX / "dosdevices"
    letters = [letter for letter in "pqrstuvwxy" if not os.path.lexists(devices / f"{letter}:")][:2]
    mapped = {}
    for letter in letters:
        mapped[letter.upper()] = work / f"drive-{letter}"
        mapped[letter.upper()].mkdir()
        os.symlink(mapped[letter.upper()], devices / f"{letter}:")
    yield mapped
    for letter in letters:
        os.unlink(devices / f"{letter}:")


@pytest.mark.parametrize("output_root", ["\\", ""], ids=["to X:\\", "to X:"])
def test_drive_root_as_input_and_output_folder(output_root, drives, work):
    windows_builder_only()
    # A drive root is listed in no folder, so only its attributes show that it exists.
    (source, source_folder), (target, target_folder) = drives.items()
    expected = make_tree(source_folder, {"a.txt": b"a", "b/c.txt": b"c"})
    args = ["-d", f"{source}:\\", "-o", f"{target}:{output_root}"]
    result = run_make(args, work)
    assert (result.code, result.out, result.err) == (0, ARCHIVING + CREATING + SUCCEEDED, ""), f"{args}: {result}"
    assert extracted_7z(cut_archive(target_folder / "Pondrel.exe", work), work / "x") == expected, args


@pytest.mark.parametrize("folders", [[], ["a", "b/c/d"]], ids=["empty", "only-empty-folders"])
def test_empty_input_gives_an_empty_archive(folders, work):
    make_tree(work / "dist", {}, folders=[""] + folders)
    temp_before = temp_listing()
    result = run_make(["-d", "dist"], work)
    assert (result.code, result.out, result.err) == (0, ARCHIVING + CREATING + SUCCEEDED, ""), (folders, result)
    _, archive = archive_of(work / "Pondrel.exe")
    assert archive == EMPTY_ZIP, folders
    assert temp_listing() == temp_before


def test_archive_in_the_temporary_folder_is_neither_used_nor_touched(work):
    # An archive of that name in the temporary folder itself (an older builder's) stays as it is.
    stale = user_temp() / "tmpzipfile.zip"
    stale.parent.mkdir(parents=True, exist_ok=True)
    with zipfile.ZipFile(stale, "w") as archive:
        archive.writestr("stale.txt", b"from an earlier run")
    stale_bytes, temp_before = stale.read_bytes(), temp_listing()
    expected = make_tree(work / "dist", {"readme.txt": b"readme", "a/b/c.txt": b"c"})
    try:
        result = run_make(["-d", "dist"], work)
        assert (result.code, result.err) == (0, ""), result
        assert stale.read_bytes() == stale_bytes and temp_listing() == temp_before
        with zipfile.ZipFile(cut_archive(work / "Pondrel.exe", work)) as archive:
            assert sorted(archive.namelist()) == sorted(expected)
    finally:
        stale.unlink()


def test_links_are_followed_as_what_they_point_to(work):
    # A folder reached twice through links is no cycle: it is not one of its own ancestors.
    make_tree(work, {"outside.txt": b"outside", "other/o.txt": b"other", "dist/shared/s.txt": b"shared"})
    os.symlink("../outside.txt", work / "dist" / "file-link.txt")
    os.symlink("../other", work / "dist" / "folder-link")
    os.symlink("shared", work / "dist" / "again")
    result = run_make(["-d", "dist"], work, timeout=60)
    assert (result.code, result.err) == (0, ""), result
    archive = cut_archive(work / "Pondrel.exe", work)
    assert extracted_7z(archive, work / "x") == {
        "file-link.txt": sha256(b"outside"), "folder-link\\o.txt": sha256(b"other"),
        "shared\\s.txt": sha256(b"shared"), "again\\s.txt": sha256(b"shared")}


def test_tree_deeper_than_the_path_limit_is_archived_whole(work):
    # Eight folders of 48 characters: the deepest file lies 400 characters below the input
    # folder, far past the 260 characters of a classic path.
    folders = [f"{depth}" + "d" * 47 for depth in range(8)]
    expected = make_tree(work / "dist", {"top.txt": b"top", "/".join(folders[:5]) + "/middle.txt": b"middle",
                                         "/".join(folders) + "/leaf.txt": b"leaf"})
    assert max(len(name) for name in expected) == 400
    result = run_make(["-d", "dist"], work)
    assert (result.code, result.out, result.err) == (0, ARCHIVING + CREATING + SUCCEEDED, ""), result
    archive = cut_archive(work / "Pondrel.exe", work)
    assert sorted(name for name, _, _ in entries_7z(archive)) == sorted(expected)
    # Read in place: extracted on Linux, a backslash-joined name is one file name, too long for it.
    with zipfile.ZipFile(archive) as z:
        assert {info.filename: sha256(z.read(info)) for info in z.infolist()} == expected


def test_unreadable_file_ends_the_walk(work):
    make_tree(work / "dist", {"a.txt": b"a"})
    os.mkfifo(work / "dist" / "pipe")
    temp_before = temp_listing()
    result = run_make(["-d", "dist"], work, timeout=60)
    assert (result.code, result.out, result.err) == (1, ARCHIVING, shown("Can't add file to zip: dist\\pipe\n")), result
    assert not (work / "Pondrel.exe").exists()
    assert temp_listing() == temp_before, "a failed walk left temporary files"


class Appender:
    """Appends to a file every millisecond until stopped: a build that reads it sees it change."""

    def __init__(self, path):
        self._path, self._stop = path, threading.Event()
        self._thread = threading.Thread(target=self._append, daemon=True)

    def _append(self):
        with open(self._path, "ab") as file:
            while not self._stop.wait(0.001):
                file.write(b"more" * 1024)
                file.flush()

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


@contextlib.contextmanager
def locked_folder(path):
    path.chmod(0)
    try:
        yield
    finally:
        path.chmod(0o755)


BAD_INPUT = [
    # (case, the builders it applies to, what is made around the run, stdout, the one error line)
    ("a file that changes while it is packed", ("windows", "native"),
     lambda work: Appender(work / "dist" / "big.bin"), ARCHIVING, "File changed while it was packed: dist\\big.bin"),
    ("an output folder on a full disk", ("windows", "native"), lambda work: small_disk(work / "out", "1m"),
     ARCHIVING + CREATING, "Can't write archive data to file"),
    ("a file name that is not UTF-8", ("native",), lambda work: (work / "dist" / os.fsdecode(b"bad\xff.txt")).write_bytes(b"x"),
     ARCHIVING, "File name is not UTF-8: dist/bad\\xFF.txt"),
    ("a folder that cannot be read", ("native",), lambda work: locked_folder(work / "dist" / "sub"), ARCHIVING,
     "filesystem error: directory_iterator::directory_iterator: Permission denied [dist/sub]"),
]


@pytest.mark.parametrize("case,builders,around,out,err", BAD_INPUT, ids=[c[0] for c in BAD_INPUT])
def test_bad_input_says_why_and_leaves_nothing(case, builders, around, out, err, work):
    if BUILDER not in builders:
        pytest.skip(f"{BUILDER} builder: no such input")
    rng = random.Random(3)
    make_tree(work, {"dist/a.txt": b"a", "dist/sub/b.txt": b"b", "dist/big.bin": rng.randbytes(3 * 2**23)},
              folders=["out"])
    temp_before = temp_listing()
    made = around(work)
    with made if hasattr(made, "__enter__") else contextlib.nullcontext():
        result = run_make(["-d", "dist", "-o", "out"], work, timeout=120, confined=True)
    # Lines of the native builder alone are written as it shows them.
    expected = shown(err) if "windows" in builders else err
    assert (result.code, result.out, result.err) == (1, out, expected + "\n"), (case, result)
    assert not list((work / "out").iterdir()), (case, "left in the output folder")
    assert temp_listing() == temp_before, (case, "left temporary files")


CYCLES = [
    # (link below the input folder, its target, the folder where the walk comes round again)
    ("loop", "..", r"tree\dist\loop\dist"),
    ("sub/loop", "..", r"tree\dist\sub\loop"),
]


@pytest.mark.parametrize("link,target,where", CYCLES, ids=[c[0] for c in CYCLES])
def test_link_cycle_ends_the_walk(link, target, where, work):
    make_tree(work / "tree" / "dist", {"a.txt": b"a", "sub/b.txt": b"b"})
    os.symlink(target, work / "tree" / "dist" / link)
    temp_before = temp_listing()
    result = run_make(["-d", r"tree\dist"], work, timeout=60)
    assert (result.code, result.out, result.err) == \
           (1, ARCHIVING, shown(f"Link cycle in the input folder: {where}\n")), (link, result)
    assert not (work / "Pondrel.exe").exists()
    assert temp_listing() == temp_before, "a failed walk left temporary files"


# ---------------------------------------------------------------------------------------------
# Builds as build farms run them: every update checked, side by side, from folders of any name,
# under plain output names only


def builder_carrying(stub_bytes, folder):
    """A copy of the shipped builder that carries `stub_bytes` as its setup stub."""
    stub, builder = folder / "stub.bin", folder / "PondrelMake.exe"
    stub.write_bytes(stub_bytes)
    shutil.copyfile(PONDREL_MAKE, builder)
    wintest("update-resource", winpath(builder), RT_RCDATA, 1, 1033, winpath(stub))
    return builder


def stub_without_version(folder):
    stub = shutil.copyfile(PONDREL, folder / "bare.exe")
    wintest("update-resource", winpath(stub), 16, 1, 1033, "-")
    return stub.read_bytes()


def stub_that_is_no_program(folder):
    return b"MZ" + bytes(PONDREL.stat().st_size - 2)


class BuildFolderWatch:
    """The folders holding a temporary archive that appear in a temporary folder while builds run."""

    def __init__(self, temp):
        self.temp, self.seen, self._stop = temp, set(), threading.Event()
        self._thread = threading.Thread(target=self._watch, daemon=True)
        self._thread.start()

    def _watch(self):
        while not self._stop.wait(0.02):
            with contextlib.suppress(OSError):
                self.seen |= {p.name for p in self.temp.iterdir() if (p / "tmpzipfile.zip").exists()}

    def stop(self):
        self._stop.set()
        self._thread.join()
        return self.seen


FARM_RUNS = [
    # (case, how the builds run, exit status, stdout, stderr (a pattern), a system error box shows)
    ("stub without version information", {"stub": stub_without_version}, 1, ARCHIVING + CREATING,
     "file version info size equals to zero\n", False),
    ("stub that is no program", {"stub": stub_that_is_no_program}, 1, ARCHIVING + CREATING,
     "Begin update error\nError num: [0-9]+\n", True),
    ("three builds side by side", {"builds": 3}, 0, ARCHIVING + CREATING + SUCCEEDED, "", False),
    # An English system: the folders' names are outside its code page.
    ("folders named outside the code page", {"names": ("Дистрибутив", "Вывод", "Установка.exe", "Иван")}, 0,
     ARCHIVING + CREATING + SUCCEEDED, "", False),
    ("data stream as output name", {"args": ["-c", "X.exe:ads.exe"]}, 1, "",
     "Client setup file name is not a plain file name: X.exe:ads.exe\n", False),
    ("device as output name", {"args": ["-c", r"sub\CON.exe"]}, 1, "",
     r"Client setup file name is not a plain file name: sub\\CON.exe" + "\n", False),
]


@pytest.mark.parametrize("case,how,code,out,err,box", FARM_RUNS, ids=[c[0] for c in FARM_RUNS])
def test_build_farm_runs(case, how, code, out, err, box, signed_marker, work):
    windows_builder_only()  # builds started as Windows programs, in the prefix's temporary folder
    builds = how.get("builds", 1)
    folder, output_folder, output, temp_name = how.get("names", ("dist", "out", "Setup.exe", None))
    builder = builder_carrying(how["stub"](work), work) if "stub" in how else PONDREL_MAKE
    runs, expected = [], []
    for i in range(builds):
        dist = work / (f"{folder}{i}" if builds > 1 else folder)
        generate(dist, 3 * 2**20, 30, seed=i)
        make_tree(dist, {"bin/setup.exe": signed_marker, "Отчёт.txt": f"build {i}".encode()}, folders=["sub"])
        expected.append({name.replace("/", "\\"): digest for name, digest in tree_hashes(dist).items()})
        runs.append(["-d", dist.name, "-s", "setup.exe", "-o", output_folder, "-c", f"{i}{output}"] + how.get("args", []))
    (work / output_folder / "sub").mkdir(parents=True)
    with user_temp_in(temp_name) if temp_name else contextlib.nullcontext(user_temp()) as temp:
        temp_before, watch = set(temp.iterdir()), BuildFolderWatch(temp)
        started = [start(builder, *args, cwd=work, locale=EN) for args in runs]
        if box:
            assert wait_for(error_box, 120), case
            click("OK", "Error")
        results = [finish(proc, 300) for proc in started]
        seen = watch.stop()
    for result in results:
        assert result.code == code and result.out == out and re.fullmatch(err, result.err), (case, result)
    # Each build had a folder of its own for its archive, in the temporary folder, gone afterwards.
    assert len(seen) == (builds if out else 0) and set(temp.iterdir()) == temp_before, (case, seen)
    programs = [work / output_folder / f"{i}{output}" for i in range(builds)]
    if code != 0:
        assert not list((work / output_folder).rglob("*.exe")), case
        return
    for program, files in zip(programs, expected):
        assert read_layout(program)["rcdata"][2] == (0, b"setup.exe\0"), case
        with zipfile.ZipFile(cut_archive(program, work)) as archive:
            assert {info.filename: sha256(archive.read(info)) for info in archive.infolist()} == files, case


class OpenFileCount:
    """The most files that the processes whose command line holds `marker` had open at once,
    sampled from /proc while they run (a Windows program's open files are files of its process)."""

    def __init__(self, marker):
        self.marker, self.most, self._stop = marker.encode(), 0, threading.Event()
        self._thread = threading.Thread(target=self._watch, daemon=True)
        self._thread.start()

    def _watch(self):
        while not self._stop.wait(0.02):
            for pid in filter(str.isdigit, os.listdir("/proc")):
                with contextlib.suppress(OSError):
                    if self.marker in Path(f"/proc/{pid}/cmdline").read_bytes():
                        self.most = max(self.most, len(os.listdir(f"/proc/{pid}/fd")))

    def stop(self):
        self._stop.set()
        self._thread.join()
        return self.most


def test_many_files_build_with_few_open_and_unpack(signed_marker, work):
    # Each input file is open only while it is packed: a tree of any size builds.
    files = {f"f{i // 100:02d}/n{i:04d}.txt": b"%d\n" % i * (i % 50) for i in range(3000)}
    expected = make_tree(work / "dist", dict(files, **{"bin/setup.exe": signed_marker}))
    count = OpenFileCount("Many.exe")
    result = run_make(["-d", "dist", "-s", "setup.exe", "-c", "Many.exe"], work, timeout=600)
    most = count.stop()
    assert (result.code, result.out, result.err) == (0, ARCHIVING + CREATING + SUCCEEDED, ""), result
    assert 0 < most < 100, f"the builder had {most} files open at once"

    folders, unpacked = WorkFolderWatch(), {}

    def look(lines):
        created = [folder for folder in folders.look() if not (folder / "tmp.zip").exists()]
        assert len(created) == 1, created
        unpacked.update(unpacked_files(created.pop()))

    run_setup_program(work / "Many.exe", marker=work, while_running=look, timeout=600)
    assert unpacked == expected
    folders.assert_removed()
