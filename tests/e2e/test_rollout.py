"""The installer as a rollout meets it, under Wine: writes that fail are no success, homes it
cannot serve are refused or warned about, dash-led start and stop arguments, the command
interpreter's line limit, names in other letter case in any language, and the service
manager's settings it makes in the same command, read back with a client of the service
manager (the probe's QueryServiceConfigA and QueryServiceConfig2A) or, where Wine keeps them
only there, from the service's registry key.

Wine gets LC_ALL=C.UTF-8 wherever non-ASCII text crosses its command line.
"""

import shutil

import pytest

from vornel.wine import BIN

PREFIX = "OrvikTamberVornel6100AgentService - "
PRODUCT = "Orvik Halcyra Dravenmoor Version 6.1.0.0"
SERVICES = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\"
HOME = "C:\\vornel-rollout\\"
UTF8 = {"LC_ALL": "C.UTF-8"}
STOPPED = 1


@pytest.fixture(scope="module")
def home(wine):
    bin_dir = wine.layout_agent_home(HOME, logs=False)
    shutil.copy2(BIN / "probe.exe", bin_dir / "probe.exe")
    return HOME


def run(wine, program, *args):
    return wine.run(HOME + "bin\\" + program, *args, env=UTF8)


def install(wine, short, home, *more, agent="agent"):
    return run(wine, "InstallVornelAgentService.exe", "-servicename", short, "-agentname", agent, "-agenthome",
               home, *more)


def remove(wine, full):
    wine.sc("delete", full)
    wine.reg_delete_key(SERVICES + full)
    wine.reg_delete_key(SERVICES + "EventLog\\Application\\" + full)


def error_line(wine, label, code):
    """A system-error line as the rig reads it: the label, the system's text with its own line
    end, and the line's line end."""
    return f"{label}: " + run(wine, "probe.exe", "error", str(code)).out + "\n"


def config(wine, full):
    """What the service manager answers about the service: {"start": "2", "depends": ..., ...}."""
    result = run(wine, "probe.exe", "config", full)
    assert result.status == 0, result
    return dict(line.split(" ", 1) if " " in line else (line, "") for line in result.out.splitlines())


@pytest.fixture
def installed(wine, home):
    made = []

    def make(short, *more, home=HOME, agent="agent"):
        made.append(PREFIX + short)
        remove(wine, made[-1])
        return install(wine, short, home, *more, agent=agent)

    yield make
    for full in made:
        remove(wine, full)


# --- 1. A write that fails is no success ---

def test_a_service_whose_settings_cannot_be_written_is_not_announced_as_added(wine, installed):
    # A full name of 236 characters: Wine's registry refuses key paths of more than 260.
    short = "s" * 200
    result = installed(short)
    assert result.status == 255, result
    assert result.out == ""
    for value in ("Description", "AgentHome", "AgentName", "AgentPidFile", "Restart", "EventMessageFile"):
        assert f"Could not write {value}: " in result.err, result.err
    assert "successfully added" not in result.out


def test_a_full_name_over_256_characters_is_refused_before_anything_is_made(wine, installed):
    result = installed("s" * 221)
    assert result.status == 255, result
    assert result.err == "The -servicename value must not make the full service name longer than 256 characters " \
                         "(it would have 257).\n"
    assert result.out.startswith("\nUsage: InstallVornelAgentService.exe")
    assert wine.service_state(PREFIX + "s" * 221) is None


# --- 2. Homes the service cannot run from ---

NOT_ABSOLUTE = "The -agenthome value must be an absolute path: a drive letter, a colon and a backslash, " \
               "or \\\\server\\share\\.\n"


@pytest.mark.parametrize("typed", ["adv\\h\\rel", "C:agent", "C:/vornel-rollout", "\\vornel-rollout"])
def test_a_home_that_is_not_absolute_is_refused(wine, installed, typed):
    result = installed("rollout-relative", home=typed)
    assert (result.status, result.err) == (255, NOT_ABSOLUTE), result
    assert wine.service_state(PREFIX + "rollout-relative") is None


def warning(path):
    return f"Warning: {path} does not exist; the service cannot start until it does."


def test_a_home_without_the_programs_is_warned_about_and_gets_its_log_folder(wine, installed):
    typo = "C:\\vornel-rolout\\"
    result = installed("rollout-typo", home=typo)
    assert result.status == 0, result
    assert result.err.splitlines() == [warning(typo + "bin\\VornelAgentService.exe"),
                                       warning(typo + "bin\\startAgent.bat")]
    assert result.out == f"{PRODUCT} - rollout-typo service successfully added."
    assert wine.unix_path(typo + "logs\\middlewareagent").is_dir()


def test_a_home_without_its_start_script_gets_one_warning(wine, installed):
    home = "C:\\vornel-rollout-noscript\\"
    bin_dir = wine.layout_agent_home(home, logs=False)
    (bin_dir / "startAgent.bat").unlink()
    result = installed("rollout-noscript", home=home)
    assert (result.status, result.err) == (0, warning(home + "bin\\startAgent.bat") + "\n"), result


def test_the_installer_makes_the_log_folder(wine, installed):
    home = "C:\\vornel-rollout-logs\\"
    wine.layout_agent_home(home, logs=False)
    logs = wine.unix_path(home + "logs\\middlewareagent")
    assert not logs.exists()
    result = installed("rollout-logs", home=home)
    assert (result.status, result.err) == (0, ""), result
    assert logs.is_dir()


def test_a_home_longer_than_windows_paths_is_warned_about_and_its_log_folder_fails(wine, installed):
    long_home = "C:\\" + "a" * 270 + "\\"
    result = installed("rollout-long-home", home=long_home)
    lines = result.err.splitlines()
    assert lines[:2] == [warning(long_home + "bin\\VornelAgentService.exe"),
                         warning(long_home + "bin\\startAgent.bat")], lines
    assert lines[2].startswith(f"Could not create {long_home}logs\\middlewareagent: "), lines
    assert result.status == 255


def test_a_share_that_does_not_answer_is_warned_about_and_its_log_folder_fails(wine, installed):
    share = "\\\\vornel-nowhere\\agents\\"
    result = installed("rollout-share", home=share)
    lines = result.err.splitlines()
    assert lines[:2] == [warning(share + "bin\\VornelAgentService.exe"), warning(share + "bin\\startAgent.bat")], lines
    assert lines[2].startswith(f"Could not create {share}logs\\middlewareagent: "), lines
    assert result.status == 255


# --- 3. and 4. Start and stop arguments ---

def test_dash_led_start_and_stop_arguments_are_stored_as_given(wine, installed):
    result = installed("rollout-dash", "-startargs", "-Xmx512m", "-stopargs", "-noPid")
    assert (result.status, result.err) == (0, ""), result
    params = SERVICES + PREFIX + "rollout-dash\\Parameters"
    assert wine.reg_query(params, "StartupArguments") == "-Xmx512m"
    assert wine.reg_query(params, "StopArguments") == "-noPid"


def test_arguments_that_pass_the_command_interpreters_line_are_refused(wine, installed):
    # "C:\vornel-rollout\bin\startAgent.bat"  "agent" and a blank: 48 characters.
    fits = installed("rollout-long", "-startargs", "x" * (8191 - 48))
    assert (fits.status, fits.err) == (0, ""), fits
    too_long = installed("rollout-too-long", "-startargs", "x" * (8192 - 48))
    assert too_long.status == 255
    assert too_long.err == "The -startargs value must not make the start script's command line longer than 8191 " \
                           "characters (it would have 8192).\n"
    assert wine.service_state(PREFIX + "rollout-too-long") is None


# --- 5. Letter case in any language ---

SERVICE = "\u0441\u0435\u0440\u0432\u0438\u0441"  # сервис
AGENT = "\u0430\u0433\u0435\u043d\u0442"  # агент


def test_an_update_in_other_case_finds_the_service_and_so_do_the_tools(wine, installed):
    cyrillic_home = "C:\\vornel-\u0430\u0433\u0435\u043d\u0442\\"
    wine.layout_agent_home(cyrillic_home, logs=False)
    first = installed(SERVICE, home=cyrillic_home, agent=AGENT)
    assert first.status == 0, first
    again = install(wine, SERVICE.upper(), cyrillic_home.upper(), agent=AGENT)
    assert (again.status, again.out, again.err) == (0, "Service already exists, updating parameters...\n", ""), again
    # No second service beside the first: Wine's manager knows no name in the other case
    # (1060, of which the exit status keeps the low byte).
    assert run(wine, "probe.exe", "config", PREFIX + SERVICE.upper()).status == 1060 & 0xFF

    status = run(wine, "VornelAgentServiceInfo.exe", "-getservicestatus", SERVICE.upper())
    assert (status.status, status.out) == (2, "The service is stopped.\n"), status
    found = run(wine, "VornelAgentServiceInfo.exe", "-getservicename", "-agentname", AGENT.upper(), "-agenthome",
                cyrillic_home.lower())
    assert found.out == f"Service Name - {SERVICE}", found
    removed = run(wine, "UninstallVornelAgentService.exe", "-servicename", SERVICE.upper())
    assert f"Successfully removed service {PREFIX}{SERVICE.upper()}." in removed.out, removed
    assert wine.service_state(PREFIX + SERVICE) is None


# --- The service manager's settings ---

def test_the_dependencies_and_the_preshutdown_time_out_are_kept_and_changed(wine, installed):
    full = PREFIX + "rollout-settings"
    made = installed("rollout-settings", "-dependson", "Tcpip/+NetworkProvider", "-shutdowntimeout", "180",
                     "-recovery", "off")
    assert (made.status, made.err) == (0, ""), made
    answered = config(wine, full)
    assert answered["preshutdown"] == "180000"
    # Wine's QueryServiceConfigA names no dependencies; its service key holds them.
    assert wine.reg_query(SERVICES + full, "DependOnService") == "Tcpip"
    assert wine.reg_query(SERVICES + full, "DependOnGroup") == "NetworkProvider"

    changed = install(wine, "rollout-settings", HOME, "-dependson", "/", "-shutdowntimeout", "30")
    assert (changed.status, changed.err) == (0, ""), changed
    assert config(wine, full)["preshutdown"] == "30000"
    assert wine.reg_query(SERVICES + full, "DependOnService") is None
    assert wine.reg_query(SERVICES + full, "DependOnGroup") is None


def test_what_wines_manager_refuses_is_reported_and_fails_the_run(wine, installed):
    full = PREFIX + "rollout-refused"
    delayed = installed("rollout-refused", "-starttype", "delayed")
    assert delayed.status == 255, delayed
    assert delayed.err == error_line(wine, "Could not set the delayed automatic start", 87)
    assert delayed.out == ""
    assert config(wine, full)["start"] == "2"

    recovery = install(wine, "rollout-refused", HOME, "-recovery", "on")
    assert recovery.status == 255, recovery
    assert recovery.err == error_line(wine, "Could not set the recovery on a stop with an error code", 87)
    # Wine accepts the restarts and keeps none of them.
    answered = config(wine, full)
    assert answered["failure"] == "error 124"
    assert wine.reg_query(SERVICES + full, "FailureActions") is None
