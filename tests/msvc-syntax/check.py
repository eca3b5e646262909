#!/usr/bin/env python3
"""Runs every C and C++ compile command of a build configured with clang-cl.cmake with /Zs
(syntax and semantics only, no object file) and fails on any diagnostic.

    check.py <build dir>

The translation units come from the build's compile_commands.json, so a source file added
to a CMakeLists is checked without anyone listing it here. Only files of the repository
count (not generated ones); the programs' main.cpp files, the win32 platform, common/ and
the sample agent must be among them, or the build description no longer says what we think.
"""
import json
import os
import re
import shlex
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
PROGRAMS = ["host", "install", "start", "stop", "uninstall", "info"]
REQUIRED_FILES = [f"{p}/main.cpp" for p in PROGRAMS] + ["sample-agent/agent.cpp"]
REQUIRED_FOLDERS = ["common/", "platform/win32/"]
DIAGNOSTIC = re.compile(r": (fatal error|error|warning): ")


def syntax_only(command):
    """The compile command with /Zs in place of -c and without its output files."""
    args = shlex.split(command)
    if args.count("-c") != 1:
        raise ValueError(f"expected one -c in: {command}")
    return ["/Zs" if a == "-c" else a for a in args if not a.startswith(("/Fo", "/Fd"))]


def check(entry):
    result = subprocess.run(syntax_only(entry["command"]), cwd=entry["directory"],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    output = result.stdout.strip()
    found = len(DIAGNOSTIC.findall(output))
    if (result.returncode != 0 or output) and found == 0:
        found = 1  # an exit status or a line we did not expect is a finding too
    return entry["file"], found, output


def main():
    build = os.path.realpath(sys.argv[1])
    with open(os.path.join(build, "compile_commands.json")) as f:
        entries = json.load(f)
    units = []
    for entry in entries:
        path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
        if not path.endswith((".c", ".cpp")) or not path.startswith(REPO + os.sep):
            continue
        if path.startswith(build + os.sep):
            continue
        entry["file"] = os.path.relpath(path, REPO)
        units.append(entry)

    names = {u["file"] for u in units}
    missing = [f for f in REQUIRED_FILES if f not in names]
    missing += [d for d in REQUIRED_FOLDERS if not any(n.startswith(d) for n in names)]
    if missing:
        print(f"msvc-syntax: the build description lacks {', '.join(missing)}")
        return 1

    with ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        results = sorted(pool.map(check, units))
    diagnostics = 0
    for name, found, output in results:
        if found:
            diagnostics += found
            print(f"== {name}: {found} diagnostic(s)\n{output}")
    folders = {}
    for name, _, _ in results:
        folders[name.split("/")[0]] = folders.get(name.split("/")[0], 0) + 1
    print("checked: " + ", ".join(f"{folder} {count}" for folder, count in sorted(folders.items())))
    print(f"msvc-syntax: {len(results)} translation units compiled, {diagnostics} diagnostics")
    return 1 if diagnostics else 0


if __name__ == "__main__":
    sys.exit(main())
