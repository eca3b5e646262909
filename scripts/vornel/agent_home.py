"""An agent home with the sample agent installation in a session's prefix, as the end-to-end
tests and the soak read it: the pid file the agent writes, the log its two scripts keep of their
runs (logs\\middlewareagent\\scripts.log, one line per run), and the lock the agent holds while
it lives."""

import re

SCRIPT_RUN = re.compile(r"^(\S+) cwd=\[\"(.*)\"\] args=\[(.*)\]$")


class AgentHome:
    """home is the Windows path with its closing backslash (C:\\agents\\one\\)."""

    def __init__(self, session, home):
        self.session = session
        self.home = home
        self.bin = home + "bin\\"
        self.pid_file = home + "logs\\middlewareagent\\VornelAgent.pidfile"
        self.logs = session.unix_path(home + "logs\\middlewareagent")  # the Unix side of the run directory

    def unix(self, relative):
        """The Unix path of a file given relative to the home."""
        return self.session.unix_path(self.home + relative)

    def text(self, relative):
        """A file's text without carriage returns, or None when it does not exist."""
        path = self.unix(relative)
        return path.read_bytes().decode(errors="replace").replace("\r", "") if path.exists() else None

    def pid(self):
        """The pid in the pid file, or None (no file, or not a number)."""
        try:
            digits = (self.logs / "VornelAgent.pidfile").read_text().strip()
        except OSError:
            return None
        return int(digits) if digits.isdigit() else None

    def script_runs(self):
        """(script, working directory, arguments) of every script run, in order."""
        runs = []
        for line in (self.text("logs\\middlewareagent\\scripts.log") or "").splitlines():
            match = SCRIPT_RUN.match(line)
            assert match, f"not a line of the scripts' log: {line!r}"
            runs.append(match.groups())
        return runs

    def agent(self, *args, timeout=60):
        """Runs the sample agent program of this home (stop and wait modes)."""
        return self.session.run(self.bin + "VornelAgent.exe", *args, timeout=timeout)

    def agent_running(self):
        """The agent holds its lock file while it lives; the system frees it however it ends."""
        return self.agent("-wait", "-pidFile", self.pid_file, "-timeout", "0").status == 1

    def stop_agent(self):
        self.agent("-stop", "-pidFile", self.pid_file, "-timeout", "20")


class TraceCounter:
    """Counts the lines of a growing trace file (the host's, say) that hold given markers,
    {name: bytes}; each look reads only what was added since the last, up to its last complete
    line, so that it can be looked at every few milliseconds however long the file has grown."""

    def __init__(self, path, markers):
        self.path, self.markers = path, dict(markers)
        self._read, self._counts = 0, dict.fromkeys(self.markers, 0)

    def counts(self):
        """{name: how many times the file has shown the marker so far}"""
        try:
            with open(self.path, "rb") as f:
                f.seek(self._read)
                chunk = f.read()
        except FileNotFoundError:
            return dict(self._counts)
        chunk = chunk[:chunk.rfind(b"\n") + 1]
        self._read += len(chunk)
        for name, marker in self.markers.items():
            self._counts[name] += chunk.count(marker)
        return dict(self._counts)
