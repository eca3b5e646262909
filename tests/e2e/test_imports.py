"""Each shipped program and library must run on a bare Windows: it may import system DLLs only."""

import subprocess

import pytest

from wine import BIN

SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll", "user32.dll"}
TEST_TOOLS = {"probe.exe", "platform_contract_win32.exe"}
SHIPPED = sorted(p.name for p in list(BIN.glob("*.exe")) + list(BIN.glob("*.dll")) if p.name not in TEST_TOOLS)


def imported_dlls(path):
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(path)], capture_output=True, text=True,
                          check=True).stdout
    return {line.split(":", 1)[1].strip().lower() for line in dump.splitlines() if "DLL Name:" in line}


@pytest.mark.parametrize("exe", SHIPPED)
def test_imports_only_system_dlls(exe):
    dlls = imported_dlls(BIN / exe)
    assert dlls, exe
    assert dlls <= SYSTEM_DLLS, f"{exe} imports {sorted(dlls - SYSTEM_DLLS)}"
