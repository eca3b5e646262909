"""The administrators' pages against the programs: each page's usage text is what the program
prints for -help (the host: run by hand without arguments), line for line."""

import re

import pytest

from vornel.wine import REPO

PAGES = {
    "installer.md": ("InstallVornelAgentService.exe", ["-help"]),
    "start.md": ("StartVornelAgentService.exe", ["-help"]),
    "stop.md": ("StopVornelAgentService.exe", ["-help"]),
    "uninstall.md": ("UninstallVornelAgentService.exe", ["-help"]),
    "info.md": ("VornelAgentServiceInfo.exe", ["-help"]),
    "service-host.md": ("VornelAgentService.exe", []),
}
HOME = "C:\\vornel-docs\\"


def usage_block(page):
    """The first code block after the page's usage heading, as lines."""
    text = (REPO / "docs" / page).read_text()
    match = re.search(r"^#+ [^\n]*[Uu]sage text[^\n]*\n.*?^```\n(.*?)^```$", text, re.MULTILINE | re.DOTALL)
    assert match, f"docs/{page} has no usage text"
    return match.group(1).split("\n")[:-1]


@pytest.fixture(scope="module")
def home(wine):
    wine.layout_agent_home(HOME)
    return HOME


@pytest.mark.parametrize("page", sorted(PAGES))
def test_the_page_shows_the_usage_text_the_program_prints(wine, home, page):
    program, args = PAGES[page]
    result = wine.run(home + "bin\\" + program, *args)
    assert result.status == 0, result
    printed = result.out.split("\n")
    assert usage_block(page) == printed
