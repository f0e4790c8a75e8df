"""anchors.py — OpenSSL's ChaCha20 as an outside anchor, with and without AVX-512.

OpenSSL's `speed` command and tesk's perturbation at 1e6 elements take turns, round after
round, each in its widest form, and with AVX-512 off in both (OPENSSL_ia32cap for OpenSSL,
TESK_DISABLE_CPU_FEATURES for tesk); both are timed in user CPU time, as `openssl speed`
does by default, and each ratio is the median of the per-round ratios. tesk runs in a
worker process per setting that stays up for the whole measurement. The perturbation
against NumPy is also measured once more in a process with AVX-512 off.
"""

from __future__ import annotations

import json
import os
import shutil
import statistics
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
OPENSSL_BLOCK_BYTES = 8192
PERTURBATION_ELEMENTS = 10**6
# OPENSSL_ia32cap ":~0x80010000" clears the AVX-512F and AVX-512VL bits of the second
# capability word, which leaves OpenSSL its AVX2 code: what a machine without AVX-512 runs,
# and so the fair anchor for tesk's AVX2 forms. (Clearing AVX-512F alone would leave its
# AVX-512VL code, with 32 registers and one-instruction rotations, on 256-bit registers.)
SETTINGS = {
    "widest": ({}, {}),
    "AVX-512 off": ({"OPENSSL_ia32cap": ":~0x80010000"}, {"TESK_DISABLE_CPU_FEATURES": "AVX512F"}),
}

# Runs the perturbation for the number of wall-clock seconds read from each input line,
# and answers with user CPU time per element in ns: `openssl speed` also divides by user
# CPU time, which time stolen by other processes does not inflate.
WORKER = """
import resource, sys, time
import numpy as np
import tesk
x = np.random.default_rng(3).standard_normal({elements})
for line in sys.stdin:
    seconds = float(line)
    tesk.double_and_random_perturbation(x, 0.1)
    calls, start = 0, time.perf_counter()
    user = resource.getrusage(resource.RUSAGE_SELF).ru_utime
    while time.perf_counter() - start < seconds:
        tesk.double_and_random_perturbation(x, 0.1)
        calls += 1
    user = resource.getrusage(resource.RUSAGE_SELF).ru_utime - user
    print(user / calls / {elements} * 1e9, flush=True)
"""

# Runs compare.py's perturbation cases at the given sizes in this process and prints
# their comparisons as JSON.
NUMPY_ROWS = """
import dataclasses, json, sys
sys.path.insert(0, {bench!r})
import compare, interleaved
cases = [c for c in compare.perturbation_cases() if c.elements in {sizes!r}]
pacing = interleaved.QUICK_PACING if {quick!r} else interleaved.DEFAULT_PACING
rows = compare.measure(cases, pacing, avx512=False)
print(json.dumps([[row.case.elements, dataclasses.asdict(row.comparison)] for row in rows]))
"""


@dataclass
class AnchorReport:
    """Per setting: OpenSSL's ns per 8 bytes and tesk's ns per element, round by round."""

    openssl_ns: dict[str, list[float]] = field(default_factory=dict)
    tesk_ns: dict[str, list[float]] = field(default_factory=dict)
    problem: str | None = None

    def ratio(self, setting: str) -> float:
        """Median over rounds of tesk ns per element / OpenSSL ns per 8 bytes."""
        pairs = zip(self.tesk_ns[setting], self.openssl_ns[setting])
        return statistics.median(tesk / openssl for tesk, openssl in pairs)


def parse_openssl_speed(text: str, block: int = OPENSSL_BLOCK_BYTES) -> float | None:
    """ns per 8 bytes from the `block bytes` column of `openssl speed` (1000s of bytes per
    second, with a trailing k), or None when there is no such column."""
    lines = text.splitlines()
    for index, line in enumerate(lines):
        words = line.split()
        if words[:1] != ["type"] or str(block) not in words:
            continue
        column = [word for word in words[1:] if word != "bytes"].index(str(block))
        for data in lines[index + 1:]:
            values = [word for word in data.split() if word.endswith("k")]
            if len(values) > column:
                return 8e6 / float(values[column][:-1])
    return None


def _openssl_ns(environment: dict) -> float | None:
    command = ["openssl", "speed", "-evp", "chacha20", "-bytes", str(OPENSSL_BLOCK_BYTES),
               "-seconds", "1"]
    done = subprocess.run(command, capture_output=True, text=True, timeout=60,
                          env={**os.environ, **environment})
    return parse_openssl_speed(done.stdout) if done.returncode == 0 else None


def _environment(extra: dict) -> dict:
    """This environment with tesk's importable directory first, `extra` added and no
    inherited TESK_DISABLE_CPU_FEATURES, so that "widest" is what the machine can do."""
    import tesk

    module_dir = str(Path(tesk.__file__).resolve().parent)
    environment = {key: value for key, value in os.environ.items()
                   if key != "TESK_DISABLE_CPU_FEATURES"}
    environment["PYTHONPATH"] = os.pathsep.join(
        filter(None, (module_dir, os.environ.get("PYTHONPATH"))))
    return {**environment, **extra}


def measure(quick: bool) -> AnchorReport:
    """The interleaved rounds: OpenSSL then tesk, widest then AVX-512 off, each round."""
    report = AnchorReport()
    if shutil.which("openssl") is None:
        report.problem = "openssl not found: the OpenSSL anchor rows are skipped"
        return report
    rounds, tesk_seconds = (1, 0.3) if quick else (7, 1.0)
    workers = {
        setting: subprocess.Popen(
            [sys.executable, "-c", WORKER.format(elements=PERTURBATION_ELEMENTS)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=_environment(tesk_env))
        for setting, (_, tesk_env) in SETTINGS.items()
    }
    try:
        for index in range(rounds):
            print(f"[anchors {index + 1}/{rounds}] openssl and tesk, {', '.join(SETTINGS)} ...",
                  file=sys.stderr, flush=True)
            for setting, (openssl_env, _) in SETTINGS.items():
                openssl = _openssl_ns(openssl_env)
                if openssl is None:
                    report.problem = "`openssl speed -evp chacha20` failed or printed no figure"
                    return report
                report.openssl_ns.setdefault(setting, []).append(openssl)
                workers[setting].stdin.write(f"{tesk_seconds}\n")
                workers[setting].stdin.flush()
                report.tesk_ns.setdefault(setting, []).append(
                    float(workers[setting].stdout.readline()))
    finally:
        for worker in workers.values():
            worker.stdin.close()
            worker.wait()
    return report


def numpy_rows_without_avx512(sizes: tuple[int, ...], quick: bool) -> list[tuple[int, dict]]:
    """(elements, comparison fields) of compare.py's perturbation cases at `sizes`, run in
    a process with TESK_DISABLE_CPU_FEATURES=AVX512F."""
    script = NUMPY_ROWS.format(bench=str(BENCH_DIR), sizes=sizes, quick=quick)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          env=_environment({"TESK_DISABLE_CPU_FEATURES": "AVX512F"}))
    if done.returncode != 0:
        sys.exit(f"perturbation rows with AVX-512 off failed:\n{done.stderr}")
    return [(elements, fields) for elements, fields in json.loads(done.stdout)]


def keystream_ratio(forms: dict[str, float], prefix: str,
                    openssl_ns: float) -> tuple[str, float] | None:
    """The fastest keystream form whose name starts with `prefix`, and its ns per 8 bytes
    over OpenSSL's."""
    named = {name: ns for name, ns in forms.items() if name.startswith(prefix)}
    if not named:
        return None
    name = min(named, key=named.get)
    return name, named[name] / openssl_ns


def print_rows(report: AnchorReport, forms: dict[str, float]) -> None:
    """The anchor figures, then the ratio rows with their targets."""
    print("\nOpenSSL ChaCha20 anchor (`openssl speed -evp chacha20 -bytes 8192 -seconds 1`), "
          "interleaved with tesk's perturbation at 1e6:\n")
    if report.problem:
        print(f"- note: {report.problem}")
        return
    for setting in SETTINGS:
        print(f"- {setting:<12} OpenSSL {statistics.median(report.openssl_ns[setting]):.3f} "
              f"ns per 8 bytes, tesk {statistics.median(report.tesk_ns[setting]):.3f} ns per "
              f"element (medians of {len(report.openssl_ns[setting])} rounds)")
    rows = [
        ("perturbation ns/element at 1e6 / OpenSSL ChaCha20 ns per 8 bytes, widest forms",
         report.ratio("widest"), 0.66),
        ("the same with AVX-512 off in both", report.ratio("AVX-512 off"), 0.75),
    ]
    # The keystream benchmark runs apart from these rounds and keeps its fastest figures,
    # so it meets OpenSSL's fastest round.
    for prefix, setting, target in (("avx512", "widest", 0.56), ("avx2", "AVX-512 off", 0.70)):
        found = keystream_ratio(forms, prefix, min(report.openssl_ns[setting]))
        if found is not None:
            rows.append((f"raw keystream ns per 8 bytes ({found[0]}) / OpenSSL ChaCha20 "
                         f"({setting}), fastest rounds", found[1], target))
    print("\n| measurement | ratio | target | result |\n|---|---:|---:|---|")
    for label, ratio, target in rows:
        if target is None:
            print(f"| {label} | {ratio:.3f} | - |  |")
        else:
            print(f"| {label} | {ratio:.3f} | <= {target:.2f} | "
                  f"{'met' if ratio <= target else '**missed**'} |")
