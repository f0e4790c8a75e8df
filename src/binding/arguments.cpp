// arguments.cpp — binding METH_FASTCALL | METH_KEYWORDS calls to parameters.
#include "binding/arguments.h"

#include <algorithm>
#include <string>
#include <vector>

#include "binding/call_frame.h"
#include "binding/convert.h"
#include "runtime/contract_texts.h"
#include "runtime/failure.h"

namespace tesk::binding {
namespace {

std::string display_name(const ArgSpec& spec) {
    return std::string(spec.function_name) + "()";
}

/// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string parameter_list(const std::vector<std::string_view>& names) {
    std::string text;
    const std::size_t count = names.size();
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            if (count > 2) {
                text += ",";
            }
            text += (i + 1 == count) ? " and " : " ";
        }
        text.append("'").append(names[i]).append("'");
    }
    return text;
}

Error too_many_positional(const ArgSpec& spec, Py_ssize_t given) {
    return Error::type_error(display_name(spec) + " takes " + std::to_string(spec.names.size()) +
                             " positional arguments but " + std::to_string(given) +
                             (given == 1 ? " was" : " were") + " given");
}

std::string formatted_object_text(PyObject* object) {
    std::optional<std::string> text = object_text(object);
    if (!text.has_value()) {
        runtime::fail(contract_text::formatting_failed,
                      contract_text::formatting_failure_rendering);
    }
    return std::move(*text);
}

Error unexpected_keyword(const ArgSpec& spec, PyObject* keyword) {
    return Error::type_error(display_name(spec) + " got an unexpected keyword argument '" +
                             formatted_object_text(keyword) + "'");
}

/// The slot of the parameter named by keyword `name`, or null where no parameter has
/// that name; `error` is set where the name cannot match or the slot is already filled.
PyObject** keyword_slot(const ArgSpec& spec, PyObject* name, std::span<PyObject*> slots,
                        std::optional<Error>& error) {
    if (!PyUnicode_Check(name)) {
        error = downcast_error(name, contract_text::str_target);
        return nullptr;
    }
    Py_ssize_t length = 0;
    const char* data = PyUnicode_AsUTF8AndSize(name, &length);
    if (data == nullptr) {
        // A name UTF-8 cannot encode matches no parameter.
        (void)Error::fetch();
        error = unexpected_keyword(spec, name);
        return nullptr;
    }
    const std::string_view keyword(data, static_cast<std::size_t>(length));
    for (std::size_t i = 0; i < spec.names.size(); ++i) {
        if (spec.names[i] != keyword) {
            continue;
        }
        if (slots[i] != nullptr) {
            error = Error::type_error(display_name(spec) + " got multiple values for argument '" +
                                      std::string(keyword) + "'");
            return nullptr;
        }
        return &slots[i];
    }
    error = unexpected_keyword(spec, name);
    return nullptr;
}

} // namespace

std::optional<Error> bind_arguments(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames, std::span<PyObject*> slots) {
    const auto given = static_cast<std::size_t>(nargs);
    if (given > spec.names.size()) {
        return too_many_positional(spec, nargs);
    }
    std::copy_n(args, given, slots.begin());
    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        std::optional<Error> error;
        PyObject** slot = keyword_slot(spec, PyTuple_GET_ITEM(kwnames, k), slots, error);
        if (slot == nullptr) {
            return error;
        }
        *slot = args[nargs + k];
    }
    std::vector<std::string_view> absent;
    for (std::size_t i = given; i < spec.names.size(); ++i) {
        if (slots[i] == nullptr) {
            absent.push_back(spec.names[i]);
        }
    }
    if (absent.empty()) {
        return std::nullopt;
    }
    return Error::type_error(
        display_name(spec) + " missing " + std::to_string(absent.size()) + " required positional " +
        (absent.size() == 1 ? "argument: " : "arguments: ") + parameter_list(absent));
}

Error rewrite_argument_error(std::string_view parameter, Error error) {
    if (error.type() != PyExc_TypeError) {
        return error;
    }
    std::string text =
        "argument '" + std::string(parameter) + "': " + formatted_object_text(error.value());
    Error rewritten = Error::type_error(std::move(text));
    rewritten.set_cause(error.cause());
    return rewritten;
}

} // namespace tesk::binding
