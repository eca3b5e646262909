"""The start and stop tools' -wait and the info tool's questions about a running service, under
Wine's service manager with the sample agent; and -getinstallcommand recreating a service in a
second prefix, as on another machine of a rollout."""

import re

from vornel.wine import WineSession, wait_until

STOPPED, STOP_PENDING, RUNNING = 1, 3, 4
PREFIX = "OrvikTamberVornel6100AgentService - "
SERVICES_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\"


def tool(svc, program, *args):
    return svc.wine.run(svc.bin + program, *args)


def short(svc):
    return svc.name[len(PREFIX):]


def start_and_wait_for_the_agent(svc):
    assert svc.wine.sc("start", svc.name).status == 0
    assert svc.wine.wait_for_state(svc.name, RUNNING)
    assert wait_until(svc.pid) and wait_until(svc.agent_running)


def test_stop_wait_answers_once_the_service_has_stopped(service):
    svc = service("wait-stop", StartupArguments="-stopDelay 3")
    start_and_wait_for_the_agent(svc)
    result = tool(svc, "StopVornelAgentService.exe", "-servicename", short(svc), "-wait", "60")
    assert (result.status, result.out, result.err) == (0, "Successfully stopped service.\nThe service is stopped.\n",
                                                       ""), result
    assert svc.wine.service_state(svc.name) == STOPPED
    assert result.seconds >= 2.5, result.seconds  # it waited for the agent's three-second shutdown
    assert not svc.agent_running()


def test_stop_wait_times_out_with_2_and_a_second_wait_waits_for_the_stop_under_way(service):
    svc = service("wait-slow", StartupArguments="-stopDelay 12")
    start_and_wait_for_the_agent(svc)
    first = tool(svc, "StopVornelAgentService.exe", "-servicename", short(svc), "-wait", "2")
    assert first.status == 2, first
    assert re.fullmatch(r"Successfully stopped service\.\nThe service is not stopped after 2 s \(.+\)\.\n",
                        first.out), first.out
    assert svc.wine.service_state(svc.name) == STOP_PENDING
    # The service stops already: its stop control is refused, and the wait waits for it instead.
    second = tool(svc, "StopVornelAgentService.exe", "-servicename", short(svc), "-wait")
    assert (second.status, second.out, second.err) == (0, "The service is stopped.\n", ""), second
    assert svc.wine.service_state(svc.name) == STOPPED
    third = tool(svc, "StopVornelAgentService.exe", "-servicename", short(svc), "-wait")
    assert (third.status, third.out, third.err) == (0, "The service is stopped.\n", ""), third


def test_start_wait_times_out_with_2_while_no_agent_writes_its_pid(service):
    svc = service("wait-nopid", StartupArguments="-noPid")
    result = tool(svc, "StartVornelAgentService.exe", "-servicename", short(svc), "-wait", "3")
    assert result.status == 2, result
    assert re.fullmatch(r"Successfully started service\.\nThe agent is not running after 3 s \(.+\)\.\n",
                        result.out), result.out
    assert 3 <= result.seconds < 6, result.seconds
    pid = tool(svc, "VornelAgentServiceInfo.exe", "-getagentpid", short(svc))
    assert (pid.status, pid.out) == (0, "Agent Pid - <null>"), pid
    details = tool(svc, "VornelAgentServiceInfo.exe", "-getservicedetails", short(svc))
    assert details.status == 2, details
    assert details.out.startswith(f"Service: {svc.name}\nState: running\n"), details.out


def details_of(svc):
    """-getservicedetails as (exit status, {key: value})."""
    result = tool(svc, "VornelAgentServiceInfo.exe", "-getservicedetails", short(svc))
    return result.status, dict(line.split(": ", 1) for line in result.out.splitlines())


def test_an_installed_service_started_with_wait_answers_with_the_pid_the_info_tool_repeats(wine):
    home = "C:\\vornel-wait-installed\\"
    wine.layout_agent_home(home, logs=False)
    run = lambda program, *args: wine.run(home + "bin\\" + program, *args)
    assert run("InstallVornelAgentService.exe", "-servicename", "wait-installed", "-agentname", "agent one",
               "-agenthome", home).status == 0
    try:
        started = run("StartVornelAgentService.exe", "-servicename", "wait-installed", "-wait", "60")
        match = re.fullmatch(r"Successfully started service\.\nThe agent is running \(pid (\d+)\)\.\n", started.out)
        assert started.status == 0 and match, started
        pid = run("VornelAgentServiceInfo.exe", "-getagentpid", "wait-installed")
        assert (pid.status, pid.out) == (0, f"Agent Pid - {match.group(1)}"), pid
        again = run("StartVornelAgentService.exe", "-servicename", "wait-installed", "-wait")
        assert (again.status, again.out) == (0, f"The agent is running (pid {match.group(1)}).\n"), again
    finally:
        run("StopVornelAgentService.exe", "-servicename", "wait-installed", "-wait")
        run("UninstallVornelAgentService.exe", "-servicename", "wait-installed")


def test_the_details_follow_a_crash_loop(service):
    svc = service("wait-crash-loop", StartupArguments="-exitAfter 1 -exitCode 3")
    assert svc.wine.sc("start", svc.name).status == 0
    seen = {}

    def waiting_after(starts):
        status, lines = details_of(svc)
        seen.clear()
        seen.update(lines)
        return status == 2 and lines.get("Phase") == "waiting to restart" and int(lines["Agent starts"]) >= starts

    assert wait_until(lambda: waiting_after(2), timeout=60), seen
    assert re.fullmatch(r"3 at \d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC( \(\d+ s ago\))?", seen["Last agent exit"]), seen
    assert "Restart at" in seen and "Agent pid" not in seen, seen
    assert tool(svc, "StopVornelAgentService.exe", "-servicename", short(svc), "-wait").status == 0
    status, lines = details_of(svc)
    assert (status, lines["Outcome"], lines["Exit codes"]) == (1, "stopped on request", "0 / 0"), lines


def test_details_of_a_stopped_and_of_a_missing_service(service, wine):
    svc = service("wait-details")
    details = tool(svc, "VornelAgentServiceInfo.exe", "-getservicedetails", short(svc))
    assert (details.status, details.out) == (1, f"Service: {svc.name}\nState: stopped\nExit codes: 1077 / 0\n")
    missing = tool(svc, "VornelAgentServiceInfo.exe", "-getservicedetails", "wait-nosuch")
    assert (missing.status, missing.out) == (3, "")
    assert missing.err.startswith(f"Could not open service '{PREFIX}wait-nosuch'\n\treason: "), missing.err


def parameters_and_configuration(session, name):
    """The Parameters values (reg query) and the service manager's configuration (sc qc) of a
    service, as comparable lines."""
    values = sorted(line.strip() for line in session.reg_query(SERVICES_KEY + name + "\\Parameters").splitlines()
                    if "REG_" in line)
    config = sorted(line.strip() for line in session.sc("qc", name).out.splitlines()
                    if re.match(r"\s*(START_TYPE|BINARY_PATH_NAME|DISPLAY_NAME|SERVICE_START_NAME)\b", line))
    return values, config


def test_the_install_command_recreates_the_service_in_another_prefix(wine):
    home = "C:\\vornel-recreate\\"
    name = PREFIX + "recreate"
    bin_dir = home + "bin\\"
    wine.layout_agent_home(home)
    installed = wine.run(bin_dir + "InstallVornelAgentService.exe", "-servicename", "recreate", "-agentname",
                         "the agent", "-agenthome", home[:-1], "-startargs", '-Dmode="a & b" -Dlevel=2',
                         "-stopargs", "-fast -now", "-encodeparams", "-restart", "false", "-starttype", "disabled",
                         "-userid", "LocalService", "-servicetrace", "on")
    assert installed.status == 0, installed
    command = wine.run(bin_dir + "VornelAgentServiceInfo.exe", "-getinstallcommand", "recreate")
    assert (command.status, command.err) == (0, ""), command
    assert command.out.startswith("InstallVornelAgentService.exe -servicename recreate ") and \
        command.out.count("\n") == 1, command.out

    other = WineSession().start()
    try:
        other.layout_agent_home(home)
        script = other.unix_path(bin_dir + "recreate.bat")
        script.write_bytes(b"@echo off\r\n" + command.out.strip().encode() + b"\r\n")
        recreated = other.run("cmd", "/c", bin_dir + "recreate.bat", cwd=other.unix_path(bin_dir))
        assert recreated.status == 0, recreated
        assert "successfully added" in recreated.out, recreated
        assert parameters_and_configuration(other, name) == parameters_and_configuration(wine, name)
        again = other.run(bin_dir + "VornelAgentServiceInfo.exe", "-getinstallcommand", "recreate")
        assert again.out == command.out
    finally:
        other.close()
        wine.run(bin_dir + "UninstallVornelAgentService.exe", "-servicename", "recreate")
