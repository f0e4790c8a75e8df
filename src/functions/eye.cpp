// eye.cpp — eye(size): the identity matrix, zero-filled by the allocator.
#include "functions/eye.h"

#include <cstdlib>
#include <limits>
#include <new>

#include "binding/convert.h"
#include "runtime/failure.h"

namespace tesk::functions {

array::OwnedFloat64Array identity_matrix(std::uint64_t n) {
    std::uint64_t count = 1;
    if (n != 0 && (__builtin_mul_overflow(n, n, &count) ||
                   count > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))) {
        runtime::fail("ndarray: Shape too large, product of non-zero axis lengths overflows isize");
    }
    const std::uint64_t elements = n * n;
    std::uint64_t bytes = 0;
    if (__builtin_mul_overflow(elements, std::uint64_t{sizeof(double)}, &bytes)) {
        runtime::fail("capacity overflow");
    }
    const auto strides = n == 0 ? std::array<std::ptrdiff_t, 2>{0, 0}
                                : std::array<std::ptrdiff_t, 2>{static_cast<std::ptrdiff_t>(n), 1};
    if (bytes == 0) {
        return array::OwnedFloat64Array(array::OwnedFloat64Array::placeholder(), 0, 0, 2, {0, 0},
                                        strides);
    }
    // calloc hands out zeroed pages, so only the diagonal is written: O(n), not O(n²).
    auto* buffer = static_cast<double*>(std::calloc(bytes, 1));
    if (buffer == nullptr) {
        throw std::bad_alloc();
    }
    for (std::uint64_t i = 0; i < n; ++i) {
        buffer[i * (n + 1)] = 1.0;
    }
    return array::OwnedFloat64Array(buffer, elements, elements, 2, {n, n}, strides);
}

binding::Result<PyObject*> eye(std::span<PyObject* const> slots) {
    binding::Result<std::uint64_t> size = binding::to_index_size(slots[0]);
    if (!size.ok()) {
        return binding::rewrite_argument_error("size", size.take_error());
    }
    PyObject* matrix = array::to_numpy_array(identity_matrix(size.value()));
    Py_INCREF(matrix);
    return matrix;
}

} // namespace tesk::functions
