// binder_test.cpp — the binder with argument descriptions the module's functions do not use.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "binding/arguments.h"
#include "binding/call_frame.h"
#include "binding/python.h"

namespace {

using tesk::binding::ArgSpec;
using tesk::binding::KeywordOnlyParameter;

/// One interpreter for the whole binary; a frame around every test.
class Interpreter : public ::testing::Environment {
public:
    void SetUp() override { Py_InitializeEx(0); }
};

const auto* const interpreter = ::testing::AddGlobalTestEnvironment(new Interpreter);

constexpr std::string_view three_names[] = {"a", "b", "c"};
constexpr KeywordOnlyParameter keyword_only[] = {{"k", true}, {"opt", false}};

// f(a, /, b, c=...) with a required keyword-only k and an optional keyword-only opt.
constexpr ArgSpec mixed{.function_name = "f",
                        .positional = three_names,
                        .positional_only = 1,
                        .required_positional = 2,
                        .keyword_only = keyword_only};
constexpr ArgSpec method{.class_name = "Owner",
                         .function_name = "m",
                         .positional = three_names,
                         .required_positional = 3};

struct Call {
    std::vector<long> positional;
    std::vector<std::string> keywords; ///< each keyword's value is 100 + its index
};

struct Bound {
    std::string error;       ///< empty on success
    std::vector<long> slots; ///< -1 for an empty slot
};

Bound bind(const ArgSpec& spec, const Call& call) {
    tesk::binding::CallFrame frame;
    std::vector<PyObject*> args;
    for (long value : call.positional) {
        args.push_back(tesk::binding::register_new(PyLong_FromLong(value)));
    }
    PyObject* kwnames = nullptr;
    if (!call.keywords.empty()) {
        kwnames =
            tesk::binding::register_new(PyTuple_New(static_cast<Py_ssize_t>(call.keywords.size())));
        for (std::size_t k = 0; k < call.keywords.size(); ++k) {
            PyObject* name = PyUnicode_FromString(call.keywords[k].c_str());
            PyTuple_SET_ITEM(kwnames, static_cast<Py_ssize_t>(k), name);
            args.push_back(
                tesk::binding::register_new(PyLong_FromLong(100 + static_cast<long>(k))));
        }
    }
    std::vector<PyObject*> slots(spec.slot_count(), nullptr);
    Bound bound;
    if (auto error = tesk::binding::bind_arguments(
            spec, args.data(), static_cast<Py_ssize_t>(call.positional.size()), kwnames, slots)) {
        EXPECT_EQ(error->type(), PyExc_TypeError);
        PyObject* text = tesk::binding::register_new(PyObject_Str(error->value()));
        bound.error = PyUnicode_AsUTF8(text);
        return bound;
    }
    for (PyObject* slot : slots) {
        bound.slots.push_back(slot == nullptr ? -1 : PyLong_AsLong(slot));
    }
    return bound;
}

struct BindCase {
    const char* label;
    const ArgSpec* spec;
    Call call;
    Bound expected;
};

class BinderTest : public ::testing::TestWithParam<BindCase> {};

TEST_P(BinderTest, BindsOrRefusesExactly) {
    const BindCase& c = GetParam();
    const Bound bound = bind(*c.spec, c.call);
    EXPECT_EQ(bound.error, c.expected.error);
    EXPECT_EQ(bound.slots, c.expected.slots);
}

INSTANTIATE_TEST_SUITE_P(
    Descriptions, BinderTest,
    ::testing::Values(
        BindCase{
            "optional_positional_left_out", &mixed, {{1, 2}, {"k"}}, {"", {1, 2, -1, 100, -1}}},
        BindCase{"everything_given", &mixed, {{1, 2, 3}, {"opt", "k"}}, {"", {1, 2, 3, 101, 100}}},
        BindCase{
            "keyword_fills_positional", &mixed, {{1}, {"b", "k"}}, {"", {1, 100, -1, 101, -1}}},
        BindCase{"too_many_with_optional",
                 &mixed,
                 {{1, 2, 3, 4}, {}},
                 {"f() takes from 2 to 3 positional arguments but 4 were given", {}}},
        BindCase{"positional_only_by_keyword",
                 &mixed,
                 {{}, {"a", "b", "k"}},
                 {"f() got some positional-only arguments passed as keyword arguments: 'a'", {}}},
        BindCase{"missing_keyword_only",
                 &mixed,
                 {{1, 2}, {}},
                 {"f() missing 1 required keyword argument: 'k'", {}}},
        BindCase{"missing_positional_before_keyword",
                 &mixed,
                 {{1}, {}},
                 {"f() missing 1 required positional argument: 'b'", {}}},
        BindCase{"keyword_only_given_twice_by_name",
                 &mixed,
                 {{1, 2}, {"k", "k"}},
                 {"f() got multiple values for argument 'k'", {}}},
        BindCase{"unexpected_keyword",
                 &mixed,
                 {{1, 2}, {"k", "zzz"}},
                 {"f() got an unexpected keyword argument 'zzz'", {}}},
        BindCase{"class_name_in_display",
                 &method,
                 {{}, {}},
                 {"Owner.m() missing 3 required positional arguments: 'a', 'b', and 'c'", {}}},
        BindCase{"class_takes_exactly",
                 &method,
                 {{1, 2, 3, 4}, {}},
                 {"Owner.m() takes 3 positional arguments but 4 were given", {}}}),
    [](const ::testing::TestParamInfo<BindCase>& info) { return info.param.label; });

} // namespace
