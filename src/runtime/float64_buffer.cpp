// float64_buffer.cpp — result memory from the C allocator.
#include "runtime/float64_buffer.h"

#include <cstring>
#include <new>

namespace tesk::runtime {
namespace {

/// Up to 1 KiB: blocks that glibc's per-thread cache serves.
constexpr std::size_t small_block_count = 128;

} // namespace

Float64Memory allocate_float64(std::size_t count, bool zeroed) {
    if (count == 0) {
        return nullptr;
    }
    // calloc hands out zeroed pages, so a sparse result writes only what is not zero. A
    // small block comes quicker from malloc, whose per-thread cache calloc passes by, and
    // is cleared at once.
    const bool small = count <= small_block_count;
    void* memory =
        zeroed && !small ? std::calloc(count, sizeof(double)) : std::malloc(count * sizeof(double));
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    if (zeroed && small) {
        std::memset(memory, 0, count * sizeof(double));
    }
    return Float64Memory(static_cast<double*>(memory));
}

} // namespace tesk::runtime
