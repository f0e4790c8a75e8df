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
#include "runtime/thread_key.h"

namespace tesk::binding {
namespace {

constexpr std::size_t pool_initial_capacity = 256;

/// A thread's frame state once its owned-object pool exists.
struct Pool {
    std::uint64_t lock_count;
    PyObject** entries;
    std::size_t length;
    std::size_t capacity;
};

void tear_down_frame_state(void* value) noexcept;

/// The calling thread's frame state. Opening a frame must not allocate, so until the
/// pool exists, and again once it is gone, the key's value is not a Pool but a word
/// holding the lock-nesting counter and a gone flag; null means counter 0 and no pool
/// yet. The pool is made by the first registration, where its failure can be reported.
const runtime::ThreadKey frame_key(&tear_down_frame_state);

constexpr std::uintptr_t counter_word_tag = 1;
constexpr std::uintptr_t gone_flag = 2;
constexpr unsigned counter_shift = 2;

std::uintptr_t word_of(void* value) noexcept {
    return reinterpret_cast<std::uintptr_t>(value);
}

/// The pool the key's value points to, or null when it holds a counter word.
Pool* pool_in(void* value) noexcept {
    return value != nullptr && (word_of(value) & counter_word_tag) == 0 ? static_cast<Pool*>(value)
                                                                        : nullptr;
}

bool pool_gone(void* value) noexcept {
    return (word_of(value) & gone_flag) != 0;
}

std::uint64_t counter_in(void* value) noexcept {
    Pool* pool = pool_in(value);
    return pool != nullptr ? pool->lock_count : word_of(value) >> counter_shift;
}

/// Stores `count` in a counter word. The word of a thread's first frame is its first
/// store into the key: for the first keys of a process that needs no memory, and past
/// them opening a frame has no orderly path when it does.
void store_counter(std::uint64_t count, bool gone) noexcept {
    std::uintptr_t word =
        (static_cast<std::uintptr_t>(count) << counter_shift) | (gone ? gone_flag : 0);
    if (word != 0) {
        word |= counter_word_tag;
    }
    if (!frame_key.set(reinterpret_cast<void*>(word))) {
        runtime::fatal("no memory for the thread's call state");
    }
}

void add_to_counter(void* value, int change) noexcept {
    if (Pool* pool = pool_in(value)) [[likely]] {
        pool->lock_count += change;
        return;
    }
    store_counter(counter_in(value) + change, pool_gone(value));
}

/// Frees the pool's storage when the thread ends. The references still in it are not
/// released: without the interpreter lock nothing may touch them. The gone word stays
/// through every later round of the C library's destructors, so that the pool is not
/// made again by code they run.
void tear_down_frame_state(void* value) noexcept {
    const std::uint64_t count = counter_in(value);
    if (Pool* pool = pool_in(value)) {
        std::free(pool->entries);
        std::free(pool);
    }
    store_counter(count, true);
}

/// Reference-count changes made by threads that did not hold the lock. The mutex
/// guards the two arrays and is held only for an append or for moving them out.
struct PendingQueue {
    std::mutex mutex;
    std::vector<PyObject*> increments;
    std::vector<PyObject*> decrements;
    std::atomic<bool> dirty{false};
};

PendingQueue pending;

/// True when there was something to apply.
bool apply_pending_changes() noexcept {
    if (!pending.dirty.exchange(false)) {
        return false;
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
    return true;
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

/// Makes the thread's pool, taking over the counter from the key's word.
Pool* create_pool(void* value) {
    auto* pool = static_cast<Pool*>(std::malloc(sizeof(Pool)));
    auto* entries = static_cast<PyObject**>(std::malloc(pool_initial_capacity * sizeof(PyObject*)));
    if (pool == nullptr || entries == nullptr || !frame_key.set(pool)) {
        std::free(pool);
        std::free(entries);
        throw std::bad_alloc();
    }
    *pool = Pool{counter_in(value), entries, 0, pool_initial_capacity};
    return pool;
}

void grow_pool(Pool& pool) {
    std::size_t capacity = pool.capacity * 2;
    auto* entries =
        static_cast<PyObject**>(std::realloc(pool.entries, capacity * sizeof(PyObject*)));
    if (entries == nullptr) {
        throw std::bad_alloc();
    }
    pool.entries = entries;
    pool.capacity = capacity;
}

/// Releases the pool's entries from `mark` on, oldest first. They are moved out
/// before any release, because a finalizer that runs may register references of its
/// own.
void cut_pool(Pool& pool, std::size_t mark) noexcept {
    if (pool.length <= mark) {
        return;
    }
    std::size_t count = pool.length - mark;
    PyObject* inline_cut[32];
    PyObject** cut = inline_cut;
    if (count > std::size(inline_cut)) {
        cut = static_cast<PyObject**>(std::malloc(count * sizeof(PyObject*)));
        if (cut == nullptr) {
            runtime::fatal("no memory to release the references of a call");
        }
    }
    std::memcpy(cut, pool.entries + mark, count * sizeof(PyObject*));
    pool.length = mark;
    for (std::size_t i = 0; i < count; ++i) {
        Py_DECREF(cut[i]);
    }
    if (cut != inline_cut) {
        std::free(cut);
    }
}

} // namespace

CallFrame::CallFrame() noexcept {
    void* value = frame_key.get();
    if (value == nullptr) {
        // The thread's first frame, or one of its first before any registration: the
        // C++ runtime's state is made here, before the body can throw.
        runtime::prepare_thread_runtime();
    }
    add_to_counter(value, 1);
    if (apply_pending_changes()) {
        // The finalizers that ran may have made this thread's pool.
        value = frame_key.get();
    }
    Pool* pool = pool_in(value);
    mark_ = pool != nullptr ? pool->length : pool_gone(value) ? no_mark : 0;
}

CallFrame::~CallFrame() noexcept(false) {
    void* value = frame_key.get();
    if (!abandoned_) [[likely]] {
        if (Pool* pool = pool_in(value); pool != nullptr && mark_ != no_mark) {
            cut_pool(*pool, mark_);
        }
        if (in_recursion_guard_) {
            Py_LeaveRecursiveCall();
        }
    }
    add_to_counter(value, -1);
}

bool CallFrame::enter_recursion_guard() noexcept {
    // Only a call made while another of this thread's calls is open can be part of a
    // recursion through the module: the outermost one is left uncounted, which spares
    // every ordinary call two interpreter calls.
    if (counter_in(frame_key.get()) < 2) {
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
    void* value = frame_key.get();
    if (pool_gone(value)) {
        return object;
    }
    OwnedReference held(object);
    Pool* pool = pool_in(value);
    if (pool == nullptr) {
        pool = create_pool(value);
    } else if (pool->length == pool->capacity) {
        grow_pool(*pool);
    }
    pool->entries[pool->length++] = held.release();
    return object;
}

void safe_incref(PyObject* object) noexcept {
    if (lock_count() == 0) {
        enqueue(pending.increments, object);
    } else if (thread_holds_interpreter_lock()) [[likely]] {
        Py_INCREF(object);
    }
}

void safe_release(PyObject* object) noexcept {
    if (lock_count() == 0) {
        enqueue(pending.decrements, object);
    } else if (thread_holds_interpreter_lock()) [[likely]] {
        Py_DECREF(object);
    }
}

bool lock_held() noexcept {
    return lock_count() != 0;
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
    if (void* value = frame_key.get(); counter_in(value) != 0) {
        add_to_counter(value, 1);
    } else {
        frame_.emplace();
    }
}

LockGuard::~LockGuard() {
    if (state_ == PyGILState_UNLOCKED && lock_count() != 1) {
        runtime::fatal("The first GILGuard acquired must be the last one dropped.");
    }
    if (frame_.has_value()) {
        frame_.reset();
    } else {
        add_to_counter(frame_key.get(), -1);
    }
    PyGILState_Release(state_);
}

std::size_t pool_length() noexcept {
    Pool* pool = pool_in(frame_key.get());
    return pool != nullptr ? pool->length : 0;
}
std::size_t lock_count() noexcept {
    return counter_in(frame_key.get());
}

} // namespace tesk::binding
