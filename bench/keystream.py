"""keystream.py — finds, builds if needed, and runs the native ChaCha12 keystream benchmark.

The benchmark binary (tesk_chacha_bench, built from bench/*.cpp with -DTESK_BUILD_BENCH=ON)
prints one line `form <name> <ns per 8 bytes>` for every block-function form this
processor supports, `active <name>` for the form bulk drawing uses, and
`fill_u64 <ns per 8 bytes>` for bulk drawing from a generator, reseeds included. It is
the only place the active form can be read from: the module itself exposes no such thing.
"""

from __future__ import annotations

import shutil
import subprocess
from dataclasses import dataclass, field
from pathlib import Path

BINARY_NAME = "tesk_chacha_bench"


@dataclass
class KeystreamReport:
    """What the native benchmark said, or why it could not be run."""

    forms: dict[str, float] = field(default_factory=dict)  # name -> ns per 8 bytes, as printed
    active: str | None = None
    bulk_ns: float | None = None  # fill_u64: drawing through the generator, reseeds included
    binary: Path | None = None
    problem: str | None = None  # why there are no figures, or why they are suspect

    def widest(self) -> str | None:
        """The form bulk drawing uses: the one named active, else the first listed (the
        benchmark lists the forms best first)."""
        if self.active in self.forms:
            return self.active
        return next(iter(self.forms), None)


def parse(text: str) -> KeystreamReport:
    """Reads `form <name> <ns>` and `fill_u64 <ns>` lines, and the active form from a
    line `active <name>` or from a `form` line that carries the word `active` after its
    number."""
    report = KeystreamReport()
    for line in text.splitlines():
        words = line.split()
        if not words:
            continue
        if words[0] == "form" and len(words) >= 3:
            try:
                report.forms[words[1]] = float(words[2])
            except ValueError:
                continue
            if any(word.strip("()[]*:,") == "active" for word in words[3:]):
                report.active = words[1]
        elif words[0].rstrip(":") in ("active", "active_form") and len(words) >= 2:
            report.active = words[-1]
        elif words[0] == "fill_u64" and len(words) >= 2:
            try:
                report.bulk_ns = float(words[1])
            except ValueError:
                continue
    return report


def fastest(first: KeystreamReport, second: KeystreamReport) -> KeystreamReport:
    """Both runs' figures, each the faster of the two: load from other processes only
    ever slows a run down."""
    if not second.forms:
        return first
    if not first.forms:
        return second
    forms = {name: min(ns, second.forms.get(name, ns)) for name, ns in first.forms.items()}
    bulk = [ns for ns in (first.bulk_ns, second.bulk_ns) if ns is not None]
    return KeystreamReport(forms=forms, active=first.active or second.active,
                           bulk_ns=min(bulk) if bulk else None, binary=first.binary,
                           problem=first.problem or second.problem)


def _build(repo: Path, build_dir: Path) -> str | None:
    """Brings the benchmark in `build_dir` up to date, configuring the directory with the
    benchmark target first; returns a reason on failure."""
    if not list((repo / "bench").glob("*.cpp")):
        return "no native benchmark source in bench/ yet"
    for tool in ("cmake", "ninja"):
        if shutil.which(tool) is None:
            return f"{tool} not found"
    # Configured every time: a directory configured without the option has no such target.
    commands = [["cmake", "-S", str(repo), "-B", str(build_dir), "-G", "Ninja",
                 "-DTESK_BUILD_BENCH=ON"],
                ["ninja", "-C", str(build_dir), "-j2", BINARY_NAME]]
    for command in commands:
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            tail = (done.stdout + done.stderr).strip().splitlines()[-5:]
            return f"`{' '.join(command[:2])}` failed:\n    " + "\n    ".join(tail)
    return None


def locate(repo: Path, module_dir: Path | None, build_dir: Path) -> tuple[Path | None, str | None]:
    """The benchmark beside the imported module's build if that has one; else the one in
    `build_dir`, (re)built there so that it matches the sources. Returns the path and a
    note: why there is no binary, or why a stale one is used."""
    if module_dir is not None and (module_dir / BINARY_NAME).is_file():
        return module_dir / BINARY_NAME, None
    built = build_dir / BINARY_NAME
    problem = _build(repo, build_dir)
    if built.is_file():
        return built, None if problem is None else f"rebuild failed, using the old binary: {problem}"
    return None, problem or f"build produced no {built}"


def run(binary: Path, timeout_seconds: float = 120.0) -> KeystreamReport:
    """Runs the benchmark and parses what it prints."""
    try:
        done = subprocess.run([str(binary)], capture_output=True, text=True, timeout=timeout_seconds)
    except (OSError, subprocess.TimeoutExpired) as error:
        return KeystreamReport(binary=binary, problem=f"could not run {binary}: {error}")
    report = parse(done.stdout)
    report.binary = binary
    if done.returncode != 0:
        report.problem = f"{binary} exited with status {done.returncode}"
    elif not report.forms:
        report.problem = f"{binary} printed no `form <name> <ns>` line"
    return report
