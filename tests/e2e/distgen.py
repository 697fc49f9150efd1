"""Generated client distributions for tests and benchmarks: a deterministic mix of compressible
text and incompressible binary files in nested folders, and real installer packages."""
import hashlib
import os
import random
import shutil
import subprocess
from pathlib import Path

WORDS = ("client server update launcher config module texture sound shader locale patch "
         "version install window player region account market session").split()


def generate(root, total_bytes, files, seed=1, random_share=1 / 3):
    """Writes about `total_bytes` in `files` files below `root`: `random_share` of the bytes
    random (a few large binaries carry most of it), the rest text."""
    rng = random.Random(seed)
    root = Path(root)
    root.mkdir(parents=True, exist_ok=True)
    folders = [root] + [root / f"pack{i // 8}" / f"part{i % 8}" for i in range(min(64, max(1, files // 40)))]
    for folder in folders:
        folder.mkdir(parents=True, exist_ok=True)
    binary_budget = int(total_bytes * random_share)
    big = max(1, min(8, files // 500))
    for i in range(big):
        size = binary_budget // big
        (rng.choice(folders) / f"data{i}.pak").write_bytes(rng.randbytes(size))
    text_files = files - big
    text_size = max(1, (total_bytes - binary_budget) // max(1, text_files))
    line = " ".join(rng.choice(WORDS) for _ in range(400)).encode() + b"\n"
    for i in range(text_files):
        size = max(0, int(text_size * rng.uniform(0.2, 1.8)))
        body = (line * (size // len(line) + 1))[:size]
        # A little variation, so files differ.
        header = f"# file {i} seed {rng.random()}\n".encode()
        (folders[i % len(folders)] / f"file{i:05d}.txt").write_bytes(header + body)
    return root


def tree_hashes(root):
    """Relative path (with "/") -> SHA-256 of every file below root."""
    root = Path(root)
    result = {}
    for dirpath, _, filenames in os.walk(root):
        for name in filenames:
            path = Path(dirpath) / name
            result[path.relative_to(root).as_posix()] = hashlib.sha256(path.read_bytes()).hexdigest()
    return result


# The folder a package's files go below, by where it installs ("root": the system drive's root,
# where the installer service puts TARGETDIR).
PLACES = {"x64": "ProgramFiles64Folder", "x86": "ProgramFilesFolder", "root": None}


def msi_package(folder, name="KelmQuorda.msi", manufacturer="Kelm", product_code="{6C1D2E3F-0A1B-4C5D-8E9F-A0B1C2D3E4F5}",
                vendor="KelmTest", version="2.4.1", launcher=None, product_version=True, place="x64"):
    """Builds a real installer package with wixl into `folder`: it installs bin\\client.txt below
    <place>\\<vendor>\\<version>\\ (the product's InstallLocation, which the package registers) and,
    given `launcher` (a program file), common\\tarnel.exe beside that folder. `place` is "x64" (a
    64-bit package, below the 64-bit Program Files folder), "x86" (a 32-bit one, below the 32-bit
    Program Files folder) or "root" (a 64-bit one, below the root of the system drive).
    `product_version=False` deletes the ProductVersion row afterwards. Returns the package."""
    folder = Path(folder)
    sources = folder / f"{name}.src"
    sources.mkdir(parents=True, exist_ok=True)
    (sources / "client.txt").write_text(f"{vendor} {version}\n")
    common = ""
    if launcher:
        shutil.copyfile(launcher, sources / "tarnel.exe")
        common = f"""<Directory Id="COMMON" Name="common"><Component Id="Launcher" Guid="{guid(product_code, 2)}">
                       <File Id="TarnelExe" Name="tarnel.exe" Source="tarnel.exe"/></Component></Directory>"""
    vendor_folder = f"""<Directory Id="VENDOR" Name="{vendor}">
          <Directory Id="INSTALLLOCATION" Name="{version}">
            <Directory Id="BIN" Name="bin"><Component Id="Main" Guid="{guid(product_code, 1)}">
              <File Id="ClientTxt" Name="client.txt" Source="client.txt"/></Component></Directory>
          </Directory>
          {common}
        </Directory>"""
    if PLACES[place]:
        vendor_folder = f'<Directory Id="{PLACES[place]}">{vendor_folder}</Directory>'
    wxs = f"""<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="{product_code}" Name="{vendor} Client" Language="1033" Version="{version}.0" Manufacturer="{manufacturer}"
           UpgradeCode="{guid(product_code, 9)}">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"/>
    <Media Id="1" Cabinet="data.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">{vendor_folder}</Directory>
    <Feature Id="All" Level="1"><ComponentRef Id="Main"/>{'<ComponentRef Id="Launcher"/>' if launcher else ''}</Feature>
    <CustomAction Id="SetARPINSTALLLOCATION" Property="ARPINSTALLLOCATION" Value="[INSTALLLOCATION]"/>
    <InstallExecuteSequence><Custom Action="SetARPINSTALLLOCATION" Sequence="1001"/></InstallExecuteSequence>
  </Product>
</Wix>
"""
    (sources / "package.wxs").write_text(wxs)
    package = folder / name
    subprocess.run(["wixl", "-a", "x86" if place == "x86" else "x64", "-o", str(package), "package.wxs"], cwd=sources,
                   check=True, capture_output=True)
    if not product_version:
        subprocess.run(["msibuild", str(package), "-q", "DELETE FROM `Property` WHERE `Property` = 'ProductVersion'"],
                       check=True, capture_output=True)
    shutil.rmtree(sources)
    return package


def guid(base, n):
    """A GUID derived from `base`, the n-th of a family (components, upgrade code)."""
    return base[:-3] + f"{n:02X}" + base[-1:]
