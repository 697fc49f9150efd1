"""The README's main job on the bundled sample: the sample distribution is built into a setup
program and run, as scripts/run-sample.sh does it."""
import subprocess

from bench import ARTIFACTS, PREFIX, SOURCE, work_folders


def test_sample_builds_installs_and_cleans_up():
    before = set(work_folders())
    out = ARTIFACTS / "sample"
    result = subprocess.run(["bash", str(SOURCE / "scripts" / "sample-run.sh"), str(out)], capture_output=True,
                            text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Succesfully created sfx" in result.stdout
    assert "working folder removed" in result.stdout
    installed = PREFIX / "drive_c" / "users"
    assert list(installed.glob("*/AppData/Local/Kelm Sample Client/welcome.txt")), result.stdout
    assert (out / "sample-setup.png").stat().st_size > 0
    assert set(work_folders()) == before
