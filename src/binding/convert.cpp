// convert.cpp — float, index-size and text conversions; downcast error; object text.
#include "binding/convert.h"

#include "binding/call_frame.h"
#include "binding/owned_reference.h"
#include "runtime/contract_texts.h"
#include "runtime/failure.h"
#include "runtime/utf8.h"

namespace tesk::binding {
namespace {

/// Interned "__qualname__", for the type names of downcast errors.
FirstUseCell<> qualname_key;

/// The value of an int as an unsigned 64-bit size, or the OverflowError.
Result<std::uint64_t> to_unsigned_size(PyObject* integer) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
    if (value == ~0ULL) {
        if (std::optional<Error> error = Error::fetch_if_set()) {
            return std::move(*error);
        }
    }
    return static_cast<std::uint64_t>(value);
}

} // namespace

PyObject* interned_name(FirstUseCell<>& cell, std::string_view text) {
    return cell.get([text] {
        // Interning may swap in an equal string that already exists and release ours,
        // so the pointer is kept only after interning.
        PyObject* name = require_non_null(
            PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        PyUnicode_InternInPlace(&name);
        return name;
    });
}

Result<double> to_f64(PyObject* object) {
    if (PyFloat_CheckExact(object)) {
        return PyFloat_AS_DOUBLE(object);
    }
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0) {
        if (std::optional<Error> error = Error::fetch_if_set()) {
            return std::move(*error);
        }
    }
    return value;
}

Result<std::uint64_t> to_index_size(PyObject* object) {
    if (PyLong_CheckExact(object)) {
        return to_unsigned_size(object);
    }
    PyObject* index = PyNumber_Index(object);
    if (index == nullptr) {
        return Error::fetch();
    }
    // Reading an int runs no Python code: the reference is released at once.
    Result<std::uint64_t> value = to_unsigned_size(index);
    Py_DECREF(index);
    return value;
}

Result<std::string_view> to_utf8(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        return downcast_error(object, contract_text::str_target);
    }
    Py_ssize_t length = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &length);
    if (data == nullptr) {
        return Error::fetch();
    }
    return std::string_view(data, static_cast<std::size_t>(length));
}

Result<std::string> to_utf8_owned(PyObject* object) {
    Result<std::string_view> text = to_utf8(object);
    if (!text.ok()) {
        return text.take_error();
    }
    return std::string(text.value());
}

PyObject* str_from_text(std::string_view text) {
    return register_new(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Error downcast_error(PyObject* object, std::string_view target) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    PyObject* key = interned_name(qualname_key, "__qualname__");
    Py_INCREF(key);
    PyObject* qualname = PyObject_GetAttr(type, key);
    Py_DECREF(key);
    std::optional<std::string_view> name;
    if (qualname == nullptr) {
        (void)Error::fetch();
    } else {
        Result<std::string_view> text = to_utf8(register_new(qualname));
        if (text.ok()) {
            name = text.value();
        }
    }
    if (!name.has_value()) {
        runtime::fail(contract_text::display_failed, contract_text::formatting_failure_rendering);
    }
    std::string message = "'";
    message.append(*name).append(contract_text::cannot_be_converted).append(target).append("'");
    return Error::type_error(std::move(message));
}

std::optional<std::string> object_text(PyObject* object) {
    PyObject* str = PyObject_Str(object);
    if (str == nullptr) {
        (void)Error::fetch();
        return std::nullopt;
    }
    return lossy_utf8(register_new(str));
}

std::string lossy_utf8(PyObject* str) {
    Py_ssize_t length = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &length);
    if (data != nullptr) {
        return std::string(data, static_cast<std::size_t>(length));
    }
    // Lone surrogates: encode them as they stand, then decode with replacement.
    Error held = Error::fetch();
    PyObject* bytes = register_new(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    return runtime::decode_utf8_lossy(
        std::string_view(PyBytes_AsString(bytes), static_cast<std::size_t>(PyBytes_Size(bytes))));
}

} // namespace tesk::binding
