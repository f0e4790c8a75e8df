"""The random stream, bit for bit, through double_and_random_perturbation.

Each scenario runs in a subprocess with the entropy interposer preloaded, so the module's
generators are seeded with known bytes (or meet chosen kernel errors). Perturbing zeros
with scaling 1.0 writes u - 0.5 for each draw u, exactly, and chacha_model says what u
must be.
"""

import ctypes
import errno
import hashlib
import json
import mmap
import os
import subprocess
import sys

import pytest

import chacha_model as model
import numpy as np
import tesk
from contract_texts import TEXT

SEEDS = [hashlib.sha256(b"parent seed %d" % k).digest() for k in range(8)]
CHILD_SEEDS = [hashlib.sha256(b"child seed %d" % k).digest() for k in range(4)]

PROBE = "getrandom 0 1 -> 0"
SEED_REQUEST = "getrandom 32 0 -> 32"
FILE_PATH_OPENING = [
    "open64 /dev/random 0x80000 -> ok",
    "poll /dev/random 1 -1 -> 1",
    "close /dev/random",
    "open64 /dev/urandom 0x80000 -> ok",
]

PRELUDE = """
import json, os, sys, threading
import numpy as np
import tesk

def perturbed(x):
    tesk.double_and_random_perturbation(x, 1.0)
    return [v.hex() for v in np.ravel(x, order="C").tolist()]

def draw(n):
    return perturbed(np.zeros(n))

def emit(value):
    sys.stdout.write(json.dumps(value))
"""


def run_scenario(interposer, tmp_path, script, *, seeds=SEEDS, child_seeds=CHILD_SEEDS,
                 probe_errno=None, chunk=None, faults=(), child_faults=(), environment=None,
                 timeout=300):
    """Runs PRELUDE + script, with `environment` added to the variables; returns what it
    emitted and the interposer's log as a list of (pid, line) pairs."""
    log = tmp_path / "entropy.log"
    env = dict(os.environ)
    env.update({
        # After whatever is preloaded already (a sanitizer runtime must stay first).
        "LD_PRELOAD": ":".join(filter(None, (os.environ.get("LD_PRELOAD"), str(interposer)))),
        "TESK_INTERPOSE_LOG": str(log),
        "TESK_INTERPOSE_SEEDS": ",".join(seed.hex() for seed in seeds),
        "TESK_INTERPOSE_CHILD_SEEDS": ",".join(seed.hex() for seed in child_seeds),
        "TESK_INTERPOSE_FAULTS": ",".join(faults),
        "TESK_INTERPOSE_CHILD_FAULTS": ",".join(child_faults),
    })
    if probe_errno is not None:
        env["TESK_INTERPOSE_PROBE_ERRNO"] = str(probe_errno)
    if chunk is not None:
        env["TESK_INTERPOSE_CHUNK"] = str(chunk)
    env.update(environment or {})
    completed = subprocess.run([sys.executable, "-c", PRELUDE + script], env=env,
                               capture_output=True, text=True, timeout=timeout)
    assert completed.returncode == 0, completed.stderr
    lines = log.read_text().splitlines() if log.exists() else []
    entries = [(int(pid), text) for pid, text in (line.split(" ", 1) for line in lines)]
    return json.loads(completed.stdout), entries


def calls(log):
    return [text for _, text in log]


def floats(hex_values):
    return [float.fromhex(value) for value in hex_values]


def draw_from_words(low, high):
    """u - 0.5 for the draw made of two key-stream words, computed from first principles."""
    bits = low | (high << 32)
    return (bits >> 11) * 2.0**-53 - 0.5


@pytest.mark.parametrize(("rounds", "expected"), [
    (8, "3e00ef2f895f40d67f5bb8e81f09a5a12c840ec3ce9a7f3b181be188ef711a1e"),
    (12, "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"),
    (20, "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"),
])
def test_model_reproduces_published_zero_key_streams(rounds, expected):
    assert model.keystream(bytes(32), 0, 1, rounds)[:32].hex() == expected


def test_model_reproduces_the_rfc8439_block_vector():
    # RFC 8439 section 2.3.2; its 96-bit nonce and 32-bit count map onto the 64-bit
    # counter (count, first nonce word) and the 64-bit stream (the other two words).
    key = model.key_from_seed(bytes(range(32)))
    words = model.block_words(key, 0x09000000_00000001, 0x00000000_4a000000, rounds=20)
    assert words[:4] == [0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3]
    assert words[12:] == [0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2]


def test_first_draw_is_words_zero_and_one_of_block_zero(interposer, tmp_path):
    result, log = run_scenario(interposer, tmp_path, "emit(draw(1))")
    words = model.block_words(model.key_from_seed(SEEDS[0]), 0)
    assert floats(result) == [draw_from_words(words[0], words[1])]
    assert calls(log) == [PROBE, SEED_REQUEST]


def test_thirty_third_draw_comes_from_the_next_refill(interposer, tmp_path):
    result, _ = run_scenario(interposer, tmp_path, "emit(draw(33))")
    key = model.key_from_seed(SEEDS[0])
    block3 = model.block_words(key, 3)
    block4 = model.block_words(key, 4)
    values = floats(result)
    assert values[31] == draw_from_words(block3[14], block3[15])
    assert values[32] == draw_from_words(block4[0], block4[1])
    assert values == model.Generator(SEEDS).perturbations(33)


def test_draw_8193_comes_from_block_zero_of_the_next_seed(interposer, tmp_path):
    result, log = run_scenario(interposer, tmp_path, "emit(draw(8193))")
    last_before = model.block_words(model.key_from_seed(SEEDS[0]), 1023)
    first_after = model.block_words(model.key_from_seed(SEEDS[1]), 0)
    values = floats(result)
    assert values[8191] == draw_from_words(last_before[14], last_before[15])
    assert values[8192] == draw_from_words(first_after[0], first_after[1])
    assert values == model.Generator(SEEDS).perturbations(8193)
    assert calls(log) == [PROBE, SEED_REQUEST, SEED_REQUEST]


def test_calls_of_many_sizes_continue_one_stream(interposer, tmp_path):
    sizes = [1, 31, 32, 33, 100, 5000, 9000, 0, 2, 4096, 64]
    script = f"emit([draw(n) for n in {sizes}])"
    result, log = run_scenario(interposer, tmp_path, script)
    generator = model.Generator(SEEDS)
    assert [floats(values) for values in result] == [generator.perturbations(n) for n in sizes]
    assert calls(log) == [PROBE] + [SEED_REQUEST] * (1 + generator.reseeds)


def test_layouts_draw_in_logical_row_major_order(interposer, tmp_path):
    script = """
base = np.zeros((6, 8))
out = [
    perturbed(np.zeros((3, 5), order="F")),
    perturbed(np.zeros(10)[::-1]),
    perturbed(base[::2, ::-3]),
    perturbed(np.zeros((2, 3, 4), order="F").transpose(1, 2, 0)),
    perturbed(np.zeros(())),
]
untouched = base.copy()
untouched[::2, ::-3] = 0.0
emit({"draws": out, "outside": untouched.tolist()})
"""
    result, _ = run_scenario(interposer, tmp_path, script)
    generator = model.Generator(SEEDS)
    sizes = [15, 10, 9, 24, 1]
    assert [floats(values) for values in result["draws"]] == [
        generator.perturbations(n) for n in sizes]
    assert all(value == 0.0 for row in result["outside"] for value in row)


def wipe_on_fork_supported():
    """Whether this kernel empties advised pages in a forked child (Linux 4.14 and later)."""
    page = mmap.mmap(-1, mmap.PAGESIZE, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)
    try:
        page.madvise(getattr(mmap, "MADV_WIPEONFORK", 18))
    except OSError:
        return False
    finally:
        page.close()
    return True


RAW_FORKS = {
    "os.fork": "os.fork()",
    # Forks that run no fork handlers: the system call itself, and glibc's _Fork.
    "syscall": "ctypes.CDLL(None, use_errno=True).syscall(57)",
    "_Fork": "ctypes.CDLL(None, use_errno=True)._Fork()",
}


@pytest.mark.parametrize("fork", list(RAW_FORKS))
def test_fork_drops_the_buffer_and_both_sides_reseed_at_once(interposer, tmp_path, fork):
    if fork != "os.fork" and not wipe_on_fork_supported():
        pytest.skip("the kernel has no MADV_WIPEONFORK: only forks that run handlers reseed")
    if fork == "_Fork" and not hasattr(ctypes.CDLL(None), "_Fork"):
        pytest.skip("the C library has no _Fork")
    script = f"""
import ctypes
first = draw(5)
read_end, write_end = os.pipe()
pid = {RAW_FORKS[fork]}
if pid == 0:
    os.close(read_end)
    os.write(write_end, json.dumps(draw(40)).encode())
    os._exit(0)
os.close(write_end)
with os.fdopen(read_end) as pipe:
    child = json.loads(pipe.read())
os.waitpid(pid, 0)
emit({{"first": first, "parent": draw(40), "child": child, "pid": os.getpid()}})
"""
    result, log = run_scenario(interposer, tmp_path, script)
    handlers = fork == "os.fork"
    parent = model.Generator(SEEDS)
    assert floats(result["first"]) == parent.perturbations(5)
    child = parent.fork(CHILD_SEEDS, handlers=handlers)
    expected_parent = parent.perturbations(40)
    expected_child = child.perturbations(40)
    assert floats(result["parent"]) == expected_parent
    assert floats(result["child"]) == expected_child
    # The 27 draws left in the buffer at the fork are used by the child in no case (and
    # by the parent only after a fork that ran no handlers, which it cannot tell).
    assert not set(expected_parent) & set(expected_child)
    parent_calls = [text for pid, text in log if pid == result["pid"]]
    child_calls = [text for pid, text in log if pid != result["pid"]]
    assert parent_calls == [PROBE, SEED_REQUEST] + [SEED_REQUEST] * handlers
    assert child_calls == [SEED_REQUEST]


def without_urandom_closes(log):
    """The log less closes of /dev/urandom, which only a clean-up that calls close()
    itself (not close_range) reports; the module never closes that device."""
    return [text for text in calls(log) if text != "close /dev/urandom"]


@pytest.mark.parametrize("replacement", ["/dev/null", "/dev/zero"])
def test_a_reused_descriptor_number_is_left_alone_and_the_device_reopened(
        interposer, tmp_path, replacement):
    script = f"""
first = draw(1)
def names(n):
    try:
        return os.readlink(f"/proc/self/fd/{{n}}")
    except OSError:
        return None
kept = [n for n in range(3, 64) if names(n) == "/dev/urandom"]
os.closerange(3, 1024)  # a daemon-style clean-up
opened = [os.open({replacement!r}, os.O_RDONLY)]
while opened[-1] < kept[0]:
    opened.append(os.open({replacement!r}, os.O_RDONLY))
later = draw(8200)  # reseeds after 8192 draws
emit({{"first": first, "later": later, "reused": opened[-1] == kept[0],
       "still": os.fstat(kept[0]).st_ino == os.stat({replacement!r}).st_ino}})
"""
    result, log = run_scenario(interposer, tmp_path, script, probe_errno=errno.ENOSYS,
                               timeout=60)
    generator = model.Generator(SEEDS)
    assert floats(result["first"]) == generator.perturbations(1)
    assert floats(result["later"]) == generator.perturbations(8200)
    assert result["reused"] and result["still"]
    read = "read /dev/urandom 32 -> 32"
    assert without_urandom_closes(log) == ([f"getrandom 0 1 -> errno {errno.ENOSYS}"]
                                           + FILE_PATH_OPENING + [read]
                                           + FILE_PATH_OPENING + [read])


DAEMON_CHILD = """
first = draw(5)
read_end, write_end = os.pipe()
pid = os.fork()
if pid == 0:
    os.closerange(3, write_end)  # a daemon-style clean-up, the kept descriptor with it
    os.closerange(write_end + 1, 1024)
    x = np.arange(4.0)
    try:
        tesk.double_and_random_perturbation(x, 1.0)
        outcome = None
    except BaseException as error:
        outcome = [type(error).__name__, str(error)]
    os.write(write_end, json.dumps({"outcome": outcome, "x": x.tolist(),
                                    "later": draw(40)}).encode())
    os._exit(0)
os.close(write_end)
with os.fdopen(read_end) as pipe:
    child = json.loads(pipe.read())
os.waitpid(pid, 0)
emit({"first": first, "child": child, "pid": os.getpid()})
"""


# After a fork the child never goes on with the parent's stream: its reseed opens the
# device again; with no entropy at all (two attempts) the call fails, x untouched, and
# the next call tries again.
@pytest.mark.parametrize("entropy", ["reopened", "none at first"])
def test_a_child_that_closed_its_descriptors_reseeds_or_fails(interposer, tmp_path, entropy):
    no_open = [f"open_urandom:{errno.EMFILE}"] * 2 if entropy == "none at first" else []
    result, log = run_scenario(interposer, tmp_path, DAEMON_CHILD, probe_errno=errno.ENOSYS,
                               child_faults=no_open)
    parent = model.Generator(SEEDS)
    assert floats(result["first"]) == parent.perturbations(5)
    child = parent.fork(CHILD_SEEDS)
    child_result = result["child"]
    if no_open:
        assert child_result["outcome"] == [
            "PanicException", TEXT.thread_rng_failed + os.strerror(errno.EMFILE)]
        assert child_result["x"] == [0.0, 1.0, 2.0, 3.0]
    else:
        assert child_result["outcome"] is None
        assert child_result["x"] == [
            u + (v + v) for u, v in zip(child.perturbations(4), [0.0, 1.0, 2.0, 3.0])]
    assert floats(child_result["later"]) == child.perturbations(40)
    child_calls = without_urandom_closes([entry for entry in log if entry[0] != result["pid"]])
    failed_opening = FILE_PATH_OPENING[:3] + [
        f"open64 /dev/urandom 0x80000 -> errno {errno.EMFILE}"]
    assert child_calls == (failed_opening * len(no_open) + FILE_PATH_OPENING
                           + ["read /dev/urandom 32 -> 32"])


@pytest.mark.parametrize("probe_errno", [errno.ENOSYS, errno.EPERM])
def test_probe_failure_falls_back_to_urandom_after_the_readiness_wait(
        interposer, tmp_path, probe_errno):
    result, log = run_scenario(interposer, tmp_path, "emit([draw(8193), draw(8192)])",
                               probe_errno=probe_errno)
    generator = model.Generator(SEEDS)
    assert [floats(values) for values in result] == [
        generator.perturbations(8193), generator.perturbations(8192)]
    read = "read /dev/urandom 32 -> 32"
    assert calls(log) == ([f"getrandom 0 1 -> errno {probe_errno}"] + FILE_PATH_OPENING
                          + [read, read, read])


def test_other_probe_failures_keep_getrandom(interposer, tmp_path):
    result, log = run_scenario(interposer, tmp_path, "emit(draw(3))", probe_errno=errno.EAGAIN)
    assert floats(result) == model.Generator(SEEDS).perturbations(3)
    assert calls(log) == [f"getrandom 0 1 -> errno {errno.EAGAIN}", SEED_REQUEST]


def test_interrupted_and_short_getrandom_calls_complete_the_seed(interposer, tmp_path):
    result, log = run_scenario(interposer, tmp_path, "emit(draw(8200))", chunk=12,
                               faults=["getrandom:4", "getrandom:4"])
    assert floats(result) == model.Generator(SEEDS).perturbations(8200)
    assert calls(log) == [
        PROBE,
        "getrandom 32 0 -> errno 4", "getrandom 32 0 -> errno 4",
        "getrandom 32 0 -> 12", "getrandom 20 0 -> 12", "getrandom 8 0 -> 8",
        "getrandom 32 0 -> 12", "getrandom 20 0 -> 12", "getrandom 8 0 -> 8",
    ]


def test_interrupted_and_short_file_path_calls_complete_the_seed(interposer, tmp_path):
    faults = ["open_random:4", "poll:4", "poll:11", "open_urandom:4", "read:4"]
    result, log = run_scenario(interposer, tmp_path, "emit(draw(40))",
                               probe_errno=errno.ENOSYS, chunk=20, faults=faults)
    assert floats(result) == model.Generator(SEEDS).perturbations(40)
    assert calls(log) == [
        f"getrandom 0 1 -> errno {errno.ENOSYS}",
        "open64 /dev/random 0x80000 -> errno 4",
        "open64 /dev/random 0x80000 -> ok",
        "poll /dev/random 1 -1 -> errno 4",
        "poll /dev/random 1 -1 -> errno 11",
        "poll /dev/random 1 -1 -> 1",
        "close /dev/random",
        "open64 /dev/urandom 0x80000 -> errno 4",
        "open64 /dev/urandom 0x80000 -> ok",
        "read /dev/urandom 32 -> errno 4",
        "read /dev/urandom 32 -> 20",
        "read /dev/urandom 12 -> 12",
    ]


CREATION_FAILURE = """
x = np.arange(4.0)
try:
    tesk.double_and_random_perturbation(x, 1.0)
    outcome = None
except BaseException as error:
    outcome = [type(error).__module__, type(error).__name__, str(error)]
emit({"outcome": outcome, "x": x.tolist(), "retry": draw(3)})
"""


@pytest.mark.parametrize(("probe_errno", "fault", "error"), [
    (None, "getrandom", errno.EIO),
    (None, "getrandom", errno.ENOMEM),
    (errno.ENOSYS, "read", errno.EACCES),
    (errno.EPERM, "open_urandom", errno.ENOENT),
    (errno.ENOSYS, "poll", errno.EINVAL),
])
def test_failed_creation_raises_and_the_next_call_retries(
        interposer, tmp_path, probe_errno, fault, error):
    result, _ = run_scenario(interposer, tmp_path, CREATION_FAILURE, probe_errno=probe_errno,
                             faults=[f"{fault}:{error}"])
    assert result["outcome"] == [
        "pyo3_runtime", "PanicException",
        TEXT.thread_rng_failed + os.strerror(error)]
    assert result["x"] == [0.0, 1.0, 2.0, 3.0]
    assert floats(result["retry"]) == model.Generator(SEEDS).perturbations(3)


def test_threads_have_independent_generators(interposer, tmp_path):
    script = """
results = {}
a_drew = threading.Event()
b_drew = threading.Event()

def first():
    results["a1"] = draw(10)
    a_drew.set()
    b_drew.wait()
    results["a2"] = draw(40)

def second():
    a_drew.wait()
    results["b"] = draw(40)
    b_drew.set()

threads = [threading.Thread(target=first), threading.Thread(target=second)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
results["main"] = draw(5)
emit(results)
"""
    result, log = run_scenario(interposer, tmp_path, script)
    a = model.Generator(SEEDS[0:])
    b = model.Generator(SEEDS[1:])
    main = model.Generator(SEEDS[2:])
    assert floats(result["a1"]) == a.perturbations(10)
    assert floats(result["b"]) == b.perturbations(40)
    assert floats(result["a2"]) == a.perturbations(40)
    assert floats(result["main"]) == main.perturbations(5)
    assert calls(log) == [PROBE] + [SEED_REQUEST] * 3


FORMS_SCRIPT = """
sys.path.append({testing_dir!r})
import _tesk_testing

def bits(values):
    return np.asarray(values).view(np.uint64).tolist()

def as_array(values):
    return np.array(values, dtype=np.uint64).view(np.float64)

def perturbed_bits(values, scaling):
    x = as_array(values)
    tesk.double_and_random_perturbation(x, float.fromhex(scaling))
    return bits(x)

emit({{
    "forms": _tesk_testing.chosen_forms(),
    "stream": [draw(n) for n in (3, 1000, 9000, 33)],
    "perturbed": [perturbed_bits({values}, s) for s in {scalings}],
    "extremes": [bits(tesk.max_min(as_array(a))) for a in {arrays}],
}})
"""

ALL_FORMS = ("chacha", "extremes", "perturb", "fused")


def as_bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64).tolist()


def extremes_arrays():
    """Arrays of 1027 elements (vector blocks and a tail) whose maximum or minimum is a
    zero of both signs, a NaN with a payload and both signs, or an infinity."""
    rng = np.random.default_rng(11)
    nan = np.array([0x7FF8_0000_000A_BC00], dtype=np.uint64).view(np.float64)[0]
    magnitudes = np.abs(rng.normal(size=(4, 1027)))
    arrays = [-magnitudes[0], magnitudes[1], magnitudes[2] - 0.5, magnitudes[3] - 0.5]
    for values, special in zip(arrays, (0.0, 0.0, nan, np.inf)):
        values[rng.integers(0, 1027, 3)] = special
        values[rng.integers(0, 1027, 3)] = -special
    return arrays


# Every form of the block function and of the array kernels that this processor can
# run, reached by taking features away: the stream stays bit-exact against the model,
# the perturbation against the formula in Python's own IEEE arithmetic, and max_min
# against this process's forms.
@pytest.mark.parametrize(("disabled", "excluded", "affected"), [
    ("", (), ALL_FORMS),
    ("AVX512DQ", ("avx512",), ("perturb", "fused")),
    ("AVX512F", ("avx512",), ALL_FORMS),
    ("FMA", ("avx512", "avx2"), ("perturb", "fused")),
    ("AVX512F,AVX2", ("avx512", "avx2"), ALL_FORMS),
    ("AVX", ("avx",), ALL_FORMS),
    ("SSE41", ("avx", "sse41"), ALL_FORMS),
    ("AVX512F AVX2 AVX SSE41 SSSE3", ("avx", "sse41", "ssse3"), ALL_FORMS),
])
def test_every_form_gives_the_same_results(interposer, testing, tmp_path, disabled, excluded,
                                           affected):
    values = np.random.default_rng(3).normal(size=300) * 4.0
    values[[0, 17, 18, 200, 299]] = [-0.0, 0.0, np.inf, 1e308, 5e-324]
    # The scalings around the exact fast path: subnormal products that stay exact or
    # lose bits, signed zeros, infinities, NaN, and the largest double.
    scalings = [1.0, -3.75, 0.0, -0.0, np.inf, -np.inf, np.nan, float.fromhex("0x1.8p-1000"),
                float.fromhex("0x1.0000000000001p-970"), 1.7976931348623157e308]
    arrays = extremes_arrays()
    script = FORMS_SCRIPT.format(
        testing_dir=os.path.dirname(testing.__file__), values=as_bits(values),
        scalings=[float.hex(s) for s in scalings],
        arrays=[as_bits(a) for a in arrays])
    result, _ = run_scenario(interposer, tmp_path, script,
                             environment={"TESK_DISABLE_CPU_FEATURES": disabled})

    for part in affected:
        assert not result["forms"][part].startswith(excluded), result["forms"]
    generator = model.Generator(SEEDS)
    assert [floats(v) for v in result["stream"]] == [
        generator.perturbations(n) for n in (3, 1000, 9000, 33)]
    for got, scaling in zip(result["perturbed"], scalings):
        centred = generator.perturbations(len(values))
        want = [(c * scaling) + (v + v) for c, v in zip(centred, values.tolist())]
        assert got == as_bits(want), scaling
    assert result["extremes"] == [as_bits(tesk.max_min(a)) for a in arrays]


def test_an_unknown_feature_name_is_reported_once():
    script = "import numpy, tesk; [tesk.max_min(numpy.ones(9)) for _ in range(3)]"
    env = dict(os.environ, TESK_DISABLE_CPU_FEATURES="AVX512F, NEON")
    completed = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                               text=True, timeout=60)
    assert completed.returncode == 0, completed.stderr
    assert completed.stderr == (
        "tesk: TESK_DISABLE_CPU_FEATURES: unknown feature 'NEON' ignored\n")
