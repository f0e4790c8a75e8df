// float64_view_test.cpp — the run walk against an index odometer, and the derived views.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "runtime/float64_view.h"

namespace {

using tesk::runtime::Axis;
using tesk::runtime::AxisList;
using tesk::runtime::Float64View;
using tesk::runtime::RunWalk;

// Addresses are only computed, never dereferenced: the base is a fake address far from 0.
std::byte* const base = reinterpret_cast<std::byte*>(std::uintptr_t{1} << 40);

Float64View make_view(const std::vector<Axis>& axes) {
    AxisList list(axes.size());
    for (std::size_t i = 0; i < axes.size(); ++i) {
        list[i] = axes[i];
    }
    return Float64View(base, std::move(list));
}

/// The definition of logical row-major order: every index tuple, last axis fastest.
std::vector<std::byte*> odometer(const std::vector<Axis>& axes) {
    std::vector<std::byte*> addresses;
    for (const Axis& axis : axes) {
        if (axis.length == 0) {
            return addresses;
        }
    }
    std::vector<std::size_t> index(axes.size(), 0);
    while (true) {
        std::ptrdiff_t offset = 0;
        for (std::size_t i = 0; i < axes.size(); ++i) {
            offset += static_cast<std::ptrdiff_t>(index[i]) * axes[i].stride;
        }
        addresses.push_back(base + offset);
        std::size_t axis = axes.size();
        while (axis > 0 && ++index[axis - 1] == axes[axis - 1].length) {
            index[--axis] = 0;
        }
        if (axis == 0) {
            return addresses;
        }
    }
}

std::vector<std::byte*> walked(const Float64View& view) {
    std::vector<std::byte*> addresses;
    RunWalk walk(view);
    tesk::runtime::Run run;
    while (walk.next(run)) {
        for (std::size_t i = 0; i < run.count; ++i) {
            addresses.push_back(run.start + static_cast<std::ptrdiff_t>(i) * run.step);
        }
    }
    return addresses;
}

std::vector<Axis> random_axes(std::mt19937_64& rng) {
    std::uniform_int_distribution<int> ndim(0, 7);
    std::uniform_int_distribution<int> length(0, 4);
    std::uniform_int_distribution<int> stride_choice(0, 5);
    std::vector<Axis> axes(static_cast<std::size_t>(ndim(rng)));
    std::ptrdiff_t contiguous = 8;
    for (std::size_t i = axes.size(); i-- > 0;) {
        axes[i].length = static_cast<std::size_t>(length(rng)) + (rng() % 8 == 0 ? 0 : 1);
        switch (stride_choice(rng)) {
        case 0:
            axes[i].stride = contiguous;
            break; // continues the axis after it
        case 1:
            axes[i].stride = -contiguous;
            break;
        case 2:
            axes[i].stride = 0;
            break;
        case 3:
            axes[i].stride = 9 * static_cast<std::ptrdiff_t>(rng() % 7);
            break; // packed
        default:
            axes[i].stride = 8 * (static_cast<std::ptrdiff_t>(rng() % 41) - 20);
            break;
        }
        contiguous = std::abs(axes[i].stride) * static_cast<std::ptrdiff_t>(axes[i].length);
        if (contiguous == 0) {
            contiguous = 8;
        }
    }
    return axes;
}

TEST(RunWalk, VisitsLogicalOrderForRandomLayouts) {
    std::mt19937_64 rng(20240611);
    for (int trial = 0; trial < 5000; ++trial) {
        const std::vector<Axis> axes = random_axes(rng);
        EXPECT_EQ(walked(make_view(axes)), odometer(axes)) << "trial " << trial;
    }
}

struct LayoutCase {
    const char* name;
    std::vector<Axis> axes;
    std::size_t runs; ///< how many runs the walk needs
};

class RunWalkLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(RunWalkLayout, MergesWhatContinuesInMemory) {
    const LayoutCase& layout = GetParam();
    const Float64View view = make_view(layout.axes);
    RunWalk walk(view);
    tesk::runtime::Run run;
    std::size_t runs = 0;
    while (walk.next(run)) {
        ++runs;
    }
    EXPECT_EQ(runs, layout.runs);
    EXPECT_EQ(walked(view), odometer(layout.axes));
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, RunWalkLayout,
    ::testing::Values(LayoutCase{"zero_d", {}, 1}, LayoutCase{"empty", {{3, 8}, {0, 8}}, 0},
                      LayoutCase{"c_3d", {{2, 96}, {3, 32}, {4, 8}}, 1},
                      LayoutCase{"length_one_odd_strides", {{4, 8}, {1, 12345}}, 1},
                      LayoutCase{"fortran_2d", {{3, 8}, {4, 24}}, 3},
                      LayoutCase{"column_slice", {{6, 80}, {5, 8}}, 6},
                      LayoutCase{"reversed_1d", {{7, -8}}, 1}, LayoutCase{"empty_1d", {{0, 8}}, 0},
                      LayoutCase{"broadcast_1d", {{5, 0}}, 1},
                      LayoutCase{"broadcast_rows", {{3, 0}, {4, 8}}, 3},
                      LayoutCase{"repeated_scalar", {{2, 0}, {5, 0}}, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Float64View, ReversedWalksBackwards) {
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 2000; ++trial) {
        const std::vector<Axis> axes = random_axes(rng);
        std::vector<std::byte*> expected = odometer(axes);
        std::reverse(expected.begin(), expected.end());
        EXPECT_EQ(walked(make_view(axes).reversed()), expected) << "trial " << trial;
    }
}

TEST(Float64View, AddressOrderedCoversTheSameAddresses) {
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 2000; ++trial) {
        const std::vector<Axis> axes = random_axes(rng);
        std::vector<std::byte*> expected = odometer(axes);
        std::vector<std::byte*> got = walked(make_view(axes).address_ordered());
        std::sort(expected.begin(), expected.end());
        expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
        std::sort(got.begin(), got.end());
        // Repeats through stride-0 axes are dropped; distinct addresses all stay.
        got.erase(std::unique(got.begin(), got.end()), got.end());
        EXPECT_EQ(got, expected) << "trial " << trial;
    }
}

TEST(Float64View, AddressOrderedMakesDenseLayoutsOneRun) {
    // A Fortran-ordered 3-D block with its middle axis reversed.
    const Float64View view = make_view({{4, 8}, {5, -32}, {6, 160}});
    RunWalk walk(view.address_ordered());
    tesk::runtime::Run run;
    ASSERT_TRUE(walk.next(run));
    EXPECT_EQ(run.count, 120u);
    EXPECT_EQ(run.step, 8);
    EXPECT_EQ(run.start, base - 4 * 32);
    EXPECT_FALSE(walk.next(run));
}

} // namespace
