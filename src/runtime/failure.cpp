// failure.cpp — the stderr report of internal failures and the backtrace switch.
#include "runtime/failure.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

#if TESK_HAVE_LIBBACKTRACE
#include <backtrace.h>
#include <cxxabi.h>
#include <dlfcn.h>
#else
#include <execinfo.h>
#include <unistd.h>
#endif

namespace tesk::runtime {
namespace {

// Read on every report rather than cached: a report is rare, and a test may set
// the variable after the module was loaded.
bool backtrace_requested() noexcept {
    const char* value = std::getenv("TESK_BACKTRACE");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

#if TESK_HAVE_LIBBACKTRACE

// Reading debug information is best effort: a frame it cannot name is still listed.
void ignore_symbolizer_error(void*, const char*, int) noexcept {}

// libbacktrace caches every object's symbols and line tables in its state, which it
// cannot free: one for the process, made on the first backtrace.
backtrace_state* symbolizer() noexcept {
    static backtrace_state* const state =
        backtrace_create_state(nullptr, 1, &ignore_symbolizer_error, nullptr);
    return state;
}

// Numbers the frames of one backtrace: inlined functions share their caller's number.
struct FrameWriter {
    backtrace_state* state;
    std::uintptr_t pc = 0;
    int index = -1;
};

void remember_symbol(void* data, std::uintptr_t, const char* name, std::uintptr_t,
                     std::uintptr_t) noexcept {
    *static_cast<const char**>(data) = name;
}

void write_function_name(const char* name) noexcept {
    int status = 0;
    char* demangled = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    std::fputs(demangled != nullptr ? demangled : name, stderr);
    std::free(demangled);
}

// Names a frame that the line tables do not cover: by the symbol table where the
// object has one, else by object and offset, which a reader can still look up.
void write_unnamed_frame(backtrace_state* state, std::uintptr_t pc) noexcept {
    const char* symbol = nullptr;
    backtrace_syminfo(state, pc, &remember_symbol, &ignore_symbolizer_error, &symbol);
    Dl_info object{};
    if (symbol != nullptr) {
        write_function_name(symbol);
    } else if (dladdr(reinterpret_cast<void*>(pc), &object) != 0 && object.dli_fname != nullptr) {
        const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(object.dli_fbase);
        std::fprintf(stderr, "<unknown> in %s+0x%zx", object.dli_fname,
                     static_cast<std::size_t>(pc - base));
    } else {
        std::fprintf(stderr, "<unknown> at 0x%zx", static_cast<std::size_t>(pc));
    }
}

int write_frame(void* data, std::uintptr_t pc, const char* file, int line,
                const char* function) noexcept {
    FrameWriter& writer = *static_cast<FrameWriter*>(data);
    if (pc == static_cast<std::uintptr_t>(-1)) { // the unwinder's end mark
        return 1;
    }
    if (writer.index < 0 || pc != writer.pc) {
        writer.pc = pc;
        ++writer.index;
    }
    std::fprintf(stderr, "%4d: ", writer.index);
    if (function != nullptr) {
        write_function_name(function);
    } else {
        write_unnamed_frame(writer.state, pc);
    }
    std::fputc('\n', stderr);
    if (file != nullptr) {
        std::fprintf(stderr, "             at %s:%d\n", file, line);
    }
    return 0;
}

// Not inlined, so that skipping one frame starts the backtrace at its caller.
[[gnu::noinline]] void write_backtrace() noexcept {
    std::fputs("stack backtrace:\n", stderr);
    if (backtrace_state* state = symbolizer()) {
        FrameWriter writer{state};
        backtrace_full(state, 1, &write_frame, &ignore_symbolizer_error, &writer);
    }
}

#else

// What TESK_BACKTRACE=1 writes in a build whose toolchain ships no libbacktrace (see
// CMakeLists.txt; tools/test_all.sh compiles it in its -fcf-protection build): the C
// library lists exported symbols and raw offsets.
void write_backtrace() noexcept {
    void* frames[64];
    int count = ::backtrace(frames, 64);
    std::fputs("stack backtrace:\n", stderr);
    std::fflush(stderr);
    ::backtrace_symbols_fd(frames, count, STDERR_FILENO);
}

#endif

} // namespace

void report(std::string_view message, std::source_location where) noexcept {
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
        std::strcpy(name, "<unnamed>");
    }
    std::fprintf(stderr, "tesk: internal failure in thread '%s' at %s:%u:%u: %.*s\n", name,
                 where.file_name(), static_cast<unsigned>(where.line()),
                 static_cast<unsigned>(where.column()), static_cast<int>(message.size()),
                 message.data());
    if (backtrace_requested()) {
        write_backtrace();
    }
    std::fflush(stderr);
}

void fail(std::string message, std::source_location where) {
    report(message, where);
    throw InternalFailure(std::move(message));
}

void fail(std::string_view expectation, std::string_view rendering, std::source_location where) {
    std::string message;
    message.reserve(expectation.size() + 2 + rendering.size());
    message.append(expectation).append(": ").append(rendering);
    fail(std::move(message), where);
}

void resume(std::string message) {
    throw InternalFailure(std::move(message));
}

void fatal(std::string_view message, std::source_location where) noexcept {
    report(message, where);
    std::fputs("tesk: this failure has no orderly path; aborting\n", stderr);
    std::abort();
}

} // namespace tesk::runtime
