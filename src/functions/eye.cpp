// eye.cpp — eye(size): the identity matrix, zero-filled by the allocator.
#include "functions/eye.h"

#include <limits>

#include "runtime/contract_texts.h"
#include "runtime/failure.h"

namespace tesk::functions {

runtime::Float64Buffer eye(std::uint64_t size) {
    std::uint64_t count = 1;
    if (size != 0 &&
        (__builtin_mul_overflow(size, size, &count) ||
         count > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))) {
        runtime::fail(contract_text::shape_too_large);
    }
    const std::uint64_t elements = size * size;
    std::uint64_t bytes = 0;
    if (__builtin_mul_overflow(elements, std::uint64_t{sizeof(double)}, &bytes)) {
        runtime::fail(contract_text::capacity_overflow);
    }
    runtime::Float64Buffer matrix{.data = runtime::allocate_float64(elements, true),
                                  .count = elements,
                                  .ndim = 2,
                                  .shape = {size, size},
                                  .strides = {0, 0}};
    if (size != 0) {
        matrix.strides = {static_cast<std::ptrdiff_t>(size), 1};
    }
    // Zero-filled memory: only the diagonal is written, O(n) rather than O(n²).
    double* data = matrix.data.get();
    for (std::uint64_t i = 0; i < elements; i += size + 1) {
        data[i] = 1.0;
    }
    return matrix;
}

} // namespace tesk::functions
