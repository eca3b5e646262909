"""What the benchmark commands share: each writes its own section of docs/benchmarks.md,
between markers, and leaves the other sections as they are."""

from .wine import REPO

BENCHMARKS = REPO / "docs" / "benchmarks.md"
HEADER = "# Benchmarks\n\nTimings measured on the machine named in each section.\n\n"


def write_section(name, text, path=BENCHMARKS):
    """Replaces the section `name` (or appends it) with the Markdown text."""
    start, end = f"<!-- {name}:start -->", f"<!-- {name}:end -->"
    block = f"{start}\n{text.strip()}\n{end}\n"
    old = path.read_text() if path.exists() else HEADER
    if start in old and end in old:
        head, rest = old.split(start, 1)
        tail = rest.split(end, 1)[1].lstrip("\n")
        new = head + block + ("\n" + tail if tail else "")
    else:
        new = old.rstrip("\n") + "\n\n" + block
    path.write_text(new)
    return path
