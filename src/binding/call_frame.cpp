// call_frame.cpp — per-thread frame depth and owned-object pool.
#include "binding/call_frame.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "binding/owned_reference.h"
#include "runtime/contract_texts.h"
#include "runtime/failure.h"
#include "runtime/thread_key.h"

namespace tesk::binding {
namespace {

constexpr std::size_t pool_initial_capacity = 256;

/// A thread's frame state once its owned-object pool exists.
struct Pool {
    std::uint64_t depth;
    PyObject** entries;
    std::size_t length;
    std::size_t capacity;
};

void tear_down_frame_state(void* value) noexcept;

/// The calling thread's frame state. Opening a frame must not allocate, so until the
/// pool exists, and again once it is gone, the key's value is not a Pool but a word
/// holding the frame depth (open frames of the thread) and a gone flag; null means depth 0
/// and no pool yet. The pool is made by the first registration, where its failure can be reported.
const runtime::ThreadKey frame_key(&tear_down_frame_state);

constexpr std::uintptr_t depth_word_tag = 1;
constexpr std::uintptr_t gone_flag = 2;
constexpr unsigned depth_shift = 2;

std::uintptr_t word_of(void* value) noexcept {
    return reinterpret_cast<std::uintptr_t>(value);
}

/// The pool the key's value points to, or null when it holds a depth word.
Pool* pool_in(void* value) noexcept {
    return value != nullptr && (word_of(value) & depth_word_tag) == 0 ? static_cast<Pool*>(value)
                                                                      : nullptr;
}

bool pool_gone(void* value) noexcept {
    return (word_of(value) & gone_flag) != 0;
}

std::uint64_t depth_in(void* value) noexcept {
    Pool* pool = pool_in(value);
    return pool != nullptr ? pool->depth : word_of(value) >> depth_shift;
}

/// Stores `depth` in a depth word. The word of a thread's first frame is its first
/// store into the key: for the first keys of a process that needs no memory, and past
/// them opening a frame has no orderly path when it does.
void store_depth(std::uint64_t depth, bool gone) noexcept {
    std::uintptr_t word =
        (static_cast<std::uintptr_t>(depth) << depth_shift) | (gone ? gone_flag : 0);
    if (word != 0) {
        word |= depth_word_tag;
    }
    if (!frame_key.set(reinterpret_cast<void*>(word))) {
        runtime::fatal("no memory for the thread's call state");
    }
}

void add_to_depth(void* value, int change) noexcept {
    if (Pool* pool = pool_in(value)) [[likely]] {
        pool->depth += change;
        return;
    }
    store_depth(depth_in(value) + change, pool_gone(value));
}

/// Frees the pool's storage when the thread ends. The references still in it are not
/// released: without the interpreter lock nothing may touch them. The gone word stays
/// through every later round of the C library's destructors, so that the pool is not
/// made again by code they run.
void tear_down_frame_state(void* value) noexcept {
    const std::uint64_t depth = depth_in(value);
    if (Pool* pool = pool_in(value)) {
        std::free(pool->entries);
        std::free(pool);
    }
    store_depth(depth, true);
}

/// Makes the thread's pool, taking over the depth from the key's word.
Pool* create_pool(void* value) {
    auto* pool = static_cast<Pool*>(std::malloc(sizeof(Pool)));
    auto* entries = static_cast<PyObject**>(std::malloc(pool_initial_capacity * sizeof(PyObject*)));
    if (pool == nullptr || entries == nullptr || !frame_key.set(pool)) {
        std::free(pool);
        std::free(entries);
        throw std::bad_alloc();
    }
    *pool = Pool{depth_in(value), entries, 0, pool_initial_capacity};
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
    nested_ = depth_in(value) != 0;
    add_to_depth(value, 1);
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
    add_to_depth(value, -1);
}

bool CallFrame::enter_recursion_guard() noexcept {
    // Only a call made while another of this thread's calls is open can be part of a
    // recursion through the module: the outermost one is left uncounted, which spares
    // every ordinary call two interpreter calls.
    if (!nested_) {
        return true;
    }
    in_recursion_guard_ = Py_EnterRecursiveCall(contract_text::recursion_where) == 0;
    return in_recursion_guard_;
}

void fail_python_api_call() {
    PyErr_Print();
    runtime::fail(contract_text::python_api_call_failed);
}

PyObject* require_non_null(PyObject* object) {
    if (object == nullptr) {
        fail_python_api_call();
    }
    return object;
}

PyObject* register_new(PyObject* object) {
    require_non_null(object);
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

void safe_release(PyObject* object) noexcept {
    if (PyGILState_Check() != 0) [[likely]] {
        Py_DECREF(object);
    }
}

} // namespace tesk::binding
