"""The info tool's reverse lookup (-getservicename) under Wine with 10, 1,000 and 10,000
services in the registry: part of the bench's record, and alone with
`scripts/bench.py --only lookup`.

The services are registry keys only (imported in bulk with regedit): the lookup reads nothing
else. Two registries, each in a fresh prefix and grown size by size: every service an agent
service of ours (the worst case: the lookup reads both values of each), and services of other
products with only ten agent services among them (the lookup only enumerates the others). The
one sought sorts last, so every run walks every key. Each case is timed as the wall time of
the whole process, both as the program normally runs and with the program and the wineserver
pinned to one core; a lookup by service name (-getagentname) on the same registry gives the
cost of starting the process.
"""

import os
import re
import resource
import statistics
import subprocess
import time

from .procs import cpu_seconds, wineserver_pid
from .wine import BIN, WineSession

PREFIX = "OrvikTamberVornel6100AgentService"
SERVICES = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\"
INFO = "VornelAgentServiceInfo.exe"
TARGET = "bench-zz-target"  # sorts after every bench-NNNNN key
TARGET_NAME, TARGET_HOME = "benchTargetAgent", "C:\\bench\\target\\"
SCENARIOS = {
    "agent": "every service an agent service",
    "foreign": "10 agent services among services of other products",
}


def reg_escape(text):
    return text.replace("\\", "\\\\").replace('"', '\\"')


def service_entry(short, agent_name, agent_home):
    return (f"[{SERVICES}{PREFIX} - {short}\\Parameters]\n"
            f'"AgentName"="{reg_escape(agent_name)}"\n'
            f'"AgentHome"="{reg_escape(agent_home)}"\n'
            f'"AgentLogRoot"="{reg_escape(agent_home)}logs\\\\middlewareagent"\n\n')


def foreign_entry(i):
    """A service of another product: a key of its own with the values the manager keeps."""
    return (f"[{SERVICES}BenchOther{i:05d}]\n"
            f'"ImagePath"="C:\\\\other\\\\{i:05d}.exe"\n"Start"=dword:00000003\n"Type"=dword:00000010\n\n')


def import_reg(session, name, entries):
    """Imports the entries in one regedit run; returns the seconds it took."""
    reg = session.scratch / name
    with open(reg, "w", newline="\r\n") as f:
        f.write("REGEDIT4\n\n")
        f.writelines(entries)
    started = time.perf_counter()
    subprocess.run(["wine", "regedit", "/s", "Z:" + str(reg).replace("/", "\\")], env=session.env, check=True,
                   timeout=600)
    return time.perf_counter() - started


def agent_entries(first, last):
    return (service_entry(f"bench-{i:05d}", f"benchAgent{i:05d}", f"C:\\bench\\{i:05d}\\") for i in range(first, last))


ALL_CORES = os.sched_getaffinity(0)
ONE_CORE = {min(ALL_CORES)}


def timed(session, exe, *args, pinned=False):
    """Wall time, the CPU time of the program and of the wineserver, and the finished run.
    Pinned: the program and the wineserver share one core for the run."""
    server = wineserver_pid(session)
    if pinned and server is not None:
        os.sched_setaffinity(server, ONE_CORE)
    before_children = resource.getrusage(resource.RUSAGE_CHILDREN)
    before_server = cpu_seconds(server)
    started = time.perf_counter()
    proc = subprocess.run(["wine", exe, *args], env=session.env, capture_output=True, timeout=600,
                          preexec_fn=(lambda: os.sched_setaffinity(0, ONE_CORE)) if pinned else None)
    wall = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    client = after.ru_utime + after.ru_stime - before_children.ru_utime - before_children.ru_stime
    server_cpu = cpu_seconds(server) - before_server
    if pinned and server is not None:
        os.sched_setaffinity(server, ALL_CORES)
    return wall, client + server_cpu, proc


def key_count(session, exe):
    """The number of child keys of the services key, as the lookup's own trace reports it."""
    proc = subprocess.run(["wine", exe, "-debug", "-getservicename", "-agentname", TARGET_NAME, "-agenthome",
                           TARGET_HOME], env=session.env, capture_output=True, timeout=600)
    found = re.search(rb"getServiceName - there are (\d+) keys", proc.stderr)
    return int(found.group(1)) if found else None


def measure(session, exe, scenario, size, runs):
    lookup = ["-getservicename", "-agentname", TARGET_NAME, "-agenthome", TARGET_HOME]
    single = ["-getagentname", TARGET]
    answers = {"lookup": f"Service Name - {TARGET}".encode(), "single": f"Agent Name - {TARGET_NAME}".encode()}
    for _ in range(3):  # untimed: the first runs of a new prefix also start its services
        timed(session, exe, *lookup)
    times = {"free": [], "cpu": [], "pinned": [], "single": []}
    for _ in range(runs):
        for key, args, pinned in (("free", lookup, False), ("pinned", lookup, True), ("single", single, True)):
            wall, cpu, proc = timed(session, exe, *args, pinned=pinned)
            if proc.stdout != answers["single" if key == "single" else "lookup"]:
                raise SystemExit(f"{size} services: unexpected answer {proc.stdout!r}")
            times[key].append(wall)
            if key == "free":
                times["cpu"].append(cpu)
    return {"scenario": scenario, "size": size, "keys": key_count(session, exe),
            "free": statistics.median(times["free"]), "fastest": min(times["free"]),
            "cpu": statistics.median(times["cpu"]), "pinned": statistics.median(times["pinned"]),
            "single": statistics.median(times["single"])}


def run(sizes, runs):
    """Every size of both registries, each in a fresh prefix: the rows of the table, and the
    bulk imports as (services, seconds)."""
    exe = str(BIN / INFO)
    rows, imports = [], []
    for scenario in SCENARIOS:
        session = WineSession().start()
        try:
            # The service sought, and nine more agent services: the ten of the smallest size.
            imports.append((10, import_reg(session, "agents-10.reg", [service_entry(TARGET, TARGET_NAME, TARGET_HOME),
                                                                      *agent_entries(0, 9)])))
            have = 10
            for size in sizes:
                if size > have:
                    entries = (agent_entries(have - 1, size - 1) if scenario == "agent"
                               else (foreign_entry(i) for i in range(have - 10, size - 10)))
                    imports.append((size - have, import_reg(session, f"{scenario}-{size}.reg", entries)))
                    have = size
                rows.append(measure(session, exe, scenario, size, runs))
                r = rows[-1]
                print(f"lookup: {size:>6} services, {SCENARIOS[scenario]} ({r['keys']} keys): lookup "
                      f"{r['free'] * 1000:.0f} ms, pinned {r['pinned'] * 1000:.0f} ms, start-up "
                      f"{r['single'] * 1000:.0f} ms", flush=True)
        finally:
            session.close()
    return rows, imports


def section(rows, imports, runs):
    """The record's section on the lookup, as Markdown lines."""
    lines = [
        "### The info tool's reverse lookup (-getservicename)", "",
        f"{runs} runs of each kind, in two fresh prefixes (alone: `scripts/bench.py --only lookup`):",
        "services are keys under the services key, an agent service with a Parameters key holding",
        "AgentName, AgentHome and AgentLogRoot, a service of another product with ImagePath, Start and",
        "Type. The service sought sorts last, so every run walks every key. Lookup: as normally run",
        "(median, fastest, CPU of the program and the wineserver together); pinned: the program and the",
        "wineserver on one core; start-up: a lookup by service name (-getagentname) on the same",
        "registry, pinned; walk per service: the pinned lookup less the start-up, per service.", "",
        "| services | registry | keys walked | lookup median | fastest | CPU | pinned median | start-up "
        "| walk per service |",
        "|---:|---|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for r in rows:
        keys = f"{r['keys']:,}" if r["keys"] is not None else "?"
        # Below a few hundred services the walk is lost in the noise of the start-up.
        walk = f"{(r['pinned'] - r['single']) / r['size'] * 1e6:.0f} µs" if r["size"] >= 500 else "–"
        lines.append(f"| {r['size']:,} | {SCENARIOS[r['scenario']]} | {keys} | {r['free'] * 1000:.0f} ms "
                     f"| {r['fastest'] * 1000:.0f} ms | {r['cpu'] * 1000:.0f} ms | {r['pinned'] * 1000:.0f} ms "
                     f"| {r['single'] * 1000:.0f} ms | {walk} |")
    lines += ["", "Bulk import with `wine regedit /s`: " +
              ", ".join(f"{n:,} services in {s:.1f} s" for n, s in imports) + "."]
    return lines
