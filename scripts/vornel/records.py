"""The record pages that the soak and the bench write into: each command writes its own
section, between markers, and leaves the rest of the page as it is."""

from .wine import REPO

BENCHMARKS = REPO / "docs" / "benchmarks.md"
ROBUSTNESS = REPO / "docs" / "robustness.md"
# What a page starts with when it does not exist yet.
HEADERS = {
    BENCHMARKS: "# Benchmarks\n\nTimings measured on the machine named in each section.\n\n",
    ROBUSTNESS: "# Robustness\n\nHow the programs hold up under bad input, faults and long runs, with the commands "
                "that show it.\n\n",
}


def write_section(path, name, text):
    """Replaces the section `name` of the page (or appends it) with the Markdown text."""
    start, end = f"<!-- {name}:start -->", f"<!-- {name}:end -->"
    block = f"{start}\n{text.strip()}\n{end}\n"
    old = path.read_text() if path.exists() else HEADERS[path]
    if start in old and end in old:
        head, rest = old.split(start, 1)
        tail = rest.split(end, 1)[1].lstrip("\n")
        new = head + block + ("\n" + tail if tail else "")
    else:
        new = old.rstrip("\n") + "\n\n" + block
    path.write_text(new)
    return path
