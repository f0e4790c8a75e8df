"""call_cost.py — instructions per call on tiny inputs, beside NumPy's cheapest calls.

Run from the repository with the module importable, for example from a build directory:

    PYTHONPATH=build/<dir> python bench/call_cost.py [--jobs N]

valgrind's callgrind counts the instructions a process executes, the same on every run
however loaded the machine is. Every statement runs in two processes under callgrind: one
makes 1,000 warm-up calls, the other the same warm-up and then 20,000 calls more. The
difference divided by 20,000 is the statement's count per call, loop included; the same
count for calling a lambda that does nothing is subtracted, which leaves the call itself.
NumPy's BLAS threads are held to one, whose spinning would otherwise land in the counts.
Each row sets a tesk call against the NumPy call that does the least comparable work.
valgrind emulates no AVX-512, so tesk runs its AVX2 forms here. Without valgrind the
script says so and measures nothing.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path

WARMUP_CALLS = 1_000
COUNTED_CALLS = 20_000
BASELINE = "noop()"

SCRIPT = """
import numpy as np
import tesk
x10 = np.arange(10.0)
y10 = np.ones(10)
noop = lambda: None
def run(calls):
    for _ in range(calls):
        {statement}
run({warmup})
run({counted})
"""


@dataclass(frozen=True)
class CallCostCase:
    """A tesk call, the NumPy call it is set against, and the target of their ratio."""

    candidate: str
    reference: str
    target: float


CASES = (
    CallCostCase("tesk.max_min(x10)", "np.empty(2)", 1.20),
    CallCostCase("tesk.eye(1)", "np.empty((1, 1))", 1.10),
    CallCostCase("tesk.double_and_random_perturbation(y10, 0.0)", "np.empty(2)", 0.80),
    CallCostCase("tesk.introduction()", "np.empty(2)", 0.60),
)


@dataclass(frozen=True)
class CallCostRow:
    case: CallCostCase
    candidate: float  # instructions per call, the empty lambda's subtracted
    reference: float

    @property
    def ratio(self) -> float:
        return self.candidate / self.reference


def available() -> bool:
    return shutil.which("valgrind") is not None


def _instructions(statement: str, counted: int, out: Path) -> int:
    """Instructions of one process that runs the warm-up and then `counted` calls."""
    script = SCRIPT.format(statement=statement, warmup=WARMUP_CALLS, counted=counted)
    # Hash randomisation would change dictionary work between the two processes, and
    # NumPy's BLAS threads would spin for as long as they happen to be scheduled.
    env = dict(os.environ, PYTHONHASHSEED="0", OPENBLAS_NUM_THREADS="1",
               OMP_NUM_THREADS="1")
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                    sys.executable, "-c", script],
                   check=True, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    match = re.search(r"^(?:summary|totals):\s*(\d+)", out.read_text(), re.MULTILINE)
    if match is None:
        raise RuntimeError(f"no instruction total in {out}")
    return int(match.group(1))


def measure(jobs: int = 1) -> list[CallCostRow]:
    """Instructions per call of every case's two statements; two callgrind runs each."""
    statements = sorted({BASELINE} | {s for c in CASES for s in (c.candidate, c.reference)})
    runs = [(s, n) for s in statements for n in (0, COUNTED_CALLS)]
    print(f"counting instructions per call: {len(runs)} runs under callgrind ...",
          file=sys.stderr, flush=True)
    with tempfile.TemporaryDirectory() as directory, ThreadPoolExecutor(jobs) as pool:
        outputs = [Path(directory) / f"callgrind.{i}.out" for i in range(len(runs))]
        totals = dict(zip(runs, pool.map(lambda run, out: _instructions(*run, out), runs,
                                         outputs)))

    def per_call(statement: str) -> float:
        return (totals[statement, COUNTED_CALLS] - totals[statement, 0]) / COUNTED_CALLS

    baseline = per_call(BASELINE)
    return [CallCostRow(case, per_call(case.candidate) - baseline,
                        per_call(case.reference) - baseline) for case in CASES]


def print_rows(rows: list[CallCostRow]) -> None:
    print("| call | instructions | NumPy reference | instructions | ratio | target | result |")
    print("|---|---:|---|---:|---:|---:|---|")
    for row in rows:
        verdict = "met" if row.ratio <= row.case.target else "**missed**"
        print(f"| `{row.case.candidate}` | {row.candidate:,.0f} | `{row.case.reference}` | "
              f"{row.reference:,.0f} | {row.ratio:.2f} | <= {row.case.target:.2f} | {verdict} |")


def measure_if_available(jobs: int = 1) -> list[CallCostRow] | None:
    """The rows, or None without valgrind."""
    return measure(jobs) if available() else None


def report(rows: list[CallCostRow] | None) -> None:
    """Prints the table, or that it was skipped."""
    print(f"\nInstructions per call (callgrind; {COUNTED_CALLS:,} calls after {WARMUP_CALLS:,} "
          f"warm-up, an empty lambda's count subtracted; x10 = np.arange(10.0), "
          f"y10 = np.ones(10); AVX2 forms, as valgrind runs no AVX-512):\n")
    if rows is None:
        print("skipped: valgrind is not installed")
        return
    print_rows(rows)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--jobs", type=int, default=1,
                        help="callgrind processes at a time (default 1)")
    args = parser.parse_args()
    report(measure_if_available(args.jobs))


if __name__ == "__main__":
    main()
