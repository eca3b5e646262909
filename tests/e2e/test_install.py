"""The installer under Wine: the real InstallVornelAgentService.exe against Wine's service
manager and registry, read back with Wine's own reg and sc."""

import pytest

from vornel.wine import BIN, SAMPLE_AGENT, encoded_arguments, wait_until

PREFIX = "OrvikTamberVornel6100AgentService"
PRODUCT = "Orvik Halcyra Dravenmoor Version 6.1.0.0"
SERVICES = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\"
SOURCES = SERVICES + "EventLog\\Application\\"

# Service names of this module only, so that sessions of other modules never meet them.
SHORT = "e2e install"
FULL = f"{PREFIX} - {SHORT}"
HOME = "C:\\vornel-install\\"
OTHER_HOME = "C:\\vornel-install-other\\"
RUN_SHORT = "e2e-install-run"
RUN_FULL = f"{PREFIX} - {RUN_SHORT}"
RUN_HOME = "C:\\vornel-install-run\\"

STOPPED, RUNNING = 1, 4


def installer(home):
    return home + "bin\\InstallVornelAgentService.exe"


def install(wine, home, *args):
    return wine.run(installer(home), *args)


def text_mode(text):
    """The bytes a program's text reaches its output file as: text mode writes each line feed
    as CR LF, so a "\r\n" of the program's own arrives as CR CR LF."""
    return text.encode().replace(b"\n", b"\r\n")


USAGE = ("\r\nUsage: InstallVornelAgentService.exe (with no arguments displays this help)"
         "\r\n        -servicename <Service Name>"
         "\r\n        -agentname <VornelAgent Name>"
         "\r\n        -agenthome <Agent's Root Directory>"
         "\r\n        -startargs <additional start arguments>"
         "\r\n        -stopargs <additional stop arguments>"
         "\r\n        -userid <execution id>"
         "\r\n        -password <password>"
         "\r\n        -encodeparams "
         "\r\n        -noprefix "
         "\r\n        -restart <true | false>"
         "\r\n        -starttype <automatic | manual | disabled>"
         "\r\n        -servicetrace <on | off>"
         "\r\n        -help <Displays this help>"
         "\r\n        -starttype delayed"
         "\r\n        -dependson <name/name...>"
         "\r\n        -recovery <on | off>"
         "\r\n        -shutdowntimeout <seconds>")


def remove_service(wine, full_name):
    wine.sc("stop", full_name)
    wine.wait_for_state(full_name, STOPPED, timeout=20)
    wine.sc("delete", full_name)
    wine.reg_delete_key(SOURCES + full_name)


def values_of(wine, key):
    """Every value of a key as {name: (type, data)}, from one run of Wine's reg."""
    listing = wine.reg_query(key) or ""
    values = {}
    for line in listing.splitlines():
        parts = line.strip().split(None, 2)
        if len(parts) >= 2 and parts[1].startswith("REG_"):
            values[parts[0]] = (parts[1], parts[2] if len(parts) == 3 else "")
    return values


@pytest.fixture(scope="module")
def first_install(wine):
    """node SHORT installed once from HOME, with encoded start arguments and stop arguments."""
    for home in (HOME, OTHER_HOME):
        wine.layout_agent_home(home)
    remove_service(wine, FULL)
    result = install(wine, HOME, "-servicename", SHORT, "-agentname", "agent one", "-agenthome", HOME.rstrip("\\"),
                     "-startargs", "-Dx -Dy", "-stopargs", "now", "-encodeparams", "-restart", "FALSE",
                     "-servicetrace", "on")
    yield result
    remove_service(wine, FULL)


def test_first_install_creates_the_service_with_every_setting(wine, first_install):
    assert first_install.status == 0, first_install
    assert first_install.out == f"{PRODUCT} - {SHORT} service successfully added."
    assert first_install.err == ""

    key = SERVICES + FULL
    image = f'"{HOME}bin\\VornelAgentService.exe" "{FULL}"'
    assert wine.reg_query(key, "ImagePath") == image
    assert wine.reg_query(key, "DisplayName") == f"{PRODUCT} - {SHORT}"
    assert wine.reg_query(key, "Type") == "0x10"
    assert wine.reg_query(key, "Start") == "0x3"
    assert wine.reg_query(key, "ErrorControl") == "0x1"
    assert wine.reg_query(key, "ObjectName") == "LocalSystem"
    assert wine.reg_query(key, "Description") == \
        "Controls the running of an Orvik Halcyra Dravenmoor V6.1 Agent:  agent one"

    logs = HOME + "logs\\middlewareagent"
    expected = {
        "Encoded": "on",
        "AgentHome": HOME,
        "AgentName": "agent one",
        "StartupArguments": encoded_arguments("-Dx -Dy", FULL),
        "StopArguments": encoded_arguments("now", FULL),
        "AgentPidFile": logs + "\\VornelAgent.pidfile",
        "AgentLogRoot": logs,
        "DebugTrace": "on",
        "StdOutTraceFile": logs + "\\VornelAgentService.stdout",
        "StdErrTraceFile": logs + "\\VornelAgentService.stderr",
        "Restart": "false",
    }
    assert values_of(wine, key + "\\Parameters") == {name: ("REG_SZ", text) for name, text in expected.items()}

    assert wine.reg_query(SOURCES + FULL, "EventMessageFile") == HOME + "bin\\VornelAgentServiceMsg.dll"
    assert wine.reg_query(SOURCES + FULL, "TypesSupported") == "0x7"
    assert wine.service_state(FULL) == STOPPED


def test_installing_again_updates_the_existing_service(wine, first_install):
    assert first_install.status == 0
    key = SERVICES + FULL
    old_start_args = wine.reg_query(key + "\\Parameters", "StartupArguments")

    again = install(wine, HOME, "-servicename", SHORT, "-agentname", "agent two", "-agenthome", HOME,
                    "-starttype", "disabled", "-userid", "bob", "-password", "secret")
    assert again.status == 0, again
    assert again.out == "Service already exists, updating parameters...\n"
    assert again.err == ""
    assert wine.reg_query(key, "Start") == "0x4"
    assert wine.reg_query(key, "ObjectName") == ".\\bob"
    assert wine.reg_query(key, "ImagePath") == f'"{HOME}bin\\VornelAgentService.exe" "{FULL}"'
    assert wine.reg_query(key, "DisplayName") == f"{PRODUCT} - {SHORT}"
    assert wine.reg_query(key, "Description").endswith(":  agent two")
    assert wine.reg_query(key + "\\Parameters", "AgentName") == "agent two"
    assert wine.reg_query(key + "\\Parameters", "Restart") == "true"
    assert wine.reg_query(key + "\\Parameters", "DebugTrace") == "off"
    # Neither -encodeparams nor start or stop arguments this time: Encoded and the stored
    # arguments stay as they were, so the host still decodes them.
    assert wine.reg_query(key + "\\Parameters", "StartupArguments") == old_start_args
    assert wine.reg_query(key + "\\Parameters", "Encoded") == "on"

    # Without start type, user or password the configuration is left alone.
    third = install(wine, HOME, "-servicename", SHORT, "-agentname", "agent two", "-agenthome", HOME)
    assert third.status == 0, third
    assert wine.reg_query(key, "Start") == "0x4"
    assert wine.reg_query(key, "ObjectName") == ".\\bob"


def test_installing_from_another_home_fails_and_changes_nothing(wine, first_install):
    assert first_install.status == 0
    key = SERVICES + FULL
    before = (wine.reg_query(key), wine.reg_query(key + "\\Parameters"), wine.reg_query(SOURCES + FULL))

    result = install(wine, OTHER_HOME, "-servicename", SHORT, "-agentname", "intruder", "-agenthome", OTHER_HOME,
                     "-starttype", "automatic", "-startargs", "x")
    status, out, err = result.status, result.raw_out, result.raw_err
    assert status == 255, err
    assert out == b""
    # The label, then the system's own text for the already-exists error (not its bare
    # number), which ends in its own CR LF, then the line end of the label's line.
    label = b"Failed to add service: "
    assert err.startswith(label) and err.endswith(b"\r\r\n\r\n"), err
    reason = err[len(label):-5].strip()
    assert reason and reason != b"1073", err
    assert (wine.reg_query(key), wine.reg_query(key + "\\Parameters"), wine.reg_query(SOURCES + FULL)) == before


def test_a_refused_command_line_prints_the_usage_and_touches_nothing(wine, first_install):
    cases = [
        ([], "Required argument [-servicename] not specified!", 255),
        (["-help", "-bogus"], "", 0),
        (["-servicename", "e2e-install-refused", "-agentname", "a", "-agenthome", HOME, "-starttype", "auto"],
         "'auto' is not a valid argument for -startType.\n", 255),
    ]
    for args, message, expected_status in cases:
        result = install(wine, HOME, *args)
        assert (result.status, result.raw_err) == (expected_status, text_mode(message)), args
        assert result.raw_out == text_mode(USAGE), args
    assert wine.service_state(f"{PREFIX} - e2e-install-refused") is None


def sample_agent_missing():
    needed = [BIN / "VornelAgentService.exe", BIN / "VornelAgent.exe", SAMPLE_AGENT / "bin" / "startAgent.bat",
              SAMPLE_AGENT / "bin" / "stopAgent.bat"]
    missing = [str(p) for p in needed if not p.exists()]
    return ", ".join(missing)


@pytest.mark.skipif(bool(sample_agent_missing()),
                    reason=f"the service host or the sample agent is not built: missing {sample_agent_missing()}")
def test_the_installed_service_runs_the_sample_agent_and_stops(wine):
    wine.layout_agent_home(RUN_HOME)
    remove_service(wine, RUN_FULL)
    pid_file = wine.unix_path(RUN_HOME + "logs\\middlewareagent\\VornelAgent.pidfile")
    if pid_file.exists():
        pid_file.unlink()
    try:
        result = install(wine, RUN_HOME, "-servicename", RUN_SHORT, "-agentname", "runner", "-agenthome", RUN_HOME,
                         "-encodeparams", "-startargs", "-Dsample=1 -Dmore=2")
        assert result.status == 0, result

        started = wine.sc("start", RUN_FULL)
        assert wine.wait_for_state(RUN_FULL, RUNNING), started
        assert wait_until(lambda: pid_file.exists() and pid_file.read_text().strip().isdigit()), \
            "the agent wrote no pid"
        scripts_log = wine.unix_path(RUN_HOME + "logs\\middlewareagent\\scripts.log")
        if scripts_log.exists():
            # The host decoded the stored arguments before it ran the start script.
            assert "-Dsample=1 -Dmore=2" in scripts_log.read_text(errors="replace")

        stopped = wine.sc("stop", RUN_FULL)
        assert stopped.status == 0, stopped
        assert wine.wait_for_state(RUN_FULL, STOPPED), wine.sc("query", RUN_FULL)
    finally:
        remove_service(wine, RUN_FULL)
