"""The administrators' pages against the programs: each page's usage text is what the program
prints for -help (the host: run by hand without arguments), line for line; every answer a
page quotes after a command typed at the prompt `C:\\VornelAgent\\bin>` (the README's too) is
what the program prints for that command, in the situation the page describes; and every
script a page shows (a code block marked `bat`) runs under Wine's command interpreter, in the
agent home's bin folder, to its end.

In a quoted answer, `<...>` stands for any text (a system's message, a value), a line `...`
for any lines, and a trace line's time stamp for any time stamp. Both streams count, as a
console shows them: the answer's lines are the lines of standard error and standard output,
each stream in its own order; line ends are compared without their carriage returns, and
blank lines at the end of an answer or a stream do not count.
"""

import functools
import re

import pytest

from vornel.wine import REPO, wait_until

PAGES = {
    "installer.md": ("InstallVornelAgentService.exe", ["-help"]),
    "start.md": ("StartVornelAgentService.exe", ["-help"]),
    "stop.md": ("StopVornelAgentService.exe", ["-help"]),
    "uninstall.md": ("UninstallVornelAgentService.exe", ["-help"]),
    "info.md": ("VornelAgentServiceInfo.exe", ["-help"]),
    "service-host.md": ("VornelAgentService.exe", []),
}
HOME = "C:\\vornel-docs\\"

# The pages' examples run in the agent home they show, with the service they show.
DEMO_HOME = "C:\\VornelAgent\\"
PROMPT = "C:\\VornelAgent\\bin> "
DEMO = "OrvikTamberVornel6100AgentService - demo"
DEMO_INSTALL = ["-servicename", "demo", "-agentname", "demo agent", "-agenthome", "C:\\VornelAgent"]
STOPPED, RUNNING = 1, 4

# The situation of the service demo before each example of a page, in the page's order:
# "absent", "stopped" (installed as the README installs it), "running", or None (as the
# previous example left it). A page that gains or loses an example fails until this follows.
SITUATIONS = {
    "README.md": ["absent", None, None, None, None],
    "installer.md": ["absent", None, None, None, None, None],
    "info.md": ["running", None, None, None, None, "stopped", None],
    "start.md": ["stopped", None, None, None],
    "stop.md": ["running", "stopped", "stopped"],
    "uninstall.md": ["stopped", "running", None],
    "troubleshooting.md": ["stopped"],
}

# Each page's scripts, in the page's order: the situation before the script (as for SITUATIONS),
# and lines its output must hold.
SCRIPTS = {
    "README.md": [("absent", [])],
    "start.md": [("stopped", [])],
    "stop.md": [("running", [])],
    "info.md": [("running", ["demo is running"])],
    "uninstall.md": [("running", [])],
}


def page_text(page):
    return (REPO / page if page == "README.md" else REPO / "docs" / page).read_text()


def code_blocks(text):
    """(language, text) of every fenced code block, in order; the language is what follows the
    opening fence ("" for none)."""
    blocks, current = [], None
    for line in text.split("\n"):
        if current is None and line.startswith("```"):
            current = (line[3:].strip(), [])
        elif current is not None and line == "```":
            blocks.append((current[0], "".join(l + "\n" for l in current[1])))
            current = None
        elif current is not None:
            current[1].append(line)
    return blocks


def scripts(page):
    """The text of every code block of the page marked `bat`."""
    return [text for language, text in code_blocks(page_text(page)) if language == "bat"]


def usage_block(page):
    """The first code block after the page's usage heading, as lines."""
    text = page_text(page)
    heading = re.search(r"^#+ [^\n]*[Uu]sage text[^\n]*\n", text, re.MULTILINE)
    assert heading, f"docs/{page} has no usage text"
    plain = [block for language, block in code_blocks(text[heading.end():]) if language == ""]
    assert plain, f"docs/{page} has no usage text"
    return plain[0].split("\n")[:-1]


def examples(page):
    """(command line, answer lines) of every command typed at the prompt in the page's code
    blocks that quotes an answer."""
    found = []
    for block in (text for language, text in code_blocks(page_text(page)) if language == ""):
        current = None
        for line in block.split("\n"):
            if line.startswith(PROMPT):
                current = (line[len(PROMPT):], [])
                found.append(current)
            elif current is not None:
                current[1].append(line)
    answered = []
    for command, answer in found:
        while answer and answer[-1] == "":
            answer.pop()
        if answer:
            answered.append((command, answer))
    return answered


def split_command_line(line):
    """The arguments a program gets from a command line typed in cmd.exe (the C runtime's
    rules: blanks separate outside quotes, backslashes before a quote escape it)."""
    args, current, quoted, has_arg, i = [], [], False, False, 0
    while i < len(line):
        c = line[i]
        if c == "\\":
            j = i
            while j < len(line) and line[j] == "\\":
                j += 1
            if j < len(line) and line[j] == '"':
                current.append("\\" * ((j - i) // 2))
                if (j - i) % 2:
                    current.append('"')
                    i = j + 1
                else:
                    i = j
                has_arg = True
                continue
            current.append(line[i:j])
            i, has_arg = j, True
            continue
        if c == '"':
            quoted, has_arg = not quoted, True
        elif c in " \t" and not quoted:
            if has_arg:
                args.append("".join(current))
            current, has_arg = [], False
        else:
            current.append(c)
            has_arg = True
        i += 1
    if has_arg:
        args.append("".join(current))
    return args


TIME_STAMP = re.compile(r"^(Sun|Mon|Tue|Wed|Thu|Fri|Sat) \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4} - ")


def line_patterns(lines):
    """One regular expression per quoted line; None for a line `...`."""
    patterns = []
    for line in lines:
        if line == "...":
            patterns.append(None)
            continue
        prefix = ""
        if TIME_STAMP.match(line):
            prefix = r"\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4} - "
            line = TIME_STAMP.sub("", line)
        pieces = re.split(r"(<[^<>]+>)", line)
        patterns.append(re.compile(prefix + "".join(".+?" if piece.startswith("<") and piece.endswith(">")
                                                    else re.escape(piece) for piece in pieces)))
    return patterns


def stream_lines(text):
    lines = text.split("\n")
    while lines and lines[-1] == "":
        lines.pop()
    return lines


def matches(lines, result):
    """Whether the quoted answer is what the program printed: its lines are the lines of the
    two streams, taken in each stream's order and interleaved as a console shows them."""
    patterns = line_patterns(lines)
    err, out = stream_lines(result.err), stream_lines(result.out)

    @functools.lru_cache(maxsize=None)
    def rest_matches(i, e, o):
        if i == len(patterns):
            return e == len(err) and o == len(out)
        pattern = patterns[i]
        if pattern is None:
            return (rest_matches(i + 1, e, o) or (e < len(err) and rest_matches(i, e + 1, o))
                    or (o < len(out) and rest_matches(i, e, o + 1)))
        return ((e < len(err) and pattern.fullmatch(err[e]) is not None and rest_matches(i + 1, e + 1, o))
                or (o < len(out) and pattern.fullmatch(out[o]) is not None and rest_matches(i + 1, e, o + 1)))

    return rest_matches(0, 0, 0)


class Demo:
    """The service demo of the pages in the agent home C:\\VornelAgent\\."""

    def __init__(self, wine):
        self.wine = wine
        self.bin = wine.layout_agent_home(DEMO_HOME)

    def run(self, program, *args):
        return self.wine.run(DEMO_HOME + "bin\\" + program, *args, cwd=self.bin)

    def pid_file(self):
        return DEMO_HOME + "logs\\middlewareagent\\VornelAgent.pidfile"

    def stop_agent(self):
        self.run("VornelAgent.exe", "-stop", "-pidFile", self.pid_file())

    def settled_state(self):
        """The service's state once it is neither starting nor stopping (None: not installed)."""
        def settled():
            state = self.wine.service_state(DEMO)
            return (state,) if state not in (2, 3) else None
        found = wait_until(settled, 40)
        return found[0] if found else self.wine.service_state(DEMO)

    def stop(self):
        if self.settled_state() == RUNNING:
            self.wine.sc("stop", DEMO)
        assert self.wine.wait_for_state(DEMO, STOPPED, timeout=40), self.wine.sc("query", DEMO)
        self.stop_agent()

    def absent(self):
        if self.wine.service_state(DEMO) is None:
            return
        self.stop()
        self.run("UninstallVornelAgentService.exe", "-servicename", "demo")
        assert wait_until(lambda: self.wine.service_state(DEMO) is None)

    def stopped(self):
        if self.wine.service_state(DEMO) is None:
            assert self.run("InstallVornelAgentService.exe", *DEMO_INSTALL).status == 0
        self.stop()

    def running(self):
        if self.wine.service_state(DEMO) == RUNNING:
            return
        self.stopped()
        assert self.run("StartVornelAgentService.exe", "-servicename", "demo").status == 0
        assert self.wine.wait_for_state(DEMO, RUNNING)
        pid = self.wine.unix_path(self.pid_file())
        assert wait_until(lambda: pid.exists(), 40), "the agent wrote no pid"


@pytest.fixture(scope="module")
def home(wine):
    wine.layout_agent_home(HOME)
    return HOME


@pytest.fixture(scope="module")
def demo(wine):
    demo = Demo(wine)
    yield demo
    demo.absent()


@pytest.mark.parametrize("page", sorted(PAGES))
def test_the_page_shows_the_usage_text_the_program_prints(wine, home, page):
    program, args = PAGES[page]
    result = wine.run(home + "bin\\" + program, *args)
    assert result.status == 0, result
    printed = result.out.split("\n")
    assert usage_block(page) == printed


@pytest.mark.parametrize("page", sorted(SITUATIONS))
def test_every_answer_the_page_quotes_is_what_the_program_prints(demo, page):
    quoted = examples(page)
    assert len(quoted) == len(SITUATIONS[page]), [command for command, _ in quoted]
    for (command, answer), situation in zip(quoted, SITUATIONS[page]):
        if situation is not None:
            getattr(demo, situation)()
        program, *args = split_command_line(command)
        result = demo.run(program, *args)
        if not matches(answer, result) and "-getservicestatus" in args:
            # A state the service is only reaching: the start and stop tools do not wait.
            result = wait_until(lambda: (lambda r: r if matches(answer, r) else None)(demo.run(program, *args)),
                                timeout=30) or result
        assert matches(answer, result), f"{page}: {command}\nquoted:\n" + "\n".join(answer) + \
            f"\nprinted:\n{result.err}{result.out}"


def test_every_page_with_scripts_is_listed():
    pages = ["README.md"] + sorted(p.name for p in (REPO / "docs").glob("*.md"))
    with_scripts = {page: len(scripts(page)) for page in pages if scripts(page)}
    assert with_scripts == {page: len(listed) for page, listed in SCRIPTS.items()}


@pytest.mark.parametrize("page", sorted(SCRIPTS))
def test_every_script_the_page_shows_runs_under_wines_command_interpreter(demo, page):
    for i, (text, (situation, expected)) in enumerate(zip(scripts(page), SCRIPTS[page])):
        getattr(demo, situation)()
        # A script's "goto failed" ends it with status 1, as the page's caller would.
        body = "@echo off\n" + text + "goto :eof\n:failed\necho The script failed.\nexit /b 1\n"
        demo.wine.unix_path(DEMO_HOME + "bin\\docs-script.bat").write_bytes(body.replace("\n", "\r\n").encode())
        result = demo.wine.run("cmd", "/c", DEMO_HOME + "bin\\docs-script.bat", cwd=demo.bin)
        assert result.status == 0 and "The script failed." not in result.out, f"{page}: script {i}\n{text}\n{result}"
        for line in expected:
            assert line in result.out.splitlines(), f"{page}: script {i} printed no {line!r}\n{result}"


def test_the_host_writes_the_console_lines_the_page_quotes(demo, wine):
    """service-host.md quotes what the StdOutTraceFile receives at each start."""
    text = page_text("service-host.md")
    match = re.search(r"The `StdOutTraceFile` receives, for each start, lines such as:\n\n```\n(.*?)^```",
                      text, re.MULTILINE | re.DOTALL)
    assert match, "service-host.md quotes no console lines"
    demo.stopped()
    assert demo.run("StartVornelAgentService.exe", "-servicename", "demo", "-servicetrace", "on").status == 0
    try:
        stdout_trace = wine.unix_path(DEMO_HOME + "logs\\middlewareagent\\VornelAgentService.stdout")
        quoted = [line for line in match.group(1).split("\n") if line.strip()]
        assert wait_until(lambda: stdout_trace.exists() and all(
            line in stdout_trace.read_bytes().decode(errors="replace").replace("\r", "") for line in quoted), 20), \
            quoted
    finally:
        demo.stopped()
        demo.run("StartVornelAgentService.exe", "-servicename", "demo", "-servicetrace", "off")
        demo.stopped()


@pytest.mark.parametrize("command, expected", [
    ('a -b "c d"', ["a", "-b", "c d"]),
    ('-agentname "demo \\"agent\\"" x', ["-agentname", 'demo "agent"', "x"]),
    ('-agenthome C:\\VornelAgent\\ "C:\\a b\\\\"', ["-agenthome", "C:\\VornelAgent\\", "C:\\a b\\"]),
    ('"" x', ["", "x"]),
])
def test_command_lines_split_as_the_c_runtime_splits_them(command, expected):
    assert split_command_line(command) == expected


def test_answers_match_with_their_stand_ins():
    class R:
        def __init__(self, out, err=""):
            self.out, self.err = out, err
    assert matches(["Failed to add service: <the system's text>"], R("", "Failed to add service: Service exists.\n\n"))
    assert not matches(["Failed to add service: <the system's text>"], R("", "Failed to add service: \n"))
    assert matches(["'auto' is bad", "", "Usage: x", "..."], R("\nUsage: x\n   -a\n   -b", "'auto' is bad\n"))
    assert not matches(["Successfully started service."], R("Successfully stopped service.\n"))
    assert matches(["Tue Dec  8 04:33:14 2026 - a - b", "...", "Done."],
                   R("Done.\n", "Mon Jan  1 01:02:03 2027 - a - b\nMon Jan  1 01:02:03 2027 - c\n"))
    # The streams interleave as a console shows them, each in its own order.
    assert matches(["t1", "answer", "t2"], R("answer\n", "t1\nt2\n"))
    assert not matches(["t2", "answer", "t1"], R("answer\n", "t1\nt2\n"))
