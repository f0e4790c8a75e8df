"""tesk over a chunked volume, computed by Dask worker processes.

A float64 volume is cut into chunks that live on the workers of a cluster; here a
LocalCluster of worker processes on this machine, and the same code runs unchanged on a
cluster of many machines. Three recipes, each checked against NumPy on the same data:

- the global [max, min]: tesk.max_min on every chunk, then the chunks' results combined
  by the same rules through dask.array.reduction;
- a perturbed copy: every chunk copied, then perturbed in place by its worker, each worker
  thread drawing from its own generator, so that no two chunks share draws;
- an identity matrix assembled from blocks, tesk.eye on the diagonal.

Every tesk call holds the interpreter lock, so threads of one worker would take turns:
the parallelism comes from worker processes, one thread each.

    python examples/dask_volume.py [--size 96] [--chunk 32] [--workers 2]
"""

from __future__ import annotations

import argparse
from typing import Any

import dask.array as da
import numpy as np
import numpy.typing as npt
from distributed import Client, LocalCluster

import tesk

Float64s = npt.NDArray[np.float64]
Records = npt.NDArray[np.void]

# The result of one chunk, and of a group of chunks, in a reduction.
EXTREMES = np.dtype([("max", np.float64), ("min", np.float64)])
# Two quiet NaNs that differ only in their payload.
NAN_PAYLOADS = np.array([0x7FF8000000000001, 0x7FF8000000000002], dtype=np.uint64).view(np.float64)


def chunk_extremes(
    block: Float64s, axis: Any = None, keepdims: bool = True, computing_meta: bool = False
) -> Records:
    """[max, min] of one chunk, kept with one element per reduced axis."""
    extremes = np.empty((1,) * block.ndim, dtype=EXTREMES)
    if computing_meta:  # Dask asks for the kind of result, with no data
        return extremes
    extremes["max"], extremes["min"] = tesk.max_min(block)
    return extremes


def combine_extremes(
    parts: Records, axis: Any = None, keepdims: bool = False, computing_meta: bool = False
) -> Records:
    """Combines chunk results, taken in row-major order of the chunks, with tesk's own
    rules: of equal maxima the later one wins and any NaN wins; of equal minima the
    earlier one wins, and NaN only when every part is NaN."""
    extremes = np.empty((1,) * parts.ndim if keepdims else (), dtype=EXTREMES)
    if computing_meta:  # Dask asks for the kind of result, with no data
        return extremes
    extremes["max"] = tesk.max_min(parts["max"])[0]
    extremes["min"] = tesk.max_min(parts["min"])[1]
    return extremes


def global_max_min(volume: da.Array) -> tuple[float, float]:
    extremes = da.reduction(
        volume,
        chunk=chunk_extremes,
        combine=combine_extremes,
        aggregate=combine_extremes,
        dtype=EXTREMES,
        concatenate=True,
        keepdims=True,
        meta=np.empty((0,) * volume.ndim, dtype=EXTREMES),
    ).compute()
    return float(extremes["max"].item()), float(extremes["min"].item())


def perturbed_copy(block: Float64s, scaling: float) -> Float64s:
    """2 * block + noise, in a copy: tesk perturbs in place, and a chunk handed to a
    task may be shared with others or read-only."""
    copy = np.array(block, dtype=np.float64, order="C")
    tesk.double_and_random_perturbation(copy, scaling)
    return copy


def identity_block(block: Float64s, block_info: Any = None) -> Float64s:
    row, column = block_info[None]["chunk-location"]
    return tesk.eye(block.shape[0]) if row == column else np.zeros(block.shape)


def check(condition: bool, what: str) -> None:
    if not condition:
        raise SystemExit(f"check failed: {what}")
    print(f"  ok: {what}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=96, help="edge of the cubic volume")
    parser.add_argument("--chunk", type=int, default=32, help="edge of a cubic chunk")
    parser.add_argument("--workers", type=int, default=2, help="worker processes")
    args = parser.parse_args()
    n, c = args.size, args.chunk

    with LocalCluster(
        n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster, Client(cluster):
        print(f"{args.workers} worker processes, one thread each; volume {n}^3, chunks {c}^3")
        volume = da.random.default_rng(2024).standard_normal((n, n, n), chunks=c).persist()
        data = volume.compute()  # the same data, whole, for the NumPy checks

        print("global [max, min] through dask.array.reduction with tesk.max_min per chunk:")
        expected = (float(data.max()), float(data.min()))
        for chunks in ((c, c, c), (c, n, n), (n, n, c)):
            found = global_max_min(volume.rechunk(chunks))
            check(found == expected, f"chunks {chunks}: {found} equals NumPy's {expected}")
        # Ties decide the sign of a zero and the payload of a NaN. Chunks along the first
        # axis only are visited in the order of the elements themselves, so there the
        # combined result is the whole volume's, bit for bit.
        ties = np.where(data > 0, 0.0, -0.0)
        ties[0, 1, 2], ties[-1, 1, 2] = NAN_PAYLOADS
        whole = tesk.max_min(ties)
        found = global_max_min(da.from_array(ties, chunks=(c, n, n)))
        check(np.array(found).tobytes() == whole.tobytes(),
              "signed zeros and two NaN payloads, first-axis chunks: bit for bit")

        print("perturbed copy through map_blocks:")
        scaling = 0.1
        perturbed = volume.map_blocks(perturbed_copy, scaling, dtype=np.float64).compute()
        check(data.flags.writeable and np.array_equal(volume.compute(), data),
              "the source volume is unchanged")
        check(bool(np.all(np.abs(perturbed - 2 * data) <= scaling / 2)),
              f"every element within {scaling / 2} of twice its value")
        # On zeros the draws show bare: (u - 0.5) * 1.0 is exact, so equal values would
        # mean equal draws.
        zeros = da.zeros((n, n, n), chunks=c)
        noise = zeros.map_blocks(perturbed_copy, 1.0, dtype=np.float64).compute()
        blocks = zeros.numblocks[0] * zeros.numblocks[1] * zeros.numblocks[2]
        check(np.unique(noise).size == noise.size,
              f"{noise.size:,} draws over {blocks} chunks, no value drawn twice")

        print("identity from blocks, tesk.eye on the diagonal:")
        identity = da.zeros((n, n), chunks=c).map_blocks(identity_block, dtype=np.float64)
        check(np.array_equal(identity.compute(), np.eye(n)), f"equals np.eye({n})")


if __name__ == "__main__":
    main()
