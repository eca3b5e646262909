"""The performance record: every benchmark under Wine in one run, written to docs/benchmarks.md.

1. Round trips: each tool beside Wine's own sc (and reg, for the info tool's registry answers)
   doing the same work, as the wall time of the whole process, taken in turn, median of --runs.
2. Latencies: start (start tool until the host reports running, and until it has opened the
   new agent and waits for it), stop (stop tool until the agent and the host process have
   ended), restart (the agent killed until the host supervises the new one). Then the stop
   beside Wine's sc stop: the command's answer, and the time from the stop control to stopped,
   for the sample agent as installed (--runs) and for one that takes 15 s to shut down
   (StartupArguments "-stopDelay 15", --slow-stop-runs).
3. The host beside a floor: stop, start and restart latencies of the service and of the
   smallest service that runs the same scripts and waits on handles (tests/wintools/
   floor_service.cpp), timed inside Wine by tests/wintools/latency.cpp, taken in turn.
4. The host idle while it supervises an idle agent, beside a plain sleeping process, over
   --idle-seconds.
5. The info tool's reverse lookup over 10, 1,000 and 10,000 services (vornel/lookup.py),
   --lookup-runs runs of each kind; with --only lookup that part alone, printed only.
5. With --only waits, alone: the start and stop tools' -wait beside a 250-ms poll
   (vornel/bench_waits.py), --runs runs of each; with --write into a section of its own.

Run as scripts/bench.py. Needs the Windows build. Takes about a quarter of an hour; run it on a quiet
machine for the record. A benchmark, not a test: scripts/test does not run it.
"""

import argparse
import datetime
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

from . import bench_waits, lookup
from .agent_home import TraceCounter
from .procs import alive, load_average, machine, proc_sample, unix_processes
from .records import BENCHMARKS, write_section
from .wine import BIN, REPO, WineSession, wait_until

COMMAND = "scripts/bench.py"
PREFIX = "OrvikTamberVornel6100AgentService - "
HOME = "C:\\vornel-bench\\"
BIN_DIR = HOME + "bin\\"
SHORT = "bench"
FULL = PREFIX + SHORT
PARAMS = f"HKLM\\SYSTEM\\CurrentControlSet\\Services\\{FULL}\\Parameters"
SUPERVISED = b"VornelAgentService - VornelAgentServiceMain - process openned successfully"
RUNNING = b"VornelAgentService - VornelAgentServiceMain - startServer returned."
PID_WAIT_SLEEP = b"VornelAgentService - waitForPidFile - about to sleep"
CONTROL_STOP = b"VornelAgentService - VornelAgentServiceCtrl - SERVICE_CONTROL_STOP"
REPORTING_STOPPED = b"VornelAgentService - stopServer - reporting stopped"
# After the stop script, the host waits a second at a time while what it launched still runs.
STOP_WAIT = b"VornelAgentService - stopServer - waiting for the agent and its processes to end"
MARKERS = (SUPERVISED, RUNNING, PID_WAIT_SLEEP, CONTROL_STOP, REPORTING_STOPPED, STOP_WAIT)
# The service of the slow stops: its own agent home, its agent taking SLOW_STOP s to shut down.
SLOW_STOP = 15
SLOW_HOME = "C:\\vornel-bench-slow\\"
SLOW_SHORT = "bench-slow"
STOPPED_TEXT = b"The service is stopped."
# The floor: a service of the bench's own in an agent home of its own.
FLOOR = "VornelFloorService"
FLOOR_HOME = "C:\\vornel-floor\\"
FLOOR_TRACE = FLOOR_HOME + "logs\\floor.trace"


class Bench:
    """One installed service of the bench (by default the main one, `bench` in HOME)."""

    def __init__(self, session, short=SHORT, home=HOME):
        self.session = session
        self.short, self.full, self.bin_dir = short, PREFIX + short, home + "bin\\"
        self.files = Path(session.scratch)
        self.logs = session.unix_path(home + "logs\\middlewareagent")
        self.trace_file = self.logs / "VornelAgentService.stderr"
        self.trace = TraceCounter(self.trace_file, {marker: marker for marker in MARKERS})

    def run(self, program, *args):
        """The finished run, with the seconds the whole process took."""
        return self.session.run(program, *args)

    def tool(self, name, *args):
        return self.run(self.bin_dir + name + ".exe", *args)

    def trace_count(self, marker):
        """How many lines of the host's trace hold the marker (one of MARKERS) so far."""
        return self.trace.counts()[marker]

    def host(self):
        hosts = unix_processes(self.session, "VornelAgentService.exe")
        return hosts[0] if len(hosts) == 1 else None

    def agents(self):
        return [p for p in unix_processes(self.session, "VornelAgent.exe")
                if b"-sleepOnly" not in Path(f"/proc/{p}/cmdline").read_bytes()]

    def state(self):
        return self.session.service_state(self.full)

    def wait_supervised(self, count, timeout=60):
        assert wait_until(lambda: self.trace_count(SUPERVISED) >= count, timeout=timeout, interval=0.005), \
            "the agent was not supervised"

    def wait_stopped(self, timeout=60):
        host = self.host()
        assert wait_until(lambda: host is None or not alive(host), timeout=timeout, interval=0.005)
        assert wait_until(lambda: not self.agents(), timeout=timeout, interval=0.005)
        assert wait_until(lambda: self.state() == 1, timeout=timeout), "the service did not stop"


def expect(result, status, text=None):
    """The seconds of a run that ended with the status and printed the text."""
    assert result.status == status and (text is None or text in result.out), (result.status, result.out)
    return result.seconds


def median_ms(values):
    return statistics.median(values) * 1000


def round_trips(b, runs):
    """[(tool command, Wine command, tool seconds, Wine seconds, note)]"""
    rows = []

    def pair(tool_args, wine_args, tool_check, wine_check, before=None, after=None, note=""):
        tool_times, wine_times = [], []
        for _ in range(runs):
            for args, check, times in ((tool_args, tool_check, tool_times), (wine_args, wine_check, wine_times)):
                if before:
                    before()
                times.append(expect(b.run(*args), *check))
                if after:
                    after()
        rows.append((tool_args, wine_args, tool_times, wine_times, note))

    # Queries, with the service stopped.
    pair([BIN_DIR + "VornelAgentServiceInfo.exe", "-getservicestatus", SHORT], ["sc", "query", FULL],
         (2, "The service is stopped."), (0, "STOPPED"))
    for question, value in (("-getagentname", "AgentName"), ("-getagenthome", "AgentHome"),
                            ("-getservicelogroot", "AgentLogRoot")):
        pair([BIN_DIR + "VornelAgentServiceInfo.exe", question, SHORT], ["reg", "query", PARAMS, "/v", value],
             (0, " - "), (0, value))

    # Start and stop: each run begins in the state the command needs and returns to it after.
    count = [b.trace_count(SUPERVISED)]

    def supervised():
        count[0] += 1
        b.wait_supervised(count[0])

    def stopped():
        b.session.sc("stop", FULL)
        b.wait_stopped()

    pair([BIN_DIR + "StartVornelAgentService.exe", "-servicename", SHORT], ["sc", "start", FULL],
         (0, "Successfully started service."), (0, "START_PENDING"), after=lambda: (supervised(), stopped()),
         note="the start tool also completes the trace settings in the registry first")

    def running():
        b.session.sc("start", FULL)
        supervised()

    pair([BIN_DIR + "StopVornelAgentService.exe", "-servicename", SHORT], ["sc", "stop", FULL],
         (0, "Successfully stopped service."), (0, "SERVICE_NAME"), before=running, after=b.wait_stopped)

    # Install and remove, a new service each time.
    serial = iter(range(10 ** 6))

    def new_name():
        return f"bench-new-{next(serial)}"

    names = {}
    install_times, create_times, uninstall_times, delete_times = [], [], [], []
    for _ in range(runs):
        names["i"], names["c"] = new_name(), PREFIX + new_name()
        install_times.append(expect(b.tool("InstallVornelAgentService", "-servicename", names["i"], "-agentname",
                                           "benchNew", "-agenthome", HOME), 0, "successfully added"))
        image = f'"{HOME}bin\\VornelAgentService.exe" "{names["c"]}"'
        create_times.append(expect(b.run("sc", "create", names["c"], "binPath=", image, "start=", "demand"), 0))
        uninstall_times.append(expect(b.tool("UninstallVornelAgentService", "-servicename", names["i"]), 0,
                                      "Successfully removed service"))
        delete_times.append(expect(b.run("sc", "delete", names["c"]), 0))
    rows.append(([BIN_DIR + "InstallVornelAgentService.exe", "-servicename", "…", "-agentname", "…", "-agenthome",
                  "…"], ["sc", "create", "…", "binPath=", "…", "start=", "demand"], install_times, create_times,
                 "the installer also writes the description, the Parameters values and the event-log source"))
    rows.append(([BIN_DIR + "UninstallVornelAgentService.exe", "-servicename", "…"], ["sc", "delete", "…"],
                 uninstall_times, delete_times, "the uninstall tool also queries the state and removes the "
                 "event-log source"))

    # The floor: starting a program that does nothing.
    floor = [b.run(BIN_DIR + "VornelAgent.exe", "-sleepOnly", "-exitAfter", "0").seconds for _ in range(runs)]
    return rows, floor


def latencies(b, runs):
    """Start, stop and restart, each as a list of seconds."""
    start_running, start_supervised, stop_agent, stop_host, restart = [], [], [], [], []
    waited = {"start": 0, "restart": 0}  # runs in which the host's first look found no new pid
    for _ in range(runs):
        running_before, supervised_before = b.trace_count(RUNNING), b.trace_count(SUPERVISED)
        sleeps_before = b.trace_count(PID_WAIT_SLEEP)
        began = time.perf_counter()
        process = subprocess.Popen(["wine", BIN_DIR + "StartVornelAgentService.exe", "-servicename", SHORT],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=b.files,
                                   env=b.session.env)
        assert wait_until(lambda: b.trace_count(RUNNING) > running_before, timeout=60, interval=0.002)
        start_running.append(time.perf_counter() - began)
        b.wait_supervised(supervised_before + 1)
        start_supervised.append(time.perf_counter() - began)
        waited["start"] += b.trace_count(PID_WAIT_SLEEP) > sleeps_before
        assert process.wait(timeout=60) == 0

        # Restart: the agent is killed; until the host supervises the next one.
        agents = b.agents()
        assert len(agents) == 1, agents
        pid = int(b.logs.joinpath("VornelAgent.pidfile").read_text().strip())
        supervised_before, sleeps_before = b.trace_count(SUPERVISED), b.trace_count(PID_WAIT_SLEEP)
        killer = subprocess.Popen(["wine", "taskkill", "/pid", str(pid), "/f"], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, cwd=b.files, env=b.session.env)
        assert wait_until(lambda: not alive(agents[0]), timeout=30, interval=0.002)
        ended = time.perf_counter()
        b.wait_supervised(supervised_before + 1)
        restart.append(time.perf_counter() - ended)
        waited["restart"] += b.trace_count(PID_WAIT_SLEEP) > sleeps_before
        killer.wait(timeout=30)

        # Stop: until the agent has ended, and until the host process has.
        host, agents = b.host(), b.agents()
        assert host and len(agents) == 1
        began = time.perf_counter()
        process = subprocess.Popen(["wine", BIN_DIR + "StopVornelAgentService.exe", "-servicename", SHORT],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=b.files,
                                   env=b.session.env)
        assert wait_until(lambda: not alive(agents[0]), timeout=60, interval=0.002)
        stop_agent.append(time.perf_counter() - began)
        assert wait_until(lambda: not alive(host), timeout=60, interval=0.002)
        stop_host.append(time.perf_counter() - began)
        assert process.wait(timeout=60) == 0
        assert wait_until(lambda: b.state() == 1, timeout=30)
    return {"start_running": start_running, "start_supervised": start_supervised, "restart": restart,
            "stop_agent": stop_agent, "stop_host": stop_host, "waited": waited}


def stop_once(b, command, expected):
    """One stop of the running service, its agent supervised, by the command (the stop tool or
    sc stop): {"answer": launch to exit, "reported": the host's stop control to its stopped
    report, "stopped": the control to the first status answer "stopped", in seconds; "waited":
    whether the host, after the stop script, waited a second for the agent's processes}. The
    trace is read every 2 ms while the command and then the status queries run; the queries
    (the info tool, back to back) begin when the command has exited."""
    before = b.trace.counts()
    marks = {}

    def look():
        now, counts = time.perf_counter(), b.trace.counts()
        for mark, marker in (("control", CONTROL_STOP), ("wait", STOP_WAIT), ("reported", REPORTING_STOPPED)):
            if mark not in marks and counts[marker] > before[marker]:
                marks[mark] = now

    def run_watched(args, out_path):
        """Runs a program while looking at the trace; its exit status and output."""
        with open(out_path, "wb") as out:
            process = subprocess.Popen(["wine", *args], stdout=out, stderr=subprocess.STDOUT, cwd=b.files,
                                       env=b.session.env)
            while process.poll() is None:
                look()
                time.sleep(0.002)
        return process.returncode, out_path.read_bytes()

    began = time.perf_counter()
    status, output = run_watched(command, b.files / "stop.out")
    answer = time.perf_counter() - began
    assert status == 0 and expected in output, (status, output)
    deadline = began + 120
    while "stopped" not in marks:
        assert time.perf_counter() < deadline, "the service did not stop within 120 s"
        status, output = run_watched([b.bin_dir + "VornelAgentServiceInfo.exe", "-getservicestatus", b.short],
                                     b.files / "status.out")
        if status == 2 and STOPPED_TEXT in output:
            marks["stopped"] = time.perf_counter()
    look()
    assert "control" in marks and "reported" in marks, marks
    return {"answer": answer, "reported": marks["reported"] - marks["control"],
            "stopped": marks["stopped"] - marks["control"],
            # The host's wait for the agent's processes looks at once, then a second at a time.
            "waited": "wait" in marks and marks["reported"] - marks["wait"] >= 0.5}


def stop_latencies(b, runs):
    """{"tool": [...], "sc": [...]} of stop_once, the stop tool and sc stop taken in turn, each
    stop of the service started with sc start and its agent supervised."""
    commands = {"tool": ([b.bin_dir + "StopVornelAgentService.exe", "-servicename", b.short],
                         b"Successfully stopped service."),
                "sc": (["sc", "stop", b.full], b"SERVICE_NAME")}
    results = {"tool": [], "sc": []}
    for _ in range(runs):
        for which, (command, expected) in commands.items():
            supervised = b.trace_count(SUPERVISED)
            expect(b.run("sc", "start", b.full), 0)
            b.wait_supervised(supervised + 1)
            results[which].append(stop_once(b, command, expected))
            b.wait_stopped()
    return results


def beside_the_floor(b, runs):
    """Start, restart (RestartThrottle 0) and stop of the bench's service and of the floor, taken
    in turn, each timed inside Wine by latency.exe: {"ours"|"floor": {"start": [ms], "restart":
    [ms], "stop": [ms], "adopted": [ms from the pid file's change to the agent opened]}}."""
    session = b.session
    session.layout_agent_home(FLOOR_HOME)
    for exe in ("floor_service.exe", "latency.exe"):
        shutil.copy2(BIN / exe, session.unix_path(FLOOR_HOME + "bin\\" + exe))
    image = f'"{FLOOR_HOME}bin\\floor_service.exe" {FLOOR} {FLOOR_HOME} floorAgent {FLOOR_TRACE}'
    expect(b.run("sc", "create", FLOOR, "binPath=", image, "start=", "demand"), 0)
    session.reg_add(PARAMS, "RestartThrottle", "0")
    latency = FLOOR_HOME + "bin\\latency.exe"
    services = {"ours": (FULL, HOME + "logs\\middlewareagent\\VornelAgentService.stderr", "VornelAgentService.exe"),
                "floor": (FLOOR, FLOOR_TRACE, "floor_service.exe")}
    results = {which: {"start": [], "restart": [], "stop": [], "adopted": []} for which in services}

    def timed(*args):
        result = session.run(latency, *args, timeout=150)
        assert result.status == 0, (args, result.status, result.out, result.err)
        return [float(v) for v in result.out.split()]

    try:
        for _ in range(runs):
            for which, (name, trace, program) in services.items():
                home = HOME if which == "ours" else FLOOR_HOME
                pid_file = home + "logs\\middlewareagent\\VornelAgent.pidfile"
                start, adopted = timed("start", name, trace, pid_file)
                restart, adopted_again = timed("restart", trace, pid_file)
                stop, = timed("stop", name)
                results[which]["start"].append(start)
                results[which]["restart"].append(restart)
                results[which]["stop"].append(stop)
                results[which]["adopted"] += [adopted, adopted_again]
                # The next start meets a service whose process has ended and no agent.
                assert wait_until(lambda: not unix_processes(session, program), timeout=30, interval=0.01)
                assert wait_until(lambda: not b.agents(), timeout=30, interval=0.01)
    finally:
        b.run("sc", "delete", FLOOR)
        b.run("reg", "delete", PARAMS, "/v", "RestartThrottle", "/f")
    return results


def floor_section(floor, runs):
    """The record's part on the host beside the floor."""
    def cell(values):
        return f"{statistics.median(values):.0f} ms ({min(values):.0f}–{max(values):.0f})"
    rows = (("stop", "the stop request (`ControlService`)", "the service reports stopped"),
            ("start", "the start request (`StartServiceA`)", "the service has opened the agent and waits for it"),
            ("restart", "the agent's end (ended by the stopwatch)", "the service has opened the next agent"))
    lines = [
        "### Beside a floor", "",
        "The service beside the smallest service that does the same with the same agent installation:",
        "runs the sample's start script, reads the pid file when its folder changes, waits for the agent",
        "on its handle and starts it again at once, runs the stop script on a stop and reports stopped",
        "when the script and the agent have ended (tests/wintools/floor_service.cpp). Both in their own",
        f"agent home with the sample agent, `RestartThrottle` `0` for ours, {runs} runs of each, taken in",
        "turn. The times are taken inside Wine by tests/wintools/latency.cpp, which makes the request",
        "itself and looks every millisecond at the status or at the trace line of the agent opened.", "",
        "| latency | from | until | ours | floor | ratio |",
        "|---|---|---|---:|---:|---:|",
    ]
    for key, origin, end in rows:
        ours, base = floor["ours"][key], floor["floor"][key]
        lines.append(f"| {key} | {origin} | {end} | {cell(ours)} | {cell(base)} | "
                     f"{statistics.median(ours) / statistics.median(base):.2f} |")
    adopted = floor["ours"]["adopted"]
    lines += [
        "", f"From the agent's write of its pid file to the host's opening of the agent: {cell(adopted)} over the",
        f"{len(adopted)} starts and restarts (the floor: {cell(floor['floor']['adopted'])}).", ""]
    return lines


def idle(b, seconds):
    """CPU time and memory of the host, the agent and a plain sleeping process over the window."""
    supervised_before = b.trace_count(SUPERVISED)
    expect(b.tool("StartVornelAgentService", "-servicename", SHORT), 0)
    b.wait_supervised(supervised_before + 1)
    floor_out = open(b.files / "floor.out", "wb")
    floor = subprocess.Popen(["wine", BIN_DIR + "VornelAgent.exe", "-sleepOnly", "-exitAfter", str(seconds + 60)],
                             env=b.session.env, stdout=floor_out, stderr=floor_out)
    try:
        time.sleep(5)
        sleepers = [p for p in unix_processes(b.session, "VornelAgent.exe")
                    if b"-sleepOnly" in Path(f"/proc/{p}/cmdline").read_bytes()]
        processes = {"service host (VornelAgentService.exe)": b.host(),
                     "plain sleeping process (floor)": sleepers[0],
                     "sample agent (VornelAgent.exe)": b.agents()[0]}
        before = {label: proc_sample(pid) for label, pid in processes.items()}
        time.sleep(seconds)
        after = {label: proc_sample(pid) for label, pid in processes.items()}
    finally:
        floor.kill()
        floor.wait()
        floor_out.close()
    b.tool("StopVornelAgentService", "-servicename", SHORT)
    b.wait_stopped()
    return {label: {"cpu": after[label]["cpu"] - before[label]["cpu"],
                    "switches": after[label]["switches"] - before[label]["switches"],
                    "rss_kb": after[label]["rss_kb"],
                    "hwm_kb": after[label]["hwm_kb"], "threads": after[label]["threads"]} for label in processes}


def shown(args):
    program = args[0].rsplit("\\", 1)[-1]
    return "`" + " ".join([program] + [a if " " not in a else f'"{a}"' for a in args[1:]]) + "`"


def stops_section(stops, runs, slow_runs):
    """The record's part on the stop: the answer and the time until stopped, beside sc stop."""
    def cell(values):
        return f"{median_ms(values):.0f} ms ({min(values) * 1000:.0f}–{max(values) * 1000:.0f})"

    lines = [
        "### The stop: the answer, and the time until stopped", "",
        "The stop tool beside Wine's `sc stop`, taken in turn, each stopping the running service once its",
        "agent is supervised: the service above, whose agent shuts down at once when asked, and a second",
        f"service whose agent takes {SLOW_STOP} s to shut down (StartupArguments `-stopDelay {SLOW_STOP}`), so "
        "that its",
        "stop script lasts as long. The answer is the command's launch to its exit. The stop control's",
        "moment is the host's trace line `VornelAgentServiceCtrl - SERVICE_CONTROL_STOP`, the stopped",
        "report its line `stopServer - reporting stopped`, both read every 2 ms; stopped is the end of the",
        "first `VornelAgentServiceInfo -getservicestatus` answer `The service is stopped.`, asked back to",
        "back from the command's exit on (each answer takes some 60 ms). Median, lowest and highest run.", "",
        "| agent's shutdown | command | runs | answer | control to the stopped report | control to `stopped` answered |",
        "|---|---|---:|---:|---:|---:|",
    ]
    waited, total = 0, 0
    for kind, label, count, short in (("quick", "at once", runs, SHORT),
                                      ("slow", f"{SLOW_STOP} s (`-stopDelay {SLOW_STOP}`)", slow_runs, SLOW_SHORT)):
        for which, command in (("tool", f"`StopVornelAgentService.exe -servicename {short}`"),
                               ("sc", f'`sc stop "{PREFIX}{short}"`')):
            values = stops[kind][which]
            lines.append(f"| {label} | {command} | {count} | {cell([v['answer'] for v in values])} | "
                         f"{cell([v['reported'] for v in values])} | {cell([v['stopped'] for v in values])} |")
            waited += sum(v["waited"] for v in values)
            total += len(values)
    lines += [
        "", f"In {waited} of these {total} stops the host found, once the stop script had ended, the agent or",
        "another of its processes still running when it looked again, and waited a second before it looked",
        "once more (`waiting for the agent and its processes to end` in its trace, `reporting stopped` a",
        "second later): that second is part of the times until stopped.", ""]
    return lines


def report(command, began, loads, trips, floor, lat, stops, beside, idle_results, lookup_rows, imports, runs,
           lookup_runs, slow_runs, idle_seconds):
    ms = lambda values: f"{median_ms(values):.0f} ms"
    spread = lambda values: f"{min(values) * 1000:.0f}–{max(values) * 1000:.0f} ms"
    lines = [
        "## The performance record", "",
        f"Command: `{command}`, one run, begun {began:%Y-%m-%d %H:%M}.",
        f"Machine: {machine()}.",
        f"Load average (1/5/15 min): {loads[0]} when the run began, {loads[1]} after the round trips, "
        f"latencies and stops, {loads[2]} at the end.", "",
        "All times are wall-clock medians, with the lowest and highest run beside them where it helps.",
        "Programs run as an administrator would run them (`wine <program> …` in a private prefix",
        "with a persistent wineserver), unpinned.", "",
        "### Round trips beside Wine's own tools", "",
        f"The whole process, from launch to exit, {runs} runs of each, the tool and Wine's command",
        "taken in turn so that both meet the same machine. The service is installed by the installer",
        "and stopped for the queries; for the start and stop each run begins in the state its command",
        "needs (the time until the agent runs or has ended is in the latencies below).", "",
        "| tool | Wine's own, doing the same work | tool | Wine | ratio | note |",
        "|---|---|---:|---:|---:|---|",
    ]
    for tool_args, wine_args, tool_times, wine_times, note in trips:
        lines.append(f"| {shown(tool_args)} | {shown(wine_args)} | {ms(tool_times)} | {ms(wine_times)} | "
                     f"{statistics.median(tool_times) / statistics.median(wine_times):.2f} | {note} |")
    lines += [
        "", f"Starting a program that does nothing (`VornelAgent.exe -sleepOnly -exitAfter 0`) takes {ms(floor)}:",
        "most of every round trip is Wine starting a process.", "",
        "### Start, stop and restart", "",
        f"{runs} runs each. The moments inside the host are taken from its trace file (the service is",
        "installed with `-servicetrace on`), read every 2 ms; the ends of processes from /proc.", "",
        "| latency | from | until | median | range |",
        "|---|---|---|---:|---:|",
        f"| start | the start tool launched | the host reports running (its start script has returned) | "
        f"{ms(lat['start_running'])} | {spread(lat['start_running'])} |",
        f"| start | the start tool launched | the host has opened the new agent and waits for it | "
        f"{ms(lat['start_supervised'])} | {spread(lat['start_supervised'])} |",
        f"| restart | the agent killed (`taskkill /f`) and gone | the host waits for the next agent | "
        f"{ms(lat['restart'])} | {spread(lat['restart'])} |",
        f"| stop | the stop tool launched | the agent has ended | {ms(lat['stop_agent'])} | "
        f"{spread(lat['stop_agent'])} |",
        f"| stop | the stop tool launched | the host process has ended (stopped) | {ms(lat['stop_host'])} | "
        f"{spread(lat['stop_host'])} |", "",
        "The host looks for the new pid as soon as the start script has returned, again whenever a",
        "file of the pid file's folder changes, and at the latest once a second. The first look found no",
        f"new pid in {lat['waited']['start']} of {runs} starts and {lat['waited']['restart']} of {runs} restarts "
        "here; the folder's change then",
        "brought it. This service keeps the default `RestartThrottle` (60 s), so each restart of an agent",
        "that ran less than that first waits 1 s; with `RestartThrottle` `0` (the floor below) it does not.", "",
        *stops_section(stops, runs, slow_runs),
        *floor_section(beside, runs),
        "### The host while it supervises an idle agent", "",
        f"CPU time, context switches and memory over {idle_seconds} s from /proc (all threads of each Wine process), the",
        "host waiting for a running, idle agent, beside a plain sleeping Wine process as the floor.",
        "CPU time counts in clock ticks of 10 ms: 0.00 s means less than one tick in the window.", "",
        "| process | CPU time (s) | context switches | resident memory (KiB) | peak resident (KiB) | threads |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    for label, r in idle_results.items():
        lines.append(f"| {label} | {r['cpu']:.2f} | {r['switches']} | {r['rss_kb']} | {r['hwm_kb']} | {r['threads']} |")
    host_switches = idle_results["service host (VornelAgentService.exe)"]["switches"]
    lines += [
        "", "The sample agent looks for its stop file four times a second; "
        + ("the host did not wake at all while it waited for the agent." if host_switches == 0 else
           f"the host woke {host_switches} times in the window while it waited for the agent."), "",
    ]
    lines += lookup.section(lookup_rows, imports, lookup_runs)
    return "\n".join(lines) + "\n"


def lookup_only(command, began, loads, lookup_rows, imports, lookup_runs):
    """The lookup's section with the command and the machine it ran on, for --only lookup."""
    lines = [f"Command: `{command}`, begun {began:%Y-%m-%d %H:%M}.", f"Machine: {machine()}.",
             f"Load average (1/5/15 min): {loads[0]} when the run began, {loads[-1]} at the end.", ""]
    return "\n".join(lines + lookup.section(lookup_rows, imports, lookup_runs)) + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser(prog=COMMAND, description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=9, help="runs of each round trip and latency (default 9)")
    parser.add_argument("--slow-stop-runs", type=int, default=3,
                        help=f"runs of each stop of the service whose agent takes {SLOW_STOP} s to shut down (default 3)")
    parser.add_argument("--idle-seconds", type=int, default=60, help="the idle host's window (default 60)")
    parser.add_argument("--lookup-runs", type=int, default=9, help="runs of each reverse lookup (default 9)")
    parser.add_argument("--sizes", default="10,1000,10000", help="numbers of services for the reverse lookup")
    parser.add_argument("--only", choices=("lookup", "waits", "floor"),
                        help="only the reverse lookup or only the host beside the floor (printed, not written), or "
                             "only the waits")
    parser.add_argument("--write", action="store_true", help=f"write the record into {BENCHMARKS.relative_to(REPO)}")
    options = parser.parse_args(argv)
    if options.only in ("lookup", "floor") and options.write:
        parser.error("the record is one run of every part: --write goes without --only lookup or floor")
    needed = ("VornelAgentServiceInfo.exe",) if options.only == "lookup" else (
        "VornelAgentService.exe", "InstallVornelAgentService.exe", "VornelAgentServiceInfo.exe", "VornelAgent.exe",
        "floor_service.exe", "latency.exe") + (("probe.exe",) if options.only == "waits" else ())
    for exe in needed:
        if not (BIN / exe).exists():
            sys.exit(f"no {exe} in {BIN}: run cmake --build --preset windows first")
    command = COMMAND + "".join(f" {a}" for a in (sys.argv[1:] if argv is None else argv))
    sizes = sorted(int(s) for s in options.sizes.split(","))
    began, loads = datetime.datetime.now(), [load_average()]

    if options.only == "waits":
        results, host_writes = bench_waits.measure(options.runs)
        loads.append(load_average())
        text = bench_waits.section(results, host_writes, options.runs, command, began, machine(), loads)
        print(text)
        if options.write:
            print(f"written to {write_section(BENCHMARKS, 'waits', text)}")
        return

    if options.only == "lookup":
        lookup_rows, imports = lookup.run(sizes, options.lookup_runs)
        loads.append(load_average())
        print(lookup_only(command, began, loads, lookup_rows, imports, options.lookup_runs))
        return

    session = WineSession().start()
    try:
        session.layout_agent_home(HOME)
        b = Bench(session)
        expect(b.tool("InstallVornelAgentService", "-servicename", SHORT, "-agentname", "benchAgent", "-agenthome",
                      HOME, "-servicetrace", "on"), 0, "successfully added")
        for _ in range(3):  # untimed: the first runs of a new prefix start its services
            b.run("sc", "query", FULL)
        if options.only == "floor":
            print("\n".join(floor_section(beside_the_floor(b, options.runs), options.runs)))
            return
        print("round trips", flush=True)
        trips, floor = round_trips(b, options.runs)
        print("latencies", flush=True)
        lat = latencies(b, options.runs)
        print("stop latencies", flush=True)
        stops = {"quick": stop_latencies(b, options.runs)}
        session.layout_agent_home(SLOW_HOME)
        slow = Bench(session, SLOW_SHORT, SLOW_HOME)
        expect(slow.tool("InstallVornelAgentService", "-servicename", SLOW_SHORT, "-agentname", "benchSlow",
                         "-agenthome", SLOW_HOME, "-startargs", f"-stopDelay {SLOW_STOP}", "-servicetrace", "on"),
               0, "successfully added")
        stops["slow"] = stop_latencies(slow, options.slow_stop_runs)
        print("beside the floor", flush=True)
        beside = beside_the_floor(b, options.runs)
        loads.append(load_average())
        print("idle host", flush=True)
        idle_results = idle(b, options.idle_seconds)
    finally:
        session.close()
    print("reverse lookup", flush=True)
    lookup_rows, imports = lookup.run(sizes, options.lookup_runs)
    loads.append(load_average())
    text = report(command, began, loads, trips, floor, lat, stops, beside, idle_results, lookup_rows, imports,
                  options.runs, options.lookup_runs, options.slow_stop_runs, options.idle_seconds)
    print(text)
    if options.write:
        print(f"written to {write_section(BENCHMARKS, 'bench', text)}")
