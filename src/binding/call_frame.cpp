// call_frame.cpp — per-thread lock counter and owned-object pool, the pending queue.
#include "binding/call_frame.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <vector>

#include "binding/owned_reference.h"
#include "runtime/failure.h"

namespace tesk::binding {

enum class PoolLife : unsigned char { not_created, alive, gone };

/// Everything a frame touches on its thread, in one TLS block so that opening a frame
/// costs one lookup, which the frame keeps. Trivially destructible, so it stays readable
/// during thread teardown; the hook below does the cleaning.
struct ThreadFrameState {
    std::uint64_t lock_count;
    PyObject** entries;
    std::size_t length;
    std::size_t capacity;
    PoolLife life;
};

namespace {

constexpr std::size_t pool_initial_capacity = 256;

constinit thread_local ThreadFrameState frame_state{};

/// Frees the pool's storage when the thread ends. The references still in it are not
/// released: without the interpreter lock nothing may touch them.
struct PoolExitHook {
    bool armed = false;
    ~PoolExitHook() {
        std::free(frame_state.entries);
        frame_state.entries = nullptr;
        frame_state.length = frame_state.capacity = 0;
        frame_state.life = PoolLife::gone;
    }
};

thread_local PoolExitHook pool_exit_hook;

/// Reference-count changes made by threads that did not hold the lock. The mutex
/// guards the two arrays and is held only for an append or for moving them out.
struct PendingQueue {
    std::mutex mutex;
    std::vector<PyObject*> increments;
    std::vector<PyObject*> decrements;
    std::atomic<bool> dirty{false};
};

PendingQueue pending;

void apply_pending_changes() noexcept {
    if (!pending.dirty.exchange(false)) {
        return;
    }
    std::vector<PyObject*> increments;
    std::vector<PyObject*> decrements;
    {
        std::lock_guard lock(pending.mutex);
        increments.swap(pending.increments);
        decrements.swap(pending.decrements);
    }
    // All increments first, so that no object of this drain dies early.
    for (PyObject* object : increments) {
        Py_INCREF(object);
    }
    for (PyObject* object : decrements) {
        Py_DECREF(object);
    }
}

void enqueue(std::vector<PyObject*>& queue, PyObject* object) noexcept {
    // Queued from threads without the lock, often from destructors: a failure here has
    // no caller to report to.
    try {
        std::lock_guard lock(pending.mutex);
        queue.push_back(object);
    } catch (const std::exception&) {
        runtime::fatal("no memory to queue a reference-count change");
    }
    pending.dirty.store(true);
}

void create_pool() {
    auto* entries = static_cast<PyObject**>(std::malloc(pool_initial_capacity * sizeof(PyObject*)));
    if (entries == nullptr) {
        throw std::bad_alloc();
    }
    pool_exit_hook.armed = true;
    frame_state.entries = entries;
    frame_state.capacity = pool_initial_capacity;
    frame_state.life = PoolLife::alive;
}

void grow_pool() {
    std::size_t capacity = frame_state.capacity * 2;
    auto* entries =
        static_cast<PyObject**>(std::realloc(frame_state.entries, capacity * sizeof(PyObject*)));
    if (entries == nullptr) {
        throw std::bad_alloc();
    }
    frame_state.entries = entries;
    frame_state.capacity = capacity;
}

/// Releases the pool's entries from `mark` on, oldest first. They are moved out
/// before any release, because a finalizer that runs may register references of its
/// own.
void cut_pool(ThreadFrameState& state, std::size_t mark) noexcept {
    if (state.length <= mark) {
        return;
    }
    std::size_t count = state.length - mark;
    PyObject* inline_cut[32];
    PyObject** cut = inline_cut;
    if (count > std::size(inline_cut)) {
        cut = static_cast<PyObject**>(std::malloc(count * sizeof(PyObject*)));
        if (cut == nullptr) {
            runtime::fatal("no memory to release the references of a call");
        }
    }
    std::memcpy(cut, state.entries + mark, count * sizeof(PyObject*));
    state.length = mark;
    for (std::size_t i = 0; i < count; ++i) {
        Py_DECREF(cut[i]);
    }
    if (cut != inline_cut) {
        std::free(cut);
    }
}

} // namespace

CallFrame::CallFrame() noexcept : state_(&frame_state) {
    ++state_->lock_count;
    apply_pending_changes();
    if (state_->life == PoolLife::gone) {
        mark_ = no_mark;
        return;
    }
    mark_ = state_->length;
}

CallFrame::~CallFrame() noexcept(false) {
    if (!abandoned_) [[likely]] {
        if (mark_ != no_mark && state_->life == PoolLife::alive) {
            cut_pool(*state_, mark_);
        }
        if (in_recursion_guard_) {
            Py_LeaveRecursiveCall();
        }
    }
    --state_->lock_count;
}

bool CallFrame::enter_recursion_guard() noexcept {
    // Only a call made while another of this thread's calls is open can be part of a
    // recursion through the module: the outermost one is left uncounted, which spares
    // every ordinary call two interpreter calls.
    if (state_->lock_count < 2) {
        return true;
    }
    in_recursion_guard_ = Py_EnterRecursiveCall(" while calling a tesk function") == 0;
    return in_recursion_guard_;
}

bool thread_holds_interpreter_lock() noexcept {
    return PyGILState_Check() != 0;
}

PyObject* require_new(PyObject* object) {
    if (object == nullptr) {
        PyErr_Print();
        runtime::fail("Python API call failed");
    }
    return object;
}

PyObject* register_new(PyObject* object) {
    require_new(object);
    if (frame_state.life == PoolLife::gone) {
        return object;
    }
    OwnedReference held(object);
    if (frame_state.life == PoolLife::not_created) {
        create_pool();
    } else if (frame_state.length == frame_state.capacity) {
        grow_pool();
    }
    frame_state.entries[frame_state.length++] = held.release();
    return object;
}

void safe_incref(PyObject* object) noexcept {
    if (frame_state.lock_count == 0) {
        enqueue(pending.increments, object);
    } else if (thread_holds_interpreter_lock()) [[likely]] {
        Py_INCREF(object);
    }
}

void safe_release(PyObject* object) noexcept {
    if (frame_state.lock_count == 0) {
        enqueue(pending.decrements, object);
    } else if (thread_holds_interpreter_lock()) [[likely]] {
        Py_DECREF(object);
    }
}

bool lock_held() noexcept {
    return frame_state.lock_count != 0;
}

LockGuard::LockGuard() {
    static std::once_flag interpreter_ready;
    std::call_once(interpreter_ready, [] {
        if (Py_IsInitialized() == 0) {
            Py_InitializeEx(0);
            PyEval_SaveThread();
        }
    });
    state_ = PyGILState_Ensure();
    if (frame_state.lock_count != 0) {
        ++frame_state.lock_count;
    } else {
        frame_.emplace();
    }
}

LockGuard::~LockGuard() {
    if (state_ == PyGILState_UNLOCKED && frame_state.lock_count != 1) {
        runtime::fatal("The first GILGuard acquired must be the last one dropped.");
    }
    if (frame_.has_value()) {
        frame_.reset();
    } else {
        --frame_state.lock_count;
    }
    PyGILState_Release(state_);
}

std::size_t pool_length() noexcept {
    return frame_state.length;
}
std::size_t lock_count() noexcept {
    return frame_state.lock_count;
}

} // namespace tesk::binding
