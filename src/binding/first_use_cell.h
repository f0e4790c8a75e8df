// first_use_cell.h — an object made on first use and kept for the life of the process.
#pragma once

#include "binding/python.h"

namespace tesk::binding {

/// Holds one reference, never released, to an object made when it is first needed. The
/// cell is written only under the interpreter lock, but making the object may run Python
/// code that fills the cell first (a nested call, or another thread while the lock is
/// let go): the object stored first stays, and the one made later is released.
template <typename T = PyObject> class FirstUseCell {
public:
    /// The kept object (borrowed); `make` runs when there is none and returns a new
    /// reference, or fails.
    template <typename Make> T* get(Make&& make) {
        if (object_ == nullptr) {
            keep(make());
        }
        return object_;
    }

    /// Keeps `made` (a new reference) unless an object is kept already; returns the kept one.
    T* keep(T* made) noexcept {
        if (object_ == nullptr) {
            object_ = made;
        } else {
            Py_DECREF(reinterpret_cast<PyObject*>(made));
        }
        return object_;
    }

private:
    T* object_ = nullptr;
};

} // namespace tesk::binding
