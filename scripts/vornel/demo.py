"""The life of an agent service under Wine, step by step, with the real programs.

Run through scripts/demo, which installs what is missing and builds the programs and the
package first, then runs scripts/demo.py. This tour unpacks the package into C:\\VornelAgent\\ of a private Wine prefix,
as an administrator unpacks it on Windows, and then installs a service for the sample agent,
asks the info tool about it, starts it, finds the agent and the host's trace, kills the agent
and watches the host start it again, stops the service, and removes it. Every step shows the
command as it is typed on Windows, its output and exit status, and checks them.

--prefix DIR uses another Wine prefix than build/demo-wine (created when missing). Exit
status 0 only when every check passed. A second run first removes what an earlier run left
in the prefix.
"""

import argparse
import shutil
import zipfile
from pathlib import Path

from .wine import BUILD, REPO, WineSession, encoded_arguments, query_fields, wait_until

SHORT = "demo"
FULL = "OrvikTamberVornel6100AgentService - " + SHORT
DISPLAY = "Orvik Halcyra Dravenmoor Version 6.1.0.0 - " + SHORT
AGENT = "demo agent"
START_ARGS = "-Ddemo.mode=tour -Ddemo.level=2"
HOME = "C:\\VornelAgent\\"
BIN = HOME + "bin"
LOGS = HOME + "logs\\middlewareagent"
PID_FILE = LOGS + "\\VornelAgent.pidfile"
SCRIPTS_LOG = LOGS + "\\scripts.log"
TRACE_ERR = LOGS + "\\VornelAgentService.stderr"
TRACE_OUT = LOGS + "\\VornelAgentService.stdout"
SERVICE_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + FULL
PARAMETERS = SERVICE_KEY + "\\Parameters"
EVENT_SOURCE = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + FULL
SHIPPED_BIN = sorted(["InstallVornelAgentService.exe", "StartVornelAgentService.exe", "StopVornelAgentService.exe",
                      "UninstallVornelAgentService.exe", "VornelAgentService.exe", "VornelAgentServiceInfo.exe",
                      "VornelAgentServiceMsg.dll", "VornelAgent.exe", "startAgent.bat", "stopAgent.bat"],
                     key=str.lower)
SUPERVISING = "VornelAgentService - VornelAgentServiceMain - process openned successfully, about to wait."
STOPPED, RUNNING = 1, 4


def say(text=""):
    print(text, flush=True)


def shown(argument):
    """An argument as it is typed in cmd.exe."""
    return f'"{argument}"' if argument == "" or any(c in argument for c in " \t&|<>^") else argument


class Abort(Exception):
    """A check failed that the rest of the tour depends on."""


class Tour:
    def __init__(self, wine):
        self.wine = wine
        self.steps = 0
        self.checks = 0
        self.failures = []

    # --- showing ---

    def step(self, title):
        self.steps += 1
        say()
        say(f"== {self.steps}. {title}")

    def note(self, text):
        say(f"   ({text})")

    def check(self, passed, what, detail=None, needed=False):
        self.checks += 1
        if passed:
            say(f"   ok: {what}")
            return True
        say(f"   FAILED: {what}" + (f": {detail}" if detail else ""))
        self.failures.append(f"step {self.steps}: {what}")
        if needed:
            raise Abort(what)
        return False

    def run(self, cwd, program, *args, builtin=False, typed=None):
        """Runs a program as typed at the prompt cwd> and shows its output and exit status.
        Programs of the agent home run from its bin\\; built-ins (reg, sc, taskkill, cmd) are
        Wine's. typed is the command as shown, when it differs (cmd's own commands)."""
        say()
        say(f"{cwd}> {typed or program + ' ' + ' '.join(shown(a) for a in args)}".rstrip())
        path = program if builtin else BIN + "\\" + program
        result = self.wine.run(path, *args, cwd=self.wine.unix_path(cwd))
        if result.out:
            say(result.out.rstrip("\n"))
        for line in result.err.rstrip("\n").split("\n") if result.err else []:
            say(f"[stderr] {line}")
        ending = "" if not result.out or result.out.endswith("\n") else "; the output ends without a line end"
        say(f"(exit status {result.status}{ending})")
        return result

    def type_file(self, cwd, windows_path, select=None, left_out=None):
        """Shows a file as `type` shows it; select picks the lines shown from the list of all."""
        name = windows_path[len(cwd) + 1:] if windows_path.startswith(cwd + "\\") else windows_path
        say()
        say(f"{cwd}> type {shown(name)}")
        text = self.read(windows_path)
        if text is None:
            say("The system cannot find the file specified.")
            return None
        lines = text.rstrip("\n").split("\n")
        picked = select(lines) if select else lines
        for line in picked:
            say(line)
        if len(picked) < len(lines):
            self.note(f"{len(lines) - len(picked)} of its {len(lines)} lines left out here: {left_out}")
        return text

    # --- looking ---

    def read(self, windows_path):
        """A file of the prefix, read from the Linux side: Wine's type cannot open a file that
        the service host holds open for its trace (docs/wine.md)."""
        path = self.wine.unix_path(windows_path)
        try:
            return path.read_bytes().decode(errors="replace").replace("\r", "")
        except FileNotFoundError:
            return None

    def pid(self):
        text = (self.read(PID_FILE) or "").strip()
        return int(text) if text.isdigit() else None

    def agent_alive(self):
        """The sample agent holds its lock file while it lives; the system frees it however the
        agent ends."""
        wait = self.wine.run(BIN + "\\VornelAgent.exe", "-wait", "-pidFile", PID_FILE, "-timeout", "0")
        return wait.status == 1

    def trace(self):
        """The messages of the host's trace lines, without their time stamps."""
        return [line.split(" - ", 1)[1] for line in (self.read(TRACE_ERR) or "").split("\n") if " - " in line]

    def script_runs(self):
        return [line for line in (self.read(SCRIPTS_LOG) or "").split("\n") if line]


# --- the tour ---

def clear_leftovers(tour):
    tour.step("Start from a clean prefix")
    wine = tour.wine
    left = []
    state = wine.service_state(FULL)
    if state is not None:
        if state != STOPPED:
            wine.sc("stop", FULL)
            wine.wait_for_state(FULL, STOPPED, timeout=60)
        wine.sc("delete", FULL)
        wait_until(lambda: wine.service_state(FULL) is None, timeout=30)
        left.append(f"the service {FULL}")
    if wine.reg_query(EVENT_SOURCE) is not None:
        wine.reg_delete_key(EVENT_SOURCE)
        left.append("its event-log source")
    home = wine.unix_path(HOME)
    if home.exists():
        shutil.rmtree(home)
        left.append(HOME)
    tour.note("removed what an earlier run left: " + ", ".join(left) if left else "nothing left by an earlier run")
    tour.check(wine.service_state(FULL) is None and not home.exists(), "no service and no agent home from an "
               "earlier run", needed=True)


def lay_out_home(tour, package):
    tour.step(f"Unpack the package into {HOME}, as on Windows")
    say()
    say(f"C:\\> powershell Expand-Archive {package.name} -DestinationPath {HOME.rstrip(chr(92))}")
    with zipfile.ZipFile(package) as archive:
        archive.extractall(tour.wine.unix_path(HOME))
    tour.note(f"Wine has no PowerShell: the demo unpacked {package.relative_to(REPO)} itself")
    listing = tour.run("C:\\", "cmd", "/c", "dir", "/b", "/o:n", BIN, builtin=True, typed=f"dir /b /o:n {BIN}")
    tour.check(listing.out.split() == SHIPPED_BIN, "bin\\ holds the six programs, the message file, the agent and "
               "its two scripts", listing.out.split(), needed=True)


def install(tour):
    tour.step("Install the service, its start arguments stored encoded")
    result = tour.run(BIN, "InstallVornelAgentService.exe", "-servicename", SHORT, "-agentname", AGENT,
                      "-agenthome", HOME.rstrip("\\"), "-startargs", START_ARGS, "-encodeparams",
                      "-servicetrace", "on")
    tour.check((result.status, result.out, result.err) == (0, f"{DISPLAY} service successfully added.", ""),
               f'exit status 0 and "{DISPLAY} service successfully added."', result, needed=True)
    # The host's trace files and the pid file go there: the installer made it.
    tour.check(tour.wine.unix_path(LOGS).is_dir(), f"the installer made the log folder {LOGS}", needed=True)

    tour.run(BIN, "reg", "query", PARAMETERS, builtin=True)
    wine = tour.wine
    stored = wine.reg_query(PARAMETERS, "StartupArguments")
    tour.check(wine.reg_query(PARAMETERS, "Encoded") == "on" and stored == encoded_arguments(START_ARGS, FULL),
               f"StartupArguments holds {START_ARGS!r} combined with the full service name, as hex "
               "(Encoded is on)", stored)
    tour.check(wine.reg_query(PARAMETERS, "AgentHome") == HOME, f"the agent home is stored as {HOME}, with its "
               "closing backslash")
    tour.run(BIN, "reg", "query", EVENT_SOURCE, builtin=True)
    tour.check(wine.reg_query(EVENT_SOURCE, "EventMessageFile") == BIN + "\\VornelAgentServiceMsg.dll",
               "the event source names bin\\VornelAgentServiceMsg.dll as its message file")


def ask(tour, args, status, out, what):
    result = tour.run(BIN, "VornelAgentServiceInfo.exe", *args)
    tour.check((result.status, result.out, result.err) == (status, out, ""), what, result)
    return result


def info_answers(tour):
    tour.step("Ask the info tool about the service")
    ask(tour, ["-getagentname", SHORT], 0, f"Agent Name - {AGENT}", "the agent name, exit status 0")
    ask(tour, ["-getagenthome", SHORT], 0, f"Agent Home - {HOME}", "the agent home, exit status 0")
    ask(tour, ["-getservicelogroot", SHORT], 0, f"Service Log Root - {LOGS}", "the log root, exit status 0")
    ask(tour, ["-getservicestatus", SHORT], 2, "The service is stopped.\n",
        "the state, with exit status 2 (2 whatever the state: scripts read the sentence)")
    tour.step("Find the service from its agent name and agent home (the reverse lookup)")
    ask(tour, ["-getservicename", "-agentname", AGENT, "-agenthome", HOME], 0, f"Service Name - {SHORT}",
        "the short service name, exit status 0")


def start(tour):
    tour.step("Start the service")
    result = tour.run(BIN, "StartVornelAgentService.exe", "-servicename", SHORT)
    tour.check((result.status, result.out, result.err) == (0, "Successfully started service.\n", ""),
               'exit status 0 and "Successfully started service."', result, needed=True)
    tour.note("the tool does not wait; the host runs startAgent.bat, then waits for the agent's pid")
    tour.check(wait_until(lambda: SUPERVISING in tour.trace(), timeout=60),
               "the host found the agent's pid and waits for the agent", needed=True)

    tour.step("The service's state")
    ask(tour, ["-getservicestatus", SHORT], 2, "The service is running.\n", "running, exit status 2")


def agent_and_trace(tour):
    tour.step("The agent: its pid file and the start script's arguments")
    tour.note("Wine's type cannot open a file that the host holds open for its trace: the demo reads the "
              "files it shows from the Linux side")
    tour.type_file(LOGS, PID_FILE)
    pid = tour.pid()
    tour.check(pid is not None and tour.agent_alive(), f"the pid file names the running agent ({pid})", needed=True)
    tour.type_file(LOGS, SCRIPTS_LOG)
    runs = tour.script_runs()
    tour.check(runs == [f'startAgent.bat cwd=["{BIN}"] args=["{AGENT}" {START_ARGS}]'],
               "startAgent.bat ran once in bin\\, with the quoted agent name and the decoded start arguments",
               runs)

    tour.step("The host's trace (DebugTrace is on)")
    tour.type_file(LOGS, TRACE_ERR, select=lambda lines: [l for l in lines if "CommonVornelAgentService - " not in l],
                   left_out="the settings the host read, one line each (CommonVornelAgentService)")
    messages = tour.trace()
    tour.check(messages[:2] == ["=" * 81] * 2 and
               messages[2] == f"VornelAgentService - VornelAgentServiceMain - entry - service = {FULL} ",
               "time-stamped lines that begin with two separators and the service main's entry", messages[:3])
    # The script receives the decoded arguments; the trace shows only how long they are.
    command = f'"{BIN}\\startAgent.bat"  "{AGENT}" <encoded arguments, {len(START_ARGS)} characters>'
    tour.check(f"VornelAgentService - startServer - about to start executable {command}" in messages and
               not any(START_ARGS in m for m in messages),
               "the start script's command line, with the encoded arguments' length in place of their text")
    out = tour.type_file(LOGS, TRACE_OUT)
    tour.check((out or "").startswith("\n VornelAgentServiceMain - doRestartServer = true\n startServer - "),
               "the host's console lines went to the StdOutTraceFile", out)
    return pid


def after_the_first_agent(lines):
    """The host's trace lines from the end of the first agent on, without its registry reads."""
    ends = [i for i, line in enumerate(lines) if line.endswith("VornelAgentServiceMain - return from wait.")]
    return [line for line in lines[ends[0] if ends else 0:] if "CommonVornelAgentService - " not in line]


def kill_agent(tour, first):
    tour.step("Kill the agent: the host starts it again")
    result = tour.run("C:\\", "taskkill", "/pid", str(first), "/f", builtin=True)
    tour.check(result.status == 0, f"process {first} ended", result, needed=True)
    second = wait_until(lambda: tour.pid() not in (None, first) and tour.pid(), timeout=60)
    tour.type_file(LOGS, PID_FILE)
    tour.check(bool(second) and tour.agent_alive(), f"a new agent runs under a new pid ({second})",
               tour.pid(), needed=True)
    tour.check(wait_until(lambda: tour.trace().count(SUPERVISING) == 2, timeout=30),
               "the host waits for the new agent")
    tour.type_file(LOGS, TRACE_ERR, select=after_the_first_agent,
                   left_out="the first start, and the settings the host read")
    messages = tour.trace()
    tour.check("VornelAgentService - isServerRunningAlready - pid file found for dead process" in messages,
               "the killed agent's pid, still in the pid file, was seen as dead")
    tour.check(len(tour.script_runs()) == 2, "startAgent.bat ran a second time", tour.script_runs())
    tour.check(tour.wine.service_state(FULL) == RUNNING, "the service stayed running")


def stop(tour):
    tour.step("Stop the service: the host runs the stop script")
    result = tour.run(BIN, "StopVornelAgentService.exe", "-servicename", SHORT)
    tour.check((result.status, result.out, result.err) == (0, "Successfully stopped service.\n", ""),
               'exit status 0 and "Successfully stopped service."', result, needed=True)
    tour.note("the tool does not wait either; the service is stopped once the stop script has ended")
    tour.check(tour.wine.wait_for_state(FULL, STOPPED, timeout=60), "the service reached the stopped state",
               needed=True)
    tour.type_file(LOGS, SCRIPTS_LOG)
    runs = tour.script_runs()
    tour.check(runs[2:] == [f'stopAgent.bat cwd=["{BIN}"] args=["{AGENT}"]'], "stopAgent.bat ran once", runs)
    tour.check(not tour.agent_alive(), "the agent has ended")
    query = tour.run("C:\\", "sc", "query", FULL, builtin=True)
    fields = query_fields(query.out)
    codes = [fields.get("WIN32_EXIT_CODE"), fields.get("SERVICE_EXIT_CODE")]
    tour.check(codes == [0, 0], "stopped with exit codes 0 and 0", codes)

    tour.step("The service's state")
    ask(tour, ["-getservicestatus", SHORT], 2, "The service is stopped.\n", "stopped, exit status 2")


def uninstall(tour):
    tour.step("Remove the service")
    result = tour.run(BIN, "UninstallVornelAgentService.exe", "-servicename", SHORT)
    tour.check((result.status, result.out, result.err) ==
               (0, f"Remove Service: {SHORT}\n\nSuccessfully removed service {FULL}.\n", ""),
               "exit status 0 and the removal reported", result)
    wine = tour.wine
    tour.check(wait_until(lambda: wine.reg_query(SERVICE_KEY) is None, timeout=30) and
               wine.reg_query(EVENT_SOURCE) is None, "its registry keys and event-log source are gone")
    result = tour.run(BIN, "VornelAgentServiceInfo.exe", "-getservicestatus", SHORT)
    tour.check(result.status == 3 and result.out == "" and
               result.err.startswith(f"Could not open service '{FULL}'\n\treason: "),
               "the info tool answers 3: not registered", result)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--prefix", type=Path, default=REPO / "build" / "demo-wine",
                        help="the Wine prefix to use (default: build/demo-wine); created when missing")
    args = parser.parse_args(argv)
    packages = sorted((BUILD / "package").glob("VornelAgentService-*-win64.zip"))
    if not packages:
        say(f"no package in {BUILD / 'package'}: run cmake --build --preset windows --target package")
        return 1
    prefix = args.prefix.resolve()

    say(f"== Wine prefix {prefix}")
    wine = WineSession(prefix)
    if (prefix / "system.reg").exists():
        wine.stop_server()  # ends whatever an earlier run left running in this prefix
    tour = Tour(wine)
    try:
        wine.start()
        clear_leftovers(tour)
        lay_out_home(tour, packages[-1])
        install(tour)
        info_answers(tour)
        start(tour)
        first = agent_and_trace(tour)
        kill_agent(tour, first)
        stop(tour)
        uninstall(tour)
    except Abort as stopped:
        say()
        say(f"== The tour cannot go on: {stopped}")
    finally:
        wine.close()

    say()
    if tour.failures:
        say(f"== {len(tour.failures)} of {tour.checks} checks FAILED:")
        for failure in tour.failures:
            say(f"   {failure}")
        return 1
    say(f"== The service's whole life in {tour.steps} steps: all {tour.checks} checks passed.")
    say(f"   The prefix stays for a look around (WINEPREFIX={prefix} wine ...); "
        "the next run starts afresh.")
    return 0

