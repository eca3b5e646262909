"""Input handled safely under Wine: values that would break the quoting of the command lines
are refused, names and paths in Cyrillic and Chinese go through the whole life of a service,
updates keep the stored arguments what the host needs, the system's own accounts, and the
sample scripts in an agent home holding & and ^.

Wine gets LC_ALL=C.UTF-8 wherever non-ASCII text crosses its command line: under the C
locale it keeps only 7 bits of each byte. Unicode registry values are read with the probe's
wide registry call (a piped `reg query` loses characters outside code page 437).
"""

import shutil

import pytest

from vornel.wine import BIN, wait_until

PREFIX = "OrvikTamberVornel6100AgentService - "
SERVICES = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\"
UTF8 = {"LC_ALL": "C.UTF-8"}
STOPPED, RUNNING = 1, 4

# The injection of the report: a double quote ends the quoted agent name in the scripts'
# command line, and the command interpreter runs the rest as LocalSystem at every start and stop.
INJECTION = 'a1" & echo inj > C:\\pwned_name.txt & rem "'
PWNED = "C:\\pwned_name.txt"


def remove_service(wine, full_name):
    if wine.service_state(full_name) not in (None, STOPPED):
        wine.sc("stop", full_name)
        wine.wait_for_state(full_name, STOPPED, timeout=30)
    wine.sc("delete", full_name)
    wine.reg_delete_key(SERVICES + "EventLog\\Application\\" + full_name)


@pytest.fixture(scope="module")
def home(wine):
    """An agent home of this module with the package's programs and the probe."""
    home = "C:\\vornel-input\\"
    bin_dir = wine.layout_agent_home(home)
    shutil.copy2(BIN / "probe.exe", bin_dir / "probe.exe")
    return home


def install(wine, home, *args, env=None):
    return wine.run(home + "bin\\InstallVornelAgentService.exe", *args, env=env)


def scripts_log(wine, home):
    path = wine.unix_path(home + "logs\\middlewareagent\\scripts.log")
    return path.read_bytes().decode(errors="replace").replace("\r", "").splitlines() if path.exists() else []


# --- refusals ---

@pytest.mark.parametrize("option, value, message", [
    ("-agentname", INJECTION, 'The -agentname value must not contain a double quote (").'),
    ("-agentname", "%PATH%", "The -agentname value must not contain a percent sign (%)."),
    ("-agentname", "agent %1", "The -agentname value must not contain a percent sign (%)."),
    ("-agenthome", 'C:\\a" & echo inj > C:\\pwned_name.txt & rem "', 'The -agenthome value must not contain a double quote (").'),
    ("-agenthome", "C:\\%TEMP%\\agent", "The -agenthome value must not contain a percent sign (%)."),
    ("-agenthome", "C:\\a\tb", "The -agenthome value must not contain a control character (0x09)."),
    ("-servicename", "", "The -servicename value must not be empty."),
    ("-servicename", 'e2e" & calc & "', 'The -servicename value must not contain a double quote (").'),
])
def test_values_that_break_the_quoting_are_refused_and_nothing_is_created(wine, home, option, value, message):
    values = {"-servicename": "e2e-refused", "-agentname": "agent", "-agenthome": home}
    values[option] = value
    args = [a for pair in values.items() for a in pair]
    result = install(wine, home, *args)
    assert result.status == 255, result
    assert result.err == message + "\n"
    assert result.out.startswith("\nUsage: InstallVornelAgentService.exe (with no arguments displays this help)")
    assert wine.service_state(PREFIX + values["-servicename"]) is None
    assert wine.reg_query(SERVICES + PREFIX + "e2e-refused") is None
    assert not wine.unix_path(PWNED).exists()


def test_a_stored_agent_name_with_a_double_quote_runs_no_script(wine, home):
    """The report's injection, written into the registry by hand behind the installer's back: the
    host runs neither script, so nothing is ever created, and says why in its output."""
    short, full = "e2e-hand-edited", PREFIX + "e2e-hand-edited"
    remove_service(wine, full)
    result = install(wine, home, "-servicename", short, "-agentname", "agent", "-agenthome", home,
                     "-servicetrace", "on")
    assert result.status == 0, result
    params = SERVICES + full + "\\Parameters"
    pid_file = wine.unix_path(home + "logs\\middlewareagent\\VornelAgent.pidfile")
    agent = home + "bin\\VornelAgent.exe"
    try:
        assert wine.run(home + "bin\\StartVornelAgentService.exe", "-servicename", short).status == 0
        assert wine.wait_for_state(full, RUNNING)
        assert wait_until(lambda: pid_file.exists(), 40), "the agent wrote no pid"
        wine.reg_add(params, "AgentName", INJECTION)
        assert wine.run(home + "bin\\probe.exe", "regvalue", params[5:], "AgentName").raw_out == INJECTION.encode()

        # The stop runs no script: the service goes back to running, and ends with the agent.
        assert wine.run(home + "bin\\StopVornelAgentService.exe", "-servicename", short).status == 0
        stdout_trace = wine.unix_path(home + "logs\\middlewareagent\\VornelAgentService.stdout")
        assert wait_until(lambda: b"stopServer - the agent name (AgentName) holds a double quote; "
                                  b"stopAgent.bat is not run" in stdout_trace.read_bytes(), 20)
        assert not any(line.startswith("stopAgent.bat") for line in scripts_log(wine, home))
        assert wine.run(agent, "-stop", "-pidFile", home + "logs\\middlewareagent\\VornelAgent.pidfile").status == 0
        assert wine.wait_for_state(full, STOPPED)
    finally:
        wine.run(agent, "-stop", "-pidFile", home + "logs\\middlewareagent\\VornelAgent.pidfile")
        remove_service(wine, full)
    assert not wine.unix_path(PWNED).exists()


# --- names in any language ---

UNICODE_HOME = "C:\\Агент 中文\\"
UNICODE_NAME = "агент 名字"
UNICODE_SHORT = "сервис-中"

# Scripts of a test agent installation: the probe records the working directory and the
# arguments in UTF-8 (the command interpreter's own output would lose them), and stands in for
# the agent, since the sample agent renames its pid file with a library call that does not take
# the active code page (see docs/wine.md).
START_SCRIPT = ('@echo off\r\n'
                '"%~dp0probe.exe" record "%~dp0..\\logs\\middlewareagent\\startAgent.args" %*\r\n'
                'start "" /b "%~dp0probe.exe" agent "%~dp0..\\logs\\middlewareagent\\VornelAgent.pidfile" > NUL 2>&1\r\n')
STOP_SCRIPT = ('@echo off\r\n'
               '"%~dp0probe.exe" record "%~dp0..\\logs\\middlewareagent\\stopAgent.args" %*\r\n'
               '"%~dp0probe.exe" stopagent "%~dp0..\\logs\\middlewareagent\\VornelAgent.pidfile"\r\n')


def test_a_service_in_cyrillic_and_chinese_lives_its_whole_life(wine):
    home, name, short = UNICODE_HOME, UNICODE_NAME, UNICODE_SHORT
    full = PREFIX + short
    bin_dir = wine.layout_agent_home(home)
    shutil.copy2(BIN / "probe.exe", bin_dir / "probe.exe")
    (bin_dir / "startAgent.bat").write_bytes(START_SCRIPT.encode())
    (bin_dir / "stopAgent.bat").write_bytes(STOP_SCRIPT.encode())
    logs = wine.unix_path(home + "logs\\middlewareagent")
    for leftover in logs.iterdir():
        leftover.unlink()

    def tool(program, *args):
        return wine.run(home + "bin\\" + program, *args, env=UTF8)

    def status():
        return tool("VornelAgentServiceInfo.exe", "-getservicestatus", short).out

    def registry(key, value):
        return tool("probe.exe", "regvalue", key, value).raw_out.decode()

    installed = tool("InstallVornelAgentService.exe", "-servicename", short, "-agentname", name, "-agenthome", home,
                     "-servicetrace", "on")
    try:
        assert installed.status == 0, installed
        assert installed.raw_out == f"Orvik Halcyra Dravenmoor Version 6.1.0.0 - {short} service successfully added.".encode()
        params = "SYSTEM\\CurrentControlSet\\Services\\" + full + "\\Parameters"
        assert registry(params, "AgentName") == name
        assert registry(params, "AgentHome") == home
        assert registry(params, "AgentPidFile") == home + "logs\\middlewareagent\\VornelAgent.pidfile"
        assert registry(params[:-len("\\Parameters")], "ImagePath") == f'"{home}bin\\VornelAgentService.exe" "{full}"'
        assert registry(params[:-len("\\Parameters")], "Description").endswith(":  " + name)

        started = tool("StartVornelAgentService.exe", "-servicename", short)
        assert started.status == 0, started
        assert wait_until(lambda: status() == "The service is running.\n"), status()
        assert wait_until(lambda: (logs / "VornelAgent.pidfile").exists(), 40), "the agent wrote no pid"
        # The start script ran in that bin directory and got the name, quoted, as its first argument.
        recorded = (logs / "startAgent.args").read_bytes().decode().splitlines()
        assert recorded == [home + "bin", name], recorded
        stdout_trace = (logs / "VornelAgentService.stdout").read_bytes().decode()
        assert f"startServer - service name = {full}" in stdout_trace

        assert tool("VornelAgentServiceInfo.exe", "-getservicename", "-agentname", name,
                    "-agenthome", home).raw_out == f"Service Name - {short}".encode()
        assert tool("VornelAgentServiceInfo.exe", "-getagentname", short).raw_out == f"Agent Name - {name}".encode()
        assert tool("VornelAgentServiceInfo.exe", "-getagenthome", short).raw_out == f"Agent Home - {home}".encode()

        stopped = tool("StopVornelAgentService.exe", "-servicename", short)
        assert stopped.status == 0, stopped
        assert wait_until(lambda: status() == "The service is stopped.\n"), status()
        assert (logs / "stopAgent.args").read_bytes().decode().splitlines() == [home + "bin", name]
        assert not (logs / "VornelAgent.pidfile").exists()

        removed = tool("UninstallVornelAgentService.exe", "-servicename", short)
        assert removed.out == f"Remove Service: {short}\n\nSuccessfully removed service {full}.\n"
        assert wait_until(lambda: tool("VornelAgentServiceInfo.exe", "-getservicestatus", short).status == 3)
    finally:
        tool("probe.exe", "stopagent", home + "logs\\middlewareagent\\VornelAgent.pidfile")
        tool("StopVornelAgentService.exe", "-servicename", short)
        tool("UninstallVornelAgentService.exe", "-servicename", short)


def reg_file_text(escaped):
    """A key name or string of a Wine registry file: \\\\ and \\" escape themselves, \\xHHHH (one to
    four hex digits, four when a hex digit follows) is a UTF-16 unit."""
    text, i = [], 0
    while i < len(escaped):
        if escaped[i] == "\\" and i + 1 < len(escaped) and escaped[i + 1] == "x":
            j = i + 2
            while j < len(escaped) and j < i + 6 and escaped[j] in "0123456789abcdefABCDEF":
                j += 1
            text.append(chr(int(escaped[i + 2:j], 16)))
            i = j
        elif escaped[i] == "\\" and i + 1 < len(escaped):
            text.append(escaped[i + 1])
            i += 2
        else:
            text.append(escaped[i])
            i += 1
    return "".join(text)


def reg_file_values(path, key):
    """The string values of one key in a Wine registry file, {name: text}."""
    values, inside = {}, False
    for line in path.read_text(encoding="utf-8", errors="replace").splitlines():
        if line.startswith("["):
            inside = reg_file_text(line[1:line.rindex("]")]).lower() == key.lower()
        elif inside and line.startswith('"') and '"="' in line:
            name, data = line[1:-1].split('"="', 1)
            values[reg_file_text(name)] = reg_file_text(data)
    return values


def test_the_registry_files_hold_the_unicode_text(wine):
    """What the installer wrote with the ANSI calls is Unicode in the registry itself: the
    prefix's system.reg, after a flush, holds the names and the home as UTF-16."""
    home, name, short = UNICODE_HOME, UNICODE_NAME, "e2e-регистр"
    wine.layout_agent_home(home)
    full = PREFIX + short
    result = wine.run(home + "bin\\InstallVornelAgentService.exe", "-servicename", short, "-agentname", name,
                      "-agenthome", home, env=UTF8)
    try:
        assert result.status == 0, result
        wine.flush_registry()
        key = "System\\CurrentControlSet\\Services\\" + full
        params = reg_file_values(wine.prefix / "system.reg", key + "\\Parameters")
        assert params["AgentName"] == name
        assert params["AgentHome"] == home
        service = reg_file_values(wine.prefix / "system.reg", key)
        assert service["ImagePath"] == f'"{home}bin\\VornelAgentService.exe" "{full}"'
        assert service["Description"].endswith(":  " + name)
    finally:
        wine.run(home + "bin\\UninstallVornelAgentService.exe", "-servicename", short, env=UTF8)


# --- updates that keep the service working ---

class RunningService:
    """A service of the sample agent in its own agent home."""

    def __init__(self, wine, short):
        self.wine = wine
        self.short = short
        self.full = PREFIX + short
        self.home = f"C:\\vornel-input-{short}\\"
        self.pid_file = self.home + "logs\\middlewareagent\\VornelAgent.pidfile"

    def lay_out(self):
        self.wine.layout_agent_home(self.home)
        logs = self.wine.unix_path(self.home + "logs\\middlewareagent")
        for leftover in logs.iterdir():
            leftover.unlink()
        remove_service(self.wine, self.full)
        return self

    def install(self, *args, short=None):
        return install(self.wine, self.home, "-servicename", short or self.short, "-agentname", "agent",
                       "-agenthome", self.home, *args)

    def start_and_stop(self):
        """The arguments the start script got, from the sample's scripts.log."""
        assert self.wine.sc("start", self.full).status == 0
        assert self.wine.wait_for_state(self.full, RUNNING)
        pid = self.wine.unix_path(self.pid_file)
        assert wait_until(lambda: pid.exists(), 40), "the agent wrote no pid"
        assert self.wine.sc("stop", self.full).status == 0
        assert self.wine.wait_for_state(self.full, STOPPED)
        starts = [line for line in scripts_log(self.wine, self.home) if line.startswith("startAgent.bat")]
        return starts[-1].split(" args=[", 1)[1][:-1]

    def remove(self):
        self.wine.run(self.home + "bin\\VornelAgent.exe", "-stop", "-pidFile", self.pid_file)
        remove_service(self.wine, self.full)


@pytest.fixture
def running_service(wine):
    made = []

    def make(short):
        made.append(RunningService(wine, short).lay_out())
        return made[-1]

    yield make
    for svc in made:
        svc.remove()


# Longer than the full service name, so that every character of the name takes part.
LONG_ARGS = "-Dagent.argument=one -Dagent.argument=two -Dagent.argument=three"


def test_an_update_in_other_letter_case_encodes_with_the_registered_name(running_service):
    svc = running_service("e2e-case")
    assert svc.install("-startargs", "-Dfirst=1 -Dsecond=2", "-encodeparams").status == 0
    updated = svc.install("-startargs", LONG_ARGS, "-encodeparams", short="E2E-CASE")
    assert updated.status == 0, updated
    assert updated.out == "Service already exists, updating parameters...\n"
    assert svc.start_and_stop() == f'"agent" {LONG_ARGS}'


def test_the_installer_pages_two_examples_in_order_keep_the_arguments(running_service):
    """docs/installer.md: install with encoded start arguments, then update the start type."""
    svc = running_service("e2e-example")
    first = svc.install("-startargs", "-Ddemo.mode=tour -Ddemo.level=2", "-encodeparams", "-servicetrace", "on")
    assert first.status == 0, first
    assert svc.install("-starttype", "automatic").status == 0
    params = SERVICES + svc.full + "\\Parameters"
    assert svc.wine.reg_query(params, "Encoded") == "on"
    assert svc.start_and_stop() == '"agent" -Ddemo.mode=tour -Ddemo.level=2'
    # And back to plain: the new arguments and the earlier stop arguments are stored as typed.
    assert svc.install("-stopargs", "now").status == 0
    assert svc.wine.reg_query(params, "Encoded") == "off"
    assert svc.wine.reg_query(params, "StartupArguments") == "-Ddemo.mode=tour -Ddemo.level=2"
    assert svc.start_and_stop() == '"agent" -Ddemo.mode=tour -Ddemo.level=2'


# --- the system's own accounts ---

def test_the_systems_own_accounts(running_service):
    svc = running_service("e2e-account")
    key = SERVICES + svc.full
    assert svc.install("-userid", "LocalSystem").status == 0
    assert svc.wine.reg_query(key, "ObjectName") == "LocalSystem"
    assert svc.install("-userid", "bob", "-password", "secret").status == 0
    assert svc.wine.reg_query(key, "ObjectName") == ".\\bob"
    # Once -userid has been used, an update returns the service to the local system account.
    assert svc.install("-userid", "localsystem").status == 0
    assert svc.wine.reg_query(key, "ObjectName") == "LocalSystem"
    assert svc.install("-userid", "NetworkService").status == 0
    assert svc.wine.reg_query(key, "ObjectName") == "NT AUTHORITY\\NetworkService"
    assert svc.install("-userid", "LOCALSERVICE").status == 0
    assert svc.wine.reg_query(key, "ObjectName") == "NT AUTHORITY\\LocalService"
    assert svc.install("-userid", "LocalSystem").status == 0
    svc.start_and_stop()


# --- the sample scripts ---

def test_the_sample_scripts_work_in_an_agent_home_with_ampersand_caret_and_blanks(wine):
    """The service runs the sample scripts through the command interpreter with the agent home
    in their path; they quote everything they echo or pass on. (A % cannot be tested here: the
    installer refuses it, and Wine's command interpreter drops it from a script's own path.)"""
    home, short = "C:\\vornel a&b ^c (d) e!\\", "e2e-awkward"
    full = PREFIX + short
    wine.layout_agent_home(home)
    logs = wine.unix_path(home + "logs\\middlewareagent")
    for leftover in logs.iterdir():
        leftover.unlink()
    remove_service(wine, full)
    params = SERVICES + full + "\\Parameters"
    try:
        result = install(wine, home, "-servicename", short, "-agentname", "agent & one", "-agenthome", home,
                         "-startargs", "-Dx=1 -Dy=2")
        assert result.status == 0, result
        wine.reg_add(params, "LogFile", home + "logs\\agent.log")
        assert wine.sc("start", full).status == 0
        assert wine.wait_for_state(full, RUNNING)
        assert wait_until(lambda: (logs / "VornelAgent.pidfile").exists(), 40), "the agent wrote no pid"
        assert wine.sc("stop", full).status == 0
        assert wine.wait_for_state(full, STOPPED)
        assert not (logs / "VornelAgent.pidfile").exists(), "the stop script did not end the agent"
        assert scripts_log(wine, home) == [
            f'startAgent.bat cwd=["{home}bin"] args=["agent & one" -Dx=1 -Dy=2 ]',
            f'stopAgent.bat cwd=["{home}bin"] args=["agent & one" ]',
        ]
        output = wine.unix_path(home + "logs\\agent.log").read_bytes().decode().replace("\r", "")
        assert output.startswith('Starting the agent "agent & one"\n'), output
        assert 'Stopping the agent "agent & one"\n' in output
    finally:
        wine.run(home + "bin\\VornelAgent.exe", "-stop", "-pidFile", home + "logs\\middlewareagent\\VornelAgent.pidfile")
        remove_service(wine, full)
