"""VornelAgentServiceInfo under Wine: every question answered through Wine's real registry and
service manager.

Services are set up two ways: with Wine's own sc and reg (always), and with the installer
(when it has been built). The status of a running service needs the service host and the
sample agent as well.
"""

import shutil
from typing import NamedTuple

import pytest

from vornel.wine import BIN, SAMPLE_AGENT

PREFIX = "OrvikTamberVornel6100AgentService"
SERVICES = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\"
INFO = "VornelAgentServiceInfo.exe"
INSTALLER = "InstallVornelAgentService.exe"
HOST = "VornelAgentService.exe"
TOOL_DIR = "C:\\vornel info\\tools\\"

USAGE = ("\r\nUsage: VornelAgentServiceInfo.exe (with no arguments displays this help)"
         "\r\n          -getservicestatus <service name>"
         "\r\n          -getservicelogroot <service name>"
         "\r\n          -getagentname <service name>"
         "\r\n          -getagenthome <service name>"
         "\r\n          -getservicename -agentname <agent name> -agenthome <agent home>"
         "\r\n          -getservicedetails <service name>"
         "\r\n          -getagentpid <service name>"
         "\r\n          -getinstallcommand <service name>")


def full_name(short):
    return f"{PREFIX} - {short}"


def parameters_key(short):
    return SERVICES + full_name(short) + "\\Parameters"


class Agent:
    def __init__(self, short, name, home):
        self.short, self.name, self.home = short, name, home
        self.log_root = home + "logs\\middlewareagent"


# Set up with sc and reg. "info-e2e-half" sorts before "info-e2e-two" and has no AgentName,
# as a service left half installed would.
SC_AGENTS = [Agent("info-e2e-one", "infoAgentOne", "C:\\vornel info\\one\\"),
             Agent("info-e2e-two", "infoAgentTwo", "C:\\vornel info\\two\\")]
HALF = "info-e2e-half"


class Answer(NamedTuple):
    """A run's exit status and its output as the program wrote it (the usage text has "\r\n"
    of its own): only the CR LF of the C runtime's text mode is undone."""

    status: int
    out: str
    err: str


@pytest.fixture(scope="module")
def info(wine):
    """Runs the info tool from where an administrator would have put it."""
    target = wine.unix_path(TOOL_DIR)
    target.mkdir(parents=True, exist_ok=True)
    shutil.copy2(BIN / INFO, target / INFO)

    def run(*args):
        result = wine.run(TOOL_DIR + INFO, *args)
        return Answer(result.status, result.out_as_written, result.err_as_written)

    return run


def sc_create(wine, short, home):
    name = full_name(short)
    result = wine.sc("create", name, "binpath=", f'"{home}bin\\{HOST}" "{name}"', "start=", "demand")
    assert result.status == 0, result


@pytest.fixture(scope="module")
def sc_services(wine):
    for agent in SC_AGENTS:
        sc_create(wine, agent.short, agent.home)
        wine.reg_add(parameters_key(agent.short), "AgentName", agent.name)
        wine.reg_add(parameters_key(agent.short), "AgentHome", agent.home)
        wine.reg_add(parameters_key(agent.short), "AgentLogRoot", agent.log_root)
        assert wine.reg_query(parameters_key(agent.short), "AgentHome") == agent.home
    sc_create(wine, HALF, SC_AGENTS[1].home)
    wine.reg_add(parameters_key(HALF), "AgentHome", SC_AGENTS[1].home)
    yield SC_AGENTS
    for short in [a.short for a in SC_AGENTS] + [HALF]:
        wine.sc("delete", full_name(short))


def answers_for(agent):
    """Each question about an agent's service and the answer the tool must give."""
    return [
        (["-getagentname", agent.short], f"Agent Name - {agent.name}"),
        (["-getagenthome", agent.short], f"Agent Home - {agent.home}"),
        (["-getservicelogroot", agent.short], f"Service Log Root - {agent.log_root}"),
        (["-getservicename", "-agentname", agent.name, "-agenthome", agent.home], f"Service Name - {agent.short}"),
        (["-getservicename", "-agentname", agent.name.upper(), "-agenthome", agent.home.lower()],
         f"Service Name - {agent.short}"),
    ]


def check_answers(info, agent):
    for args, answer in answers_for(agent):
        result = info(*args)
        assert (result.status, result.out, result.err) == (0, answer, ""), args


def test_info_answers_every_question_for_services_set_up_with_sc(info, sc_services):
    for agent in sc_services:
        check_answers(info, agent)


def test_info_reverse_lookup_rules_in_the_real_registry(info, sc_services):
    one, two = sc_services
    # The half-installed service comes first in enumeration order and is passed over.
    assert info("-getservicename", "-agentname", two.name, "-agenthome", two.home).out == f"Service Name - {two.short}"
    # A home without its final separator, or another agent's home, finds nothing.
    for name, home in [(one.name, one.home.rstrip("\\")), (one.name, two.home), (one.name + " ", one.home)]:
        result = info("-getservicename", "-agentname", name, "-agenthome", home)
        assert (result.status, result.out) == (0, "Service Name - "), (name, home)


def test_info_unreadable_values_show_null(info, sc_services):
    for args, answer in [(["-getagentname", "info-e2e-missing"], "Agent Name - <null>"),
                         (["-getagentname", HALF], "Agent Name - <null>"),
                         (["-getservicelogroot", HALF], "Service Log Root - <null>"),
                         (["-getagenthome", HALF], f"Agent Home - {SC_AGENTS[1].home}")]:
        result = info(*args)
        assert (result.status, result.out, result.err) == (0, answer, ""), args


def test_info_status_of_a_stopped_service(info, sc_services):
    result = info("-getservicestatus", sc_services[0].short)
    assert (result.status, result.out, result.err) == (2, "The service is stopped.\n", "")


def test_info_status_of_a_missing_service(info, wine):
    result = info("-getservicestatus", "info-e2e-missing")
    assert result.status == 3
    assert result.out == ""
    first, reason = result.err.split("\n", 1)
    assert first == f"Could not open service '{full_name('info-e2e-missing')}'"
    # The reason is the system's own text for the failed open, whatever its wording.
    assert reason.startswith("\treason: ") and reason.strip() != "reason:", result.err


def test_info_command_line_errors_and_usage(info):
    cases = [
        ([], 0, USAGE, ""),
        (["-servicename", "x"], 0, USAGE, ""),
        (["-getagentname", "x", "-foo"], 255, USAGE,
         "Unrecognized parameters encountered on the command line: '-foo '\n"),
        (["-getagentname", "x", "-foo", "-help"], 0, USAGE, ""),
        (["-getservicename", "-agenthome", "h"], 255, "Required argument [-agentname] not specified!" + USAGE, ""),
        (["-getagenthome"], 255, USAGE, "Parameter -getagenthome needs to be followed by an argument.\n"),
    ]
    for args, status, out, err in cases:
        result = info(*args)
        assert (result.status, result.out, result.err) == (status, out, err), args


def test_info_trace_lists_its_arguments(info):
    result = info("-debug", "-help")
    assert result.out == USAGE
    messages = [line[27:] for line in result.err.splitlines()]
    assert messages == [
        "VornelAgentServiceInfo.main - 3 parameters were passed",
        f"VornelAgentServiceInfo.main - parameter(0) = {TOOL_DIR}{INFO}",
        "VornelAgentServiceInfo.main - parameter(1) = -debug",
        "VornelAgentServiceInfo.main - parameter(2) = -help",
        "Processed parameters, unknown params: <null>",
    ], result.err


# --- With the real installer, host and sample agent ---

def need(*programs):
    missing = [p for p in programs if not (BIN / p).exists()]
    if missing:
        pytest.skip(f"{', '.join(missing)} not built in {BIN} yet")


INSTALLED = [Agent("info-e2e-inst-a", "infoInstalledA", "C:\\vornel info\\installed a\\"),
             Agent("info-e2e-inst-b", "infoInstalledB", "C:\\vornel info\\installed b\\")]


@pytest.fixture(scope="module")
def installed(wine):
    need(INSTALLER)
    done = []
    try:
        for agent in INSTALLED:
            wine.layout_agent_home(agent.home)
            result = wine.run(agent.home + "bin\\" + INSTALLER, "-servicename", agent.short, "-agentname", agent.name,
                              "-agenthome", agent.home)
            assert result.status == 0, result
            done.append(agent)
        yield INSTALLED
    finally:
        for agent in done:
            wine.sc("stop", full_name(agent.short))
            wine.wait_for_state(full_name(agent.short), 1, timeout=30)
            wine.sc("delete", full_name(agent.short))
            wine.reg_delete_key(SERVICES + "EventLog\\Application\\" + full_name(agent.short))


def test_info_answers_every_question_for_installed_services(info, installed):
    for agent in installed:
        check_answers(info, agent)
        result = info("-getservicestatus", agent.short)
        assert (result.status, result.out) == (2, "The service is stopped.\n")


def test_info_status_of_a_running_and_a_stopped_service(info, wine, installed):
    need(HOST)
    if not (SAMPLE_AGENT / "bin" / "startAgent.bat").exists():
        pytest.skip(f"no sample agent installation in {SAMPLE_AGENT} yet")
    agent = installed[0]
    name = full_name(agent.short)
    assert wine.sc("start", name).status == 0
    assert wine.wait_for_state(name, 4), wine.sc("query", name).out
    result = info("-getservicestatus", agent.short)
    assert (result.status, result.out, result.err) == (2, "The service is running.\n", "")
    wine.sc("stop", name)
    assert wine.wait_for_state(name, 1), wine.sc("query", name).out
    result = info("-getservicestatus", agent.short)
    assert (result.status, result.out, result.err) == (2, "The service is stopped.\n", "")
