"""The README's main job on the bundled samples: the setup-file sample and the client
distribution are built into setup programs and run, as scripts/run-sample.sh does it."""
import subprocess

from bench import ARTIFACTS, SOURCE, WorkFolderWatch, prefix_folder, program_files


def test_sample_builds_installs_and_cleans_up():
    folders = WorkFolderWatch()
    out = ARTIFACTS / "sample"
    result = subprocess.run(["bash", str(SOURCE / "scripts" / "sample-in-bench.sh"), str(out)], capture_output=True,
                            text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.count("Succesfully created sfx") == 2, result.stdout
    assert "working folders removed" in result.stdout
    assert (prefix_folder("LOCALAPPDATA") / "Kelm Sample Client" / "welcome.txt").exists(), result.stdout
    # The shipped 32-bit build's sample package is a 32-bit one.
    client = program_files("Kelm Sample", bits=32)
    assert (client / "1.0" / "bin" / "cacertnx.pem").read_bytes() == \
        (SOURCE / "sample" / "client" / "cacertnx.pem").read_bytes(), result.stdout
    settings = (prefix_folder("APPDATA") / "Kelm" / "Tarnel" / "Tarnel.cfg").read_bytes()
    assert settings.startswith(b"\xff\xfe") and "DefaultVersion=1.0.0\r\n" in settings[2:].decode("utf-16-le")
    for shot in ("sample-setup.png", "client-setup.png", "client-launcher.png"):
        assert (out / shot).stat().st_size > 0, shot
    folders.assert_removed()
    subprocess.run(["wine", "msiexec", "/x", "{3A9C1E52-7B44-4F0D-9E61-2C5B8D7A1F30}", "/qn"], check=True,
                   capture_output=True, timeout=120)
