"""Float64 arrays in many memory layouts, and the logical order NumPy gives them.

Each layout builds an owner array, fills the float64 memory that the view can
reach, and returns (owner, view). Tests compare the owner's raw bytes, so writes
outside the view's elements show up as well.
"""

import numpy as np
from numpy.lib.stride_tricks import as_strided

PACKED = np.dtype([("tag", "u1"), ("value", "<f8")])  # itemsize 9: unaligned float64 field


def _plain(shape, pick):
    def make(fill):
        owner = np.empty(shape)
        owner.reshape(-1)[...] = fill(owner.size)
        return owner, pick(owner)

    return make


def _packed(shape, pick):
    def make(fill):
        owner = np.zeros(shape, dtype=PACKED)
        owner["tag"] = 0xA5
        field = owner["value"]
        field[...] = np.asarray(fill(field.size)).reshape(shape)
        return owner, pick(field)

    return make


def _unaligned(shape, pick):
    def make(fill):
        count = int(np.prod(shape))
        owner = np.zeros(8 * count + 1, dtype=np.uint8)
        storage = owner[1:].view(np.float64).reshape(shape)
        storage.reshape(-1)[...] = fill(count)
        return owner, pick(storage)

    return make


def _strided(count, shape, strides):
    """A view with explicit byte strides over `count` float64 values."""

    def make(fill):
        owner = np.empty(count)
        owner[...] = fill(count)
        return owner, as_strided(owner, shape=shape, strides=strides)

    return make


# Layouts whose elements occupy distinct memory: every element can hold its own value.
DISTINCT = {
    "c_1d": _plain((37,), lambda a: a),
    "c_3d": _plain((3, 4, 5), lambda a: a),
    "fortran_2d": _plain((6, 5), lambda a: a.T),
    "transposed_3d": _plain((3, 4, 5), lambda a: a.transpose(2, 0, 1)),
    "reversed_1d": _plain((41,), lambda a: a[::-1]),
    "reversed_both_2d": _plain((7, 9), lambda a: a[::-2, ::-3]),
    "reversed_fortran_2d": _plain((9, 11), lambda a: a.T[::-1, 2:]),
    "column_slice_2d": _plain((6, 10), lambda a: a[:, 2:7]),
    "step_slice_1d": _plain((60,), lambda a: a[3::4]),
    "zero_d": _plain((), lambda a: a),
    "one_element_axes": _plain((4, 1, 3, 1), lambda a: a[:, :, ::2]),
    "length_one_odd_stride": _strided(4, (4, 1), (8, 12345)),
    "six_axes_c": _plain((2, 3, 1, 2, 2, 3), lambda a: a),
    "six_axes_permuted": _plain((2, 3, 2, 2, 3, 2), lambda a: a.transpose(5, 0, 4, 1, 3, 2)),
    "seven_axes_reversed": _plain((2, 2, 2, 1, 2, 2, 3), lambda a: a[::-1, :, ::-1, :, :, ::-1]),
    "packed_field_1d": _packed((23,), lambda f: f),
    "packed_field_2d_transposed": _packed((5, 7), lambda f: f.T),
    "packed_field_reversed": _packed((19,), lambda f: f[::-2]),
    "unaligned_contiguous": _unaligned((45,), lambda a: a),
    "unaligned_2d_fortran": _unaligned((6, 7), lambda a: a.T),
    "long_c": _plain((5000,), lambda a: a),
    "long_fortran": _plain((70, 90), lambda a: a.T),
}

# Layouts where several logical elements share memory (stride 0, overlapping strides).
SHARED = {
    "broadcast_rows": _strided(4, (3, 4), (0, 8)),
    "broadcast_columns": _strided(3, (3, 4), (8, 0)),
    "overlapping_half_stride": _strided(12, (20,), (4,)),
    "repeated_scalar": _strided(1, (5,), (0,)),
}

ALL = {**DISTINCT, **SHARED}


def logical_indices(view):
    """Every index of the view in logical row-major order, as NumPy defines it."""
    return list(np.ndindex(view.shape))


def logical_values(view):
    """The view's elements in logical row-major order, read one by one."""
    return [view[index] for index in logical_indices(view)]


def distinct_values(count, start=1.0):
    """Nonzero, exactly representable, pairwise different values."""
    return start + np.arange(count) * 0.25
