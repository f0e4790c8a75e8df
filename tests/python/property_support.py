"""Strategies and reference models shared by the property-based tests (test_prop_*.py).

Arrays are built over a byte buffer with explicit byte strides, so one strategy reaches
every layout NumPy can express: C and Fortran order, steps, reversed axes, zero strides,
strides that are not multiples of 8, unaligned and overlapping elements. The buffer is
kept with the array, so a test can check every byte around the elements as well.
"""

import dataclasses
import math
import struct

import numpy as np
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import tesk

PROPERTY_SETTINGS = dict(
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


def examples(count):
    """Settings for a property run on `count` examples."""
    return settings(max_examples=count, **PROPERTY_SETTINGS)


def bits_of(value: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def float_of(bits: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def _panic_type():
    try:
        tesk.eye(2**32)
    except BaseException as caught:  # the type is not published anywhere else
        return type(caught)
    raise AssertionError("eye(2**32) did not fail")


def _address_sanitizer_loaded() -> bool:
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


PANIC = _panic_type()
ADDRESS_SANITIZER = _address_sanitizer_loaded()
# Under AddressSanitizer freed memory sits in a quarantine: resident size says nothing.
RESIDENT_SIZE_MEANINGFUL = not ADDRESS_SANITIZER
CONTAINER = type(tesk.eye(1).base)
MAX_DIMS = 32
NUMPY_MAX_DIMS = 64 if np.lib.NumpyVersion(np.__version__) >= "2.0.0" else 32

# Bit patterns where the order of max_min and the doubling have something to get wrong.
SPECIAL_BITS = [
    0x0000000000000000,  # +0.0
    0x8000000000000000,  # -0.0
    0x3FF0000000000000,  # 1.0
    0xBFF0000000000000,  # -1.0
    0x7FF0000000000000,  # +inf
    0xFFF0000000000000,  # -inf
    0x7FF8000000000000,  # quiet NaN
    0xFFF8000000000000,  # negative quiet NaN
    0x7FF8000000000123,  # quiet NaN with payload
    0x7FF0000000000001,  # signalling NaN
    0xFFF4000000000ABC,  # negative signalling NaN with payload
    0x0000000000000001,  # smallest subnormal
    0x8000000000000001,
    0x0010000000000000,  # smallest normal
    0x7FEFFFFFFFFFFFFF,  # largest finite: doubling overflows
    0xFFEFFFFFFFFFFFFF,
]

element_bits = st.one_of(
    st.sampled_from(SPECIAL_BITS),
    st.integers(-3, 3).map(lambda i: bits_of(float(i))),  # ties
    st.floats(width=64).map(bits_of),
    st.integers(0, 2**64 - 1),
)


class Subclass(np.ndarray):
    """A plain ndarray subclass: accepted like an ndarray."""


@dataclasses.dataclass
class Layout:
    array: np.ndarray
    buffer: object  # bytes, bytearray or a uint8 ndarray: all memory the array reaches
    offsets: list  # byte offset of each element in the buffer, in logical row-major order
    description: str

    def buffer_bytes(self) -> bytes:
        return bytes(self.buffer)

    def partially_overlapping(self) -> bool:
        """Whether two elements share some bytes without being the same element."""
        starts = sorted(set(self.offsets))
        return any(b - a < 8 for a, b in zip(starts, starts[1:]))


def logical_offsets(shape, strides, offset):
    if any(side == 0 for side in shape):
        return []
    offsets = np.full(shape, offset, dtype=np.int64)
    for axis, (side, stride) in enumerate(zip(shape, strides)):
        along = [1] * len(shape)
        along[axis] = side
        offsets += (np.arange(side, dtype=np.int64) * stride).reshape(along)
    return offsets.ravel().tolist()  # C order: logical row-major


@st.composite
def shapes(draw, max_dims=MAX_DIMS):
    """Shapes of up to `max_dims` axes with few elements, and long one-dimensional runs
    (beyond the 1024-draw batches and the 8192-draw reseed budget)."""
    if draw(st.integers(0, 9)) == 9:
        return (draw(st.integers(1000, 9000)),)
    ndim = draw(st.one_of(st.integers(0, 3), st.integers(0, max_dims)))
    budget = 256
    sides = []
    for _ in range(ndim):
        widest = min(budget, 3 if ndim > 4 else 40)
        side = draw(st.one_of(st.just(1), st.integers(0, widest)))
        sides.append(side)
        budget //= max(side, 1)
    return tuple(sides)


@st.composite
def byte_strides(draw, shape):
    """C order, Fortran order or arbitrary byte strides, each axis possibly reversed."""
    kind = draw(st.sampled_from(["c", "fortran", "stepped", "any"]))
    ndim = len(shape)
    strides = [0] * ndim
    order = range(ndim - 1, -1, -1) if kind != "fortran" else range(ndim)
    step = 8
    for axis in order:
        if kind == "any":
            strides[axis] = draw(
                st.one_of(st.sampled_from([0, 8, -8, 16, -24]), st.integers(-40, 40))
            )
            continue
        stepped = kind == "stepped" and shape[axis] > 1 and step < 4096
        factor = draw(st.sampled_from([1, 2, 3])) if stepped else 1
        sign = draw(st.sampled_from([1, 1, -1]))
        strides[axis] = sign * step * factor
        step *= max(shape[axis], 1) * factor
    return tuple(strides), kind


@st.composite
def float64_layouts(draw):
    """A float64 array over a buffer of its own, in any layout, writeable or not, plain or
    a subclass."""
    shape = draw(shapes())
    strides, kind = draw(byte_strides(shape))
    extents = [(side - 1) * stride for side, stride in zip(shape, strides) if side > 0]
    low = sum(e for e in extents if e < 0)
    high = sum(e for e in extents if e > 0)
    misalignment = draw(st.one_of(st.just(0), st.integers(0, 7)))
    offset = -low + misalignment
    size = offset + high + 8 + draw(st.integers(0, 9))
    # Bytes between and around the elements: noise that must survive every call.
    noise = np.random.default_rng(draw(st.integers(0, 2**32))).integers(0, 256, size, np.uint8)
    raw = bytearray(noise.tobytes())

    writer = np.ndarray(shape, dtype=np.float64, buffer=raw, offset=offset, strides=strides)
    values = draw(hnp.arrays(np.uint64, shape, elements=element_bits, fill=element_bits))
    if not Layout(writer, raw, logical_offsets(shape, strides, offset), "").partially_overlapping():
        writer[...] = values.view(np.float64)

    holder = draw(st.sampled_from(["bytearray", "bytes", "ndarray"]))
    buffer = {"bytearray": raw, "bytes": bytes(raw), "ndarray": np.frombuffer(raw, np.uint8).copy()}[holder]
    array = np.ndarray(shape, dtype=np.float64, buffer=buffer, offset=offset, strides=strides)
    if holder != "bytes" and draw(st.booleans()):
        array.flags.writeable = False
    wrapper = draw(st.sampled_from(["plain", "subclass", "matrix"] if len(shape) == 2 else ["plain", "subclass"]))
    if wrapper == "subclass":
        array = array.view(Subclass)
    elif wrapper == "matrix":
        array = array.view(np.matrix)
    description = f"{kind} {shape} {strides} +{offset} {holder} {wrapper} writeable={array.flags.writeable}"
    return Layout(array, buffer, logical_offsets(shape, strides, offset), description)


def logical_bits(layout: Layout) -> list:
    """The elements' bit patterns in logical row-major order, read from the raw bytes."""
    raw = layout.buffer_bytes()
    return [int.from_bytes(raw[at : at + 8], "little") for at in layout.offsets]


def _greater(a: float, b: float) -> bool:
    """The order of the two searches: NaN above every number, NaNs equal, -0.0 == 0.0."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and not math.isnan(b)
    return a > b


def max_min_model(bits: list) -> list:
    """The two sequential searches over the elements in logical order, on bit patterns."""
    if not bits:
        return []
    largest = bits[0]
    for candidate in bits[1:]:
        if not _greater(float_of(largest), float_of(candidate)):
            largest = candidate
    smallest = bits[0]
    for candidate in bits[1:]:
        if _greater(float_of(smallest), float_of(candidate)):
            smallest = candidate
    return [largest, smallest]


def doubled_with_zero_product(bits: int) -> set:
    """What (u - 0.5) * 0.0 + (v + v) can give: the product is +0.0 or -0.0 depending on
    the sign of u - 0.5, and it only shows when v + v is itself -0.0."""
    v = float_of(bits)
    return {bits_of(0.0 + (v + v)), bits_of(-0.0 + (v + v))}


def doubling_outcomes(before: bytes, offsets: list, limit: int = 4096):
    """Every buffer that updating the elements at `offsets` in order, each from its current
    bytes, can leave. None when the branches exceed `limit`."""
    states = {before}
    for at in offsets:
        following = set()
        for state in states:
            for result in doubled_with_zero_product(int.from_bytes(state[at : at + 8], "little")):
                following.add(state[:at] + result.to_bytes(8, "little") + state[at + 8 :])
        states = following
        if len(states) > limit:
            return None
    return states


def doubling_matches(before: bytes, after: bytes, offsets: list):
    """Whether `after` is a possible outcome of doubling the elements of `before` in order.
    None when the model cannot decide within its branch limit."""
    if not offsets:
        return after == before
    # Elements that share no bytes with others are decided on their own; only clusters
    # of aliased or overlapping elements need the joint model.
    clusters = []  # [first byte, end byte, element offsets in walk order]
    cluster_of = {}
    for start in sorted(set(offsets)):
        if not clusters or start >= clusters[-1][1]:
            clusters.append([start, start + 8, []])
        clusters[-1][1] = max(clusters[-1][1], start + 8)
        cluster_of[start] = clusters[-1]
    for at in offsets:
        cluster_of[at][2].append(at)
    touched = bytearray(len(before))
    for low, high, sequence in clusters:
        outcomes = doubling_outcomes(before[low:high], [at - low for at in sequence])
        if outcomes is None:
            return None
        if after[low:high] not in outcomes:
            return False
        touched[low:high] = b"\1" * (high - low)
    return all(a == b for a, b, t in zip(before, after, touched) if not t)
