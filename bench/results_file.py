"""results_file.py — the sections of bench/RESULTS.md that benchmark scripts write.

RESULTS.md mixes what a script measured with what a person wrote about it. Each script owns
one section between two marker lines and replaces only that, so a rerun keeps the reading
and the other scripts' sections.
"""

from __future__ import annotations

from pathlib import Path

RESULTS = Path(__file__).resolve().parent / "RESULTS.md"
PROJECT = RESULTS.parent.parent


def shown_path(path: Path | str) -> str:
    """A path as a report names it: relative to the project root, so that no directory of
    the machine that ran it lands in the file; outside the project, its last part."""
    path = Path(path).resolve()
    return str(path.relative_to(PROJECT)) if path.is_relative_to(PROJECT) else path.name


def processor() -> str:
    """The processor a report ran on, as the kernel names it."""
    try:
        with open("/proc/cpuinfo") as info:
            return next(line.split(":", 1)[1].strip() for line in info
                        if line.startswith("model name"))
    except (OSError, StopIteration):
        return "processor unknown"


def _markers(name: str) -> tuple[str, str]:
    return (f"<!-- {name}: begin (written by the script; edits here are overwritten) -->",
            f"<!-- {name}: end -->")


def write_section(name: str, body: str, path: Path = RESULTS) -> None:
    """Replaces section `name` of `path` by `body`, or appends it where there is none."""
    begin, end = _markers(name)
    text = path.read_text() if path.exists() else ""
    block = f"{begin}\n{body.rstrip()}\n{end}"
    if begin in text and end in text:
        head, rest = text.split(begin, 1)
        text = head + block + rest.split(end, 1)[1]
    else:
        text = f"{text.rstrip()}\n\n{block}\n" if text else f"{block}\n"
    path.write_text(text)
