"""interleaved.py — times two statements against each other, alternating batches in one run.

Both statements run in the same process, one batch after the other (NumPy, tesk, NumPy,
tesk, ...), so that drift in clock speed, cache state or load from other processes lands
on both sides of every round alike. The reported ratio is the median of the per-round
ratios, which a single disturbed round cannot move.
"""

from __future__ import annotations

import statistics
import timeit
from dataclasses import dataclass


@dataclass(frozen=True)
class Pacing:
    """How long a batch and a whole comparison may take."""

    batch_seconds: float  # wall time one batch of calls aims for
    budget_seconds: float  # wall time all rounds of one comparison aim for
    min_rounds: int
    max_rounds: int


DEFAULT_PACING = Pacing(batch_seconds=3e-3, budget_seconds=6.0, min_rounds=15, max_rounds=151)
QUICK_PACING = Pacing(batch_seconds=1e-3, budget_seconds=0.3, min_rounds=5, max_rounds=15)


@dataclass(frozen=True)
class Comparison:
    """The outcome of one interleaved comparison; times are medians per call."""

    reference_ns: float
    candidate_ns: float
    candidate_best_ns: float  # fastest round: the closest to an undisturbed machine
    ratio: float  # median over rounds of candidate time / reference time
    rounds: int
    calls_per_batch: int


def _seconds_per_call(timer: timeit.Timer) -> float:
    """A first estimate of one call's cost: doubles the call count until 0.2 ms pass."""
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= 2e-4 or number >= 1 << 20:
            return elapsed / number
        number *= 2


def compare(reference: str, candidate: str, namespace: dict, pacing: Pacing) -> Comparison:
    """Times `candidate` against `reference`, both executed in `namespace`.

    Every batch runs the same number of calls, chosen so that the slower statement's
    batch takes about `pacing.batch_seconds`; a call slower than that makes a batch of one.
    """
    reference_timer = timeit.Timer(reference, globals=namespace)
    candidate_timer = timeit.Timer(candidate, globals=namespace)
    # Warm up: first-use costs (NumPy's API table, the generator's seeding, page faults
    # of fresh buffers) belong to neither side's steady state.
    reference_timer.timeit(3)
    candidate_timer.timeit(3)

    slower = max(_seconds_per_call(reference_timer), _seconds_per_call(candidate_timer))
    calls = max(1, round(pacing.batch_seconds / slower))
    round_seconds = calls * 2 * slower
    rounds = int(pacing.budget_seconds / round_seconds)
    rounds = min(pacing.max_rounds, max(pacing.min_rounds, rounds)) | 1  # odd: a true median

    reference_times, candidate_times, ratios = [], [], []
    for _ in range(rounds):
        reference_seconds = reference_timer.timeit(calls)
        candidate_seconds = candidate_timer.timeit(calls)
        reference_times.append(reference_seconds)
        candidate_times.append(candidate_seconds)
        ratios.append(candidate_seconds / reference_seconds)

    return Comparison(
        reference_ns=statistics.median(reference_times) / calls * 1e9,
        candidate_ns=statistics.median(candidate_times) / calls * 1e9,
        candidate_best_ns=min(candidate_times) / calls * 1e9,
        ratio=statistics.median(ratios),
        rounds=rounds,
        calls_per_batch=calls,
    )
