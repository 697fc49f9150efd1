"""DLLs are loaded from the system folder only: a setup program runs from download folders that
may hold anything, including DLLs named like system ones."""
import shutil

import pytest

from bench import run, scratch, tool


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
