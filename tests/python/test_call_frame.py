"""The call frame: owned references, nesting, queued reference-count changes, failures."""

import sys
import weakref

import pytest


class Probe:
    """A weak-referenceable object whose reference count the tests watch."""


def test_frame_leaves_pool_and_counter_as_found(testing):
    first = testing.frame_state()
    for _ in range(1000):
        assert testing.frame_state() == first
    # Inside the frame this thread holds the lock exactly once.
    assert first[1] == 1


def test_nested_frames_release_only_their_own(testing):
    probe = Probe()
    before = sys.getrefcount(probe)
    inner_state = []

    def inner():
        inner_state.append(testing.frame_state())
        return testing.hold_and_call(probe, 2, lambda: None)

    outer_before, outer_after, inner_result = testing.hold_and_call(probe, 3, inner)
    assert outer_after == outer_before
    # The inner frame saw the outer frame's three references still in the pool.
    pool_seen_inside, locks_inside = inner_state[0]
    assert pool_seen_inside == outer_before
    assert locks_inside == 2
    assert inner_result[0] == inner_result[1]
    assert sys.getrefcount(probe) == before


def test_internal_failure_releases_registered_references(testing):
    probe = Probe()
    before = sys.getrefcount(probe)
    for _ in range(50):
        with pytest.raises(BaseException) as caught:
            testing.fail_holding(probe, 5, "broken invariant")
        assert type(caught.value).__name__ == "PanicException"
        assert caught.value.args == ("broken invariant",)
    del caught
    assert sys.getrefcount(probe) == before


def test_queued_changes_apply_at_next_frame(testing):
    probe = Probe()
    before = sys.getrefcount(probe)
    testing.queue_changes(probe, 0, 3)
    # Queued on a thread without the lock: applied when a frame next opens.
    testing.frame_state()
    assert sys.getrefcount(probe) == before + 3
    testing.queue_changes(probe, 3, 0)
    testing.frame_state()
    assert sys.getrefcount(probe) == before


def test_queued_increments_apply_before_decrements(testing):
    # The only strong reference is `probe`; the queue holds one release and one
    # increment. Released first, the object would die with `probe` still naming it.
    probe = Probe()
    ref = weakref.ref(probe)
    before = sys.getrefcount(probe)
    testing.queue_changes(probe, 1, 1)
    testing.frame_state()
    assert ref() is probe
    assert sys.getrefcount(probe) == before


def test_memory_exhaustion_becomes_memory_error(testing):
    with pytest.raises(MemoryError) as caught:
        testing.raise_bad_alloc()
    assert caught.value.args == ()


def test_non_failure_exception_is_trapped(testing):
    with pytest.raises(BaseException) as caught:
        testing.raise_foreign()
    assert type(caught.value).__name__ == "PanicException"
    assert len(caught.value.args) == 1 and caught.value.args[0]
