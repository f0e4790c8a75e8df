// convert.h — scalar and text conversions, the downcast error, object text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "binding/first_use_cell.h"
#include "binding/python.h"
#include "binding/result.h"

namespace tesk::binding {

/// An interned str of `text`, created on first use and kept in `cell`.
PyObject* interned_name(FirstUseCell<>& cell, std::string_view text);

/// PyFloat_AsDouble, with -1.0 accepted when nothing is pending.
Result<double> to_f64(PyObject* object);

/// PyNumber_Index then PyLong_AsUnsignedLongLong.
Result<std::uint64_t> to_index_size(PyObject* object);

/// The UTF-8 text of a str, borrowed from the object; downcast error "PyString" otherwise.
Result<std::string_view> to_utf8(PyObject* object);

/// to_utf8, copied into an owned text.
Result<std::string> to_utf8_owned(PyObject* object);

/// A str of the text, held by the call frame's pool (borrowed reference).
PyObject* str_from_text(std::string_view text);

/// A str of the text as a new reference for the caller.
PyObject* new_str_from_text(std::string text);

/// TypeError "'<qualname>' object cannot be converted to '<target>'".
Error downcast_error(PyObject* object, std::string_view target);

/// str() of the object as UTF-8 (lone surrogates shown as U+FFFD), or none when
/// str() fails; the interpreter's error is discarded then.
std::optional<std::string> object_text(PyObject* object);

/// The UTF-8 text of a str; each byte of an unencodable surrogate becomes U+FFFD.
std::string lossy_utf8(PyObject* str);

} // namespace tesk::binding
