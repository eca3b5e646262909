"""What the soak and the bench share: the Unix processes of one Wine prefix, what /proc says
about them, what Windows says about them (tests/wintools/process_stats.exe), and a
description of the machine."""

import os
import platform
import re
import subprocess
from pathlib import Path

TICKS = os.sysconf("SC_CLK_TCK")


def unix_processes(session, needle):
    """Unix pids of this prefix's processes whose command line holds the needle. A process
    that is creating another forks first, and for a moment the fork shows with its parent's
    command line and environment (docs/wine.md): such a fork is not counted."""
    found = {}
    wanted = f"WINEPREFIX={session.prefix}".encode()
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            cmdline = (entry / "cmdline").read_bytes()
            environ = (entry / "environ").read_bytes().split(b"\0")
            parent = int((entry / "stat").read_text().rsplit(")", 1)[1].split()[1])
        except (OSError, IndexError, ValueError):
            continue
        text = cmdline.replace(b"\0", b" ").decode(errors="replace")
        if needle.lower() in text.lower() and wanted in environ:
            found[int(entry.name)] = (cmdline, parent)
    return sorted(pid for pid, (cmdline, parent) in found.items()
                  if parent not in found or found[parent][0] != cmdline)


def wineserver_pid(session):
    """The pid of the session's wineserver, found by the prefix in its environment."""
    wanted = f"WINEPREFIX={session.prefix}".encode()
    for proc in Path("/proc").iterdir():
        if not proc.name.isdigit():
            continue
        try:
            if "wineserver" in (proc / "comm").read_text() and wanted in (proc / "environ").read_bytes().split(b"\0"):
                return int(proc.name)
        except OSError:
            continue
    return None


def alive(unix_pid):
    try:
        state = Path(f"/proc/{unix_pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except OSError:
        return False
    return state != "Z"


def context_switches(unix_pid):
    """Voluntary and involuntary context switches of all the process's threads."""
    switches = 0
    for task in Path(f"/proc/{unix_pid}/task").iterdir():
        for line in (task / "status").read_text().splitlines():
            if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                switches += int(line.split()[1])
    return switches


def cpu_seconds(unix_pid):
    """User and system CPU time of a process (all its threads) so far; 0 for no process."""
    if unix_pid is None:
        return 0.0
    fields = Path(f"/proc/{unix_pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def proc_sample(unix_pid):
    """CPU seconds (user and system, all threads), context switches, resident memory (KiB),
    threads and open file descriptors of a process."""
    status = dict(line.split(":", 1) for line in Path(f"/proc/{unix_pid}/status").read_text().splitlines()
                  if ":" in line)
    return {"cpu": cpu_seconds(unix_pid),
            "switches": context_switches(unix_pid),
            "rss_kb": int(status["VmRSS"].split()[0]),
            "hwm_kb": int(status["VmHWM"].split()[0]),
            "threads": int(status["Threads"]),
            "fds": len(os.listdir(f"/proc/{unix_pid}/fd"))}


STATS_LINE = re.compile(r"^(\d+) handles=(-?\d+) handle_count=(-?\d+) threads=(\d+) working_set_kb=(-?\d+)")


def windows_stats(session, stats_exe, *names):
    """{windows pid: {"handles", "threads", "working_set_kb"}} of the running processes with
    these program names, from the system's handle table and process list."""
    proc = subprocess.run(["wine", str(stats_exe), *names], env=session.env, capture_output=True, timeout=60)
    stats = {}
    for line in proc.stdout.decode(errors="replace").splitlines():
        match = STATS_LINE.match(line.strip())
        if match:
            stats[int(match.group(1))] = {"handles": int(match.group(2)), "threads": int(match.group(4)),
                                          "working_set_kb": int(match.group(5))}
    return stats


def machine():
    """The processor, the cores, the kernel and Wine's version, for a record."""
    cpu = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    return f"{cpu}, {os.cpu_count()} cores, {platform.system()} {platform.release()}; {wine}"


def load_average():
    return "/".join(f"{x:.2f}" for x in os.getloadavg())
