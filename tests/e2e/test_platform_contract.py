"""The platform contract suite against the Windows API, under Wine's real registry, service
manager and process creation."""

import shutil

from vornel.wine import BIN


def test_contract_suite_passes_under_wine(wine):
    exe = "platform_contract_win32.exe"
    target = wine.unix_path("C:\\vornel-contract")
    target.mkdir(parents=True, exist_ok=True)
    shutil.copy2(BIN / exe, target / exe)
    path = "C:\\vornel-contract\\" + exe
    result = wine.run(path, "--self=" + path, timeout=300)
    summary = [line for line in result.out.splitlines() if line.startswith("[  PASSED  ]") or "FAILED" in line]
    print("\n".join(summary))
    assert result.status == 0, result.out + result.err
    assert any(line.startswith("[  PASSED  ]") for line in summary)
