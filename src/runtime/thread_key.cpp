// thread_key.cpp — thread-specific data keys and the C++ runtime's per-thread state.
#include "runtime/thread_key.h"

#include "runtime/failure.h"

// The Itanium C++ ABI's per-thread exception state, exported by both C++ runtimes the
// module is built with: GCC's libstdc++ and LLVM's libc++abi (linked into the portable
// wheel, tools/build_wheel.sh). Only libstdc++'s <cxxabi.h> declares it, and neither
// runtime's public headers lay it out; its first member, the caught exceptions, is the
// ABI's.
namespace __cxxabiv1 {
struct __cxa_eh_globals {
    void* caught_exceptions;
    unsigned int uncaught_exceptions;
};
extern "C" __cxa_eh_globals* __cxa_get_globals() noexcept;
} // namespace __cxxabiv1

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
    // libstdc++ declares it const: without a use of the result the call could be dropped.
    __cxxabiv1::__cxa_eh_globals* globals = __cxxabiv1::__cxa_get_globals();
    __asm__ volatile("" : : "r"(globals));
}

#if defined(_LIBCPP_VERSION)
void exit_thread_again() {
    // As libc++abi's own rethrow of a foreign exception does, so that leaving the handler
    // neither deletes the C library's unwinding record (which ends the process) nor
    // finds it still caught.
    __cxxabiv1::__cxa_get_globals()->caught_exceptions = nullptr;
    pthread_exit(nullptr);
}
#endif

} // namespace tesk::runtime
