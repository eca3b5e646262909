"""A host that ends without its stop (killed, as a crash would end it) leaves its agent running;
the service started again takes that agent back instead of refusing the start, and a stop then
stops it as any other."""

from test_restart import host_trace, traced_service
from vornel.wine import wait_until

STOPPED = 1
TAKEN_BACK = "that an earlier run of the service started still runs: it is supervised again, the start script is not run"


def runtime(svc, value):
    return svc.wine.reg_query(svc.params.replace("\\Parameters", "\\Runtime"), value)


def supervising(svc, host_pid_other_than=None):
    return runtime(svc, "Phase") == "supervising" and runtime(svc, "HostPid") not in (None, host_pid_other_than)


def test_a_killed_host_is_started_again_and_takes_its_agent_back(service):
    svc = traced_service(service, "crash-e2e-take-back")
    assert svc.wine.sc("start", svc.name).status == 0
    assert wait_until(lambda: supervising(svc), timeout=60)
    agent, host = svc.pid(), runtime(svc, "HostPid")
    assert runtime(svc, "AgentPid") == str(agent)

    killed = svc.wine.run("taskkill", "/f", "/pid", host)
    assert killed.status == 0, killed
    assert svc.agent_running()
    # Windows' service manager sees its process end and starts it again when recovery actions
    # say so; Wine's keeps the service running, and a start launches a new host all the same.
    assert svc.wine.sc("start", svc.name).status == 0
    assert wait_until(lambda: supervising(svc, host), timeout=60)
    assert (runtime(svc, "AgentPid"), runtime(svc, "Starts")) == (str(agent), "0")
    assert [run[0] for run in svc.script_runs()] == ["startAgent.bat"]
    assert any(line.endswith(f"the agent (pid {agent}) {TAKEN_BACK}") for line in host_trace(svc)), host_trace(svc)

    result = svc.wine.run(svc.bin + "StopVornelAgentService.exe", "-servicename", "crash-e2e-take-back", "-wait")
    assert (result.status, result.out) == (0, "Successfully stopped service.\nThe service is stopped.\n"), result
    status = svc.query()
    assert (status["STATE"], status["WIN32_EXIT_CODE"], status["SERVICE_EXIT_CODE"]) == (STOPPED, 0, 0)
    assert [run[0] for run in svc.script_runs()] == ["startAgent.bat", "stopAgent.bat"]
    assert not svc.agent_running()
    assert runtime(svc, "Outcome") == "stopped on request"
