"""builds.py — the portable wheel's module beside the usual build's, in one run.

    python bench/builds.py --usual DIR --portable DIR [--markdown]

Each DIR is a directory from which `import tesk` takes that build's module: a CMake build
tree (build/py3.11 of tools/test_all.sh, build/portable-py3.11/tree of tools/build_wheel.sh)
or a virtual environment's site-packages. Two builds of one module cannot share a process,
so each runs in a worker process of its own that stays up for the whole run, and every
round times OpenSSL's ChaCha20 (`openssl speed`, as in anchors.py), then each build's
perturbation at 1e6 elements, then each build's max_min at 1e6 elements, all in user CPU
time, which time stolen by other processes does not inflate. A ratio is the median of the
per-round ratios, so load that slows a whole round hardly moves it. Both builds run their
widest forms. call_cost.py's instruction counts close the report, once per build.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import anchors
import call_cost
import results_file

ELEMENTS = 10**6
FUNCTIONS = ("perturbation", "max_min")

# Answers each "<function> <seconds>" line with the user CPU time of one call in ns.
WORKER = """
import resource, sys, time
import numpy as np
import tesk
x, y = np.random.default_rng(3).standard_normal((2, {elements}))
calls = {{"perturbation": lambda: tesk.double_and_random_perturbation(x, 0.1),
          "max_min": lambda: tesk.max_min(y)}}
for line in sys.stdin:
    name, seconds = line.split()
    call = calls[name]
    call()
    count, start = 0, time.perf_counter()
    user = resource.getrusage(resource.RUSAGE_SELF).ru_utime
    while time.perf_counter() - start < float(seconds):
        call()
        count += 1
    user = resource.getrusage(resource.RUSAGE_SELF).ru_utime - user
    print(user / count * 1e9, flush=True)
"""


def _environment(module_dir: Path) -> dict:
    environment = {key: value for key, value in os.environ.items()
                   if key not in ("TESK_DISABLE_CPU_FEATURES", "PYTHONPATH")}
    environment["PYTHONPATH"] = str(module_dir)
    return environment


def measure_rounds(builds: dict[str, Path], rounds: int, seconds: float) -> dict:
    """ns per element, round by round: "openssl" and (build, function) for each build."""
    found: dict = {"openssl": []}
    workers = {
        name: subprocess.Popen([sys.executable, "-c", WORKER.format(elements=ELEMENTS)],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                               env=_environment(directory))
        for name, directory in builds.items()
    }
    try:
        for index in range(rounds):
            print(f"[round {index + 1}/{rounds}] openssl, then each build ...", file=sys.stderr,
                  flush=True)
            openssl = anchors._openssl_ns({})
            if openssl is None:
                sys.exit("`openssl speed -evp chacha20` failed or printed no figure")
            found["openssl"].append(openssl)
            for function in FUNCTIONS:
                for name, worker in workers.items():
                    worker.stdin.write(f"{function} {seconds}\n")
                    worker.stdin.flush()
                    found.setdefault((name, function), []).append(
                        float(worker.stdout.readline()) / ELEMENTS)
    finally:
        for worker in workers.values():
            worker.stdin.close()
            worker.wait()
    return found


def call_costs(directory: Path) -> list[call_cost.CallCostRow] | None:
    if not call_cost.available():
        return None
    saved = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = str(directory)
    try:
        return call_cost.measure(jobs=2)
    finally:
        if saved is None:
            del os.environ["PYTHONPATH"]
        else:
            os.environ["PYTHONPATH"] = saved


def print_report(builds: dict[str, Path], found: dict, costs: dict, load: tuple) -> None:
    usual, portable = builds
    print(f"Run of {time.strftime('%Y-%m-%d')}: {results_file.processor()}; "
          f"usual build: {results_file.shown_path(builds[usual])}; portable wheel's module: "
          f"{results_file.shown_path(builds[portable])}; {len(found['openssl'])} rounds; "
          f"load average {load[0]:.2f} before, {load[1]:.2f} after.\n")

    def median_ratio(numerators, denominators):
        return statistics.median(a / b for a, b in zip(numerators, denominators))

    print("| measurement | usual build | portable wheel | portable / usual |")
    print("|---|---:|---:|---:|")
    for function in FUNCTIONS:
        a, b = found[usual, function], found[portable, function]
        print(f"| {function} at 1e6, ns per element (user CPU, median) | "
              f"{statistics.median(a):.3f} | {statistics.median(b):.3f} | "
              f"{median_ratio(b, a):.3f} |")
        if function == "perturbation":
            to_usual = median_ratio(a, found["openssl"])
            to_portable = median_ratio(b, found["openssl"])
            print(f"| perturbation at 1e6 ns per element / OpenSSL ChaCha20 ns per 8 bytes "
                  f"({statistics.median(found['openssl']):.3f}) | {to_usual:.3f} | "
                  f"{to_portable:.3f} | {to_portable / to_usual:.3f} |")
    if costs[usual] is None or costs[portable] is None:
        print("\ninstructions per call skipped: valgrind is not installed")
        return
    print(f"\nInstructions per call (call_cost.py: callgrind, {call_cost.COUNTED_CALLS:,} calls "
          f"after {call_cost.WARMUP_CALLS:,} warm-up, an empty lambda's count subtracted; AVX2 "
          f"forms):\n")
    print("| call | usual build | portable wheel | portable / usual |")
    print("|---|---:|---:|---:|")
    for a, b in zip(costs[usual], costs[portable]):
        print(f"| `{a.case.candidate}` | {a.candidate:,.0f} | {b.candidate:,.0f} | "
              f"{b.candidate / a.candidate:.3f} |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--usual", type=Path, required=True,
                        help="directory holding the usual build's module")
    parser.add_argument("--portable", type=Path, required=True,
                        help="directory holding the portable wheel's module")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--markdown", action="store_true",
                        help="also write the report into its section of bench/RESULTS.md")
    args = parser.parse_args()
    builds = {"usual": args.usual, "portable": args.portable}
    load_before = os.getloadavg()[0]
    found = measure_rounds(builds, args.rounds, seconds=1.0)
    load_after = os.getloadavg()[0]
    # Counted, not timed: the counts do not depend on the load.
    costs = {name: call_costs(directory) for name, directory in builds.items()}
    report = io.StringIO()
    with contextlib.redirect_stdout(report):
        print_report(builds, found, costs, (load_before, load_after))
    print(report.getvalue(), end="")
    if args.markdown:
        results_file.write_section("builds.py", report.getvalue())
        print(f"\nreport written to {results_file.RESULTS}")


if __name__ == "__main__":
    main()
