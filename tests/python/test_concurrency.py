"""Threads and processes: correct results under load, thread-exit teardown of generators,
fork from a busy process, and a fork-started multiprocessing pool.

Perturbing zeros with scaling 1.0 writes u - 0.5 exactly for each draw u, which makes a
thread's or a process's random stream visible from Python.
"""

import multiprocessing
import os
import select
import sys
import threading
import time

import numpy as np
import pytest

import tesk
from contract_texts import TEXT
from property_support import RESIDENT_SIZE_MEANINGFUL

INTRODUCTION = TEXT.introduction
THREADS = 8
SECONDS = 3.0
KEPT_DRAWS = 4000


def draws(count):
    """The next `count` draws u of the calling thread, as u - 0.5."""
    x = np.zeros(count)
    tesk.double_and_random_perturbation(x, 1.0)
    return x


def check_draws(values):
    assert ((values >= -0.5) & (values < 0.5)).all()
    assert (values * 2.0**53 == np.round(values * 2.0**53)).all()  # steps of 2**-53


@pytest.fixture
def fast_switching():
    """Switch threads every 10 µs, so calls from different threads interleave densely."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(interval)


def exercise_all_functions(seed, deadline, shared, streams, call_counts):
    rng = np.random.default_rng(seed)
    stream = []
    calls = 0
    while time.monotonic() < deadline:
        assert tesk.introduction() == INTRODUCTION
        size = int(rng.integers(0, 9))
        assert np.array_equal(tesk.eye(size), np.eye(size))

        values = rng.standard_normal((int(rng.integers(1, 40)), 3))
        layout = values.T[::-1]
        assert tesk.max_min(layout).tolist() == [values.max(), values.min()]
        assert tesk.max_min(shared).tolist() == [shared.max(), shared.min()]

        doubled = layout.copy(order="F")
        tesk.double_and_random_perturbation(doubled, 0.0)
        assert np.array_equal(doubled, 2.0 * layout)

        drawn = draws(40)
        check_draws(drawn)
        if len(stream) < KEPT_DRAWS:
            stream.extend(drawn.tolist())
        calls += 1
    streams[seed] = stream
    call_counts[seed] = calls


def run_threads(target, arguments):
    errors = []

    def guarded(*args):
        try:
            target(*args)
        except BaseException as error:  # reported by the test thread
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=args) for args in arguments]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors, errors


@pytest.mark.soak
def test_eight_threads_call_everything_with_correct_results(fast_switching):
    shared = np.random.default_rng(99).standard_normal(1000)
    streams, call_counts = {}, {}
    deadline = time.monotonic() + SECONDS
    arguments = [(seed, deadline, shared, streams, call_counts) for seed in range(THREADS)]
    run_threads(exercise_all_functions, arguments)

    assert sorted(streams) == list(range(THREADS))
    assert all(calls >= 100 for calls in call_counts.values())
    print(f"{THREADS} threads, {sum(call_counts.values())} rounds of all four functions")
    # Independent generators: no thread's opening draws appear in another's stream.
    owners = {}
    for seed, stream in streams.items():
        for value in stream:
            owners.setdefault(value, set()).add(seed)
    for seed, stream in streams.items():
        assert all(owners[value] == {seed} for value in stream[:40])
    assert len(owners) > 0.999 * sum(len(stream) for stream in streams.values())


def test_threads_that_end_while_their_generator_exists():
    openings = []
    lock = threading.Lock()

    def short_lived():
        drawn = draws(24)
        check_draws(drawn)
        with lock:
            openings.append(tuple(drawn))

    for _ in range(150):
        run_threads(short_lived, [()] * 4)  # four at a time, each ending with a generator
    assert len(openings) == 600
    assert len(set(openings)) == 600  # every thread had a generator of its own


@pytest.mark.soak
@pytest.mark.skipif(
    not RESIDENT_SIZE_MEANINGFUL, reason="the sanitizer's quarantine keeps freed memory resident"
)
def test_thread_teardown_frees_generators():
    def short_lived():
        draws(8)

    def rounds(count):
        for _ in range(count):
            run_threads(short_lived, [()] * 4)

    rounds(250)
    with open("/proc/self/statm") as statm:
        before = int(statm.read().split()[1])
    rounds(2000)  # 8000 generators, a few hundred bytes each, created and torn down
    with open("/proc/self/statm") as statm:
        grown = (int(statm.read().split()[1]) - before) * os.sysconf("SC_PAGE_SIZE")
    assert grown < 1 << 20


def keep_busy(stop):
    rng = np.random.default_rng()
    while not stop.is_set():
        x = rng.standard_normal(50)
        tesk.double_and_random_perturbation(x, 0.5)
        tesk.max_min(x)
        tesk.eye(4)


def wait_for_child(pid, seconds=60):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    pytest.fail("the forked child hung")


def read_from_child(fd, size, seconds=60):
    data = b""
    deadline = time.monotonic() + seconds
    while len(data) < size and time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.1)
        if ready:
            chunk = os.read(fd, size - len(data))
            if not chunk:
                break
            data += chunk
    return data


def test_fork_from_a_busy_process_gives_both_sides_new_streams():
    stop = threading.Event()
    workers = [threading.Thread(target=keep_busy, args=(stop,)) for _ in range(3)]
    for worker in workers:
        worker.start()
    try:
        draws(5)  # the forking thread has a generator, part of its buffer used
        for _ in range(10):
            reader, writer = os.pipe()
            pid = os.fork()
            if pid == 0:
                status = 1
                try:
                    os.close(reader)
                    drawn = draws(64)
                    check_draws(drawn)
                    assert tesk.max_min(drawn).tolist() == [drawn.max(), drawn.min()]
                    assert tesk.eye(2).tolist() == [[1.0, 0.0], [0.0, 1.0]]
                    os.write(writer, drawn.tobytes())
                    status = 0
                finally:
                    os._exit(status)
            os.close(writer)
            parent = draws(64)
            child = np.frombuffer(read_from_child(reader, 64 * 8), dtype=np.float64)
            os.close(reader)
            assert wait_for_child(pid) == 0
            assert child.size == 64
            # What the buffer held at the fork is dropped on both sides: nothing is common.
            assert not set(child.tolist()) & set(parent.tolist())
    finally:
        stop.set()
        for worker in workers:
            worker.join()


def pool_task(_):
    time.sleep(0.02)  # spreads the tasks over the workers
    return os.getpid(), draws(48).tolist()


def test_fork_pool_workers_draw_distinct_streams():
    draws(3)  # the workers inherit a generator with a partly used buffer
    with multiprocessing.get_context("fork").Pool(4) as pool:
        results = pool.map(pool_task, range(16), chunksize=1)
    parent_after = draws(48).tolist()

    by_worker = {}
    for pid, drawn in results:
        by_worker.setdefault(pid, []).extend(drawn)
    assert len(by_worker) >= 2
    assert all(pid != os.getpid() for pid in by_worker)
    for pid, stream in by_worker.items():
        check_draws(np.array(stream))
        own = set(stream)
        others = {v for other, s in by_worker.items() if other != pid for v in s}
        assert not own & others, "two workers drew the same numbers"
        assert not own & set(parent_after)
