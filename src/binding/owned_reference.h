// owned_reference.h — one strong reference, released when its scope ends.
#pragma once

#include <utility>

#include "binding/call_frame.h"
#include "binding/python.h"

namespace tesk::binding {

/// Releases the reference it holds (if any) through safe release when the scope ends,
/// also while a failure unwinds; release() hands it on instead.
class OwnedReference {
public:
    explicit OwnedReference(PyObject* object) noexcept : object_(object) {}
    ~OwnedReference() {
        if (object_ != nullptr) {
            safe_release(object_);
        }
    }
    OwnedReference(const OwnedReference&) = delete;
    OwnedReference& operator=(const OwnedReference&) = delete;

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    PyObject* object_;
};

} // namespace tesk::binding
