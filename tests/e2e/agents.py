"""A service of the end-to-end tests set up by hand, the way the installer would: Wine's own
`sc create` with the host's command line, and `reg add` for exactly the Parameters values a
test is about (some of which the installer never writes), with the sample agent in its home."""

import re

from vornel.agent_home import AgentHome
from vornel.wine import query_fields

PREFIX = "OrvikTamberVornel6100AgentService - "
TRACE_LINE = re.compile(r"^(Sun|Mon|Tue|Wed|Thu|Fri|Sat) \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4} - (.*)$")


class AgentService(AgentHome):
    """One service of a test: its agent home (the pid file, the scripts' runs, the agent's lock:
    vornel.agent_home), its settings and its state."""

    def __init__(self, wine, short_name):
        super().__init__(wine, f"C:\\vornel-host-e2e\\{short_name}\\")
        self.wine = wine
        self.name = PREFIX + short_name
        self.params = f"HKLM\\SYSTEM\\CurrentControlSet\\Services\\{self.name}\\Parameters"

    def create(self, **values):
        self.wine.layout_agent_home(self.home)
        command = f'"{self.bin}VornelAgentService.exe" "{self.name}"'
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

    def query(self):
        """The fields of sc query, as numbers."""
        return query_fields(self.wine.sc("query", self.name).out)


def trace_messages(text):
    return [m.group(2) for m in map(TRACE_LINE.match, text.splitlines()) if m]
