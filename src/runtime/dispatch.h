// dispatch.h — the one way a kernel family picks its form for this processor.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace tesk::runtime {

/// One compiled form of a kernel: the name tests and benchmarks know it by, the
/// cpu_feature bits it needs, and its entry.
template <typename Function> struct KernelForm {
    std::string_view name;
    std::uint64_t required_features;
    Function function;
};

// Files compiled with instruction-set flags include this header through their kernel
// headers, so its function templates have internal linkage: a copy that such a file
// instantiated can never stand in for a baseline caller's.
namespace {

/// Accepts every form: a choice by features alone.
struct AnyForm {
    template <typename Form> bool operator()(const Form&) const { return true; }
};

/// The first form of a best-first table whose required features are all in `features`
/// and that `admits` accepts; null if none does.
template <typename Form, typename Admits = AnyForm>
const Form* find_form(std::span<const Form> forms, std::uint64_t features, Admits admits = {}) {
    for (const Form& form : forms) {
        if ((form.required_features & ~features) == 0 && admits(form)) {
            return &form;
        }
    }
    return nullptr;
}

/// find_form for a table that ends with a form that needs nothing, taken when no other
/// fits.
template <typename Form, typename Admits = AnyForm>
const Form& choose_form(std::span<const Form> forms, std::uint64_t features, Admits admits = {}) {
    const Form* form = find_form(forms, features, admits);
    return form != nullptr ? *form : forms.back();
}

} // namespace

} // namespace tesk::runtime
