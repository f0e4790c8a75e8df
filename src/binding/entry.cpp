// entry.cpp — handing an entry's error to the interpreter.
#include "binding/entry.h"

namespace tesk::binding {

void restore_error(Error error) noexcept {
    try {
        std::move(error).restore();
    } catch (const runtime::InternalFailure& failure) {
        // Making the exception failed (its type or its argument could not be
        // created); report that failure instead, or, failing that too, no memory.
        try {
            Error::from_failure(failure.message()).restore();
        } catch (...) {
            PyErr_NoMemory();
        }
    } catch (...) {
        PyErr_NoMemory();
    }
}

} // namespace tesk::binding
