"""The Windows resources of the agent installation: the event message file's texts and each
program's version resource, read back through the Windows API under Wine from an agent home
laid out as the package lays it out."""

import shutil

import pytest

from vornel.wine import BIN, project_version

PROGRAMS = ["VornelAgentService", "InstallVornelAgentService", "StartVornelAgentService",
            "StopVornelAgentService", "UninstallVornelAgentService", "VornelAgentServiceInfo"]
NAME = "OrvikTamberVornel6100AgentService - probe"
# Each event's insertion strings, as the host reports them, and a piece of its text.
EVENTS = {0x20000068: ([NAME], "starting the agent"),
          0x20000067: ([NAME], "start script has returned"),
          0x2000006D: ([NAME], "did not write a new process id"),
          0x20000069: (["The system cannot find the file specified. "], "stop script could not be started"),
          0x2000006E: (["the agent's job"], "did not finish within StopTimeout"),
          0x2000006F: ([NAME, "4242", "7"], "has ended with exit code 7"),
          0x20000070: ([NAME, "4242"], "names process id 4242, which runs"),
          0x20000071: ([NAME, "16"], "its restart waits 16 seconds"),
          0x20000072: ([NAME, "4242"], "which the service did not start"),
          0x20000073: ([NAME, "4242"], "supervises it again without running the start script"),
          0x20000074: ([NAME, "the script's command line has 8200 characters, more than 8191"],
                       "its start script could not be run")}


@pytest.fixture(scope="module")
def probe_dir(wine):
    """bin\\ of an agent home laid out as the package lays it out, with the probe beside the
    shipped files."""
    home = "C:\\vornel-probe\\"
    bin_dir = wine.layout_agent_home(home)
    shutil.copy2(BIN / "probe.exe", bin_dir / "probe.exe")
    return home + "bin\\"


@pytest.mark.parametrize("event_id", sorted(EVENTS))
def test_message_file_formats_each_event_with_its_insertion_strings(wine, probe_dir, event_id):
    insertions, text = EVENTS[event_id]
    result = wine.run(probe_dir + "probe.exe", "message", probe_dir + "VornelAgentServiceMsg.dll",
                      f"{event_id:08X}", *insertions)
    assert result.status == 0, result
    for insertion in insertions:
        assert insertion in result.out
    assert text in result.out
    assert "%" not in result.out


def test_message_file_has_no_text_for_other_events(wine, probe_dir):
    result = wine.run(probe_dir + "probe.exe", "message", probe_dir + "VornelAgentServiceMsg.dll", "200000FF", "x")
    assert result.status != 0
    assert result.out == ""


@pytest.mark.parametrize("program", PROGRAMS)
def test_each_program_carries_its_product_name_and_version(wine, probe_dir, program):
    if not (BIN / (program + ".exe")).exists():
        pytest.skip(f"{program}.exe is not built yet")
    exe = probe_dir + program + ".exe"
    product = wine.run(probe_dir + "probe.exe", "version", exe, "ProductName")
    version = wine.run(probe_dir + "probe.exe", "version", exe, "FileVersion")
    name = wine.run(probe_dir + "probe.exe", "version", exe, "OriginalFilename")
    assert product.status == 0 and version.status == 0 and name.status == 0
    assert product.out.strip() == "Orvik Halcyra Dravenmoor V6.1 Agent Service"
    assert version.out.strip() == project_version() + ".0"
    assert name.out.strip() == program + ".exe"


@pytest.mark.parametrize("program", PROGRAMS + ["VornelAgent"])
def test_each_program_carries_the_manifest_that_selects_utf8(wine, probe_dir, program):
    result = wine.run(probe_dir + "probe.exe", "manifest", probe_dir + program + ".exe")
    assert result.status == 0, result
    manifest = result.out
    assert ('<activeCodePage xmlns="http://schemas.microsoft.com/SMI/2019/WindowsSettings">UTF-8</activeCodePage>'
            in manifest)
    assert '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' in manifest
    for windows in ("35138b9a-5d96-4fbd-8e2d-a2440225f93a", "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
                    "1f676c76-80e1-4239-95bb-83d0f6d0da78", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"):
        assert f'<supportedOS Id="{{{windows}}}"/>' in manifest, windows


def test_the_manifest_makes_utf8_the_active_code_page(wine, probe_dir):
    """The probe carries the programs' manifest: under it GetACP() and GetOEMCP() are 65001.
    code_page.exe asks the platform's question without the manifest, as on Windows before
    version 1903, and code_page_utf8.exe with it."""
    assert wine.run(probe_dir + "probe.exe", "codepage").out == "65001 65001\n"
    for tool in ("code_page.exe", "code_page_utf8.exe"):
        shutil.copy2(BIN / tool, wine.unix_path(probe_dir + tool))
    utf8 = {"LC_ALL": "C.UTF-8"}
    answers = {
        ("code_page.exe", "plain"): "1252 fits\n",
        ("code_page.exe", "é"): "1252 fits\n",
        ("code_page.exe", "Агент 中文"): "1252 does not fit\n",
        ("code_page_utf8.exe", "Агент 中文"): "65001 fits\n",
    }
    for (tool, argument), answer in answers.items():
        assert wine.run(probe_dir + tool, argument, env=utf8).out == answer, (tool, argument)
