// arguments.cpp — binding METH_FASTCALL | METH_KEYWORDS calls to parameters.
#include "binding/arguments.h"

#include <string>
#include <vector>

#include "binding/call_frame.h"
#include "binding/convert.h"
#include "runtime/contract_texts.h"
#include "runtime/failure.h"

namespace tesk::binding {
namespace {

std::string display_name(const ArgSpec& spec) {
    std::string name;
    if (spec.class_name.data() != nullptr) {
        name.append(spec.class_name).append(".");
    }
    name.append(spec.function_name).append("()");
    return name;
}

/// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
template <typename Names> std::string parameter_list(const Names& names) {
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
    std::string text = display_name(spec);
    const std::size_t total = spec.positional.size();
    if (spec.required_positional == total) {
        text += " takes " + std::to_string(total);
    } else {
        text += " takes from " + std::to_string(spec.required_positional) + " to " +
                std::to_string(total);
    }
    text += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
            " given";
    return Error::type_error(std::move(text));
}

Error multiple_values(const ArgSpec& spec, std::string_view keyword) {
    return Error::type_error(display_name(spec) + " got multiple values for argument '" +
                             std::string(keyword) + "'");
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

template <typename Names>
Error missing(const ArgSpec& spec, std::string_view kind, const Names& names) {
    const std::size_t count = names.size();
    return Error::type_error(display_name(spec) + " missing " + std::to_string(count) +
                             " required " + std::string(kind) +
                             (count == 1 ? " argument: " : " arguments: ") + parameter_list(names));
}

} // namespace

std::optional<Error> bind_arguments(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames, std::span<PyObject*> slots) {
    const std::size_t positional_count = spec.positional.size();
    const auto given = static_cast<std::size_t>(nargs);
    if (given > positional_count) {
        return too_many_positional(spec, nargs);
    }
    for (std::size_t i = 0; i < given; ++i) {
        slots[i] = args[i];
    }

    std::vector<std::string_view> positional_only_keywords;
    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        if (!PyUnicode_Check(name)) {
            return downcast_error(name, contract_text::str_target);
        }
        Py_ssize_t length = 0;
        const char* data = PyUnicode_AsUTF8AndSize(name, &length);
        if (data == nullptr) {
            // A name UTF-8 cannot encode matches no parameter.
            (void)Error::fetch();
            return unexpected_keyword(spec, name);
        }
        const std::string_view keyword(data, static_cast<std::size_t>(length));

        bool bound = false;
        for (std::size_t j = 0; j < spec.keyword_only.size() && !bound; ++j) {
            if (spec.keyword_only[j].name != keyword) {
                continue;
            }
            PyObject*& slot = slots[positional_count + j];
            if (slot != nullptr) {
                return multiple_values(spec, keyword);
            }
            slot = value;
            bound = true;
        }
        for (std::size_t i = 0; i < positional_count && !bound; ++i) {
            if (spec.positional[i] != keyword) {
                continue;
            }
            bound = true;
            if (i < spec.positional_only) {
                positional_only_keywords.push_back(keyword);
            } else if (slots[i] != nullptr) {
                return multiple_values(spec, keyword);
            } else {
                slots[i] = value;
            }
        }
        if (!bound) {
            return unexpected_keyword(spec, name);
        }
    }

    if (!positional_only_keywords.empty()) {
        return Error::type_error(display_name(spec) +
                                 " got some positional-only arguments passed as keyword "
                                 "arguments: " +
                                 parameter_list(positional_only_keywords));
    }
    if (given < spec.required_positional) {
        std::vector<std::string_view> absent;
        for (std::size_t i = 0; i < spec.required_positional; ++i) {
            if (slots[i] == nullptr) {
                absent.push_back(spec.positional[i]);
            }
        }
        if (!absent.empty()) {
            return missing(spec, "positional", absent);
        }
    }
    std::vector<std::string_view> absent_keywords;
    for (std::size_t j = 0; j < spec.keyword_only.size(); ++j) {
        if (spec.keyword_only[j].required && slots[positional_count + j] == nullptr) {
            absent_keywords.push_back(spec.keyword_only[j].name);
        }
    }
    if (!absent_keywords.empty()) {
        return missing(spec, "keyword", absent_keywords);
    }
    return std::nullopt;
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
