"""compare.py — tesk against its fastest NumPy equivalents, interleaved in one run.

Run from the repository with the module importable, for example from a build directory:

    PYTHONPATH=build/<dir> python bench/compare.py [--quick] [--markdown] [--output PATH]
        [--chacha-bench PATH]

Every measurement times batches of NumPy calls and batches of tesk calls alternately and
reports the median of the per-round time ratios (tesk / NumPy) against its target. The
native keystream benchmark names the active ChaCha form and gives each form's raw rate,
which bounds how fast the perturbation can be. A PNG of ratio against size is written
for each function. The instructions per call of the smallest calls, counted under callgrind
by call_cost.py, close the report. With --markdown the report also replaces its section of
bench/RESULTS.md.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import platform
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import numpy as np

import anchors
import call_cost
import interleaved
import keystream
import ratio_plot
import results_file

try:
    import tesk
except ImportError as error:
    sys.exit(f"cannot import tesk ({error}); build it and put the build directory on PYTHONPATH")

REPO = Path(__file__).resolve().parent.parent
PERTURBATION_SCALING = 0.1
PERTURBATION_REFERENCE = (
    "r.random(out=buf); np.subtract(buf, 0.5, out=buf); np.multiply(buf, s, out=buf); "
    "np.add(x, x, out=x); np.add(x, buf, out=x)"
)


@dataclass(frozen=True)
class Case:
    """One measurement: a NumPy statement, the tesk statement doing the same work, and
    the data both run on."""

    function: str
    label: str
    reference: str
    candidate: str
    setup: Callable[[], dict]
    elements: int
    size: int  # abscissa in the plot
    size_label: str
    series: str | None  # plot series; None keeps the measurement out of the plot
    target: float | None
    target_without_avx512: float | None = None
    reference_shown: str | None = None  # table text where the statement is too long


@dataclass(frozen=True)
class Row:
    """A measured case."""

    case: Case
    comparison: interleaved.Comparison
    target: float | None

    @property
    def ratio(self) -> float:
        return self.comparison.ratio


def _size_text(n: int) -> str:
    return str(n) if n < 1000 else f"1e{len(str(n)) - 1}"


def _namespace(**values) -> dict:
    return {"np": np, "tesk": tesk, **values}


def max_min_cases() -> list[Case]:
    rng = np.random.default_rng(1)
    pair = "tesk.max_min(x)"
    separate = "np.max(x); np.min(x)"

    def vector(n: int) -> Callable[[], dict]:
        return lambda: _namespace(x=rng.standard_normal(n))

    cases = [
        Case("max_min", "max_min, n = 10", "x.max(); x.min()", pair, vector(10), 10, 10,
             "elements", "C 1-D", 0.15),
        Case("max_min", "max_min, n = 10, per-call floor", "np.empty(2)", pair, vector(10), 10,
             10, "elements", None, 3.0),
    ]
    for n, target in ((10**3, 0.15), (10**5, 0.50), (10**6, 0.55), (10**7, 0.60)):
        cases.append(Case("max_min", f"max_min, n = {_size_text(n)}", separate, pair, vector(n),
                          n, n, "elements", "C 1-D", target))
    cases += [
        Case("max_min", "max_min, Fortran 1000 x 1000", separate, pair,
             lambda: _namespace(x=np.asfortranarray(rng.standard_normal((1000, 1000)))),
             10**6, 10**6, "elements", "Fortran 1000 x 1000", 0.60),
        Case("max_min", "max_min, x[::-1] of 1e6", separate, pair,
             lambda: _namespace(x=rng.standard_normal(10**6)[::-1]),
             10**6, 10**6, "elements", "x[::-1]", 0.30),
    ]
    return cases


def eye_cases() -> list[Case]:
    targets = {1: 0.25, 10: 0.25, 100: 0.80, 1000: 1.05, 4000: 1.05}
    return [
        Case("eye", f"eye({n})", "np.eye(n)", "tesk.eye(n)", lambda n=n: _namespace(n=n),
             n * n, n, "size n (n x n result)", "eye(n)", target)
        for n, target in targets.items()
    ]


def perturbation_cases() -> list[Case]:
    rng = np.random.default_rng(2)
    # x is shared: both sides double it in place every call, so it saturates at +-inf
    # after about a thousand calls. Infinities cost nothing extra in SIMD arithmetic;
    # the overflow warnings NumPy would raise on the way are silenced in main().

    def data(n: int) -> Callable[[], dict]:
        return lambda: _namespace(x=rng.standard_normal(n), buf=np.empty(n),
                                  r=np.random.default_rng(), s=PERTURBATION_SCALING)

    targets = {10: (0.08, 0.08), 10**3: (0.30, 0.45), 10**5: (None, None),
               10**6: (0.40, 0.55), 10**7: (0.40, 0.55)}
    return [
        Case("perturbation", f"perturbation, n = {_size_text(n)}", PERTURBATION_REFERENCE,
             "tesk.double_and_random_perturbation(x, s)", data(n), n, n, "elements", "C 1-D",
             with_avx512, without, reference_shown="(below)")
        for n, (with_avx512, without) in targets.items()
    ]


def measure(cases: list[Case], pacing: interleaved.Pacing, avx512: bool) -> list[Row]:
    rows = []
    for index, case in enumerate(cases, 1):
        print(f"[{index}/{len(cases)}] {case.label} ...", file=sys.stderr, flush=True)
        namespace = case.setup()
        comparison = interleaved.compare(case.reference, case.candidate, namespace, pacing)
        del namespace
        target = case.target
        if not avx512 and case.target_without_avx512 is not None:
            target = case.target_without_avx512
        rows.append(Row(case, comparison, target))
    return rows


def measure_without_avx512(quick: bool) -> list[Row]:
    """The perturbation cases at 1e3, 1e6 and 1e7 again, in a process where tesk treats
    AVX-512 as absent, against the targets for machines without it."""
    cases = {case.elements: case for case in perturbation_cases()}
    measured = anchors.numpy_rows_without_avx512((10**3, 10**6, 10**7), quick)
    return [Row(cases[elements], interleaved.Comparison(**fields),
                cases[elements].target_without_avx512)
            for elements, fields in measured]


def _verdict(ratio: float, target: float | None) -> str:
    if target is None:
        return ""
    return "met" if ratio <= target else "**missed**"


def _ns(value: float) -> str:
    return f"{value:,.0f}" if value >= 100 else f"{value:.1f}"


def print_table(rows: list[Row], keystream_row: tuple[str, float, float] | None) -> None:
    print("| measurement | NumPy reference | NumPy ns/call | tesk ns/call | tesk ns/element "
          "| ratio | target | result |")
    print("|---|---|---:|---:|---:|---:|---:|---|")
    for row in rows:
        c = row.comparison
        reference = row.case.reference_shown or f"`{row.case.reference}`"
        target = f"<= {row.target:.2f}" if row.target is not None else "-"
        print(f"| {row.case.label} | {reference} | {_ns(c.reference_ns)} | "
              f"{_ns(c.candidate_ns)} | {c.candidate_ns / row.case.elements:.3g} | "
              f"{c.ratio:.3f} | {target} | {_verdict(c.ratio, row.target)} |")
    if keystream_row is not None:
        label, ratio, target = keystream_row
        print(f"| {label} | | | | | {ratio:.3f} | <= {target:.2f} | {_verdict(ratio, target)} |")
    print(f"\nPerturbation reference (r = np.random.default_rng(), buf preallocated, "
          f"s = {PERTURBATION_SCALING}): `{PERTURBATION_REFERENCE}`")


def report_keystream(report: keystream.KeystreamReport, rows: list[Row]):
    """Prints the forms' rates; returns the row comparing the perturbation with the
    widest form, or None when the native benchmark gave nothing."""
    print("ChaCha12 keystream (native benchmark"
          + (f", {results_file.shown_path(report.binary)}" if report.binary else "") + ")")
    if report.problem:
        print(f"    note: {report.problem}")
    print(f"    active form: {report.active or 'not reported by the native benchmark'}")
    for name, ns in report.forms.items():
        marker = "  (active)" if name == report.active else ""
        print(f"    form {name:<9} {ns:6.3f} ns per 8 bytes{marker}")
    if report.bulk_ns is not None:
        print(f"    bulk drawing through the generator (fill_u64, reseeds included): "
              f"{report.bulk_ns:.3f} ns per 8 bytes")
    widest = report.widest()
    per_element = [row for row in rows
                   if row.case.function == "perturbation" and row.case.elements == 10**6]
    if widest is None or not per_element:
        return None
    # Fastest against fastest: the keystream figures are best-of-rounds too, and the two
    # are measured at different moments, so medians would compare different loads.
    ns_per_element = per_element[0].comparison.candidate_best_ns / 10**6
    ratio = ns_per_element / report.forms[widest]
    print(f"    perturbation at 1e6, fastest round: {ns_per_element:.3f} ns per element = "
          f"{ratio:.2f} x the {widest} keystream's {report.forms[widest]:.3f} ns per 8 bytes")
    return (f"perturbation ns/element at 1e6 / {widest} keystream ns per 8 bytes (fastest rounds)",
            ratio, 1.3)


def _has_avx512(report: keystream.KeystreamReport) -> bool:
    if report.active is not None:
        return report.active.startswith("avx512")
    try:
        return " avx512f" in Path("/proc/cpuinfo").read_text()
    except OSError:
        return False


def print_report(rows: list[Row], rows_without_avx512: list[Row], anchor: anchors.AnchorReport,
                 stream: keystream.KeystreamReport, avx512: bool, quick: bool,
                 load_before: float, call_rows: list[call_cost.CallCostRow] | None) -> None:
    """Everything measured, as Markdown."""
    print(f"Run of {time.strftime('%Y-%m-%d')}: NumPy {np.__version__}, Python "
          f"{platform.python_version()}, {results_file.processor()}"
          f"{'' if avx512 else ' (no AVX-512: the perturbation targets for such machines apply)'}; "
          f"{'quick run (smoke test only)' if quick else 'full run'}; load average "
          f"{load_before:.2f} before, {os.getloadavg()[0]:.2f} after.\n")
    print("```")
    keystream_row = report_keystream(stream, rows)
    print("```\n")
    print_table(rows, keystream_row)
    print("\nPerturbation with AVX-512 off (TESK_DISABLE_CPU_FEATURES=AVX512F):\n")
    print_table(rows_without_avx512, None)
    anchors.print_rows(anchor, stream.forms)
    call_cost.report(call_rows)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="few short rounds: a smoke test, not a measurement")
    parser.add_argument("--output", type=Path, default=REPO / "bench" / "ratios.png",
                        help="where the plot goes (default: bench/ratios.png)")
    parser.add_argument("--markdown", action="store_true",
                        help="also write the report into its section of bench/RESULTS.md")
    parser.add_argument("--chacha-bench", type=Path, default=None,
                        help="path of tesk_chacha_bench (default: beside the imported module's "
                             "build, else built into build/bench)")
    args = parser.parse_args()
    np.seterr(all="ignore")

    if args.chacha_bench is not None:
        binary, note = args.chacha_bench, None
    else:
        binary, note = keystream.locate(REPO, Path(tesk.__file__).resolve().parent,
                                        REPO / "build" / "bench")
    print(f"tesk {results_file.shown_path(tesk.__file__)}")
    load_before = os.getloadavg()[0]
    # The native benchmark runs alone, never beside the module's timings: once before
    # them and, unless quick, once after, keeping each form's faster figure.
    stream = keystream.run(binary) if binary is not None else keystream.KeystreamReport()
    stream.problem = stream.problem or note

    pacing = interleaved.QUICK_PACING if args.quick else interleaved.DEFAULT_PACING
    avx512 = _has_avx512(stream)
    rows = measure(max_min_cases() + eye_cases() + perturbation_cases(), pacing, avx512)
    anchor = anchors.measure(args.quick)
    rows_without_avx512 = measure_without_avx512(args.quick)
    if binary is not None and not args.quick:
        stream = keystream.fastest(stream, keystream.run(binary))
    # Counted, not timed: valgrind's counts do not depend on the load, so this runs last
    # and on both cores.
    call_rows = call_cost.measure_if_available(jobs=2)

    report = io.StringIO()
    with contextlib.redirect_stdout(report):
        print_report(rows, rows_without_avx512, anchor, stream, avx512, args.quick, load_before,
                     call_rows)
    print(report.getvalue(), end="")
    if args.markdown:
        results_file.write_section("compare.py", report.getvalue())
        print(f"\nreport written to {results_file.RESULTS}")
    try:
        ratio_plot.draw(rows, args.output)
    except ImportError:
        print("\nplot skipped: matplotlib is not installed")
    else:
        print(f"\nplot: {args.output}")


if __name__ == "__main__":
    main()
