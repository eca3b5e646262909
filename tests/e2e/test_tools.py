"""The start, stop and uninstall tools against Wine's service manager and registry.

Services are set up as the installer leaves them, with Wine's own sc and reg: a demand-start
entry whose command line runs the service host with the full service name, the Parameters
values, and the event-log source key. The tests that need a running service need the service
host and the sample agent in the Windows build; without them they are skipped.
"""

import re

import pytest

from vornel.wine import BIN, SAMPLE_AGENT

PREFIX = "OrvikTamberVornel6100AgentService - "
SERVICES_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\"
EVENT_LOG_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\"
HOME = "C:\\vornel-tools\\"  # the agent home of this module's services
STOPPED, RUNNING = 1, 4

STOP_REFUSAL = ("Failed to stop service, or timed out while waiting for stop to complete. "
                "Check the logs for details.\n")
STOP_SCRIPT_LOG = HOME + "logs\\tools-stop-script.log"

# The programs of the Windows build that are not the sample agent's.
OWN_PROGRAMS = {
    "VornelAgentService.exe", "InstallVornelAgentService.exe", "StartVornelAgentService.exe",
    "StopVornelAgentService.exe", "UninstallVornelAgentService.exe", "VornelAgentServiceInfo.exe",
    "platform_contract_win32.exe",
}


def full_name(short):
    return PREFIX + short


def tool(wine, name, *args):
    return wine.run(str(BIN / f"{name}VornelAgentService.exe"), *args)


def reason(line_start, text):
    """The system text after line_start on the text's one line that begins with it; the text must
    be the system's own wording (not empty, not the bare code)."""
    match = re.search("^" + re.escape(line_start) + "(.*)$", text, re.MULTILINE)
    assert match, f"no line beginning with {line_start!r} in {text!r}"
    found = match.group(1).strip()
    assert found and not found.isdigit(), f"no system text in {text!r}"
    return found


def create_service(wine, short, home=HOME):
    """A service as the installer leaves it, stopped."""
    full = full_name(short)
    image = f'"{home}bin\\VornelAgentService.exe" "{full}"'
    result = wine.sc("create", full, "binpath=", image, "start=", "demand")
    assert result.status == 0, result
    params = SERVICES_KEY + full + "\\Parameters"
    for value, data in [
        ("AgentHome", home),
        ("AgentName", "agent-" + short),
        ("Encoded", "off"),
        ("AgentPidFile", home + "logs\\middlewareagent\\VornelAgent.pidfile"),
        ("AgentLogRoot", home + "logs\\middlewareagent"),
        ("Restart", "true"),
    ]:
        wine.reg_add(params, value, data)
    wine.reg_add(EVENT_LOG_KEY + full, "EventMessageFile", home + "bin\\VornelAgentServiceMsg.dll")
    wine.reg_add(EVENT_LOG_KEY + full, "TypesSupported", "7", kind="REG_DWORD")
    return full


def key_exists(wine, key):
    return wine.reg_query(key) is not None


# --- Without a running service ---

def test_uninstall_removes_a_stopped_service_with_its_keys(wine):
    full = create_service(wine, "tools-stopped")
    assert key_exists(wine, SERVICES_KEY + full + "\\Parameters")
    assert key_exists(wine, EVENT_LOG_KEY + full)

    result = tool(wine, "Uninstall", "-servicename", "tools-stopped")

    assert (result.status, result.err) == (0, "")
    assert result.out == f"Remove Service: tools-stopped\n\nSuccessfully removed service {full}.\n"
    assert wine.service_state(full) is None
    assert not key_exists(wine, SERVICES_KEY + full)
    assert not key_exists(wine, SERVICES_KEY + full + "\\Parameters")
    assert not key_exists(wine, EVENT_LOG_KEY + full)


def test_a_name_that_is_not_installed_is_reported_with_the_full_name(wine):
    full = full_name("tools-missing")
    first_line = f"Could not open service '{full}'\n"

    uninstall = tool(wine, "Uninstall", "-servicename", "tools-missing")
    start = tool(wine, "Start", "-servicename", "tools-missing", "-servicetrace", "on")
    stop = tool(wine, "Stop", "-servicename", "tools-missing")

    assert (uninstall.status, uninstall.out) == (0, "Remove Service: tools-missing\n")
    assert (start.status, start.out) == (255, "")
    assert (stop.status, stop.out) == (255, "")
    texts = set()
    for result in (uninstall, start, stop):
        text = reason("\treason: ", result.err)
        assert result.err == f"{first_line}\treason: {text}\n\n", result
        texts.add(text)
    # Every tool names the failure with the same system text, and the start tool left no key
    # behind for the service that does not exist.
    assert len(texts) == 1, texts
    assert not key_exists(wine, SERVICES_KEY + full)


def test_stop_of_a_stopped_service_is_refused(wine):
    full = create_service(wine, "tools-idle")

    result = tool(wine, "Stop", "-servicename", "tools-idle")

    assert (result.status, result.out) == (255, "")
    assert result.err.startswith(STOP_REFUSAL), result
    assert result.err == STOP_REFUSAL + f"Could not stop service: {reason('Could not stop service: ', result.err)}\n\n"
    assert wine.service_state(full) == STOPPED


def test_a_failed_start_keeps_the_trace_settings_it_wrote(wine):
    # The agent home of this service has no service host, so the manager cannot start it.
    home = "C:\\vornel-tools-nohost\\"
    full = create_service(wine, "tools-nohost", home=home)
    params = SERVICES_KEY + full + "\\Parameters"
    wine.reg_add(params, "StdErrTraceFile", "D:\\kept.stderr")

    result = tool(wine, "Start", "-servicename", "tools-nohost")

    assert (result.status, result.out) == (255, "")
    assert result.err == f"Failed to start service: {reason('Failed to start service: ', result.err)}\n\n"
    assert wine.reg_query(params, "StdOutTraceFile") == home + "logs\\middlewareagent\\VornelAgentService.stdout"
    assert wine.reg_query(params, "StdErrTraceFile") == "D:\\kept.stderr"
    assert wine.reg_query(params, "DebugTrace") == "off"


# --- With a running service: the service host and the sample agent ---

def missing_for_a_running_service():
    """What the Windows build lacks to run a service, or None."""
    missing = []
    if not (BIN / "VornelAgentService.exe").is_file():
        missing.append(f"the service host VornelAgentService.exe in {BIN}")
    if not [p for p in BIN.glob("*.exe") if p.name not in OWN_PROGRAMS]:
        missing.append(f"the sample agent program in {BIN}")
    for script in ("startAgent.bat", "stopAgent.bat"):
        if not (SAMPLE_AGENT / "bin" / script).is_file():
            missing.append(f"{SAMPLE_AGENT / 'bin' / script}")
    return ", ".join(missing) or None


RUN_SHORT = "tools-run"
RUN_FULL = full_name(RUN_SHORT)


@pytest.fixture(scope="module")
def running_service(wine):
    """The service tools-run, installed in an agent home laid out with the sample agent. Its stop
    script is wrapped so that every run of it leaves a line in STOP_SCRIPT_LOG."""
    missing = missing_for_a_running_service()
    if missing:
        pytest.skip(f"needs {missing}")
    bin_dir = wine.layout_agent_home(HOME)
    (bin_dir / "stopAgent.bat").rename(bin_dir / "sampleStopAgent.bat")
    (bin_dir / "stopAgent.bat").write_bytes(
        ("@echo off\r\n"
         f'echo stop %* >> "{STOP_SCRIPT_LOG}"\r\n'
         'call "%~dp0sampleStopAgent.bat" %*\r\n').encode())
    create_service(wine, RUN_SHORT)
    yield RUN_FULL
    if wine.service_state(RUN_FULL) == RUNNING:
        wine.sc("stop", RUN_FULL)
        wine.wait_for_state(RUN_FULL, STOPPED, timeout=60)


def ensure_state(wine, state):
    """Brings tools-run into the state through Wine's own sc, for tests that begin there."""
    if wine.service_state(RUN_FULL) != state:
        wine.sc("start" if state == RUNNING else "stop", RUN_FULL)
    assert wine.wait_for_state(RUN_FULL, state, timeout=60), f"tools-run did not reach state {state}"


def stop_script_runs(wine):
    log = wine.unix_path(STOP_SCRIPT_LOG)
    return log.read_text(errors="replace").splitlines() if log.exists() else []


def test_start_starts_the_service(wine, running_service):
    ensure_state(wine, STOPPED)

    result = tool(wine, "Start", "-servicename", RUN_SHORT)

    assert (result.status, result.out, result.err) == (0, "Successfully started service.\n", "")
    assert wine.wait_for_state(running_service, RUNNING, timeout=60)
    params = SERVICES_KEY + running_service + "\\Parameters"
    assert wine.reg_query(params, "StdOutTraceFile") == HOME + "logs\\middlewareagent\\VornelAgentService.stdout"
    assert wine.reg_query(params, "StdErrTraceFile") == HOME + "logs\\middlewareagent\\VornelAgentService.stderr"


def test_start_of_a_running_service_fails_with_the_system_text(wine, running_service):
    ensure_state(wine, RUNNING)

    result = tool(wine, "Start", "-servicename", RUN_SHORT)

    assert (result.status, result.out) == (255, "")
    assert result.err == f"Failed to start service: {reason('Failed to start service: ', result.err)}\n\n"
    assert wine.service_state(running_service) == RUNNING


def test_uninstall_refuses_a_running_service_and_removes_nothing(wine, running_service):
    ensure_state(wine, RUNNING)

    result = tool(wine, "Uninstall", "-servicename", RUN_SHORT)

    assert (result.status, result.out) == (0, f"Remove Service: {RUN_SHORT}\n")
    assert result.err == "Can not remove service unless it is stopped. (The service is running.)\n"
    assert wine.service_state(running_service) == RUNNING
    assert key_exists(wine, SERVICES_KEY + running_service + "\\Parameters")
    assert key_exists(wine, EVENT_LOG_KEY + running_service)


def test_stop_stops_the_service_through_its_stop_script(wine, running_service):
    ensure_state(wine, RUNNING)
    runs_before = len(stop_script_runs(wine))

    result = tool(wine, "Stop", "-servicename", RUN_SHORT)

    assert (result.status, result.out, result.err) == (0, "Successfully stopped service.\n", "")
    assert wine.wait_for_state(running_service, STOPPED, timeout=60)
    runs = stop_script_runs(wine)
    assert len(runs) == runs_before + 1, runs
    assert f"agent-{RUN_SHORT}" in runs[-1]


def test_stop_of_a_stopped_service_fails_with_the_refusal(wine, running_service):
    ensure_state(wine, STOPPED)

    result = tool(wine, "Stop", "-servicename", RUN_SHORT)

    assert (result.status, result.out) == (255, "")
    assert result.err == STOP_REFUSAL + f"Could not stop service: {reason('Could not stop service: ', result.err)}\n\n"
    assert wine.service_state(running_service) == STOPPED
