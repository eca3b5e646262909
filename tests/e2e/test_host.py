"""The service host under Wine's service manager, supervising the sample agent.

Each test creates its service with Wine's own `sc create` (the host's command line) and writes
the Parameters values with `reg add`, so that it sets exactly the values it is about, some of
which the installer never writes (LogFile, trace files outside the log root, no trace at all).
The installer itself is tested in test_install.py.
"""

import subprocess

import pytest

from agents import PREFIX, TRACE_LINE, trace_messages
from vornel.wine import BIN, encoded_arguments, wait_until

LEGACY_KEY = "HKCU\\Software\\Wine\\AppDefaults\\VornelAgentService.exe"

USAGE = (
    "\n \nUsage: VornelAgentService.exe (with no arguments displays this help)\n "
    "\n       The VornelAgent Windows Service cannot be started using VornelAgentService.exe\n "
    "\n       To Install the VornelAgent windows service, use InstallVornelAgentService.exe located in the "
    "<agent home>/bin directory.\n "
    "\n       To Uninstall the VornelAgent windows service, use UninstallVornelAgentService.exe located in the "
    "<agent home>/bin directory.\n "
    "\n       To Start the VornelAgent windows service, use StartVornelAgentService.exe located in the "
    "<agent home>/bin directory.\n "
    "\n       To Stopt the VornelAgent windows service, use StopVornelAgentService.exe located in the "
    "<agent home>/bin directory.\n "
    "\n       Note that you may also start and stop the VornelAgent windows service from the Windows Services "
    "Menu.\n "
    "\n       Use VornelAgentServiceInfo.exe to obtain information about an VornelAgent windows service.\n "
)

# --- the host run by hand ---

@pytest.mark.parametrize("args, status, err", [
    ([], 0, ""),
    ([PREFIX + "by-hand"], 0, ""),
    ([PREFIX + "by-hand", "-logFile"], 255, "Parameter -logFile needs to be followed by an argument.\n"),
])
def test_host_run_by_hand_shows_its_usage(wine, args, status, err):
    home = "C:\\vornel-host-e2e\\by-hand\\"
    wine.layout_agent_home(home)
    result = wine.run(home + "bin\\VornelAgentService.exe", *args)
    assert (result.status, result.out, result.err) == (status, USAGE, err)


# --- supervision ---

def test_supervises_restarts_and_stops_the_agent(service):
    svc = service("host-e2e-supervise", DebugTrace="on",
                  StdOutTraceFile="C:\\vornel-host-e2e\\host-e2e-supervise\\logs\\host.stdout",
                  StdErrTraceFile="C:\\vornel-host-e2e\\host-e2e-supervise\\logs\\host.stderr")
    svc.wine.reg_add(svc.params, "Encoded", "on")
    svc.wine.reg_add(svc.params, "StartupArguments", encoded_arguments("-Dmode=test", svc.name))
    svc.wine.reg_add(svc.params, "StopArguments", encoded_arguments("-now", svc.name))
    svc.wine.reg_add(svc.params, "LogFile", svc.home + "logs\\agent.log")

    supervising = "VornelAgentService - VornelAgentServiceMain - process openned successfully, about to wait."

    def supervised():
        return trace_messages(svc.text("logs\\host.stderr") or "").count(supervising)

    assert svc.wine.sc("start", svc.name).status == 0
    assert svc.wine.wait_for_state(svc.name, 4)
    first = wait_until(svc.pid)
    assert first and svc.agent_running()
    assert wait_until(lambda: supervised() == 1)
    bin_dir = svc.home + "bin"
    assert svc.script_runs() == [("startAgent.bat", bin_dir, '"agent one" -Dmode=test ')]

    # The agent dies: the start script runs again and the new agent is supervised.
    assert svc.wine.run("taskkill", "/pid", str(first), "/f").status == 0
    second = wait_until(lambda: svc.pid() not in (None, first) and svc.pid())
    assert second, "no new agent after the first one ended"
    assert len(svc.script_runs()) == 2
    assert svc.wine.service_state(svc.name) == 4
    # The dead agent's pid was still in the file: seen as dead, not as a running agent.
    messages = trace_messages(svc.text("logs\\host.stderr"))
    assert "VornelAgentService - isServerRunningAlready - pid file found for dead process" in messages
    assert wait_until(lambda: supervised() == 2)
    # The start script's output replaces the log file each time.
    assert svc.text("logs\\agent.log").count("Starting the agent") == 1

    # Stop: the stop script ends the agent and the service stops cleanly.
    assert svc.wine.sc("stop", svc.name).status == 0
    assert svc.wine.wait_for_state(svc.name, 1)
    status = svc.query()
    assert (status["WIN32_EXIT_CODE"], status["SERVICE_EXIT_CODE"]) == (0, 0)
    assert svc.script_runs()[-1] == ("stopAgent.bat", bin_dir, '"agent one" -now ')
    assert not svc.agent_running()
    log = svc.text("logs\\agent.log")
    assert log.startswith('Starting the agent "agent one"\n'), log
    assert 'Stopping the agent "agent one"\n' in log and "the agent has ended" in log
    out_text = svc.text("logs\\host.stdout")
    assert out_text.startswith("\n VornelAgentServiceMain - doRestartServer = true\n startServer - "), out_text
    assert wait_until(lambda: svc.text("logs\\host.stdout").endswith(USAGE), timeout=10)


def test_trace_files_and_a_single_cycle(service):
    svc = service("host-e2e-trace", DebugTrace="on", Restart="false",
                  StartupArguments="-exitAfter 2 -exitCode 9",
                  StdOutTraceFile="C:\\vornel-host-e2e\\host-e2e-trace\\logs\\host.stdout",
                  StdErrTraceFile="C:\\vornel-host-e2e\\host-e2e-trace\\logs\\host.stderr")
    assert svc.wine.sc("start", svc.name, "a", "b").status == 0
    # The agent ends by itself after two seconds; with Restart "false" the service stops, and
    # the agent's exit code shows as the service's failure.
    assert svc.wine.wait_for_state(svc.name, 1, timeout=40)
    status = svc.query()
    assert (status["WIN32_EXIT_CODE"], status["SERVICE_EXIT_CODE"]) == (1066, 9)
    assert [run[0] for run in svc.script_runs()] == ["startAgent.bat"]

    err_text = svc.text("logs\\host.stderr")
    lines = err_text.splitlines()
    assert TRACE_LINE.match(lines[0]) and TRACE_LINE.match(lines[1])
    messages = trace_messages(err_text)
    assert messages[:2] == ["=" * 81, "=" * 81]
    assert messages[2] == f"VornelAgentService - VornelAgentServiceMain - entry - service = {svc.name} "
    assert messages[3:7] == ["VornelAgentService - VornelAgentServiceMain - argc = 3",
                             f"VornelAgentService - VornelAgentServiceMain - arg(0) = {svc.name}",
                             "VornelAgentService - VornelAgentServiceMain - arg(1) = a",
                             "VornelAgentService - VornelAgentServiceMain - arg(2) = b"]
    assert "VornelAgentService - VornelAgentServiceMain - exit code = 9" in messages
    assert messages[-2:] == ["VornelAgentService - VornelAgentServiceMain - exit.", "=" * 81]

    out_text = wait_until(lambda: (svc.text("logs\\host.stdout") or "").endswith(USAGE) and
                          svc.text("logs\\host.stdout"), timeout=10)
    assert out_text, svc.text("logs\\host.stdout")
    assert out_text.startswith("\n VornelAgentServiceMain - doRestartServer = false\n startServer - major version = ")


def test_refuses_to_start_while_the_agent_runs(service, wine):
    svc = service("host-e2e-refuse")
    agent_out = open(wine.scratch / "refuse-agent.out", "wb")
    started = subprocess.Popen(["wine", svc.home + "bin\\VornelAgent.exe", "-pidFile", svc.pid_file],
                               env=wine.env, stdout=agent_out, stderr=agent_out)
    try:
        pid = wait_until(svc.pid)
        assert pid and svc.agent_running()
        svc.wine.sc("start", svc.name)
        assert svc.wine.wait_for_state(svc.name, 1)
        status = svc.query()
        assert (status["WIN32_EXIT_CODE"], status["SERVICE_EXIT_CODE"]) == (1066, 134217728 + pid)
        assert svc.script_runs() == []
        assert svc.agent_running()
    finally:
        svc.stop_agent()
        started.wait(timeout=30)
        agent_out.close()


def test_legacy_mode_leaves_the_agent_unsupervised(service, wine):
    svc = service("host-e2e-legacy", DebugTrace="on", StartupArguments="-Dx",
                  LogFile="C:\\vornel-host-e2e\\host-e2e-legacy\\logs\\agent.log",
                  StdOutTraceFile="C:\\vornel-host-e2e\\host-e2e-legacy\\logs\\host.stdout",
                  StdErrTraceFile="C:\\vornel-host-e2e\\host-e2e-legacy\\logs\\host.stderr")
    wine.reg_add(LEGACY_KEY, "Version", "nt40")
    try:
        assert svc.wine.sc("start", svc.name).status == 0
        assert svc.wine.wait_for_state(svc.name, 4)
        assert wait_until(svc.agent_running)
        bin_dir = svc.home + "bin"
        # The name goes unquoted and no output is redirected, even with LogFile set.
        assert svc.script_runs() == [("startAgent.bat", bin_dir, "agent one -Dx")]
        assert svc.text("logs\\agent.log") is None
        messages = wait_until(lambda: "VornelAgentService - VornelAgentServiceMain - exit." in
                              trace_messages(svc.text("logs\\host.stderr") or "") and
                              trace_messages(svc.text("logs\\host.stderr")))
        assert messages, svc.text("logs\\host.stderr")
        assert not any("waitForPidFile" in m for m in messages)
        assert "\n startServer - major version = 4" in svc.text("logs\\host.stdout")

        # A stop still runs the stop script.
        assert svc.wine.sc("stop", svc.name).status == 0
        assert svc.wine.wait_for_state(svc.name, 1)
        assert svc.query()["WIN32_EXIT_CODE"] == 0
        assert svc.script_runs()[-1] == ("stopAgent.bat", bin_dir, "agent one")
        assert not svc.agent_running()
    finally:
        wine.run("reg", "delete", LEGACY_KEY, "/v", "Version", "/f")


# --- states an administrator can act on ---

def control(svc, code):
    """The probe's ControlService: (result, state, checkpoint, wait hint) as answered."""
    return tuple(int(field) for field in svc.wine.run(str(BIN / "probe.exe"), "control", svc.name, str(code)).out.split())


def test_a_long_start_script_makes_the_service_running_and_stoppable(service):
    svc = service("host-e2e-long-start")
    # The start script runs a minute before it starts the agent as the sample's does.
    script = svc.wine.unix_path(svc.bin + "startAgent.bat")
    svc.wine.unix_path(svc.bin + "startAgent-sample.bat").write_bytes(script.read_bytes())
    script.write_bytes(b'@echo off\r\n"%~dp0VornelAgent.exe" -sleepOnly -exitAfter 64\r\n'
                       b'call "%~dp0startAgent-sample.bat" %*\r\n')
    assert svc.wine.sc("start", svc.name).status == 0
    # Starting, the service takes no control (on Windows as under Wine).
    assert control(svc, 4)[0] == 1061
    # About a minute in, the service runs and says so to an interrogation, while the script runs on.
    assert svc.wine.wait_for_state(svc.name, 4, timeout=75)
    assert svc.script_runs() == []
    assert control(svc, 4) == (0, 4, 0, 0)
    # A stop is taken at once and waits for the start script; the stop script ends its agent.
    result = svc.wine.run(svc.bin + "StopVornelAgentService.exe", "-servicename", "host-e2e-long-start")
    assert (result.status, result.out) == (0, "Successfully stopped service.\n"), result
    assert svc.wine.service_state(svc.name) == 3
    assert svc.wine.wait_for_state(svc.name, 1, timeout=60)
    assert [run[0] for run in svc.script_runs()] == ["startAgent.bat", "stopAgent.bat"]
    assert not svc.agent_running()
    status = svc.query()
    assert (status["WIN32_EXIT_CODE"], status["SERVICE_EXIT_CODE"], status["CHECKPOINT"], status["WAIT_HINT"]) == \
        (0, 0, 0, 0)


def test_a_restart_waits_paused_and_a_continue_or_a_stop_ends_the_wait(service):
    home = "C:\\vornel-host-e2e\\host-e2e-paused\\"
    svc = service("host-e2e-paused", StartupArguments="-exitAfter 1 -exitCode 3", DebugTrace="on",
                  StdOutTraceFile=home + "logs\\host.stdout", StdErrTraceFile=home + "logs\\host.stderr")

    def waits(seconds):
        return [m for m in trace_messages(svc.text("logs\\host.stderr") or "")
                if m.endswith(f"the restart waits {seconds} s")]

    def starts():
        return [run[0] for run in svc.script_runs()].count("startAgent.bat")

    assert svc.wine.sc("start", svc.name).status == 0
    # The agent fails at once, again and again: the third restart waits 4 s, paused.
    assert wait_until(lambda: waits(4), timeout=60)
    assert wait_until(lambda: svc.wine.service_state(svc.name) == 7, timeout=5)
    before = starts()
    assert control(svc, 3) == (0, 7, 0, 0)
    # The continue ends the wait: the next start follows at once, not 4 s later.
    assert wait_until(lambda: starts() == before + 1, timeout=2)
    assert "VornelAgentService - VornelAgentServiceMain - a continue ended the wait before the restart" in \
        trace_messages(svc.text("logs\\host.stderr"))
    # The next wait (8 s) ends with a stop: stopped at once, no stop script, nothing running.
    assert wait_until(lambda: waits(8), timeout=30)
    assert wait_until(lambda: svc.wine.service_state(svc.name) == 7, timeout=5)
    assert control(svc, 1)[0] == 0
    assert svc.wine.wait_for_state(svc.name, 1, timeout=3)
    assert "stopAgent.bat" not in [run[0] for run in svc.script_runs()]
    assert not svc.agent_running()
