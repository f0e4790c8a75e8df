// float64_buffer.cpp — result memory from the C allocator.
#include "runtime/float64_buffer.h"

#include <new>

namespace tesk::runtime {

Float64Memory allocate_float64(std::size_t count, bool zeroed) {
    if (count == 0) {
        return nullptr;
    }
    // calloc hands out zeroed pages, so a sparse result writes only what is not zero.
    void* memory =
        zeroed ? std::calloc(count, sizeof(double)) : std::malloc(count * sizeof(double));
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return Float64Memory(static_cast<double*>(memory));
}

} // namespace tesk::runtime
