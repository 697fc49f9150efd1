"""DLLs are loaded from the system folder only: a setup program runs from download folders that
may hold anything, including DLLs named like system ones."""
import os
import shutil

import pefile
import pytest

from bench import PONDREL, PONDREL_MAKE, run, scratch, tool, winpath

# The system's known DLLs: the loader always takes them from the system folder, whatever lies
# beside a program. Any other DLL a program imports is looked up beside it first.
KNOWN_DLLS = {name + ".dll" for name in (
    "ntdll", "kernel32", "user32", "gdi32", "shell32", "advapi32", "msvcrt", "ole32", "oleaut32", "shlwapi",
    "comdlg32", "ws2_32", "rpcrt4", "setupapi", "imm32", "psapi", "sechost", "normaliz", "nsi", "wldap32",
    "imagehlp", "difxapi", "clbcatq", "combase", "coml2", "msctf", "gdiplus", "shcore")}


@pytest.mark.parametrize("name", ["wintrust.dll", "msi.dll", "version.dll"])
def test_dll_planted_beside_the_program_is_not_loaded(name):
    folder = scratch("downloads-")
    probe = folder / "dll_probe.exe"
    shutil.copyfile(tool("dll_probe.exe"), probe)
    shutil.copyfile(tool("planted/wintrust.dll"), folder / name)

    # The plain way finds the planted file first: the folder really is dangerous.
    plain = run(probe, "plain", name)
    assert plain.code == 0, plain
    assert plain.out.strip().lower() == f"z:{str(folder).lower().replace('/', chr(92))}\\{name}"

    protected = run(probe, "protected", name)
    assert protected.code == 0, protected
    assert protected.out.strip().lower() == f"c:\\windows\\system32\\{name}"


# Functions of the system DLLs that Windows has only from Vista on: a program that imports one
# does not start on XP, which the setup program supports. (Wine has them all, so it cannot show
# the failure itself.)
VISTA_AND_LATER = {
    "kernel32.dll": {"GetTickCount64", "InitializeSRWLock", "AcquireSRWLockExclusive", "AcquireSRWLockShared",
                     "ReleaseSRWLockExclusive", "ReleaseSRWLockShared", "TryAcquireSRWLockExclusive",
                     "InitializeConditionVariable", "SleepConditionVariableCS", "SleepConditionVariableSRW",
                     "WakeConditionVariable", "WakeAllConditionVariable", "InitOnceExecuteOnce",
                     "InitOnceBeginInitialize", "InitOnceComplete", "FlsAlloc", "FlsFree", "FlsGetValue",
                     "FlsSetValue", "QueryFullProcessImageNameW", "GetFileInformationByHandleEx",
                     "SetFileInformationByHandle", "GetFinalPathNameByHandleW", "CreateSymbolicLinkW", "CancelIoEx",
                     "GetLocaleInfoEx", "LocaleNameToLCID", "LCIDToLocaleName", "GetUserDefaultLocaleName",
                     "CompareStringEx", "LCMapStringEx", "GetErrorMode", "SetDefaultDllDirectories",
                     "AddDllDirectory", "RemoveDllDirectory", "CreateEventExW", "CreateMutexExW",
                     "CreateSemaphoreExW", "GetThreadId", "Wow64DisableWow64FsRedirection",
                     "Wow64RevertWow64FsRedirection", "GetSystemDefaultLocaleName", "InitializeCriticalSectionEx",
                     "GetCurrentProcessorNumber", "QueryThreadCycleTime", "SetThreadpoolTimer", "CreateThreadpoolWork"},
    "advapi32.dll": {"RegGetValueW", "RegDeleteTreeW", "RegSetKeyValueW", "RegDeleteKeyExW"},
    "shell32.dll": {"SHGetKnownFolderPath", "SHCreateItemFromParsingName"},
    "user32.dll": {"ChangeWindowMessageFilter", "SetProcessDPIAware", "GetDpiForWindow", "ShutdownBlockReasonCreate"},
}


def imports(program):
    """{DLL: set of function names} of a program's import tables, delay imports included."""
    pe = pefile.PE(str(program), fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"],
                                           pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"]])
    result = {}
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []) + getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", []):
        result.setdefault(entry.dll.decode().lower(), set()).update(i.name.decode() for i in entry.imports if i.name)
    pe.close()
    return result


def test_programs_import_only_known_dlls_and_the_stub_only_what_xp_has():
    unknown = {}
    for program in (PONDREL, PONDREL_MAKE):
        imported = imports(program)
        assert "kernel32.dll" in imported, (program.name, imported)
        unknown[program.name] = sorted(set(imported) - KNOWN_DLLS)
    assert unknown == {PONDREL.name: [], PONDREL_MAKE.name: []}
    # The builder binds the window manager by name, for its error boxes only.
    assert "user32.dll" not in imports(PONDREL_MAKE)
    stub = imports(PONDREL)
    assert "GetTickCount" in stub["kernel32.dll"]  # the names are read, not merely the DLLs
    assert {dll: sorted(names & stub.get(dll, set())) for dll, names in VISTA_AND_LATER.items()} == \
        {dll: [] for dll in VISTA_AND_LATER}


@pytest.mark.parametrize("program", ["builder", "setup program", "shell bound by name"])
def test_dlls_planted_in_the_download_folder_are_not_loaded(program):
    folder = scratch("downloads-")
    shutil.copyfile(tool("dll_probe.exe"), folder / "probe.exe")
    for name in ("version.dll", "shlwapi.dll"):
        shutil.copyfile(tool("planted/wintrust.dll"), folder / name)
    marker = folder / "planted-dll-ran"
    # Native first: Wine then looks beside the program before the system folder, as Windows
    # does for any DLL that is not a known one.
    env = {"WINEDLLOVERRIDES": os.environ.get("WINEDLLOVERRIDES", "") + ";version,shlwapi=n,b",
           "PONDREL_PLANTED_MARKER": winpath(marker), "PONDREL_MARKER_DIR": winpath(folder)}

    # The planted DLL runs as soon as something picks it up the plain way.
    control = run(folder / "probe.exe", "plain", "version.dll", env=env)
    assert control.code == 0 and marker.exists(), control
    marker.unlink()

    # What runs there, and what it makes when it ran. The setup program's shell comes later,
    # bound by name: the probe binds it as the setup program does.
    exe, args, made = folder / "probe.exe", ["protected", "shell32.dll"], None
    if program == "builder":
        (folder / "dist").mkdir()
        (folder / "dist" / "readme.txt").write_bytes(b"readme")
        exe, args, made = shutil.copy(PONDREL_MAKE, folder), ["-d", "dist"], folder / "Pondrel.exe"
    elif program == "setup program":
        dist = scratch("dist-")
        shutil.copyfile(tool("signed_marker.exe"), dist / "setup.exe")
        assert run(PONDREL_MAKE, "-d", winpath(dist), "-s", "setup.exe", "-o", winpath(folder), "-c", "Setup.exe").code == 0
        exe, args, made = folder / "Setup.exe", [], folder / "marker.txt"
        # The image asks the loader, where Windows reads it, for the DLLs it imports from the
        # system folder only: DependentLoadFlags LOAD_LIBRARY_SEARCH_SYSTEM32 in its load configuration.
        pe = pefile.PE(str(exe), fast_load=True)
        entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"]]
        assert (entry.Size, pe.get_data(entry.VirtualAddress, entry.Size)[0x36:0x38]) == (64, b"\x00\x08"), entry
    result = run(exe, *args, cwd=folder, env=env)
    assert (result.code, result.err) == (0, ""), result
    assert not marker.exists(), f"the {program} loaded a DLL from its folder"
    assert made.exists() if made else result.out.strip().lower() == "c:\\windows\\system32\\shell32.dll", result
