"""scale_out.py — what moving from one process to several gives a tesk workload.

Every tesk call holds the interpreter lock from start to end, so threads of one process
take turns; processes run side by side, each with a generator of its own. This times the
same workload with 1 and then 2 (or --workers ...) single-threaded worker processes:

- Dask: the global [max, min] of a perturbed copy of a float64 volume that the workers
  made and keep (persisted), as a dask.array.reduction with the chunk combination of
  examples/dask_volume.py, one compute() per pass;
- concurrent.futures.ProcessPoolExecutor: the same work per chunk, each worker perturbing
  copies of a chunk it made itself, so that only the two-element results travel.

Per chunk, the copy is made, perturbed and searched a cache-sized slab at a time: only the
reading of the chunk then goes to memory, whose bandwidth the cores share, and the rest runs
in each core's own cache, as tesk's work does on chunks that fit there.

A pass that warms every worker up (imports, first allocations, the generators' seeding) is
not timed; then --repeats passes are, and the speed-up is that of the best pass, the one
least disturbed by other work on the machine (the median is shown beside it). The last
line gives the speed-up with 2 worker processes through Dask.

    pip install .[examples]
    python bench/scale_out.py [--gib 8] [--chunk-mib 256] [--repeats 5] [--workers 1 2]
        [--markdown]

--markdown also writes the figures into their section of bench/RESULTS.md.

With 2 cores, the two workers share the machine with the client and the Dask scheduler:
run it on an otherwise idle machine (`uptime` shows the load), and the figure is that of
the cores, not of tesk alone.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import os
import pathlib
import statistics
import sys
import time
from dataclasses import dataclass
from typing import Callable

import dask.array as da
import numpy as np
import numpy.typing as npt
import psutil  # comes with distributed
from distributed import Client, LocalCluster, wait

import tesk

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
import dask_volume  # noqa: E402  (the recipe itself, not a copy of it)

import results_file  # noqa: E402  (beside this script)

Float64s = npt.NDArray[np.float64]
SCALING = 0.1
PLANE = (512, 512)  # the volume is cut along its first axis into chunks of whole planes


@dataclass(frozen=True)
class Timing:
    best: float  # wall seconds of the fastest pass
    median: float  # wall seconds, median pass
    cpu: float  # CPU seconds of this process and all its children, median pass


def cpu_seconds() -> float:
    """CPU time used so far by this process and every process below it (the workers): other
    work on the machine inflates it far less than the wall time, though its contention for
    caches and memory still shows."""
    me = psutil.Process()
    total = 0.0
    for process in [me, *me.children(recursive=True)]:
        try:
            times = process.cpu_times()
        except psutil.NoSuchProcess:
            continue
        total += times.user + times.system
    return total


def timed_passes(run_pass: Callable[[], object], repeats: int) -> Timing:
    run_pass()  # warm-up, not timed
    walls, cpus = [], []
    for _ in range(repeats):
        cpu_begun, begun = cpu_seconds(), time.perf_counter()
        run_pass()
        walls.append(time.perf_counter() - begun)
        cpus.append(cpu_seconds() - cpu_begun)
    return Timing(min(walls), statistics.median(walls), statistics.median(cpus))


# Elements per slab: 256 KiB, which a core's second-level cache holds beside its other data.
SLAB = 32768


def perturbed_extremes(
    block: Float64s, axis: object = None, keepdims: bool = True, computing_meta: bool = False
) -> npt.NDArray[np.void]:
    """[max, min] of 2 * block + noise, kept as one record per reduced axis like
    dask_volume.chunk_extremes; the perturbed copy is made a slab at a time."""
    extremes = np.empty((1,) * block.ndim, dtype=dask_volume.EXTREMES)
    if computing_meta:  # Dask asks for the kind of result, with no data
        return extremes
    values = block.reshape(-1)
    slabs = -(-values.size // SLAB)
    parts = np.empty((slabs, 2))
    buffer = np.empty(SLAB)
    for i in range(slabs):
        copy = buffer[: min(SLAB, values.size - i * SLAB)]
        np.copyto(copy, values[i * SLAB:(i + 1) * SLAB])
        tesk.double_and_random_perturbation(copy, SCALING)
        parts[i] = tesk.max_min(copy)
    # Slabs in order, combined by tesk's own rules, as dask_volume.combine_extremes does.
    extremes["max"] = tesk.max_min(parts[:, 0])[0]
    extremes["min"] = tesk.max_min(parts[:, 1])[1]
    return extremes


def time_dask(workers: int, planes: int, chunk_planes: int, repeats: int) -> Timing:
    with LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster, Client(cluster) as client:
        volume = da.random.default_rng(2024).standard_normal(
            (planes, *PLANE), chunks=(chunk_planes, *PLANE)
        ).persist()
        wait(volume)
        held = sorted(len(keys) for keys in client.has_what().values())
        print(f"  Dask, {workers} worker(s): chunks held per worker {held}", flush=True)

        def run_pass() -> object:
            return da.reduction(
                volume,
                chunk=perturbed_extremes,
                combine=dask_volume.combine_extremes,
                aggregate=dask_volume.combine_extremes,
                dtype=dask_volume.EXTREMES,
                concatenate=True,
                keepdims=True,
                meta=np.empty((0,) * volume.ndim, dtype=dask_volume.EXTREMES),
            ).compute()

        return timed_passes(run_pass, repeats)


# One source chunk per ProcessPoolExecutor worker, made by the worker itself.
_source: Float64s | None = None


def _make_source(planes: int) -> None:
    global _source
    _source = np.random.default_rng(os.getpid()).standard_normal((planes, *PLANE))


def _chunk_extremes(_: int) -> Float64s:
    assert _source is not None
    extremes = perturbed_extremes(_source)
    return np.array([extremes["max"].item(), extremes["min"].item()])


def time_process_pool(workers: int, chunks: int, chunk_planes: int,
                      repeats: int) -> Timing:
    with concurrent.futures.ProcessPoolExecutor(
        max_workers=workers, initializer=_make_source, initargs=(chunk_planes,)
    ) as pool:

        def run_pass() -> Float64s:
            parts = np.array(list(pool.map(_chunk_extremes, range(chunks))))
            return np.array([tesk.max_min(parts[:, 0])[0], tesk.max_min(parts[:, 1])[1]])

        return timed_passes(run_pass, repeats)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--gib", type=float, default=8.0, help="volume size in GiB")
    parser.add_argument("--chunk-mib", type=int, default=256, help="chunk size in MiB")
    parser.add_argument("--repeats", type=int, default=5, help="timed passes per run")
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2],
                        help="worker process counts, the first one the reference")
    parser.add_argument("--markdown", action="store_true",
                        help="also write the figures into their section of bench/RESULTS.md")
    args = parser.parse_args()

    plane_bytes = PLANE[0] * PLANE[1] * 8
    chunk_planes = max(1, args.chunk_mib * 2**20 // plane_bytes)
    chunks = max(1, round(args.gib * 2**30 / (chunk_planes * plane_bytes)))
    planes = chunks * chunk_planes
    print(f"volume {planes}x{PLANE[0]}x{PLANE[1]} float64 ({planes * plane_bytes / 2**30:.2f} "
          f"GiB) in {chunks} chunks of {chunk_planes * plane_bytes / 2**20:.0f} MiB")
    load = os.getloadavg()[0]
    print(f"{results_file.processor()}, {os.cpu_count()} CPUs; load average {load:.2f} at start")
    if load > 0.5:
        print("  the machine is busy: the workers get less than a core each, and the wall "
              "times and speed-ups come out low")
    print(f"per pass and chunk: copy, double_and_random_perturbation, max_min; "
          f"best and median of {args.repeats} passes after a warm-up pass", flush=True)

    # The pool runs first: its workers are forked (Linux's default) from a process that has
    # no Dask threads yet. tesk's generators are fork-safe: a forked child draws afresh.
    tesk.double_and_random_perturbation(np.zeros(1), 1.0)
    results: dict[str, dict[int, Timing]] = {"ProcessPoolExecutor": {}, "Dask": {}}
    for workers in args.workers:
        results["ProcessPoolExecutor"][workers] = time_process_pool(
            workers, chunks, chunk_planes, args.repeats)
    for workers in args.workers:
        results["Dask"][workers] = time_dask(workers, planes, chunk_planes, args.repeats)

    reference = args.workers[0]
    gigabytes = planes * plane_bytes / 1e9
    print(f"\n{'':20} {'workers':>7} {'best s':>7} {'median s':>8} {'GB/s':>6} {'CPU s':>6} "
          f"{'speed-up':>8}")
    for name, runs in results.items():
        for workers, timing in runs.items():
            print(f"{name:20} {workers:7d} {timing.best:7.3f} {timing.median:8.3f} "
                  f"{gigabytes / timing.best:6.2f} {timing.cpu:6.2f} "
                  f"{runs[reference].best / timing.best:7.2f}x")
    print(f"speed-up: of the best pass, against {reference} worker(s). CPU s: of the median "
          f"pass, over every process;\nwhere it hardly grows with the workers, the work divides "
          f"cleanly, and the wall time depends on the cores left free by other work.")
    print(f"load average {os.getloadavg()[0]:.2f} at the end")
    verdict = None
    if {1, 2} <= results["Dask"].keys():
        verdict = (f"speed-up with 2 worker processes (Dask): "
                   f"{results['Dask'][1].best / results['Dask'][2].best:.2f}x")
        print(verdict)
    if args.markdown:
        rows = [f"| {name} | {workers} | {timing.best:.3f} | {timing.median:.3f} | "
                f"{gigabytes / timing.best:.2f} | {timing.cpu:.2f} | "
                f"{runs[reference].best / timing.best:.2f}x |"
                for name, runs in results.items() for workers, timing in runs.items()]
        results_file.write_section("scale_out.py", "\n".join([
            f"Run of {time.strftime('%Y-%m-%d')}: {results_file.processor()}, {os.cpu_count()} CPUs; "
            f"{planes * plane_bytes / 2**30:.2f} GiB in {chunks} chunks of "
            f"{chunk_planes * plane_bytes / 2**20:.0f} MiB; load average {load:.2f} at the "
            f"start, {os.getloadavg()[0]:.2f} at the end.",
            "",
            "| | workers | best s | median s | GB/s | CPU s | speed-up |",
            "|---|---:|---:|---:|---:|---:|---:|",
            *rows,
            "",
            f"`{verdict}`" if verdict else "",
        ]))


if __name__ == "__main__":
    main()
