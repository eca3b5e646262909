"""The waits of the start and stop tools (-wait) beside a plain 250-ms poll, as PowerShell's
WaitForStatus and most administrators' scripts wait, under Wine; written as its own section of
docs/benchmarks.md by `scripts/bench.py --only waits --write`.

- stop -wait: from the host's stopped report (its trace line `stopServer - reporting stopped`,
  read every 2 ms) to the stop tool's exit; the reference is `sc stop` followed by
  `probe waitstate <service> 1 250`, which asks QueryServiceStatus every 250 ms.
- start -wait: from the moment the service's Runtime key says the host supervises the agent to
  the start tool's exit; the reference is `sc start` followed by `probe pollvalue` of the
  Runtime key's Phase every 250 ms. A host that writes the Runtime key itself is measured from
  the agent's pid file being written (its appearance, looked for every 2 ms). Until the host
  writes it, a stand-in writes the values the host will write as soon as the pid file appears
  (`probe hostvalues`, which prints the moment of its write), and the latency is counted from
  that write.

Runs of the tool and of the reference are taken in turn, so that both meet the same machine.
"""

import shutil
import statistics
import subprocess
import time

from .agent_home import TraceCounter
from .wine import BIN, WineSession, wait_until

PREFIX = "OrvikTamberVornel6100AgentService - "
HOME = "C:\\vornel-bench-waits\\"
SHORT = "bench-waits"
FULL = PREFIX + SHORT
RUNTIME = f"SYSTEM\\CurrentControlSet\\Services\\{FULL}\\Runtime"
SUPERVISED = b"VornelAgentService - VornelAgentServiceMain - process openned successfully"
REPORTING_STOPPED = b"VornelAgentService - stopServer - reporting stopped"
MS_FROM_1601_TO_1970 = 11644473600000
POLL = 0.002


class Rig:
    def __init__(self, session):
        self.session = session
        self.bin = HOME + "bin\\"
        self.cwd = session.unix_path(self.bin)
        logs = session.unix_path(HOME + "logs\\middlewareagent")
        self.pid_file = logs / "VornelAgent.pidfile"
        self.trace = TraceCounter(logs / "VornelAgentService.stderr", {m: m for m in (SUPERVISED, REPORTING_STOPPED)})

    def popen(self, *args):
        return subprocess.Popen(["wine", *args], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=self.cwd,
                                env=self.session.env)

    def until(self, condition, timeout=60):
        """The time.time() at which the condition first held, looked at every 2 ms."""
        deadline = time.time() + timeout
        while not condition():
            assert time.time() < deadline, "timed out"
            time.sleep(POLL)
        return time.time()

    def count(self, marker):
        return self.trace.counts()[marker]

    def state(self):
        return self.session.service_state(FULL)

    def started(self):
        supervised = self.count(SUPERVISED)
        assert self.session.sc("start", FULL).status == 0
        self.until(lambda: self.count(SUPERVISED) > supervised)

    def stopped(self):
        if self.state() != 1:
            self.session.sc("stop", FULL)
        assert wait_until(lambda: self.state() == 1, 60)
        assert wait_until(lambda: not self.pid_file.exists(), 60)

    def host_writes_runtime(self):
        """Whether the host itself says it supervises the agent (once, before the runs)."""
        self.started()
        time.sleep(2)
        written = self.session.reg_query("HKLM\\" + RUNTIME, "Phase") == "supervising"
        self.stopped()
        return written


def stop_run(rig, tool):
    """From the stopped report to the exit of the stop tool's -wait (tool) or of the 250-ms poll
    after sc stop (reference), in seconds."""
    rig.started()
    reported = rig.count(REPORTING_STOPPED)
    if tool:
        waiter = rig.popen(rig.bin + "StopVornelAgentService.exe", "-servicename", SHORT, "-wait", "60")
    else:
        assert rig.session.sc("stop", FULL).status == 0
        waiter = rig.popen(rig.bin + "probe.exe", "waitstate", FULL, "1", "250", "60")
    report = rig.until(lambda: rig.count(REPORTING_STOPPED) > reported)
    answered = rig.until(lambda: waiter.poll() is not None)
    assert waiter.returncode == 0, waiter.returncode
    rig.stopped()
    return answered - report


def start_run(rig, tool, host_writes):
    """From the Runtime key saying supervising (or, when the host writes it, the pid file's
    write) to the exit of the start tool's -wait (tool) or of the 250-ms poll of the Runtime
    key's Phase after sc start (reference), in seconds."""
    if not host_writes:
        rig.session.reg_delete_key("HKLM\\" + RUNTIME)
    if tool:
        waiter = rig.popen(rig.bin + "StartVornelAgentService.exe", "-servicename", SHORT, "-wait", "60")
    else:
        assert rig.session.sc("start", FULL).status == 0
        waiter = rig.popen(rig.bin + "probe.exe", "pollvalue", RUNTIME, "Phase", "supervising", "250", "60")
    written = rig.until(rig.pid_file.exists)
    if not host_writes:
        pid = rig.pid_file.read_text().strip()
        stand_in = rig.session.run(rig.bin + "probe.exe", "hostvalues", FULL, "Phase=supervising", f"AgentPid={pid}")
        assert stand_in.status == 0, stand_in
        written = (int(stand_in.out.strip()) - MS_FROM_1601_TO_1970) / 1000
    answered = rig.until(lambda: waiter.poll() is not None)
    assert waiter.returncode == 0, waiter.returncode
    rig.stopped()
    return answered - written


def measure(runs):
    session = WineSession().start()
    try:
        session.layout_agent_home(HOME)
        shutil.copy2(BIN / "probe.exe", session.unix_path(HOME + "bin\\probe.exe"))
        install = session.run(HOME + "bin\\InstallVornelAgentService.exe", "-servicename", SHORT, "-agentname",
                              "benchWaits", "-agenthome", HOME, "-servicetrace", "on")
        assert install.status == 0, install
        rig = Rig(session)
        host_writes = rig.host_writes_runtime()
        results = {("stop", True): [], ("stop", False): [], ("start", True): [], ("start", False): []}
        for _ in range(runs):
            for tool in (True, False):
                results[("stop", tool)].append(stop_run(rig, tool))
                results[("start", tool)].append(start_run(rig, tool, host_writes))
        return results, host_writes
    finally:
        session.close()


def section(results, host_writes, runs, command, began, machine, loads):
    def cell(values):
        return f"{statistics.median(values) * 1000:.0f} ms ({min(values) * 1000:.0f}–{max(values) * 1000:.0f})"

    start_from = ("the agent's pid file appears (the host then finds the pid and writes the Runtime key)" if host_writes else
                  "a stand-in for the host writes `Phase` `supervising` into the Runtime key")
    lines = [
        "## The waits beside a 250-ms poll", "",
        f"Command: `{command}`, begun {began:%Y-%m-%d %H:%M}.", f"Machine: {machine}.",
        f"Load average (1/5/15 min): {loads[0]} when the run began, {loads[1]} at the end.", "",
        f"{runs} runs of each, the tool and the poll taken in turn. The stop tool's and the start tool's",
        "`-wait` look at the service every 100 ms; the reference asks every 250 ms, as PowerShell's",
        "WaitForStatus does (`probe waitstate`, `probe pollvalue`). Moments on the Linux side are looked",
        "for every 2 ms; each answer includes the end of its Wine process. Median, lowest and highest run.", "",
        "| wait | from | until | `-wait` | 250-ms poll |",
        "|---|---|---|---:|---:|",
        f"| stop | the host's stopped report (its trace line `stopServer - reporting stopped`) | the waiting "
        f"program's exit | {cell(results[('stop', True)])} | {cell(results[('stop', False)])} |",
        f"| start | {start_from} | the waiting program's exit | {cell(results[('start', True)])} | "
        f"{cell(results[('start', False)])} |", "",
    ]
    if not host_writes:
        lines += [
            "The host of this run does not write its Runtime key yet: the stand-in (`probe hostvalues`) writes",
            "`HostPid`, `Phase` and `AgentPid` as the host will once its pid file names the agent, and prints",
            "the moment of its write. Once the host writes the key, this benchmark measures from the pid",
            "file's write, which then includes the host's own time to find the pid.", ""]
    return "\n".join(lines)
