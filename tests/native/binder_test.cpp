// binder_test.cpp — the binder with more parameters than any of the module's functions has.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "binding/arguments.h"
#include "binding/call_frame.h"
#include "binding/python.h"

namespace {

using tesk::binding::ArgSpec;

/// One interpreter for the whole binary; a frame around every test.
class Interpreter : public ::testing::Environment {
public:
    void SetUp() override { Py_InitializeEx(0); }
};

const auto* const interpreter = ::testing::AddGlobalTestEnvironment(new Interpreter);

constexpr std::string_view three_names[] = {"a", "b", "c"};
constexpr ArgSpec three{.function_name = "f", .names = three_names};

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
    std::vector<PyObject*> slots(spec.names.size(), nullptr);
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

// Where three or more names are missing, the list takes commas, the last one before "and".
INSTANTIATE_TEST_SUITE_P(
    Descriptions, BinderTest,
    ::testing::Values(BindCase{"three_missing",
                               &three,
                               {{}, {}},
                               {"f() missing 3 required positional arguments: 'a', 'b', and 'c'",
                                {}}},
                      BindCase{"two_of_three_missing",
                               &three,
                               {{}, {"b"}},
                               {"f() missing 2 required positional arguments: 'a' and 'c'", {}}}),
    [](const ::testing::TestParamInfo<BindCase>& info) { return info.param.label; });

} // namespace
