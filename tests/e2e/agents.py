"""A service of the end-to-end tests set up by hand, the way the installer would: Wine's own
`sc create` with the host's command line, and `reg add` for exactly the Parameters values a
test is about (some of which the installer never writes), with the sample agent in its home."""

import re

from vornel.wine import query_fields

PREFIX = "OrvikTamberVornel6100AgentService - "
TRACE_LINE = re.compile(r"^(Sun|Mon|Tue|Wed|Thu|Fri|Sat) \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4} - (.*)$")


class AgentService:
    """One service of a test: its agent home, its settings and what its agent left."""

    def __init__(self, wine, short_name):
        self.wine = wine
        self.name = PREFIX + short_name
        self.home = f"C:\\vornel-host-e2e\\{short_name}\\"
        self.pid_file = self.home + "logs\\middlewareagent\\VornelAgent.pidfile"
        self.params = f"HKLM\\SYSTEM\\CurrentControlSet\\Services\\{self.name}\\Parameters"

    def create(self, **values):
        self.wine.layout_agent_home(self.home)
        command = f'"{self.home}bin\\VornelAgentService.exe" "{self.name}"'
        result = self.wine.sc("create", self.name, "binPath=", command, "start=", "demand")
        assert result.status == 0, result
        settings = {"AgentHome": self.home, "AgentName": "agent one", "AgentPidFile": self.pid_file,
                    "Restart": "true"}
        settings.update(values)
        for value, data in settings.items():
            if data is not None:
                self.wine.reg_add(self.params, value, data)
        return self

    def remove(self):
        if self.wine.service_state(self.name) not in (None, 1):
            self.wine.sc("stop", self.name)
            self.wine.wait_for_state(self.name, 1, timeout=30)
        self.stop_agent()
        self.wine.sc("delete", self.name)

    # --- the agent ---

    def unix(self, relative):
        return self.wine.unix_path(self.home + relative)

    def agent(self, *args, timeout=60):
        return self.wine.run(self.home + "bin\\VornelAgent.exe", *args, timeout=timeout)

    def agent_running(self):
        """The agent holds its lock file while it lives; the system frees it however it ends."""
        return self.agent("-wait", "-pidFile", self.pid_file, "-timeout", "0").status == 1

    def stop_agent(self):
        self.agent("-stop", "-pidFile", self.pid_file, "-timeout", "20")

    def pid(self):
        try:
            text = self.unix("logs\\middlewareagent\\VornelAgent.pidfile").read_text()
        except FileNotFoundError:
            return None
        digits = text.strip()
        return int(digits) if digits.isdigit() else None

    def script_runs(self):
        """(script, working directory, arguments) of every script run, in order."""
        path = self.unix("logs\\middlewareagent\\scripts.log")
        if not path.exists():
            return []
        runs = []
        for line in path.read_bytes().decode(errors="replace").replace("\r", "").splitlines():
            match = re.match(r'^(\S+) cwd=\["(.*)"\] args=\[(.*)\]$', line)
            assert match, line
            runs.append(match.groups())
        return runs

    def text(self, relative):
        path = self.unix(relative)
        return path.read_bytes().decode(errors="replace").replace("\r", "") if path.exists() else None

    # --- the service ---

    def query(self):
        """The fields of sc query, as numbers."""
        return query_fields(self.wine.sc("query", self.name).out)


def trace_messages(text):
    return [m.group(2) for m in map(TRACE_LINE.match, text.splitlines()) if m]
