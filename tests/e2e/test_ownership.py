"""What the host owns, under Wine's service manager with the sample agent: it ends only what it
launched (never a process the pid file names that it did not start, nor itself), gives up on an
agent that writes no pid and ends what it launched, ends what outlives the control 128 at
StopTimeout, refuses at once a start script it cannot run, keeps its account in the Runtime key,
never shows decoded start arguments in its trace, and keeps its trace files bounded."""

import re
import subprocess

import pytest

from agents import PREFIX, trace_messages
from test_host import control
from test_restart import host_trace, traced_service
from vornel.wine import encoded_arguments, wait_until

STOPPED, STOP_PENDING = 1, 3
TIME = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC"
SUPERVISING = "VornelAgentService - VornelAgentServiceMain - process openned successfully, about to wait."
NO_PID_OUTCOME = "no new pid in the pid file within 31 s"

# A start script that launches no agent: it copies into the pid file the pid that the test has
# put into <home>logs\pid-to-write, once that file exists.
COPYING_START = r"""@echo off
setlocal
for %%i in ("%~dp0..") do set "AGENT_HOME=%%~fi\"
set "AGENT_RUN=%AGENT_HOME%logs\middlewareagent"
>>"%AGENT_RUN%\scripts.log" echo startAgent.bat cwd=["%CD%"] args=[%*]
:wait
if exist "%AGENT_HOME%logs\pid-to-write" goto copy
"%~dp0VornelAgent.exe" -sleepOnly -exitAfter 1
goto wait
:copy
copy /y "%AGENT_HOME%logs\pid-to-write" "%AGENT_RUN%\VornelAgent.pidfile" >NUL
"""


def runtime(svc):
    """The values of the service's Runtime key as reg query lists them; None without the key."""
    out = svc.wine.reg_query(f"HKLM\\SYSTEM\\CurrentControlSet\\Services\\{svc.name}\\Runtime")
    if out is None:
        return None
    values = {}
    for line in out.splitlines():
        parts = line.strip().split(None, 2)
        if len(parts) >= 2 and parts[1] == "REG_SZ":
            values[parts[0]] = parts[2] if len(parts) == 3 else ""
    return values


def in_phase(svc, phase, *names):
    """The Runtime values once they show the phase with the named values: reg query reads them
    one by one, in order of their names, while the host may be writing them (Phase last)."""
    values = runtime(svc)
    return values if values and values.get("Phase") == phase and all(n in values for n in names) else None


SUPERVISED = ("AgentPid", "AgentSince")


def exit_codes(svc):
    status = svc.query()
    return status["WIN32_EXIT_CODE"], status["SERVICE_EXIT_CODE"]


def start_runs(svc):
    return [run[0] for run in svc.script_runs()].count("startAgent.bat")


def use_copying_start_script(svc):
    svc.unix("bin\\startAgent.bat").write_bytes(COPYING_START.replace("\n", "\r\n").encode())


def give_pid(svc, pid):
    svc.unix("logs\\pid-to-write").write_text(f"{pid}\r\n")


def lock_held(svc, pid_file):
    """A sample agent run for pid_file holds <pid_file>.lock while it lives."""
    return svc.agent("-wait", "-pidFile", pid_file, "-timeout", "0").status == 1


def test_a_pid_file_naming_a_process_the_host_did_not_start_is_waited_for_and_never_ended(service, wine):
    svc = traced_service(service, "own-e2e-foreign", StopTimeout="5")
    use_copying_start_script(svc)
    # An unrelated program, started from outside the service, with a pid file of its own.
    foreign_pid_file = svc.home + "logs\\foreign.pidfile"
    foreign_out = open(wine.scratch / "own-foreign.out", "wb")
    foreign = subprocess.Popen(["wine", svc.bin + "VornelAgent.exe", "-pidFile", foreign_pid_file],
                               env=wine.env, stdout=foreign_out, stderr=foreign_out)
    try:
        foreign_pid = wait_until(lambda: (svc.text("logs\\foreign.pidfile") or "").strip().isdigit() and
                                 int(svc.text("logs\\foreign.pidfile").strip()), timeout=60)
        assert foreign_pid
        give_pid(svc, foreign_pid)
        assert svc.wine.sc("start", svc.name).status == 0
        values = wait_until(lambda: in_phase(svc, "supervising", *SUPERVISED), timeout=60)
        assert values and values["AgentPid"] == str(foreign_pid), values
        assert f"VornelAgentService - VornelAgentServiceMain - pid {foreign_pid} is not a process the service " \
               "started (not in the agent's job): it is waited for and never ended" in host_trace(svc)

        assert svc.wine.sc("stop", svc.name).status == 0
        assert svc.wine.wait_for_state(svc.name, STOPPED, timeout=60)
        assert exit_codes(svc) == (0, 0)
        # The stop script ended, the host waited on, and at StopTimeout it ended nothing.
        messages = host_trace(svc)
        waited = [messages.index(m) for m in (
            "VornelAgentService - stopServer - stopAgent script has completed",
            "VornelAgentService - stopServer - waiting for the agent and its processes to end",
            "VornelAgentService - stopServer - stop timeout of 5 s reached, ended: nothing that still ran")]
        assert waited == sorted(waited), messages
        assert runtime(svc)["Outcome"] == "stopped on request; ended after StopTimeout: nothing that still ran"
        assert foreign.poll() is None
        assert lock_held(svc, foreign_pid_file)
    finally:
        svc.agent("-stop", "-pidFile", foreign_pid_file, "-timeout", "20")
        foreign.wait(timeout=30)
        foreign_out.close()


def test_a_pid_file_naming_the_host_itself_is_never_taken_for_the_agent(service):
    svc = traced_service(service, "own-e2e-own-pid")
    use_copying_start_script(svc)
    assert svc.wine.sc("start", svc.name).status == 0
    host_pid = wait_until(lambda: (runtime(svc) or {}).get("HostPid"), timeout=30)
    assert host_pid
    give_pid(svc, host_pid)
    # The pid wait reads the host's own pid, takes it for no agent, and gives up.
    assert svc.wine.wait_for_state(svc.name, STOPPED, timeout=90)
    assert exit_codes(svc) == (1066, 1)
    assert runtime(svc)["Outcome"] == NO_PID_OUTCOME
    messages = host_trace(svc)
    assert f"VornelAgentService - waitForPidFile - pid {host_pid} is the service host's own: not the agent" \
        in messages
    assert SUPERVISING not in messages
    assert start_runs(svc) == 1


def test_an_agent_that_writes_no_pid_is_ended_when_the_pid_wait_gives_up(service):
    svc = traced_service(service, "own-e2e-no-pid", StartupArguments="-noPid")
    # The start tool's -wait answers with the host's outcome once the service has stopped.
    result = svc.wine.run(svc.bin + "StartVornelAgentService.exe", "-servicename", "own-e2e-no-pid", "-wait")
    assert (result.status, result.out) == (1, f"Successfully started service.\nThe service stopped: {NO_PID_OUTCOME}.\n"), \
        result
    assert svc.wine.service_state(svc.name) == STOPPED
    assert exit_codes(svc) == (1066, 1)
    assert runtime(svc)["Outcome"] == NO_PID_OUTCOME
    # What the start script launched does not run on.
    assert not svc.agent_running()
    # (Under Wine the console host of the start script is one of the job's processes too.)
    assert any(re.fullmatch(r"VornelAgentService - VornelAgentServiceMain - ended \d+ process(es)? of the agent's "
                            r"job, which would have run on", m) for m in host_trace(svc))
    assert svc.pid() is None
    assert start_runs(svc) == 1


@pytest.mark.parametrize("case, values, outcome", [
    ("stays", {"StopTimeout": "5"},
     r"stopped after control 128; ended after StopTimeout: \d+ process(es)? of the agent's job \(the scripts, "
     r"the agent and what they started\)"),
    ("ends", {"StartupArguments": "-exitAfter 20"}, "stopped after control 128"),
], ids=["stays", "ends"])
def test_the_control_128_ends_supervision_and_stop_timeout_ends_an_agent_that_stays(service, case, values, outcome):
    svc = service(f"own-e2e-128-{case}", **values)
    assert svc.wine.sc("start", svc.name).status == 0
    assert wait_until(lambda: in_phase(svc, "supervising", *SUPERVISED), timeout=60)
    # The handler records the control and answers at once, with the last status reported.
    assert control(svc, 128)[0] == 0
    # The service shows stop pending while the agent runs on.
    assert wait_until(lambda: svc.wine.service_state(svc.name) == STOP_PENDING, timeout=5)
    assert svc.wine.wait_for_state(svc.name, STOPPED, timeout=60)
    assert exit_codes(svc) == (0, 0)
    assert re.fullmatch(outcome, runtime(svc)["Outcome"]), runtime(svc)
    assert not svc.agent_running()
    # The control 128 runs no stop script, and starts nothing again.
    assert [run[0] for run in svc.script_runs()] == ["startAgent.bat"]


LOGS = "C:\\vornel-host-e2e\\own-e2e-fail-quote\\logs\\"


def remove_start_script(svc):
    svc.unix("bin\\startAgent.bat").unlink()


@pytest.mark.parametrize("case, values, prepare, refusal", [
    ("missing", {}, remove_start_script, None),
    ("long", {"StartupArguments": "-x" * 4100}, None,
     "the script's command line has {length} characters, more than 8191"),
    ("quote", {"LogFile": LOGS + 'agent.log" & echo injected > "' + LOGS + 'injected.log'}, None,
     "LogFile holds a double quote"),
], ids=["missing", "long", "quote"])
def test_a_start_script_that_cannot_be_run_stops_the_service_at_once(service, case, values, prepare, refusal):
    svc = service(f"own-e2e-fail-{case}", **values)
    if prepare:
        prepare(svc)
    assert svc.wine.sc("start", svc.name).status == 0
    assert svc.wine.wait_for_state(svc.name, STOPPED, timeout=5)
    assert exit_codes(svc) == (1066, 2)
    assert svc.script_runs() == []
    values_now = runtime(svc)
    assert values_now["Starts"] == "0"
    outcome = values_now["Outcome"]
    assert outcome.startswith("the start script could not be run: "), outcome
    if refusal:
        line = f'"{svc.bin}startAgent.bat"  "agent one" {values.get("StartupArguments", "")}'
        assert outcome == "the start script could not be run: " + refusal.format(length=len(line))
    else:
        # The system's text for a missing file, not a bare number.
        assert not outcome.rsplit(": ", 1)[1].strip().isdigit(), outcome
    # Nothing was made of the value's parts, before the quote or after it.
    assert svc.text("logs\\agent.log") is None and svc.text("logs\\injected.log") is None


def test_a_log_file_in_a_missing_folder_is_made_and_gets_the_scripts_output(service):
    log_file = "C:\\vornel-host-e2e\\own-e2e-log-folder\\logs\\made\\by the host\\agent.log"
    svc = service("own-e2e-log-folder", LogFile=log_file)
    assert not svc.wine.unix_path(log_file).parent.parent.exists()
    assert svc.wine.sc("start", svc.name).status == 0
    assert wait_until(lambda: in_phase(svc, "supervising", *SUPERVISED), timeout=60)
    text = svc.text(log_file[len(svc.home):])
    assert text and text.startswith('Starting the agent "agent one"\n'), text


def test_the_runtime_key_tells_each_phase_and_goes_with_the_service(service):
    svc = service("own-e2e-runtime", RestartThrottle="600")
    assert svc.wine.sc("start", svc.name).status == 0
    values = wait_until(lambda: in_phase(svc, "supervising", *SUPERVISED), timeout=60)
    assert values, runtime(svc)
    assert values["AgentPid"] == str(svc.pid())
    assert values["Starts"] == "1"
    assert re.fullmatch(TIME, values["AgentSince"]), values
    assert not {"LastExit", "RestartAt", "Outcome"} & values.keys(), values
    # HostPid is the process the service manager names for the service.
    details = svc.wine.run(svc.bin + "VornelAgentServiceInfo.exe", "-getservicedetails", "own-e2e-runtime")
    assert f"\nHost pid: {values['HostPid']}\n" in details.out, details

    # Each run shorter than RestartThrottle makes the next restart wait longer (1 s, 2 s, 4 s ...):
    # the agent is ended until a look finds the host waiting.
    for _ in range(4):
        ended = values["AgentPid"]
        assert svc.wine.run("taskkill", "/pid", ended, "/f").status == 0
        values = wait_until(lambda: in_phase(svc, "waiting to restart", "RestartAt", "LastExit") or (
            (v := in_phase(svc, "supervising", *SUPERVISED)) and v["AgentPid"] != ended and v), timeout=60)
        assert values, runtime(svc)
        if values["Phase"] == "waiting to restart":
            break
    assert values["Phase"] == "waiting to restart", values
    assert not {"AgentPid", "AgentSince", "Outcome"} & values.keys(), values
    assert values["Starts"] == str(start_runs(svc)), values
    last_exit = re.fullmatch(rf"-?\d+ at ({TIME})", values["LastExit"])
    assert last_exit, values
    assert re.fullmatch(TIME, values["RestartAt"]) and values["RestartAt"] >= last_exit.group(1), values

    assert svc.wine.sc("stop", svc.name).status == 0
    assert svc.wine.wait_for_state(svc.name, STOPPED, timeout=60)
    values = runtime(svc)
    assert values["Phase"] == "stopped" and values["Outcome"] == "stopped on request", values
    assert not {"AgentPid", "AgentSince", "RestartAt"} & values.keys(), values

    result = svc.wine.run(svc.bin + "UninstallVornelAgentService.exe", "-servicename", "own-e2e-runtime")
    assert f"Successfully removed service {svc.name}." in result.out, result
    assert wait_until(lambda: runtime(svc) is None, timeout=10), runtime(svc)


def test_encoded_arguments_reach_the_scripts_whole_and_never_the_trace(service):
    short = "own-e2e-encoded"
    start_args, stop_args = "-Dtoken=s3cr3t-start -Dx=1", "-Dtoken=s3cr3t-stop"
    svc = traced_service(service, short, Encoded="on",
                         StartupArguments=encoded_arguments(start_args, PREFIX + short),
                         StopArguments=encoded_arguments(stop_args, PREFIX + short))
    assert svc.wine.sc("start", svc.name).status == 0
    assert wait_until(lambda: in_phase(svc, "supervising", *SUPERVISED), timeout=60)
    assert svc.wine.sc("stop", svc.name).status == 0
    assert svc.wine.wait_for_state(svc.name, STOPPED, timeout=60)
    bin_dir = svc.home + "bin"
    assert svc.script_runs() == [("startAgent.bat", bin_dir, f'"agent one" {start_args}'),
                                 ("stopAgent.bat", bin_dir, f'"agent one" {stop_args}')]
    messages = host_trace(svc)
    assert "VornelAgentService - startServer - about to start executable " \
           f'"{svc.bin}startAgent.bat"  "agent one" <encoded arguments, {len(start_args)} characters>' in messages
    assert "VornelAgentService - stopServer - create process for executable - " \
           f'"{svc.bin}stopAgent.bat"  "agent one" <encoded arguments, {len(stop_args)} characters>' in messages
    for trace_file in ("logs\\host.stderr", "logs\\host.stdout"):
        assert "s3cr3t" not in svc.text(trace_file)


def test_a_trace_file_past_its_limit_is_kept_as_dot_1_at_a_restart(service):
    svc = traced_service(service, "own-e2e-rotate", TraceFileMaxKB="1", RestartThrottle="0")
    trace = svc.home + "logs\\host.stderr"
    assert svc.wine.sc("start", svc.name).status == 0
    first = wait_until(lambda: in_phase(svc, "supervising", *SUPERVISED), timeout=60)
    assert first
    assert svc.unix("logs\\host.stderr").stat().st_size > 1024
    assert svc.wine.run("taskkill", "/pid", first["AgentPid"], "/f").status == 0
    assert wait_until(lambda: (v := in_phase(svc, "supervising", *SUPERVISED)) and v["AgentPid"] != first["AgentPid"],
                      timeout=60)
    earlier = trace_messages(svc.text("logs\\host.stderr.1") or "")
    assert f"VornelAgentService - VornelAgentServiceMain - entry - service = {svc.name} " in earlier, earlier
    assert "VornelAgentService - VornelAgentServiceMain - return from wait." in earlier
    # The new file begins with the restart, and says where the earlier one went.
    later = host_trace(svc)
    assert re.fullmatch(re.escape(f"VornelAgentService - VornelAgentServiceMain - the trace file {trace} (") +
                        r"\d+" + re.escape(f" KB) is kept as {trace}.1"), later[0]), later[:3]
    assert not any("entry - service" in m for m in later)
    assert later.count(SUPERVISING) == 1
    assert svc.text("logs\\host.stderr.2") is None
