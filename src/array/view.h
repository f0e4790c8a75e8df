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
    explicit ReadonlyBorrow(PyArrayObject* array) noexcept
        : array_(array), was_writeable_((fields_of(array)->flags & NPY_ARRAY_WRITEABLE) != 0) {
        fields_of(array_)->flags &= ~NPY_ARRAY_WRITEABLE;
    }
    ~ReadonlyBorrow() {
        if (was_writeable_) {
            fields_of(array_)->flags |= NPY_ARRAY_WRITEABLE;
        }
    }
    ReadonlyBorrow(const ReadonlyBorrow&) = delete;
    ReadonlyBorrow& operator=(const ReadonlyBorrow&) = delete;

private:
    PyArrayObject* array_;
    bool was_writeable_;
};

} // namespace tesk::array
