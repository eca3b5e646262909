"""Soak tests under Wine, with the real programs in a private prefix.

host:  the service host supervising a sample agent that ends two seconds after it has written
       its pid (StartupArguments "-exitAfter 2"), restarted at once (RestartThrottle "0") so
       that the cycles are many, for --minutes (default 5). The host's memory
       (resident, from /proc), its open file descriptors and its Windows handles (the system's
       handle table, through process_stats.exe) must stay flat; every restart must supervise the
       new pid (the host's own trace lines, against the pids the agent wrote); after a stop
       nothing of the service may be left running.
restarts: a crash loop under the default restart back-off: an agent that fails a second after
       it starts (StartupArguments "-exitAfter 1 -exitCode 1"), for --minutes. The waits before
       the restarts must double from 1 s (1, 2, 4 ... at most 256), one start script run per
       restart; the trace's growth, the host's memory and handles go into the record; a stop
       during a wait must answer at once and leave the service stopped 0/0 with nothing running.
tools: --cycles (default 100) start/stop cycles through StartVornelAgentService and
       StopVornelAgentService, installed by InstallVornelAgentService, with
       VornelAgentServiceInfo -getservicestatus asked in a loop beside them. Every cycle must end
       stopped (exit code 0) with no agent left behind; every status answer must be one of the
       state texts, with exit status 2.
stops: --stop-cycles (default 100) cycles of each of two kinds, on an agent that takes three
       seconds to shut down (StartupArguments "-stopDelay 3"), so that each stop script lasts as
       long: a lone StopVornelAgentService, which must answer 0 within 2 s while the service is
       still stop pending; and two or three StopVornelAgentService at once, of which at least one
       answers 0 and the others 0 or the 1061 refusal (exit status 255). Every cycle must reach
       stopped with exit codes 0/0, the agent ended at that moment, no host process left, exactly
       one stop script run (scripts.log). The answers' times and the time from the stop control
       (the host's trace) to stopped go into the record.
crashes: --crash-cycles (default 100) times the host killed with taskkill /f while it supervises
       the agent and the service started again: every cycle must supervise the same agent,
       taken back without a start script run; the final stop must leave nothing running, the
       uninstall no Runtime key.

Run as scripts/soak.py; --write puts the figures into docs/robustness.md (a run of every part:
not with --only). Exit status 0 when every check held. Not part of scripts/test: it takes about
45 minutes. Needs the Windows build (probe.exe and process_stats.exe of tests/wintools too).
"""

import argparse
import datetime
import re
import statistics
import sys
import threading
import time

from .agent_home import AgentHome, TraceCounter
from .procs import alive, load_average, machine, proc_sample, unix_processes, windows_stats
from .records import ROBUSTNESS, write_section
from .wine import BIN, REPO, WineSession, query_fields, wait_until

COMMAND = "scripts/soak.py"
PREFIX = "OrvikTamberVornel6100AgentService - "
STATS = BIN / "process_stats.exe"
PROBE = BIN / "probe.exe"
STATE_TEXTS = {
    "The service is stopped.", "The service start is pending.", "The service stop is pending.",
    "The service is running.", "The service continue is pending.", "The service pause is pending.",
    "The service is paused.",
}
TRACE_TIME = r"(?:Sun|Mon|Tue|Wed|Thu|Fri|Sat) \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4} - "
# Lines of the host's trace that the soak counts as they appear.
TRACE_MARKERS = {
    "supervised": b"VornelAgentService - VornelAgentServiceMain - process openned successfully",
    "control_stop": b"VornelAgentService - VornelAgentServiceCtrl - SERVICE_CONTROL_STOP",
    # After the stop script, the host waits a second at a time while what it launched still runs.
    "stop_wait": b"VornelAgentService - stopServer - waiting for the agent and its processes to end",
    "stop_timeout": b"VornelAgentService - stopServer - stop timeout of ",
    "reported": b"VornelAgentService - stopServer - reporting stopped",
}


class Checks:
    """Named checks with what was seen; a soak fails when one of them failed."""

    def __init__(self):
        self.items = []

    def check(self, ok, text):
        self.items.append((bool(ok), text))
        print(("ok    " if ok else "FAIL  ") + text, flush=True)
        return ok

    @property
    def passed(self):
        return all(ok for ok, _ in self.items)

    def markdown(self):
        return "\n".join(f"- {'ok' if ok else '**failed**'}: {text}" for ok, text in self.items)


class Installed(AgentHome):
    """An agent home laid out in the prefix (vornel.agent_home: the pid file, the scripts' runs,
    the agent's lock) and a service installed by the real installer."""

    def __init__(self, session, short, *install_args):
        super().__init__(session, f"C:\\vornel-soak\\{short}\\")
        self.short, self.name = short, PREFIX + short
        self.unanswered = []  # sc query answers without a state: (status, stdout, stderr)
        session.layout_agent_home(self.home)
        result = self.tool("InstallVornelAgentService", "-servicename", short, "-agentname", short,
                           "-agenthome", self.home, "-servicetrace", "on", *install_args)
        assert result.status == 0, result
        self.unix_pid_file = self.logs / "VornelAgent.pidfile"
        self.trace_file = self.logs / "VornelAgentService.stderr"
        self._trace = TraceCounter(self.trace_file, TRACE_MARKERS)

    def tool(self, program, *args):
        return self.session.run(self.bin + program + ".exe", *args)

    def set_parameter(self, value, data):
        """A Parameters value the installer does not write (RestartThrottle, StopTimeout)."""
        self.session.reg_add(f"HKLM\\SYSTEM\\CurrentControlSet\\Services\\{self.name}\\Parameters", value, data)

    def trace(self):
        try:
            return self.trace_file.read_bytes().decode(errors="replace").replace("\r", "")
        except FileNotFoundError:
            return ""

    def trace_counts(self):
        """How many times the host's trace has shown each of TRACE_MARKERS so far."""
        return self._trace.counts()

    def supervisions(self):
        """How many times the host's trace says it opened an agent and waits for it."""
        return self.trace_counts()["supervised"]

    def status(self):
        """The info tool's answer to -getservicestatus: (exit status, the line without its end)."""
        result = self.tool("VornelAgentServiceInfo", "-getservicestatus", self.short)
        return result.status, result.out.rstrip("\n")

    def sc_state(self):
        """The numeric fields of sc query. An answer without them (sc itself failed) is kept in
        self.unanswered and the query is made once more."""
        for _ in range(2):
            result = self.session.sc("query", self.name)
            fields = query_fields(result.out)
            if fields:
                return fields
            self.unanswered.append((result.status, result.out.strip(), result.err.strip()))
        return fields

    def hosts(self):
        """Unix pids of this installation's service host processes."""
        return unix_processes(self.session, self.bin + "VornelAgentService.exe")

    def leftovers(self):
        """Unix pids of anything of this installation still running: host, agent, scripts."""
        return {name: unix_processes(self.session, name)
                for name in ("VornelAgentService.exe", "VornelAgent.exe", "startAgent.bat", "stopAgent.bat")
                if unix_processes(self.session, name)}


# --- the host supervising an agent that keeps ending ---

EVENT = re.compile(
    r"waitForPidFile - read pid [^\n]*\n? - (?P<pid>-?\d+) - lastPid = (?P<last>-?\d+)\n"
    r"|(?P<accepted>waitForPidFile - returning true)"
    r"|(?P<opened>VornelAgentServiceMain - process openned successfully)"
    r"|(?P<openfailed>VornelAgentServiceMain - OpenProcess failed)"
    r"|(?P<timedout>waitForPidFile - Timed out waiting for pid\.)"
    r"|(?P<refused>isServerRunningAlready - serverProcess already running)"
    r"|(?P<sleep>waitForPidFile - about to sleep)"
    r"|VornelAgentServiceMain - exit code = (?P<exit>\d+)")


def supervision_cycles(trace):
    """[(accepted pid, last pid, supervised, exit code)] in the order of the trace, and the
    counts of the failures the trace shows."""
    cycles, failures, read, sleeps = [], {"openfailed": 0, "timedout": 0, "refused": 0}, None, 0
    for m in EVENT.finditer(trace):
        if m.group("sleep"):
            sleeps += 1
        elif m.group("pid") is not None:
            read = (int(m.group("pid")), int(m.group("last")))
        elif m.group("accepted"):
            cycles.append({"pid": read[0], "last": read[1], "supervised": False, "exit": None, "sleeps": sleeps})
            sleeps = 0
        elif m.group("opened") and cycles:
            cycles[-1]["supervised"] = True
        elif m.group("exit") is not None and cycles:
            cycles[-1]["exit"] = int(m.group("exit"))
        else:
            for key in failures:
                if m.group(key):
                    failures[key] += 1
    return cycles, failures


def soak_host(session, minutes, checks):
    svc = Installed(session, "soak-host", "-startargs", "-exitAfter 2")
    svc.set_parameter("RestartThrottle", "0")  # restarts at once: many cycles for the leak checks
    result = svc.tool("StartVornelAgentService", "-servicename", svc.short)
    checks.check(result.status == 0, f"host: the start tool started the service ({result.out.strip()!r})")
    hosts = wait_until(lambda: unix_processes(session, "VornelAgentService.exe"), timeout=30)
    assert len(hosts) == 1, hosts
    host = hosts[0]
    assert wait_until(lambda: svc.supervisions() >= 1, timeout=60), "the first agent was never supervised"

    written, samples, stop = [], [], threading.Event()

    def watch_pid_file():  # every pid the agent writes, in order
        while not stop.is_set():
            pid = svc.pid()
            if pid is not None and (not written or written[-1] != pid):
                written.append(pid)
            time.sleep(0.1)

    watcher = threading.Thread(target=watch_pid_file, daemon=True)
    watcher.start()
    began = time.monotonic()
    while time.monotonic() - began < 60 * minutes:
        sample = proc_sample(host)
        stats = windows_stats(session, STATS, "VornelAgentService.exe")
        sample["handles"] = next(iter(stats.values()))["handles"] if len(stats) == 1 else None
        sample["t"] = time.monotonic() - began
        samples.append(sample)
        time.sleep(5)
    stop.set()
    watcher.join()
    # Each restart reports start pending until its start script has returned: the service may
    # be caught in one, and must be running again within seconds.
    states = []
    running = wait_until(lambda: states.append(svc.sc_state().get("STATE")) or states[-1] == 4, timeout=10)
    checks.check(running, f"host: the service was still running after {minutes} min (states seen "
                 f"{' '.join(map(str, states))}; 2 is a restart's start pending)")

    # Stop, then nothing may be left.
    result = svc.tool("StopVornelAgentService", "-servicename", svc.short)
    checks.check(result.status == 0, f"host: the stop tool stopped the service ({result.out.strip()!r})")
    gone = wait_until(lambda: not alive(host), timeout=60)
    state = svc.sc_state()
    checks.check(gone and state.get("STATE") == 1 and state.get("WIN32_EXIT_CODE") == 0,
                 f"host: stopped with exit code {state.get('WIN32_EXIT_CODE')} and the host process ended")
    left = wait_until(lambda: not svc.leftovers(), timeout=30) or svc.leftovers()
    checks.check(left is True, f"host: nothing left running after the stop ({left if left is not True else 'none'})")

    cycles, failures = supervision_cycles(svc.trace())
    accepted = [c["pid"] for c in cycles]
    checks.check(len(cycles) >= 60 * minutes / 4, f"host: {len(cycles)} agents started and supervised in "
                 f"{minutes} min")
    checks.check(all(c["pid"] != c["last"] and c["pid"] > 0 for c in cycles),
                 "host: every accepted pid differs from the pid the file held before the start")
    checks.check(all(c["last"] == p["pid"] for p, c in zip(cycles, cycles[1:])),
                 "host: each restart began with the previous agent's pid still in the file")
    checks.check(all(c["supervised"] for c in cycles), "host: every accepted pid was opened and waited for")
    checks.check(all(c["exit"] == 0 for c in cycles[:-1]),
                 "host: every supervised agent but the one stopped ended by itself with exit code 0")
    checks.check(failures == {"openfailed": 0, "timedout": 0, "refused": 0},
                 f"host: no failed open, no pid time-out, no refusal in the trace ({failures})")
    # The pids the agents wrote are the pids the host supervised (the watcher starts after the
    # first). The stop may come between the last agent's writing and the host's next look at
    # the file, a second later at most: then that last pid was never accepted.
    first_watched = accepted.index(written[0]) if written and written[0] in accepted else None
    supervised = accepted[first_watched:] if first_watched is not None else None
    in_order = supervised is not None and (supervised[:len(written)] == written or supervised == written[:-1])
    unaccepted = " (the last written as the stop came, before the host's next look)" \
        if in_order and supervised == written[:-1] else ""
    checks.check(in_order, f"host: the {len(written)} pids the agents wrote while watched are, in order, "
                 f"the pids supervised{unaccepted}")

    warm = 60
    late = [s for s in samples if s["t"] >= warm]
    first = [s for s in late if s["t"] < warm + 60]
    last = [s for s in late if s["t"] >= samples[-1]["t"] - 60]
    rss_growth = statistics.median(s["rss_kb"] for s in last) - statistics.median(s["rss_kb"] for s in first)
    checks.check(rss_growth <= 64, f"host: resident memory flat after the first minute "
                 f"(median of the last minute {rss_growth:+.0f} KiB against the second)")
    for key, label in (("handles", "Windows handles"), ("fds", "file descriptors"), ("threads", "threads")):
        values_first = [s[key] for s in first if s[key] is not None]
        values_last = [s[key] for s in last if s[key] is not None]
        # The agent's cycle moves the counts a little within a minute; a leak of one per cycle
        # would add some ninety by the last minute.
        checks.check(values_first and values_last and max(values_last) <= max(values_first) + 2,
                     f"host: {label} flat (last minute {min(values_last)}–{max(values_last)}, "
                     f"second minute {min(values_first)}–{max(values_first)})")

    rows = ["| minute | resident memory (KiB) | Windows handles | file descriptors | threads |", "|---:|---|---|---|---|"]
    for minute in range(int(samples[-1]["t"] // 60) + 1):
        part = [s for s in samples if 60 * minute <= s["t"] < 60 * (minute + 1)]
        if not part:
            continue
        span = lambda key: (f"{min(s[key] for s in part)}–{max(s[key] for s in part)}"
                            if all(s[key] is not None for s in part) else "?")
        rows.append(f"| {minute + 1} | {span('rss_kb')} | {span('handles')} | {span('fds')} | {span('threads')} |")
    summary = {
        "cycles": len(cycles), "written": len(written), "samples": len(samples),
        "cpu": samples[-1]["cpu"] - samples[0]["cpu"], "span": samples[-1]["t"] - samples[0]["t"],
        "hwm": samples[-1]["hwm_kb"],
        "first_look": sum(1 for c in cycles if c["sleeps"] == 0),
        "distinct": len(set(accepted)),
    }
    return rows, summary


# --- a crash loop under the restart back-off ---

RESTART_WAIT = re.compile(r"VornelAgentServiceMain - the agent ran (\d+) ms, less than RestartThrottle "
                          r"\((\d+) s\): the restart waits (\d+) s")
LONGEST_WAIT = 256


def expected_waits(count):
    """The waits before the restarts after `count` short runs in a row: 1, 2, 4 ... 256."""
    return [min(2 ** i, LONGEST_WAIT) for i in range(count)]


def soak_restarts(session, minutes, checks):
    svc = Installed(session, "soak-restarts", "-startargs", "-exitAfter 1 -exitCode 1")
    result = svc.tool("StartVornelAgentService", "-servicename", svc.short)
    checks.check(result.status == 0, f"restarts: the start tool started the service ({result.out.strip()!r})")
    hosts = wait_until(lambda: unix_processes(session, "VornelAgentService.exe"), timeout=30)
    assert len(hosts) == 1, hosts
    host = hosts[0]
    samples, began = [], time.monotonic()
    while time.monotonic() - began < 60 * minutes:
        sample = proc_sample(host)
        stats = windows_stats(session, STATS, "VornelAgentService.exe")
        sample["handles"] = next(iter(stats.values()))["handles"] if len(stats) == 1 else None
        sample["t"] = time.monotonic() - began
        sample["trace"] = svc.trace_file.stat().st_size if svc.trace_file.exists() else 0
        samples.append(sample)
        time.sleep(5)

    trace = svc.trace()
    waits = [int(m.group(3)) for m in RESTART_WAIT.finditer(trace)]
    throttles = {int(m.group(2)) for m in RESTART_WAIT.finditer(trace)}
    starts = sum(1 for run in svc.script_runs() if run[0] == "startAgent.bat")
    checks.check(waits == expected_waits(len(waits)) and throttles <= {60},
                 f"restarts: the {len(waits)} waits before restarts doubled from 1 s ({' '.join(map(str, waits))} s), "
                 f"each after a run shorter than the default RestartThrottle of 60 s")
    # The service is in a wait (paused) or in a start cycle: one start script run more
    # than the waits that have ended, or as many.
    ended = trace.count("VornelAgentServiceMain - restarting after ")
    checks.check(starts == ended + 1, f"restarts: {starts} start script runs, the first start and one after each of "
                 f"the {ended} waits that ended")

    # The stop is to come during a wait (the waits are most of the time by now).
    wait_until(lambda: svc.trace().count("the restart waits") > svc.trace().count("restarting after "), timeout=30)
    state = svc.sc_state()
    in_wait = state.get("STATE") == 7
    stopped = svc.tool("StopVornelAgentService", "-servicename", svc.short)
    was = "paused, in a wait" if in_wait else f"in state {state.get('STATE')}"
    checks.check((stopped.status, stopped.out) == (0, "Successfully stopped service.\n") and stopped.seconds < 2,
                 f"restarts: the stop tool answered {stopped.status} {stopped.out.strip()!r} in "
                 f"{stopped.seconds:.2f} s (the service was {was})")
    gone = wait_until(lambda: not alive(host), timeout=60)
    state = svc.sc_state()
    codes = (state.get("STATE"), state.get("WIN32_EXIT_CODE"), state.get("SERVICE_EXIT_CODE"))
    checks.check(gone and codes == (1, 0, 0), f"restarts: stopped with exit codes {codes[1]}/{codes[2]} and the host "
                 "process ended")
    # Nothing of the agent runs during a wait: the stop ends the wait, no script runs after it
    # (the host process may end before its waiting thread wakes to trace that).
    after_stop = svc.trace().rpartition("VornelAgentServiceCtrl - SERVICE_CONTROL_STOP")[2]
    runs = [run[0] for run in svc.script_runs()]
    checks.check(in_wait and "about to start executable" not in after_stop and "stopAgent.bat" not in runs
                 and runs.count("startAgent.bat") == starts,
                 "restarts: after the stop during the wait no script ran, neither a start script nor a stop script")
    left = wait_until(lambda: not svc.leftovers(), timeout=30) or svc.leftovers()
    checks.check(left is True, f"restarts: nothing left running after the stop ({left if left is not True else 'none'})")
    result = svc.tool("UninstallVornelAgentService", "-servicename", svc.short)
    checks.check(result.status == 0 and "Successfully removed service" in result.out,
                 "restarts: the uninstall tool removed the service")
    first, last = samples[0], samples[-1]
    return {"waits": waits, "starts": starts, "in_wait": in_wait, "stop": stopped.seconds,
            "span": last["t"] - first["t"], "trace": last["trace"],
            "trace_rate": (last["trace"] - first["trace"]) / max(last["t"] - first["t"], 1),
            "rss": (first["rss_kb"], last["rss_kb"]), "handles": (first["handles"], last["handles"]),
            "cpu": last["cpu"] - first["cpu"]}


# --- start/stop cycles through the real tools with status queries beside them ---

def soak_tools(session, cycles, checks):
    svc = Installed(session, "soak-tools")
    answers, stop, now = [], threading.Event(), {"cycle": 0}

    def ask_status():
        while not stop.is_set():
            result = svc.tool("VornelAgentServiceInfo", "-getservicestatus", svc.short)
            answers.append((result.status, result.out, result.err, now["cycle"]))

    beside = threading.Thread(target=ask_status, daemon=True)
    beside.start()
    failures, start_times, stop_times, stop_failures = [], [], [], []
    for cycle in range(1, cycles + 1):
        now["cycle"] = cycle
        began = time.monotonic()
        result = svc.tool("StartVornelAgentService", "-servicename", svc.short)
        if (result.status, result.out) != (0, "Successfully started service.\n"):
            failures.append(f"cycle {cycle}: start tool gave {result.status} {result.out!r} {result.err!r}")
            break
        if not wait_until(lambda: svc.supervisions() >= cycle, timeout=60, interval=0.05):
            failures.append(f"cycle {cycle}: the agent was not supervised within 60 s")
            break
        start_times.append(time.monotonic() - began)
        agents = unix_processes(session, "VornelAgent.exe")
        if len(agents) != 1:
            failures.append(f"cycle {cycle}: {len(agents)} agents running while supervised")
        hosts = unix_processes(session, "VornelAgentService.exe")
        if len(hosts) != 1:
            failures.append(f"cycle {cycle}: {len(hosts)} host processes while supervised")
        began = time.monotonic()
        result = svc.tool("StopVornelAgentService", "-servicename", svc.short)
        if (result.status, result.out) != (0, "Successfully stopped service.\n"):
            # Recorded, and the cycle goes on: whether the service still stops tells more.
            failures.append(f"cycle {cycle}: stop tool gave {result.status} {result.out!r} {result.err!r}")
            stop_failures.append(cycle)
        if not wait_until(lambda: not any(alive(h) for h in hosts), timeout=60, interval=0.05):
            failures.append(f"cycle {cycle}: the host process did not end within 60 s of the stop")
            break
        stop_times.append(time.monotonic() - began)
        state = svc.sc_state()
        if (state.get("STATE"), state.get("WIN32_EXIT_CODE")) != (1, 0):
            failures.append(f"cycle {cycle}: after the stop the service is in state {state}"
                            + (f", sc query answered {svc.unanswered[-1]}" if not state else ""))
        left = wait_until(lambda: not svc.leftovers(), timeout=10) or svc.leftovers()
        if left is not True or svc.unix_pid_file.exists():
            failures.append(f"cycle {cycle}: left behind after the stop: {left}, pid file {svc.unix_pid_file.exists()}")
    stop.set()
    beside.join()
    done = len(stop_times)
    others = [f for f in failures if not any(f.startswith(f"cycle {c}: stop tool") for c in stop_failures)]
    checks.check(not stop_failures, "tools: the stop tool reported success in every cycle"
                 + (f" (not in cycles {stop_failures}: {failures[0] if failures else ''})" if stop_failures else ""))
    checks.check(done == cycles and not others,
                 f"tools: {done} of {cycles} start/stop cycles ended stopped with exit code 0, the agent "
                 f"supervised in between and nothing left behind" + (f"; {others[:3]}" if others else ""))
    bad = [a for a in answers if a[0] != 2 or a[1].rstrip("\n") not in STATE_TEXTS or a[1].count("\n") != 1 or a[2]]
    seen = {}
    for _, out, _, _ in answers:
        seen[out.strip()] = seen.get(out.strip(), 0) + 1
    checks.check(answers and not bad, f"tools: all {len(answers)} status answers were state texts with exit "
                 f"status 2" + (f"; not so: {bad[:3]}" if bad else ""))
    result = svc.tool("UninstallVornelAgentService", "-servicename", svc.short)
    checks.check(result.status == 0 and "Successfully removed service" in result.out,
                 "tools: the uninstall tool removed the service")
    return {"cycles": done, "answers": len(answers), "seen": seen, "stop_failures": stop_failures,
            "start": statistics.median(start_times) if start_times else 0,
            "stop": statistics.median(stop_times) if stop_times else 0, "unanswered": svc.unanswered}


# --- crashes: the host killed, the service started again, the agent taken back ---

def runtime_value(svc, value):
    return svc.session.reg_query(f"HKLM\\SYSTEM\\CurrentControlSet\\Services\\{svc.name}\\Runtime", value)


def soak_crashes(session, cycles, checks):
    """`cycles` times: the host killed (taskkill /f) while it supervises the agent, and the
    service started again (sc start: what Windows' recovery actions do once the service manager
    has seen its process end). Every cycle must end with the same, one agent supervised by the
    new host, taken back (Runtime Starts 0, no start script run); the final stop must leave
    nothing running."""
    svc = Installed(session, "soak-crash")
    result = svc.tool("StartVornelAgentService", "-servicename", svc.short, "-wait", "60")
    started = checks.check(result.status == 0, f"crashes: the start tool started the agent ({result.out.strip()!r})")
    agent = svc.pid()
    taken_back, failures, took = 0, [], []
    for cycle in range(1, cycles + 1 if started else 1):
        host = runtime_value(svc, "HostPid")
        killed = session.run("taskkill", "/f", "/pid", host or "0")
        if killed.status != 0:
            failures.append(f"cycle {cycle}: taskkill gave {killed.status} {killed.out.strip()!r}")
            break
        began = time.monotonic()
        session.sc("start", svc.name)
        if not wait_until(lambda: runtime_value(svc, "Phase") == "supervising" and runtime_value(svc, "HostPid") != host,
                          timeout=60, interval=0.05):
            failures.append(f"cycle {cycle}: no new host supervised the agent within 60 s")
            break
        took.append(time.monotonic() - began)
        seen = (runtime_value(svc, "AgentPid"), runtime_value(svc, "Starts"), len(unix_processes(session, "VornelAgent.exe")))
        if seen == (str(agent), "0", 1):
            taken_back += 1
        else:
            failures.append(f"cycle {cycle}: AgentPid, Starts, agents running {seen}, the agent was {agent}")
    runs = [r[0] for r in svc.script_runs()]
    checks.check(started and taken_back == cycles and runs == ["startAgent.bat"],
                 f"crashes: {taken_back} of {cycles} cycles took the same agent back, one start script run in all "
                 f"({runs.count('startAgent.bat')})" + (f"; {failures[:3]}" if failures else ""))
    result = svc.tool("StopVornelAgentService", "-servicename", svc.short, "-wait", "60")
    left = wait_until(lambda: not svc.leftovers(), timeout=10) or svc.leftovers()
    checks.check(result.status == 0 and left is True and not svc.unix_pid_file.exists(),
                 f"crashes: the stop tool stopped it ({result.out.strip()!r}) and nothing was left: {left}")
    result = svc.tool("UninstallVornelAgentService", "-servicename", svc.short)
    checks.check(result.status == 0 and runtime_value(svc, "Phase") is None,
                 "crashes: the uninstall tool removed the service and its Runtime key")
    return {"cycles": cycles, "taken_back": taken_back, "took": took}


# --- stops: the stop tool's answer while a slow stop script runs, and stop tools at once ---

STOP_DELAY = 3  # seconds the sample agent takes to shut down once asked (-stopDelay)
ANSWER_LIMIT = 2.0  # seconds within which a lone stop tool must have answered
STOPPED_ANSWER = (2, "The service is stopped.")
STOP_PENDING_ANSWER = (2, "The service stop is pending.")
STOP_SUCCESS = (0, "Successfully stopped service.\n", "")
STOP_REFUSED = "Failed to stop service, or timed out while waiting for stop to complete. Check the logs for details.\n"
# What a stop cycle checks, in the order of the record: (key, what held in every cycle that passed).
STOP_CHECKS = (
    ("started", "the start tool started the service and the host supervised the agent"),
    ("answered", "the stop tools' answers as required"),
    ("pending", "the service was stop pending when the stop tools had answered"),
    ("stopped", "the service reached stopped, with exit codes 0/0"),
    ("agent", "the agent had ended (its lock free) when the service showed stopped"),
    ("host", "no host process was left (within 10 s of stopped)"),
    ("left", "nothing else was left running (agent, scripts) and the pid file was gone"),
    ("scripts", "scripts.log gained exactly one startAgent.bat and one stopAgent.bat run"),
    ("controls", "the host's trace shows one stop control for each stop tool answered 0, no more"),
    ("in time", "the stop ended without the stop timeout (the host's trace)"),
)


def error_text(session, code):
    """The system's text for an error code with its own line end, as a tool prints it after a
    reason label (tests/wintools/probe.exe)."""
    result = session.run(str(PROBE), "error", str(code))
    assert result.status == 0 and result.out.strip(), result
    return result.out


class TraceMoments:
    """The moments at which lines of the host's trace (TRACE_MARKERS) first appeared after the
    watch began, as far as they have been looked for (look())."""

    def __init__(self, svc):
        self.svc, self.before, self.at = svc, svc.trace_counts(), {}

    def look(self):
        now, counts = time.monotonic(), self.svc.trace_counts()
        for key, count in counts.items():
            if key not in self.at and count > self.before[key]:
                self.at[key] = now
        return counts

    def added(self, key):
        return self.svc.trace_counts()[key] - self.before[key]


def run_stop_tools(svc, count, moments):
    """Launches `count` stop tools at once (threads released together) and looks at the host's
    trace every 5 ms while they run. Returns their results."""
    barrier, results = threading.Barrier(count), [None] * count

    def one(i):
        barrier.wait()
        results[i] = svc.tool("StopVornelAgentService", "-servicename", svc.short)

    threads = [threading.Thread(target=one, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    while any(t.is_alive() for t in threads):
        moments.look()
        time.sleep(0.005)
    for t in threads:
        t.join()
    return results


def stop_cycle(svc, tools, refusal, lone_limit):
    """One cycle: start, the agent supervised, `tools` stop tools at once, followed to stopped.
    Returns {check key: (held, what was seen)}, the tools' results, the seconds from the host's
    stop control to the first "stopped" answer, and whether the host waited a second for the
    agent's processes after the stop script; the checks after a failed start are missing."""
    seen = {}
    runs_before = [r[0] for r in svc.script_runs()]
    supervised_before = svc.supervisions()
    result = svc.tool("StartVornelAgentService", "-servicename", svc.short)
    supervised = (result.status, result.out) == (0, "Successfully started service.\n") and \
        wait_until(lambda: svc.supervisions() > supervised_before, timeout=60, interval=0.05)
    running = supervised and svc.agent_running()
    seen["started"] = (running, f"start tool {result.status} {result.out.strip()!r}, supervised {bool(supervised)}, "
                                f"agent running {running}")
    if not running:
        return seen, [], None, False

    moments = TraceMoments(svc)
    results = run_stop_tools(svc, tools, moments)
    answered = svc.status()
    successes = sum(1 for r in results if (r.status, r.out, r.err) == STOP_SUCCESS)
    refusals = sum(1 for r in results if (r.status, r.out, r.err) == (255, "", refusal))
    if tools == 1:
        ok = successes == 1 and results[0].seconds < lone_limit
    else:
        ok = successes >= 1 and successes + refusals == tools
    seen["answered"] = (ok, "; ".join(f"{r.status} {r.out.strip()!r} {r.err.strip()!r} in {r.seconds:.2f} s"
                                      for r in results))
    seen["pending"] = (answered == STOP_PENDING_ANSWER, f"the info tool answered {answered}")

    # Back to back until stopped, the trace looked at after each answer; the stop timeout is 60 s.
    answers, stopped_at, deadline = [], None, time.monotonic() + 90
    while time.monotonic() < deadline:
        answer = svc.status()
        moments.look()
        if answer == STOPPED_ANSWER:
            stopped_at = time.monotonic()
            break
        if not answers or answers[-1] != answer:
            answers.append(answer)
    agent_running = svc.agent_running()  # at once: stopped comes only after the agent has ended
    state = svc.sc_state()
    codes = (state.get("STATE"), state.get("WIN32_EXIT_CODE"), state.get("SERVICE_EXIT_CODE"))
    seen["stopped"] = (stopped_at is not None and codes == (1, 0, 0),
                       f"answers until then {answers}, sc query state/exit codes {codes}")
    seen["agent"] = (not agent_running, "the agent's lock was still held" if agent_running else "lock free")
    hosts = wait_until(lambda: not svc.hosts(), timeout=10, interval=0.05) or svc.hosts()
    seen["host"] = (hosts is True, f"host processes {hosts if hosts is not True else 'none'}")
    left = wait_until(lambda: not svc.leftovers(), timeout=10) or svc.leftovers()
    pid_file = svc.unix_pid_file.exists()
    seen["left"] = (left is True and not pid_file, f"left {left if left is not True else 'none'}, pid file {pid_file}")
    runs = [r[0] for r in svc.script_runs()][len(runs_before):]
    seen["scripts"] = (runs == ["startAgent.bat", "stopAgent.bat"], f"script runs of the cycle {runs}")
    controls = moments.added("control_stop")
    seen["controls"] = (controls == successes, f"{controls} stop controls in the trace, {successes} tools answered 0")
    timeouts = moments.added("stop_timeout")
    seen["in time"] = (timeouts == 0, f"{timeouts} stop timeouts in the trace")
    at = moments.at
    took = stopped_at - at["control_stop"] if stopped_at is not None and "control_stop" in at else None
    # The host's wait for the agent's processes looks at once, then a second at a time.
    waited = "stop_wait" in at and "reported" in at and at["reported"] - at["stop_wait"] >= 0.5
    return seen, results, took, waited


def soak_stops(session, cycles, checks):
    """`cycles` stops of a lone stop tool while a slow stop script runs, then `cycles` stops with
    two and three stop tools at once (in turn), each kind on its own installation."""
    refusal = STOP_REFUSED + "Could not stop service: " + error_text(session, 1061) + "\n"
    parts = {}
    for kind, short, label in (("lone", "soak-stop", "one stop tool"),
                               ("together", "soak-stop-together", "stop tools at once")):
        svc = Installed(session, short, "-startargs", f"-stopDelay {STOP_DELAY}")
        held = {key: 0 for key, _ in STOP_CHECKS}
        failed = []  # (cycle, key, what was seen)
        answers, to_stopped, outcomes, done, waited, refused = [], [], {}, 0, 0, 0
        for cycle in range(1, cycles + 1):
            tools = 1 if kind == "lone" else 2 + (cycle + 1) % 2  # 2, 3, 2, 3, ...
            seen, results, took, host_waited = stop_cycle(svc, tools, refusal, ANSWER_LIMIT)
            for key, (ok, what) in seen.items():
                held[key] += bool(ok)
                if not ok:
                    failed.append((cycle, key, what))
                    print(f"  {short} cycle {cycle}: {key}: {what}", flush=True)
            if not seen["started"][0]:
                break
            done += 1
            waited += host_waited
            answers += [r.seconds for r in results]
            if took is not None:
                to_stopped.append(took)
            successes = sum(1 for r in results if r.status == 0)
            refused += sum(1 for r in results if (r.status, r.out, r.err) == (255, "", refusal))
            outcomes[(tools, successes)] = outcomes.get((tools, successes), 0) + 1
            if cycle % 10 == 0:
                print(f"{short}: {cycle} cycles", flush=True)
        for key, what in STOP_CHECKS:
            problems = [f"cycle {c}: {w}" for c, k, w in failed if k == key]
            checks.check(held[key] == cycles, f"stops, {label}: {held[key]} of {cycles} cycles: {what}"
                         + (f"; not so in {problems[:3]}" if problems else ""))
        result = svc.tool("UninstallVornelAgentService", "-servicename", svc.short)
        checks.check(result.status == 0 and "Successfully removed service" in result.out,
                     f"stops, {label}: the uninstall tool removed the service")
        parts[kind] = {"cycles": done, "answers": answers, "to_stopped": to_stopped, "outcomes": outcomes,
                       "waited": waited, "refused": refused, "unanswered": svc.unanswered}
    parts["refusal"] = refusal
    return parts


def spread_ms(values):
    """Median, lowest and highest of seconds, in ms, for the record."""
    if not values:
        return "–"
    return f"{statistics.median(values) * 1000:.0f} ms ({min(values) * 1000:.0f}–{max(values) * 1000:.0f} ms)"


def stops_report(stops):
    lone, together = stops["lone"], stops["together"]
    outcomes = []
    for tools in (2, 3):
        parts = [f"{count} cycles with {successes} answered 0" for (n, successes), count
                 in sorted(together["outcomes"].items()) if n == tools]
        outcomes.append(f"{tools} tools: " + (", ".join(parts) if parts else "none"))
    refusal = stops["refusal"].rstrip("\n").replace("\n", " / ")
    return [
        "### Stops while a slow stop script runs, and stop tools at once", "",
        f"Two installations with StartupArguments `-stopDelay {STOP_DELAY}`: the sample agent takes {STOP_DELAY} s "
        "to shut down",
        "once asked, so each stop script lasts as long. Each cycle: StartVornelAgentService, wait until",
        "the host's trace shows the agent supervised and its lock is held; StopVornelAgentService (one,",
        "or two and three at once on threads released together, in turn); VornelAgentServiceInfo",
        "-getservicestatus right after the tools' answers (stop pending), then back to back until `The",
        "service is stopped.`; then `sc query` (stopped, exit codes 0/0), the agent's lock (free at once),",
        "the processes of the prefix (no host within 10 s, no agent, no script), the pid file (gone), the",
        "runs in scripts.log (one start script and one stop script) and the host's trace (one stop control",
        "for each tool answered 0, no stop timeout). The stop control's moment is the trace line",
        "`VornelAgentServiceCtrl - SERVICE_CONTROL_STOP`, looked for every 5 ms while the tools run;",
        "stopped is the end of the first status answer that says so (each answer takes some 60 ms).", "",
        "| cycles | stop tools | answer (launch to exit): median (lowest–highest) | control to stopped |",
        "|---:|---|---|---|",
        f"| {lone['cycles']} | one | {spread_ms(lone['answers'])} | {spread_ms(lone['to_stopped'])} |",
        f"| {together['cycles']} | two and three at once | {spread_ms(together['answers'])} "
        f"| {spread_ms(together['to_stopped'])} |", "",
        f"Stop tools at once: {'; '.join(outcomes)}. The {together['refused']} others were refused with exit",
        f"status 255 and `{refusal}`",
        "(1061, with the text the system gives for it).", "",
        f"In {lone['waited']} of the {lone['cycles']} lone stops and {together['waited']} of the "
        f"{together['cycles']} stops by several tools the host",
        "found, once the stop script had ended, the agent or another of its processes still running when",
        "it looked again, and waited a second before it looked once more (`waiting for the agent and its",
        "processes to end` in its trace, `reporting stopped` a second later): that second is part of the",
        "control-to-stopped times above.", "",
        *([f"Wine's `sc query` gave no state {len(lone['unanswered'] + together['unanswered'])} time(s) and was "
           f"asked again (status, output, error output): {(lone['unanswered'] + together['unanswered'])[:3]}.", ""]
          if lone["unanswered"] or together["unanswered"] else []),
    ]


def restarts_report(r):
    minutes = r["span"] / 60
    return [
        "### A crash loop under the restart back-off", "",
        "The sample agent installed with StartupArguments `-exitAfter 1 -exitCode 1` fails a second after",
        "it has written its pid; Restart is \"true\" and RestartThrottle absent (60 s), tracing on. Over",
        f"{minutes:.1f} min the host waited before {len(r['waits'])} restarts, "
        f"{' '.join(map(str, r['waits']))} s (its trace: `the agent ran … ms, less than",
        f"RestartThrottle (60 s): the restart waits … s`), and ran the start script {r['starts']} times. The",
        f"trace file grew to {r['trace']} bytes, {r['trace_rate']:.1f} bytes/s. The host's resident memory went from",
        f"{r['rss'][0]} to {r['rss'][1]} KiB and its Windows handles from {r['handles'][0]} to {r['handles'][1]}; "
        f"it used {r['cpu']:.2f} s of CPU time.",
        f"The stop came {'during a wait (start pending)' if r['in_wait'] else 'outside a wait'}; "
        f"the stop tool answered in {r['stop'] * 1000:.0f} ms.", ""]


def crashes_report(c):
    return [
        "### The host killed and the service started again", "",
        f"{c['cycles']} cycles on the sample agent: `taskkill /f` ends the host while it supervises the agent,",
        "`sc start` starts the service again (Wine's service manager keeps a service whose process has",
        "ended running, and starts it all the same), and the new host must supervise the same agent",
        f"without running the start script (Runtime `Starts` 0). {c['taken_back']} of {c['cycles']} took it back; "
        f"from the start to the agent supervised again: {spread_ms(c['took'])}.", ""]


def report(command, host, restarts, tools, stops, checks, began, load_before, load_after, crashes=None):
    lines = ["## Soak tests under Wine", "",
             f"Command: `{command}` ({began:%Y-%m-%d %H:%M}). Machine: {machine()}; load average "
             f"{load_before} (1/5/15 min) before, {load_after} after (the machine is shared).", ""]
    if host:
        rows, s = host
        lines += [
            "### The host supervising an agent that ends two seconds after writing its pid", "",
            "The sample agent is installed with StartupArguments `-exitAfter 2` and RestartThrottle \"0\"; the",
            f"host restarts it each time, at once. {s['cycles']} agents were started and supervised; the pid file was read every",
            f"0.1 s, and the {s['written']} pids the agents wrote while watched are, in the same order,",
            "the pids the host's trace shows it accepted (`waitForPidFile - read pid … - lastPid = …`,",
            "then `returning true`) and opened (`process openned successfully, about to wait.`). Figures",
            f"of the host's Wine process every 5 s ({s['samples']} samples): resident memory and threads",
            "from /proc, open file descriptors as /proc/<pid>/fd, Windows handles as the process's",
            "entries in the system's handle table (tests/wintools/process_stats.exe;",
            "`GetProcessHandleCount` gives 0 under Wine). Each row gives the lowest and highest value",
            "of its minute; the agent's cycle makes the counts move by a few handles within a minute.", "",
            *rows, "",
            f"The host used {s['cpu']:.2f} s of CPU time over {s['span']:.0f} s; its peak resident memory was "
            f"{s['hwm']} KiB. In {s['first_look']} of the {s['cycles']} cycles the host's first look at the pid "
            "file found the new agent's pid; in the others it looked again a second later. The agents had "
            f"{s['distinct']} different pids: Wine hands out freed process ids again after a few hundred "
            "processes (docs/wine.md), never the one that has just ended.", ""]
    if restarts:
        lines += restarts_report(restarts)
    if tools:
        seen = ", ".join(f"{text} {count}" for text, count in sorted(tools["seen"].items(), key=lambda kv: -kv[1]))
        lines += [
            "### Start/stop cycles through the tools, with the status query beside them", "",
            f"{tools['cycles']} cycles: StartVornelAgentService, wait until the host's trace shows the agent",
            "supervised, StopVornelAgentService, wait until the host process has ended, then `sc query`",
            "(stopped, exit code 0) and a look for anything left running (host, agent, scripts) and for",
            "the pid file. Median start (tool to agent supervised) "
            f"{tools['start'] * 1000:.0f} ms, stop (tool to host ended) {tools['stop'] * 1000:.0f} ms.",
            f"Meanwhile VornelAgentServiceInfo -getservicestatus ran in a loop: {tools['answers']} answers,",
            f"all with exit status 2 and one state line: {seen}.", ""]
        if tools["unanswered"]:
            lines += [f"Wine's `sc query` gave no state {len(tools['unanswered'])} time(s) and was asked again "
                      f"(status, output, error output): {tools['unanswered'][:3]}.", ""]
    if stops:
        lines += stops_report(stops)
    if crashes:
        lines += crashes_report(crashes)
    lines += ["### Checks", "", checks.markdown(), ""]
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(prog=COMMAND, description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--minutes", type=int, default=5,
                        help="how long the host part and the restarts part run, each (default 5)")
    parser.add_argument("--cycles", type=int, default=100, help="start/stop cycles of the tools part (default 100)")
    parser.add_argument("--stop-cycles", type=int, default=100,
                        help="cycles of each kind of the stops part (default 100)")
    parser.add_argument("--crash-cycles", type=int, default=100,
                        help="host-killed cycles of the crashes part (default 100)")
    parser.add_argument("--only", choices=("host", "restarts", "tools", "stops", "crashes"), help="run one part only")
    parser.add_argument("--write", action="store_true", help=f"write the figures into {ROBUSTNESS.relative_to(REPO)}")
    options = parser.parse_args(argv)
    if options.minutes < 2:
        parser.error("--minutes: at least 2 (the host's figures compare the second minute with the last)")
    if options.only and options.write:
        parser.error("the record is one run of every part: --write goes without --only")
    for exe in ("VornelAgentService.exe", "InstallVornelAgentService.exe", "VornelAgent.exe", "process_stats.exe",
                "probe.exe"):
        if not (BIN / exe).exists():
            sys.exit(f"no {exe} in {BIN}: run cmake --build --preset windows first")
    command = COMMAND + "".join(f" {a}" for a in (sys.argv[1:] if argv is None else argv))
    began, load_before = datetime.datetime.now(), load_average()
    checks, host, restarts, tools, stops, crashes = Checks(), None, None, None, None, None
    session = WineSession().start()
    try:
        if options.only in (None, "host"):
            host = soak_host(session, options.minutes, checks)
        if options.only in (None, "restarts"):
            restarts = soak_restarts(session, options.minutes, checks)
        if options.only in (None, "tools"):
            tools = soak_tools(session, options.cycles, checks)
        if options.only in (None, "stops"):
            stops = soak_stops(session, options.stop_cycles, checks)
        if options.only in (None, "crashes"):
            crashes = soak_crashes(session, options.crash_cycles, checks)
    finally:
        if checks.passed:
            session.close()
        else:  # the prefix stays for a look at the trace files; nothing of it keeps running
            session.stop_server()
            print(f"checks failed: the Wine prefix {session.prefix} is kept", flush=True)
    text = report(command, host, restarts, tools, stops, checks, began, load_before, load_average(), crashes)
    print(text)
    if options.write:
        write_section(ROBUSTNESS, "soak", text)
    return 0 if checks.passed else 1
