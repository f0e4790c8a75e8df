// trap.cpp — handing the error or failure that ends an entry to the interpreter.
#include "binding/trap.h"

namespace tesk::binding {

void restore_error(Error error) {
    try {
        std::move(error).restore();
    } catch (const runtime::InternalFailure& failure) {
        restore_failure(&failure.message());
    } catch (...) {
        if (caught_forced_unwind()) {
            resume_forced_unwind();
        }
        PyErr_NoMemory();
    }
}

void restore_failure(const std::string* message) {
    try {
        Error::from_failure(message).restore();
    } catch (...) {
        if (caught_forced_unwind()) {
            resume_forced_unwind();
        }
        PyErr_NoMemory();
    }
}

} // namespace tesk::binding
