// view.h — a NumPy float64 array as a Float64View, and the read-only borrow.
#pragma once

#include "array/numpy_api.h"
#include "runtime/float64_view.h"

namespace tesk::array {

/// Builds the view of a float64 array; fails for more than 32 dimensions.
runtime::Float64View view_of(PyArrayObject* array);

/// Clears the array's writeable flag while held, and restores it on every way out.
class ReadonlyBorrow {
public:
    explicit ReadonlyBorrow(PyArrayObject* array) noexcept;
    ~ReadonlyBorrow();
    ReadonlyBorrow(const ReadonlyBorrow&) = delete;
    ReadonlyBorrow& operator=(const ReadonlyBorrow&) = delete;

private:
    PyArrayObject* array_;
    bool was_writeable_;
};

} // namespace tesk::array
