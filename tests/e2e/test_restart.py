"""Starts and restarts under Wine's service manager, with the sample agent: a pid file left
behind whose pid now names some other process does not block the start, a crash-looping agent
is restarted with a growing wait that a stop ends at once, RestartThrottle "0" restarts at
once, and an agent that fails with no restart to follow shows as the service's failure."""

import os
import subprocess
import time

import pytest

from agents import trace_messages
from test_stop import stop_tool
from vornel.wine import wait_until

STOPPED, START_PENDING, RUNNING, PAUSED = 1, 2, 4, 7
WAIT_LINE = "VornelAgentService - VornelAgentServiceMain - the agent ran "


def start_runs(svc):
    return [run[0] for run in svc.script_runs()].count("startAgent.bat")


def host_trace(svc):
    return trace_messages(svc.text("logs\\host.stderr") or "")


def traced_service(service, short_name, **values):
    home = f"C:\\vornel-host-e2e\\{short_name}\\"
    return service(short_name, DebugTrace="on", StdOutTraceFile=home + "logs\\host.stdout",
                   StdErrTraceFile=home + "logs\\host.stderr", **values)


def uptime_seconds():
    with open("/proc/uptime") as f:
        return float(f.read().split()[0])


def test_a_pid_file_written_long_before_the_process_it_names_does_not_block_the_start(service, wine):
    svc = traced_service(service, "restart-e2e-reused-pid")
    # Some other program now has the pid the old pid file names.
    other_pid_file = svc.home + "logs\\other.pidfile"
    other_out = open(wine.scratch / "reused-pid-other.out", "wb")
    other_started = time.time()  # the other program is created after this
    other = subprocess.Popen(["wine", svc.home + "bin\\VornelAgent.exe", "-pidFile", other_pid_file],
                             env=wine.env, stdout=other_out, stderr=other_out)
    try:
        other_pid = wait_until(lambda: (svc.text("logs\\other.pidfile") or "").strip().isdigit() and
                               int(svc.text("logs\\other.pidfile").strip()))
        assert other_pid
        pid_file = svc.unix("logs\\middlewareagent\\VornelAgent.pidfile")
        pid_file.write_text(f"{other_pid}\r\n")
        # Written after the system started and more than 10 s before the other program was
        # created, however recently the machine booted: only the second reason holds.
        boot = time.time() - uptime_seconds()
        assert other_started - boot > 12, "the machine has been up for less than 12 s"
        written = (boot + other_started - 10) / 2
        os.utime(pid_file, (written, written))

        assert svc.wine.sc("start", svc.name).status == 0
        assert svc.wine.wait_for_state(svc.name, RUNNING, timeout=60)
        assert wait_until(lambda: svc.pid() not in (None, other_pid)) and svc.agent_running()
        assert start_runs(svc) == 1
        messages = host_trace(svc)
        assert any(m.startswith(f"VornelAgentService - isServerRunningAlready - pid {other_pid} is not the agent "
                                "that wrote the pid file: the process was created ") for m in messages), messages
        # The other program goes on; the stop ends only the service's own agent.
        assert svc.wine.sc("stop", svc.name).status == 0
        assert svc.wine.wait_for_state(svc.name, STOPPED, timeout=60)
        assert other.poll() is None
    finally:
        svc.agent("-stop", "-pidFile", other_pid_file, "-timeout", "20")
        other.wait(timeout=30)
        other_out.close()


def test_a_crash_looping_agent_is_restarted_with_a_growing_wait_that_a_stop_ends(service):
    # The agent ends a second after it writes its pid, and fails.
    svc = traced_service(service, "restart-e2e-crash-loop", StartupArguments="-exitAfter 1 -exitCode 3")
    began = time.monotonic()
    assert svc.wine.sc("start", svc.name).status == 0
    time.sleep(60 - (time.monotonic() - began))
    starts = start_runs(svc)
    assert 2 <= starts <= 10, starts
    waits = [m for m in host_trace(svc) if m.startswith(WAIT_LINE)]
    assert [w.rsplit("waits ", 1)[1] for w in waits[:4]] == ["1 s", "2 s", "4 s", "8 s"], waits

    # Between restarts the service waits paused, where any service manager passes a stop on;
    # a stop then ends it at once.
    assert wait_until(lambda: svc.wine.service_state(svc.name) == PAUSED and
                      len([m for m in host_trace(svc) if m.startswith(WAIT_LINE)]) == start_runs(svc), timeout=60)
    result = stop_tool(svc)
    assert (result.status, result.out) == (0, "Successfully stopped service.\n"), result
    assert result.seconds < 2, result.seconds
    assert svc.wine.wait_for_state(svc.name, STOPPED, timeout=2)
    status = svc.query()
    assert (status["WIN32_EXIT_CODE"], status["SERVICE_EXIT_CODE"]) == (0, 0)
    time.sleep(2)
    assert start_runs(svc) == len([m for m in host_trace(svc) if m.startswith(WAIT_LINE)])
    assert not svc.agent_running()


def test_restart_throttle_zero_restarts_at_once(service):
    svc = traced_service(service, "restart-e2e-no-throttle", StartupArguments="-exitAfter 1 -exitCode 3",
                         RestartThrottle="0")
    assert svc.wine.sc("start", svc.name).status == 0
    assert wait_until(lambda: start_runs(svc) >= 4, timeout=60)
    assert svc.wine.sc("stop", svc.name).status == 0
    assert svc.wine.wait_for_state(svc.name, STOPPED, timeout=60)
    messages = host_trace(svc)
    assert messages.count("VornelAgentService - VornelAgentServiceMain - exit code = 3") >= 3
    assert not [m for m in messages if m.startswith(WAIT_LINE)]


@pytest.mark.parametrize("exit_code, expected", [(5, (1066, 5)), (0, (0, 0))])
def test_an_agent_that_fails_with_no_restart_to_follow_is_the_services_failure(service, exit_code, expected):
    svc = service(f"restart-e2e-exit-{exit_code}", Restart="false",
                  StartupArguments=f"-exitAfter 1 -exitCode {exit_code}")
    assert svc.wine.sc("start", svc.name).status == 0
    assert svc.wine.wait_for_state(svc.name, STOPPED, timeout=60)
    status = svc.query()
    assert (status["WIN32_EXIT_CODE"], status["SERVICE_EXIT_CODE"]) == expected
    assert start_runs(svc) == 1
