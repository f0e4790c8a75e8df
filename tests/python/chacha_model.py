"""Reference model of the random source, in plain Python for the stream tests.

A slow, obviously correct ChaCha block function (any number of rounds) and a model of
the per-thread generator built on it: the 64-word buffer, the refill of four blocks, the
reseed after 256 refills or after a fork, and the draws. It is written from the ChaCha
definition alone and shares no code with the module.
"""

import copy
import struct

MASK32 = 0xFFFFFFFF
CONSTANTS = (0x61707865, 0x3320646E, 0x79622D32, 0x6B206574)  # "expand 32-byte k"

BUFFER_WORDS = 64
BLOCKS_PER_REFILL = 4
REFILL_BYTES = 256
RESEED_THRESHOLD = 65536


def _rotl(value, bits):
    return ((value << bits) | (value >> (32 - bits))) & MASK32


def _quarter_round(x, a, b, c, d):
    x[a] = (x[a] + x[b]) & MASK32
    x[d] = _rotl(x[d] ^ x[a], 16)
    x[c] = (x[c] + x[d]) & MASK32
    x[b] = _rotl(x[b] ^ x[c], 12)
    x[a] = (x[a] + x[b]) & MASK32
    x[d] = _rotl(x[d] ^ x[a], 8)
    x[c] = (x[c] + x[d]) & MASK32
    x[b] = _rotl(x[b] ^ x[c], 7)


def block_words(key, counter, stream=0, rounds=12):
    """The 16 output words of one block: 8 key words, 64-bit counter, 64-bit stream."""
    state = list(CONSTANTS) + list(key)
    state += [counter & MASK32, (counter >> 32) & MASK32, stream & MASK32, (stream >> 32) & MASK32]
    x = list(state)
    for _ in range(rounds // 2):
        _quarter_round(x, 0, 4, 8, 12)
        _quarter_round(x, 1, 5, 9, 13)
        _quarter_round(x, 2, 6, 10, 14)
        _quarter_round(x, 3, 7, 11, 15)
        _quarter_round(x, 0, 5, 10, 15)
        _quarter_round(x, 1, 6, 11, 12)
        _quarter_round(x, 2, 7, 8, 13)
        _quarter_round(x, 3, 4, 9, 14)
    return [(x[i] + state[i]) & MASK32 for i in range(16)]


def key_from_seed(seed):
    """Eight little-endian key words from 32 seed bytes."""
    if len(seed) != 32:
        raise ValueError("a seed has 32 bytes")
    return list(struct.unpack("<8I", seed))


def keystream(key_bytes, first_block, blocks, rounds=12):
    """Key-stream bytes for `blocks` blocks from block `first_block`, nonce 0."""
    key = key_from_seed(key_bytes)
    out = bytearray()
    for n in range(blocks):
        words = block_words(key, (first_block + n) % 2**64, 0, rounds)
        out += struct.pack("<16I", *words)
    return bytes(out)


def unit_f64(bits):
    """A 64-bit draw mapped to [0, 1): its top 53 bits times 2**-53."""
    return float(bits >> 11) * 2.0**-53


class Generator:
    """The per-thread generator: `seeds` supplies 32-byte seeds, one per request, the
    first of them at creation. `forks` is the process's fork counter, to be raised by
    the caller as the fork handlers would (by 2 per fork)."""

    def __init__(self, seeds):
        self._seeds = iter(seeds)
        self.forks = 0
        self.buffer = [0] * BUFFER_WORDS
        self.index = BUFFER_WORDS
        self.key = key_from_seed(next(self._seeds))
        self.counter = 0
        self.budget = RESEED_THRESHOLD
        self.snapshot = 0
        self.reseeds = 0

    def _fork_seen(self):
        difference = (self.snapshot - self.forks) % 2**64
        return difference >= 2**63

    def refill(self):
        if self.budget > 0 and not self._fork_seen():
            self.budget -= REFILL_BYTES
        else:
            self.key = key_from_seed(next(self._seeds))
            self.counter = 0
            self.reseeds += 1
            self.snapshot = self.forks
            self.budget = RESEED_THRESHOLD - REFILL_BYTES
        words = []
        for n in range(BLOCKS_PER_REFILL):
            words += block_words(self.key, (self.counter + n) % 2**64)
        self.buffer = words
        self.counter = (self.counter + BLOCKS_PER_REFILL) % 2**64
        self.index = 0

    def next_u64(self):
        if self.index < BUFFER_WORDS - 1:
            low, high = self.buffer[self.index], self.buffer[self.index + 1]
            self.index += 2
        elif self.index == BUFFER_WORDS - 1:
            low = self.buffer[BUFFER_WORDS - 1]
            self.refill()
            high = self.buffer[0]
            self.index = 1
        else:
            self.refill()
            low, high = self.buffer[0], self.buffer[1]
            self.index = 2
        return low | (high << 32)

    def next_f64(self):
        return unit_f64(self.next_u64())

    def fork(self, child_seeds, handlers=True):
        """Models os.fork(): the handler runs before and after, raising the counter by 2
        on both sides. Returns the child, which keeps the buffer and takes its later
        seeds from `child_seeds`. A fork without handlers (a raw system call) leaves the
        parent's counter alone, and the child finds its generator wiped: a fork seen."""
        if handlers:
            self.forks += 2
        child = copy.copy(self)
        child.buffer = list(self.buffer)
        child.key = list(self.key)
        child._seeds = iter(child_seeds)
        if not handlers:
            child.snapshot = (self.forks - 1) % 2**64
        return child

    def take(self):
        """A call takes the generator: after a fork, the words left in its buffer are
        dropped, so that the call's first draw refills, and reseeds."""
        if self._fork_seen():
            self.index = BUFFER_WORDS

    def perturbations(self, count):
        """What double_and_random_perturbation(zeros(count), 1.0) writes: u - 0.5."""
        self.take()
        return [self.next_f64() - 0.5 for _ in range(count)]
