// thread_key.cpp — thread-specific data keys and the C++ runtime's per-thread state.
#include "runtime/thread_key.h"

#include <cxxabi.h>

#include "runtime/failure.h"

namespace tesk::runtime {

ThreadKey::ThreadKey(void (*destructor)(void*)) noexcept {
    if (pthread_key_create(&key_, destructor) != 0) {
        fatal("no thread-specific data key left for the module");
    }
}

bool ThreadKey::set(void* value) const noexcept {
    return pthread_setspecific(key_, value) == 0;
}

void prepare_thread_runtime() noexcept {
    // Declared const: without a use of the result the call could be dropped.
    abi::__cxa_eh_globals* globals = abi::__cxa_get_globals();
    __asm__ volatile("" : : "r"(globals));
}

} // namespace tesk::runtime
