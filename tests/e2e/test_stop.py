"""The stop under Wine's service manager, with the sample agent: the stop tool hears back at
once whatever the stop script's length, stopped comes only when the agent and its processes
have ended, StopTimeout ends what outlives the stop, and stopped is final."""

import concurrent.futures
import time

from vornel.procs import unix_processes
from vornel.wine import BIN, wait_until

STOPPED, STOP_PENDING, RUNNING = 1, 3, 4


def stop_tool(svc):
    return svc.wine.run(svc.home + "bin\\StopVornelAgentService.exe", "-servicename", svc.name.split(" - ", 1)[1])


def start_and_wait_for_the_agent(svc):
    assert svc.wine.sc("start", svc.name).status == 0
    assert svc.wine.wait_for_state(svc.name, RUNNING)
    assert wait_until(svc.pid) and wait_until(svc.agent_running), \
        (svc.query(), svc.script_runs(), svc.wine.reg_query(svc.params.replace("\\Parameters", "\\Runtime")))


def child_running(svc):
    """The agent's child (-child) holds <pid file>.child.lock while it lives."""
    return svc.agent("-wait", "-pidFile", svc.pid_file + ".child", "-timeout", "0").status == 1


def host_processes(svc):
    """The service's host processes still alive (the Unix processes of the prefix that run it)."""
    return unix_processes(svc.wine, svc.home + "bin\\VornelAgentService.exe")


def test_the_stop_tool_hears_back_at_once_while_a_long_stop_script_runs(service):
    # The agent takes 15 s to shut down once asked, so the stop script takes as long.
    svc = service("stop-e2e-slow", StartupArguments="-stopDelay 15")
    start_and_wait_for_the_agent(svc)
    asked = time.monotonic()
    result = stop_tool(svc)
    assert (result.status, result.out) == (0, "Successfully stopped service.\n"), result
    assert result.seconds < 2, result.seconds
    assert svc.wine.service_state(svc.name) == STOP_PENDING
    assert svc.wine.wait_for_state(svc.name, STOPPED, timeout=60)
    assert time.monotonic() - asked >= 14
    status = svc.query()
    assert (status["WIN32_EXIT_CODE"], status["SERVICE_EXIT_CODE"]) == (0, 0)
    assert not svc.agent_running()
    assert [run[0] for run in svc.script_runs()] == ["startAgent.bat", "stopAgent.bat"]


def test_two_stop_tools_at_once_make_one_stop(service):
    svc = service("stop-e2e-two", StartupArguments="-stopDelay 3")
    start_and_wait_for_the_agent(svc)
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        results = list(pool.map(lambda _: stop_tool(svc), range(2)))
    assert any(r.status == 0 for r in results), results
    for r in results:
        assert r.status in (0, 255), r
    assert svc.wine.wait_for_state(svc.name, STOPPED, timeout=60)
    status = svc.query()
    assert (status["WIN32_EXIT_CODE"], status["SERVICE_EXIT_CODE"]) == (0, 0)
    assert [run[0] for run in svc.script_runs()].count("stopAgent.bat") == 1
    assert not svc.agent_running()
    assert wait_until(lambda: not host_processes(svc), timeout=10)


# A start script that is slow on its second run: the first run leaves a mark, later runs wait
# eight seconds before they start the agent.
SLOW_SECOND_START = r"""@echo off
setlocal
for %%i in ("%~dp0..") do set "AGENT_HOME=%%~fi\"
set "AGENT_RUN=%AGENT_HOME%logs\middlewareagent"
>>"%AGENT_RUN%\scripts.log" echo startAgent.bat cwd=["%CD%"] args=[%*]
if exist "%AGENT_RUN%\started-once" "%~dp0VornelAgent.exe" -sleepOnly -exitAfter 8
>"%AGENT_RUN%\started-once" echo yes
start "" /b "%~dp0VornelAgent.exe" -pidFile "%AGENT_RUN%\VornelAgent.pidfile" %* > NUL 2>&1
"""


def test_a_stop_during_a_restarts_start_script_leaves_the_service_stopped_and_nothing_running(service):
    # A crash loop: the agent ends a second after it starts, and the start script is slow on
    # its second run; the stop comes while that run waits.
    svc = service("stop-e2e-restart", StartupArguments="-exitAfter 1 -exitCode 1", StopTimeout="10")
    svc.unix("bin\\startAgent.bat").write_bytes(SLOW_SECOND_START.replace("\n", "\r\n").encode())
    assert svc.wine.sc("start", svc.name).status == 0
    assert wait_until(lambda: [r[0] for r in svc.script_runs()].count("startAgent.bat") == 2, timeout=60)
    result = stop_tool(svc)
    assert result.status == 0, result
    assert result.seconds < 2, result.seconds
    assert svc.wine.wait_for_state(svc.name, STOPPED, timeout=60)
    status = svc.query()
    assert (status["WIN32_EXIT_CODE"], status["SERVICE_EXIT_CODE"]) == (0, 0)
    # Stopped is final: it stays stopped, no third start, no host left, no agent left.
    time.sleep(3)
    assert svc.wine.service_state(svc.name) == STOPPED
    assert [r[0] for r in svc.script_runs()].count("startAgent.bat") == 2
    assert not host_processes(svc)
    assert not svc.agent_running()


def test_stop_timeout_ends_an_agent_that_outlives_its_stop_script_and_its_child(service):
    svc = service("stop-e2e-timeout", StartupArguments="-ignoreStop -child", StopTimeout="5")
    start_and_wait_for_the_agent(svc)
    assert wait_until(lambda: child_running(svc))
    asked = time.monotonic()
    assert stop_tool(svc).status == 0
    assert svc.wine.wait_for_state(svc.name, STOPPED, timeout=60)
    took = time.monotonic() - asked
    assert 4 <= took < 15, took
    status = svc.query()
    assert (status["WIN32_EXIT_CODE"], status["SERVICE_EXIT_CODE"]) == (0, 0)
    assert not svc.agent_running()
    assert not child_running(svc)


def test_a_stop_script_that_cannot_be_launched_still_ends_in_stopped(service):
    svc = service("stop-e2e-missing", StopTimeout="5")
    svc.unix("bin\\stopAgent.bat").unlink()
    start_and_wait_for_the_agent(svc)
    result = stop_tool(svc)
    assert (result.status, result.out) == (0, "Successfully stopped service.\n"), result
    assert svc.wine.wait_for_state(svc.name, STOPPED, timeout=60)
    status = svc.query()
    assert (status["WIN32_EXIT_CODE"], status["SERVICE_EXIT_CODE"]) == (0, 0)
    assert not svc.agent_running()
    # A second stop finds the service stopped, and nothing of it runs.
    assert stop_tool(svc).status == 255
    assert not host_processes(svc)


def test_an_immediate_start_after_a_stop_finds_no_agent_alive(service):
    svc = service("stop-e2e-restart-at-once", StartupArguments="-stopDelay 2")
    start_and_wait_for_the_agent(svc)
    assert stop_tool(svc).status == 0
    assert svc.wine.wait_for_state(svc.name, STOPPED, timeout=60)
    # Stopped means the agent has gone: a start right away is not refused.
    assert svc.wine.sc("start", svc.name).status == 0
    assert svc.wine.wait_for_state(svc.name, RUNNING)
    status = svc.query()
    assert (status["WIN32_EXIT_CODE"], status["SERVICE_EXIT_CODE"]) == (0, 0)


def test_the_preshutdown_notification_is_accepted_but_wine_sends_it_only_at_shutdown(service):
    svc = service("stop-e2e-preshutdown")
    start_and_wait_for_the_agent(svc)
    result = svc.wine.run(str(BIN / "probe.exe"), "control", svc.name, "15")
    # Wine's service manager, like Windows', sends preshutdown only itself: a client's request
    # is refused (ERROR_INVALID_PARAMETER), and the service runs on.
    assert result.out.split()[0] == "87", result
    assert svc.wine.service_state(svc.name) == RUNNING
