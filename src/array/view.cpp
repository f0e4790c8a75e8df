// view.cpp — reading a NumPy float64 array's layout.
#include "array/view.h"

#include "runtime/contract_texts.h"
#include "runtime/failure.h"

namespace tesk::array {

runtime::Float64View view_of(PyArrayObject* array) {
    const PyArrayObject_fields* fields = fields_of(array);
    if (fields->nd > static_cast<int>(runtime::Float64View::max_dimensions)) {
        runtime::fail(contract_text::too_many_dimensions);
    }
    const std::size_t ndim = static_cast<std::size_t>(fields->nd);
    runtime::AxisList axes(ndim);
    for (std::size_t i = 0; i < ndim; ++i) {
        axes[i] =
            runtime::Axis{static_cast<std::size_t>(fields->dimensions[i]), fields->strides[i]};
    }
    return runtime::Float64View(reinterpret_cast<std::byte*>(fields->data), std::move(axes));
}

} // namespace tesk::array
