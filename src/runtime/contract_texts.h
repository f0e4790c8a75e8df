// contract_texts.h — texts compared byte for byte by callers: they must not be reworded.
#pragma once

// Callers of the module compare these texts byte for byte: the messages of its exceptions
// and internal failures, the names and documents Python code reads. Their wording is part
// of what the module promises, also where it reads oddly or names something that exists
// nowhere in this code; a text here is never reworded, shortened or corrected, only added
// or, with what emits it, removed. The tests read them from here as well (the native tests
// include this file, tests/python/contract_texts.py parses it): keep to one
// `inline constexpr char name[] = "...";` per text, literals split over lines allowed.
namespace tesk::contract_text {

// The module and its functions.
inline constexpr char introduction[] =
    "Tesk, 图像配基工具库, version: 0.1. 这是测试消息, 正式版即将上线.";
inline constexpr char module_name_not_utf8[] = "PyModule_GetName expected to return utf8";
inline constexpr char invalid_utf8_at_byte[] = "invalid utf-8 sequence at byte ";
inline constexpr char all_not_appended[] = "could not append __name__ to __all__";
inline constexpr char recursion_where[] = " while calling a tesk function";
inline constexpr char shape_too_large[] =
    "ndarray: Shape too large, product of non-zero axis lengths overflows isize";
inline constexpr char capacity_overflow[] = "capacity overflow";
inline constexpr char subinterpreters_refused[] =
    "module tesk does not support loading in subinterpreters";

// Errors, failures and their texts.
inline constexpr char python_api_call_failed[] = "Python API call failed";
inline constexpr char not_an_exception[] = "exceptions must derive from BaseException";
inline constexpr char nothing_to_fetch[] = "attempted to fetch exception but none was set";
inline constexpr char exception_type_missing[] = "Exception type missing";
inline constexpr char exception_value_missing[] = "Exception value missing";
inline constexpr char panic_type_name[] = "pyo3_runtime.PanicException";
inline constexpr char panic_type_doc[] =
    "\n"
    "The exception raised when native code of the tesk module, called from Python, panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
inline constexpr char panic_type_failed[] = "Failed to initialize new exception type.";
inline constexpr char failure_without_message[] = "native code of tesk failed without a message";
inline constexpr char unwrapped_panic[] = "Unwrapped panic from Python code";
inline constexpr char panic_resumed_notice[] =
    "--- A PanicException was fetched from Python; resuming it as a failure of the current "
    "call ---\n"
    "Python stack trace below:\n";
/// The rendering of an error value: type, value, then the traceback or none.
inline constexpr char rendering_type[] = "PyErr { type: ";
inline constexpr char rendering_value[] = ", value: ";
inline constexpr char rendering_traceback[] = ", traceback: ";
inline constexpr char rendering_no_traceback[] = "None";
inline constexpr char rendering_some[] = "Some(";
inline constexpr char rendering_some_end[] = ")";
inline constexpr char rendering_end[] = " }";
inline constexpr char unrepresentable_object[] = "<unrepresentable object>";
/// The two failures of text for a message, both followed by the rendering "Error".
inline constexpr char display_failed[] = "a Display implementation returned an error unexpectedly";
inline constexpr char formatting_failed[] = "a formatting trait implementation returned an error";
inline constexpr char formatting_failure_rendering[] = "Error";

// Arguments.
/// A downcast error: "'<type>" + cannot_be_converted + "<target>'".
inline constexpr char cannot_be_converted[] = "' object cannot be converted to '";
inline constexpr char array_target[] = "PyArray<T, D>";
inline constexpr char str_target[] = "PyString";
inline constexpr char list_target[] = "PyList";
/// An array of another element type: type_mismatch_from + "<dtype>" + type_mismatch_to + "<dtype>".
inline constexpr char type_mismatch_from[] = "type mismatch:\n from=";
inline constexpr char type_mismatch_to[] = ", to=";
/// After "argument '<name>': ".
inline constexpr char read_only_destination[] = "assignment destination is read-only";
inline constexpr char too_many_dimensions[] = "Only dimensionalities of up to 32 are supported";

// NumPy and the result's owner.
inline constexpr char numpy_import_failed[] = "Failed to import numpy module";
inline constexpr char numpy_capsule_failed[] = "Failed to get numpy capsule API";
inline constexpr char container_type_failed[] =
    "An error occurred while initializing class PySliceContainer";
inline constexpr char container_doc[] =
    "Utility type safely owning a fixed/growable buffer on the Python heap.";
inline constexpr char no_constructor[] = "No constructor defined";
inline constexpr char object_creation_failed[] = "Object creation failed.";

// The random generator and its entropy.
inline constexpr char thread_rng_failed[] = "could not initialize thread_rng: ";
inline constexpr char tls_destroyed[] =
    "cannot access a Thread Local Storage value during or after destruction";
inline constexpr char tls_destroyed_rendering[] = "AccessError";
inline constexpr char once_poisoned[] = "Once instance has previously been poisoned";
inline constexpr char atfork_failed[] = "pthread_atfork failed with code ";
inline constexpr char errno_not_positive[] = "errno: did not return a positive value";
inline constexpr char unknown_error[] = "Unknown Error: ";
inline constexpr char os_error[] = "OS Error: ";

} // namespace tesk::contract_text
