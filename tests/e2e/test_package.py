"""The Windows package: the ZIP that `cmake --build --preset windows --target package` makes.

It is unpacked into an agent home (C:\\VornelAgent, say) on a bare Windows, so it must hold
exactly the agent home's files, its programs may import system DLLs only, and the agent homes
that the demo and the end-to-end tests lay out must be the same tree.
"""

import os
import subprocess
import zipfile

import pytest

from vornel.wine import BUILD, REPO, project_version

PROGRAMS = ["VornelAgentService.exe", "InstallVornelAgentService.exe", "StartVornelAgentService.exe",
            "StopVornelAgentService.exe", "UninstallVornelAgentService.exe", "VornelAgentServiceInfo.exe"]
SAMPLE_AGENT = ["VornelAgent.exe", "startAgent.bat", "stopAgent.bat"]
MESSAGE_FILE = "VornelAgentServiceMsg.dll"
# What a bare 64-bit Windows has: the programs link the C++ runtime statically, and the C
# runtime they use (msvcrt.dll) is part of the system.
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll", "user32.dll"}


def expected_entries():
    """Every file of the package, as it lies under the agent home."""
    files = ["README.md"] + ["bin/" + name for name in PROGRAMS + SAMPLE_AGENT + [MESSAGE_FILE]]
    files += ["docs/" + doc.name for doc in (REPO / "docs").iterdir() if doc.is_file()]
    return sorted(files)


@pytest.fixture(scope="module")
def package(tmp_path_factory):
    """The ZIP, built now, and the directory it has been unpacked into."""
    if BUILD == REPO / "build" / "windows":
        command = ["cmake", "--build", "--preset", "windows", "--target", "package"]
    else:
        command = ["cmake", "--build", str(BUILD), "--target", "package"]
    built = subprocess.run(command, cwd=REPO, capture_output=True, text=True, timeout=900)
    assert built.returncode == 0, built.stdout + built.stderr
    path = BUILD / "package" / f"VornelAgentService-{project_version()}-win64.zip"
    assert path.is_file(), built.stdout
    unpacked = tmp_path_factory.mktemp("package")
    with zipfile.ZipFile(path) as archive:
        archive.extractall(unpacked)
    return path, unpacked


def files_of(archive_path):
    with zipfile.ZipFile(archive_path) as archive:
        return sorted(info.filename for info in archive.infolist() if not info.is_dir())


def imported_dlls(path):
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(path)], capture_output=True, text=True,
                          check=True).stdout
    return {line.split(":", 1)[1].strip().lower() for line in dump.splitlines() if "DLL Name:" in line}


def test_the_package_holds_exactly_the_agent_home(package):
    path, _ = package
    assert files_of(path) == expected_entries()


def sections(path):
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-h", str(path)], capture_output=True, text=True,
                          check=True).stdout
    return [line.split()[1] for line in dump.splitlines() if line.strip()[:1].isdigit()]


def code(path, scratch):
    """The bytes of a program's .text section."""
    out = scratch / (path.name + ".text")
    subprocess.run(["x86_64-w64-mingw32-objcopy", "-O", "binary", "--only-section=.text", str(path), str(out)],
                   check=True)
    return out.read_bytes()


def test_the_shipped_programs_are_the_build_stripped_and_the_scripts_keep_crlf(package, tmp_path):
    path, unpacked = package
    for name in PROGRAMS + ["VornelAgent.exe"]:
        shipped, built = unpacked / "bin" / name, BUILD / "bin" / name
        assert not [s for s in sections(shipped) if s.startswith(".debug")], f"{name} ships debug sections"
        # The build keeps its debug sections for whoever debugs a crash; the code is the same.
        assert [s for s in sections(built) if s.startswith(".debug")], f"{name} in the build lost its debug sections"
        assert code(shipped, tmp_path) == code(built, tmp_path), name
        assert shipped.stat().st_size < built.stat().st_size / 2, name
    # What the README says of the package's size.
    assert path.stat().st_size < 1.5 * 1024 * 1024, path.stat().st_size
    for script in ("startAgent.bat", "stopAgent.bat"):
        shipped = (unpacked / "bin" / script).read_bytes()
        assert shipped.replace(b"\r\n", b"\n") == (REPO / "sample-agent" / "bin" / script).read_bytes().replace(
            b"\r\n", b"\n"), script
        # cmd.exe on Windows misreads labels and long lines of a script without CR LF.
        assert b"\n" not in shipped.replace(b"\r\n", b""), f"{script} has lines that do not end in CR LF"


@pytest.mark.parametrize("name", PROGRAMS + ["VornelAgent.exe", MESSAGE_FILE])
def test_each_shipped_binary_imports_only_system_dlls(package, name):
    _, unpacked = package
    dlls = imported_dlls(unpacked / "bin" / name)
    assert dlls, f"{name}: no imports found; not a PE file?"
    assert dlls <= SYSTEM_DLLS, f"{name} imports {sorted(dlls - SYSTEM_DLLS)}"


def without_stamp(data, name):
    """A file's bytes, for a PE file without the time stamp and the checksum of its headers,
    which strip sets anew each time it strips a program."""
    if not name.endswith((".exe", ".dll")) or data[:2] != b"MZ":
        return data
    pe = int.from_bytes(data[0x3C:0x40], "little")
    stamp, checksum = pe + 8, pe + 0x58
    data = bytearray(data)
    data[stamp:stamp + 4] = bytes(4)
    data[checksum:checksum + 4] = bytes(4)
    return bytes(data)


def test_an_agent_home_laid_out_by_the_rig_is_the_package(wine, package):
    _, unpacked = package
    home = "C:\\vornel-package\\"
    wine.layout_agent_home(home, logs=False)
    laid_out = wine.unix_path(home)
    files = sorted(str(p.relative_to(laid_out)) for p in laid_out.rglob("*") if p.is_file())
    assert files == expected_entries()
    for relative in files:
        assert without_stamp((laid_out / relative).read_bytes(), relative) == \
            without_stamp((unpacked / relative).read_bytes(), relative), relative
    # The ZIP cannot hold an empty directory: the installer makes the agent's log directory.
    assert not (laid_out / "logs").exists()


def test_the_demo_tour_passes_every_check(package, tmp_path):
    # The Quick start's first command, on the package just built, in a prefix of its own.
    tour = subprocess.run(["/usr/bin/python3", str(REPO / "scripts" / "demo.py"), "--prefix", str(tmp_path / "wine")],
                          cwd=REPO, capture_output=True, text=True, timeout=600)
    try:
        assert tour.returncode == 0 and "checks passed." in tour.stdout, tour.stdout[-3000:] + tour.stderr
    finally:
        subprocess.run(["wineserver", "-k"], env={**os.environ, "WINEPREFIX": str(tmp_path / "wine")})
