"""Setup-file mode as a user sees it: the setup file is found in the unpacked tree, its
signature is checked (with the user's question when the check fails), it runs with the window
hidden, and the setup program waits for every process it started."""
import io
import os
import shutil
import subprocess
import zipfile
from pathlib import Path

import pefile
import pytest

from bench import (box_text, build_setup, button_text, click, close_window, finish, message_box, PONDREL_MAKE, run,
                   scratch, sign, start, test_certificates, tool, user_temp_in, wait_for, windows, winpath, wintest,
                   WorkFolderWatch)

QUESTION_EN = ("The signature of the new version of the program could not be verified. The installation was "
               "launched on an outdated version of the Windows operating system. You may not have the necessary "
               "Windows updates installed. Continue installation?")
QUESTION_RU = ("Не удалось проверить подпись новой версии программы. Установка запущена на устаревшей версии "
               "операционной системы Windows. Возможно, у вас не установлены необходимые обновления Windows. "
               "Продолжить установку?")
IDOK, IDYES, IDNO = 1, 6, 7

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
    return build_setup(dist, name)


class Run:
    """A started setup program with its own marker folder."""

    def __init__(self, program, locale=None, extra=None):
        self.markers = scratch("markers-")
        self.folders = WorkFolderWatch()
        env = {"PONDREL_MARKER_DIR": winpath(self.markers), "PONDREL_TREE_DELAY": "2500"}
        env.update(extra or {})
        self.proc = start(program, env=env, locale=locale)

    def marker(self, name="marker.txt"):
        path = self.markers / name
        return path.read_text(encoding="utf-8").splitlines() if path.exists() else None

    def finish(self, timeout=60):
        result = finish(self.proc, timeout)
        assert result.code == 0, result
        self.folders.assert_removed()
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
    # A folder carries no signature: the question comes; after Yes nothing can start, which the
    # user is told.
    box = message_box("Pondrel", 30000)
    click(button_text(box, IDYES), "Pondrel")
    box = message_box("Error", 30000)
    assert box_text(box).startswith("can't start setup.exe: "), box_text(box)
    click(button_text(box, IDOK), "Error")
    setup.finish()
    assert setup.marker() is None


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
    assert [f for f in setup.folders.look() if (f / "bin" / "setup.exe").exists()]
    markers_release.write_text("go")
    setup.finish()



# ---------------------------------------------------------------------------------------------
# What a publisher and a user can rely on: signing after building, any temporary folder, any
# depth, any entry name.


def build_from_zip(entries, name="ZipSetup.exe"):
    """A setup program built with -f from an archive written here, entry names exactly as given
    ({name: bytes}), with the signed test setup program as bin/setup.exe."""
    work = scratch("zip-")
    archive = work / "dist.zip"
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("bin/setup.exe", (distribution() / "bin" / "setup.exe").read_bytes())
        for entry, data in entries.items():
            z.writestr(entry, data)
    result = run(PONDREL_MAKE, "-f", winpath(archive), "-s", "setup.exe", "-o", winpath(work), "-c", name)
    assert result.code == 0, result
    return work / name


def security_directory(program):
    """The signature table's directory entry (file offset and size) of a program."""
    pe = pefile.PE(str(program), fast_load=True)
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    pe.close()
    return entry


def grow_signature_table(program, extra):
    """Appends `extra` to the signature table of a signed program (room that signing tools leave
    as padding), keeping the table 8-byte aligned as the format wants."""
    extra = extra + bytes(-len(extra) % 8)
    data = bytearray(program.read_bytes())
    entry = security_directory(program)
    assert entry.VirtualAddress + entry.Size == len(data), "the table must end the file"
    size_at = entry.get_file_offset() + 4
    data[size_at:size_at + 4] = (entry.Size + len(extra)).to_bytes(4, "little")
    program.write_bytes(bytes(data) + extra)


def many_certificates(folder):
    """One certificate of about 80 KB (thousands of names), so that a table holding it outgrows
    the archive library's 64 KB search window for the archive's end, as long chains with
    timestamps do."""
    config = folder / "big.cnf"
    names = "\n".join(f"DNS.{i} = host{i:05d}.updates.example.invalid" for i in range(2000))
    config.write_text("[req]\ndistinguished_name=dn\nx509_extensions=ext\nprompt=no\n[dn]\nCN=Padding\n"
                      f"[ext]\nsubjectAltName=@names\n[names]\n{names}\n")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-config",
                    str(config), "-keyout", str(folder / "big.key"), "-out", str(folder / "big.pem")],
                   check=True, capture_output=True)
    return folder / "big.pem"


def osslsign(program, *extra):
    sign()  # makes the test certificates once
    certs = test_certificates()
    subprocess.run(["osslsigncode", "sign", "-certs", str(certs / "chain.pem"), "-key", str(certs / "signer.key"),
                    "-n", "Pondrel test", *map(str, extra), "-in", str(program), "-out", f"{program}.signed"],
                   check=True, capture_output=True)
    Path(f"{program}.signed").replace(program)


def planted_archive():
    planted = io.BytesIO()
    with zipfile.ZipFile(planted, "w") as z:
        z.writestr("planted/setup.exe", (distribution() / "bin" / "setup.exe").read_bytes())
    return planted.getvalue()


SIGNINGS = {
    "signed once": lambda program: osslsign(program),
    "nested twice": lambda program: (osslsign(program), osslsign(program, "-nest"), osslsign(program, "-nest")),
    "table past 70 KB": lambda program: osslsign(program, "-ac", many_certificates(scratch("big-"))),
    "archive planted in the table": lambda program: (osslsign(program), grow_signature_table(program,
                                                                                             planted_archive())),
}


@pytest.mark.parametrize("how", SIGNINGS)
def test_setup_program_signed_after_building_installs_the_publishers_files(how):
    program = build(distribution(), "Signed.exe")
    SIGNINGS[how](program)
    table = security_directory(program)
    assert table.Size > 0
    if how == "table past 70 KB":
        assert table.Size > 70 * 1024, table.Size
    setup = Run(program)
    setup.finish()
    # The publisher's setup file ran, never one from inside the signature table.
    assert setup.marker()[2].endswith("\\bin\\setup.exe"), setup.marker()


@pytest.mark.parametrize("folder", ["Иван", "张三"])
def test_temporary_folder_outside_the_ansi_code_page(folder):
    # An English system (code page 1252) whose user's temporary folder has a Cyrillic or Chinese
    # name: every path stays wide, so the setup installs and cleans up as anywhere else.
    program = build(distribution(), "Wide.exe")
    with user_temp_in(folder) as temp:
        setup = Run(program, locale="en_US.UTF-8")
        result = finish(setup.proc, 60)
        assert result.code == 0, result
        assert not [w for w in windows() if w["title"] == "Error"]
        # The setup file ran from a working folder there, which is gone afterwards.
        assert f"\\Temp\\{folder}\\kel" in setup.marker()[2], setup.marker()
        assert setup.marker()[2].endswith("\\bin\\setup.exe"), setup.marker()
        # Only the run's log stays.
        assert [p.name[:13] for p in temp.iterdir()] == ["Pondrel Wide "], "the working folders stayed behind"


def test_entries_deeper_than_260_characters_unpack_and_go():
    # Eight levels of 50 characters: the file lies about 450 characters below the working folder.
    deep = "/".join(f"{level}" + "d" * 49 for level in range(8)) + "/deep.txt"
    program = build_from_zip({deep: b"at the bottom", "top.txt": b"top"}, "Deep.exe")
    hold = scratch("hold-") / "release"
    seen = {}

    setup = Run(program, extra={"PONDREL_MARKER_HOLD": winpath(hold)})
    assert wait_for(lambda: setup.marker(), 60), "the setup file did not start"
    created = [f for f in setup.folders.look() if (f / "top.txt").exists()]
    assert len(created) == 1, created
    seen["deep"] = (created[0] / deep).read_bytes()
    hold.write_text("go")
    setup.finish()
    assert seen["deep"] == b"at the bottom"


@pytest.mark.parametrize("name", ["tmp.zip", "TMP.ZIP", "tmp.zip.", "tmp.zip. "])
def test_entry_named_like_the_archive_copy_installs(name):
    # Entries the unpacker writes while it reads the archive copy must never reach that copy.
    program = build_from_zip({name: os.urandom(300_000), "readme.txt": b"readme"}, "Named.exe")
    setup = Run(program)
    result = setup.finish()
    assert setup.marker()[2].endswith("\\bin\\setup.exe"), (name, setup.marker(), result)
