"""Tesk: the preview of an image-registration toolkit.

Four functions; three of them work on NumPy arrays of float64 of any shape and memory
layout. Arrays are never converted: anything that is not a NumPy array (or subclass)
with native-endian float64 elements is refused with a ``TypeError`` that names the
argument. A broken internal invariant raises ``pyo3_runtime.PanicException``, which
derives from ``BaseException``, not ``Exception``.
"""

from typing import SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt

__all__ = ["introduction", "max_min", "double_and_random_perturbation", "eye"]

def introduction() -> str:
    """Return the toolkit's fixed introduction text (a new ``str`` on every call).

    Raises ``TypeError`` if any argument is given.
    """

def max_min(x: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Return a new float64 array ``[largest, smallest]`` of all elements of ``x``.

    ``x`` may have any number of dimensions up to 32 and any strides (negative, zero,
    unaligned); it is read in place, never copied or written, and keeps its writeable
    flag. An ``x`` without elements gives an empty array of shape ``(0,)``.

    Elements are compared by value in logical row-major order: NaN ranks above every
    number, so any NaN makes the maximum NaN (the last NaN met, bit pattern kept); the
    minimum passes NaNs over and is NaN only if every element is. Of equal extremes the
    maximum is the one met last and the minimum the one met first, which decides the
    sign of a zero result: ``[0.0, -0.0]`` gives ``[-0.0, 0.0]``.

    Raises ``TypeError`` (``argument 'x': ...``) for a non-array or a non-float64
    array, and ``pyo3_runtime.PanicException`` for more than 32 dimensions.
    """

def double_and_random_perturbation(
    x: npt.NDArray[np.float64], perturbation_scaling: SupportsFloat | SupportsIndex
) -> None:
    """Rewrite every element ``v`` of ``x`` in place as ``(u - 0.5) * s + 2 * v``.

    ``s`` is ``float(perturbation_scaling)`` and ``u`` a fresh uniform draw from
    [0, 1) in steps of 2**-53 for each element, taken in logical row-major order from
    the calling thread's ChaCha12 generator (seeded from the operating system, reseeded
    every 64 KiB of output and after ``fork``; not reproducible by design). Each step is
    one IEEE-754 double operation, without fused multiply-add. With ``s == 0.0`` every
    element becomes exactly ``2 * v`` (a ``-0.0`` may come out as ``0.0``). Elements
    that share memory (zero strides) are updated once per logical element.

    Raises ``TypeError`` naming ``x`` or ``perturbation_scaling`` for arguments of the
    wrong type, ``OverflowError`` for an int too large for a float, ``ValueError``
    (``argument 'x': assignment destination is read-only``) for an array that is not
    writeable, and ``pyo3_runtime.PanicException`` for more than 32 dimensions. On any
    failure ``x`` is left unchanged.
    """

def eye(size: SupportsIndex) -> npt.NDArray[np.float64]:
    """Return a new C-contiguous ``size`` x ``size`` float64 identity matrix.

    ``size`` is any object with ``__index__`` (``int``, ``bool``, NumPy integers).
    Raises ``TypeError`` (``argument 'size': ...``) for other types, ``OverflowError``
    for a negative size or one of 2**64 or more, ``MemoryError`` when the matrix cannot
    be allocated, and ``pyo3_runtime.PanicException`` when ``size * size * 8`` bytes
    overflow 64 bits.
    """
