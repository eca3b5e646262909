"""The rig: a private Wine prefix for one session of the end-to-end tests, the demo, the soak
or the bench, and helpers to lay out an agent home, run a program, and read the registry and
service state through Wine's own tools.

Every process of the session lives in its own prefix, so tearing the prefix down ends only
processes the rig started.
"""

import itertools
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
BIN = Path(os.environ.get("VORNEL_WINDOWS_BIN", REPO / "build" / "windows" / "bin"))
BUILD = BIN.parent  # the Windows build tree, whose install rules lay out the package
SAMPLE_AGENT = REPO / "sample-agent"


def project_version():
    """The version in the project() line of the top CMakeLists.txt (6.1.0)."""
    for line in (REPO / "CMakeLists.txt").read_text().splitlines():
        if line.startswith("project(") and " VERSION " in line:
            return line.split(" VERSION ")[1].split()[0]
    raise AssertionError("no project version in CMakeLists.txt")


def wait_until(condition, timeout=30, interval=0.2):
    """The condition's first true value within the timeout (seconds), else its last value."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(interval)
    return condition()


def encoded_arguments(plain, full_service_name):
    """Arguments as the installer stores them with -encodeparams: each character combined by
    exclusive-or with the full service name, taken in turn, as upper-case hex."""
    key = full_service_name
    return "".join(f"{ord(c) ^ ord(key[i % len(key)]):02X}" for i, c in enumerate(plain))


def query_fields(text):
    """The numeric fields of sc query's output ({"STATE": 4, "WIN32_EXIT_CODE": 0, ...}); empty
    when sc printed none (an unknown service, or sc itself failed)."""
    fields = {}
    for line in text.splitlines():
        match = re.match(r"^\s*(\w+)\s*:\s*(0x[0-9a-fA-F]+|\d+)\b", line)
        if match:
            value = match.group(2)
            fields[match.group(1)] = int(value, 16) if value.startswith("0x") else int(value)
    return fields


@dataclass
class Result:
    """What a program run left: its exit status as a caller sees it (8 bits), the bytes of its
    two streams, and the seconds from launch to exit."""

    status: int
    raw_out: bytes
    raw_err: bytes
    seconds: float = 0.0

    @property
    def stdout(self):
        return self.raw_out.decode(errors="replace")

    @property
    def stderr(self):
        return self.raw_err.decode(errors="replace")

    @property
    def out(self):
        """Standard output without any carriage return: text mode's CR LF, and the CR CR LF
        that a "\r\n" of the program's own becomes, both read as "\n"."""
        return self.stdout.replace("\r", "")

    @property
    def err(self):
        return self.stderr.replace("\r", "")

    @property
    def out_as_written(self):
        """Standard output as the program wrote it: only text mode's CR LF turned back into
        LF, so a "\r\n" of the program's own reads as "\r\n"."""
        return self.raw_out.replace(b"\r\n", b"\n").decode(errors="replace")

    @property
    def err_as_written(self):
        return self.raw_err.replace(b"\r\n", b"\n").decode(errors="replace")


# What Wine's loader prints when it could not start a program at all.
NOT_STARTED = b"Application could not be started, or no application associated with the specified file."


class WineSession:
    """One private prefix, booted once, kept alive by a persistent wineserver."""

    def __init__(self, prefix=None):
        self.owned = prefix is None
        self.prefix = Path(prefix or tempfile.mkdtemp(prefix="vornel-wine-"))
        self.env = dict(os.environ)
        self.env.update(WINEPREFIX=str(self.prefix), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        self.scratch = Path(tempfile.mkdtemp(prefix="vornel-e2e-"))
        self._runs = itertools.count(1)  # next() is atomic: threads may run programs at once
        self._install_tree = None

    # --- life of the session ---

    def start(self):
        self.prefix.mkdir(parents=True, exist_ok=True)
        subprocess.run(["wineboot", "-i"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       check=True, timeout=300)
        subprocess.run(["wineserver", "-w"], env=self.env, check=True, timeout=300)
        # Services die with the last ordinary Wine process unless a persistent server holds on.
        if subprocess.run(["wineserver", "-p"], env=self.env).returncode == 2:
            self.stop_server()
            subprocess.run(["wineserver", "-p"], env=self.env, check=True)
        return self

    def stop_server(self):
        subprocess.run(["wineserver", "-k"], env=self.env)
        subprocess.run(["wineserver", "-w"], env=self.env)
        # A wineserver that has died leaves its clients behind (services.exe, service hosts, ...)
        # and `wineserver -k` has no server to ask: end what still runs in this prefix, by pid.
        from .procs import unix_processes
        for pid in unix_processes(self, ""):
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass

    def flush_registry(self):
        """Writes the prefix's registry to its files (system.reg, user.reg) by ending the server,
        and starts the persistent server again. Every process of the prefix ends, services
        without a stop control: call it when none of the session's services needs to run."""
        self.stop_server()
        subprocess.run(["wineserver", "-p"], env=self.env, check=True)

    def close(self):
        self.stop_server()
        shutil.rmtree(self.scratch, ignore_errors=True)
        if self.owned and not os.environ.get("VORNEL_KEEP_PREFIX"):
            shutil.rmtree(self.prefix, ignore_errors=True)

    # --- paths ---

    def unix_path(self, windows_path):
        """C:\\a\\b -> <prefix>/drive_c/a/b"""
        drive, rest = windows_path[0].lower(), windows_path[2:].replace("\\", "/").lstrip("/")
        return self.prefix / f"drive_{drive}" / rest

    # --- programs ---

    def run(self, program, *args, cwd=None, timeout=120, env=None):
        """Runs a Windows program (a path in the prefix, or a built-in such as reg or sc) and
        captures its exit status and output into files, since a process it leaves running
        keeps a pipe open. Safe to call from several threads at once."""
        run = next(self._runs)
        out_file = self.scratch / f"run{run}.out"
        err_file = self.scratch / f"run{run}.err"
        run_env = dict(self.env)
        if env:
            run_env.update(env)
        for _ in range(3):
            with open(out_file, "wb") as out, open(err_file, "wb") as err:
                started = time.perf_counter()
                proc = subprocess.run(["wine", program, *args], stdout=out, stderr=err, cwd=cwd or self.scratch,
                                      env=run_env, timeout=timeout)
                seconds = time.perf_counter() - started
            # Wine's loader now and then fails to start a program on a busy machine, before the
            # program runs (docs/wine.md): the run is made again.
            if not (proc.returncode == 1 and out_file.read_bytes().startswith(NOT_STARTED)):
                break
        # Read as bytes: universal newlines would make the "\r\r\n" of text mode two line ends.
        result = Result(proc.returncode, out_file.read_bytes(), err_file.read_bytes(), seconds)
        out_file.unlink()
        err_file.unlink()
        return result

    def install_tree(self):
        """The files of the package, as `cmake --install --strip` of the Windows build lays them
        out (the ZIP holds the same tree, its programs stripped too): installed once per session
        into its scratch directory."""
        if self._install_tree is None:
            tree = self.scratch / "install"
            result = subprocess.run(["cmake", "--install", str(BUILD), "--prefix", str(tree), "--strip"],
                                    capture_output=True, text=True)
            if result.returncode != 0:
                raise RuntimeError(f"cmake --install {BUILD} failed:\n{result.stdout}{result.stderr}")
            self._install_tree = tree
        return self._install_tree

    def layout_agent_home(self, home, programs=None, logs=True):
        """Lays out an agent home as an administrator does, from the package's install tree:
        <home>bin holds the six programs, the message file and the sample agent installation
        (its agent and its two scripts), <home>docs the docs. With programs (a list of .exe
        names) only those executables of bin are copied. With logs, <home>logs\\middlewareagent
        exists too, as the installer makes it, for the services a test sets up by hand."""
        tree = self.install_tree()
        target = self.unix_path(home)
        for source in sorted(p for p in tree.rglob("*") if p.is_file()):
            relative = source.relative_to(tree)
            if programs is not None and relative.parent.name == "bin" and relative.suffix == ".exe" \
                    and relative.name not in programs:
                continue
            (target / relative).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(source, target / relative)
        if logs:
            (self.unix_path(home + "logs\\middlewareagent")).mkdir(parents=True, exist_ok=True)
        return target / "bin"

    # --- Wine's own tools ---

    def reg_query(self, key, value=None):
        """The data of one value through Wine's reg, or None when it cannot be read."""
        args = ["query", key] + (["/v", value] if value is not None else [])
        result = self.run("reg", *args)
        if result.status != 0:
            return None
        if value is None:
            return result.out
        for line in result.out.splitlines():
            parts = line.strip().split(None, 2)
            if len(parts) >= 2 and parts[0].lower() == value.lower() and parts[1].startswith("REG_"):
                return parts[2] if len(parts) == 3 else ""
        return None

    def reg_add(self, key, value, data, kind="REG_SZ"):
        # Wine's reg now and then ends with 1 and no output when the machine is busy; the write
        # is the same whenever it succeeds, so it is tried again.
        for _ in range(3):
            result = self.run("reg", "add", key, "/v", value, "/t", kind, "/d", data, "/f")
            if result.status == 0:
                return
        assert result.status == 0, result

    def reg_delete_key(self, key):
        self.run("reg", "delete", key, "/f")

    def sc(self, *args):
        return self.run("sc", *args)

    def service_state(self, name):
        """The STATE line's number from sc query, or None when the service is unknown."""
        return query_fields(self.sc("query", name).out).get("STATE")

    def wait_for_state(self, name, state, timeout=30):
        return wait_until(lambda: self.service_state(name) == state, timeout)
