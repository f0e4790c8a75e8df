// array_kernels_test.cpp — every SIMD form of the extremes fold and the perturbation
// against a reference written here, on the forms this processor can run.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "functions/max_min_kernel.h"
#include "functions/perturb_kernel.h"
#include "random/chacha.h"
#include "runtime/cpu_features.h"

namespace {

using tesk::functions::Extremes;

struct Form {
    std::string_view name;
    std::uint64_t fold_features; ///< 0: runs everywhere
    tesk::functions::FoldContiguous fold;
    std::uint64_t perturb_features;
    tesk::functions::PerturbContiguous perturb;
};

/// The forms of the production tables, the fold and the perturbation of each name.
std::vector<Form> kernel_forms() {
    std::vector<Form> forms;
    for (const auto& fold : tesk::functions::fold_forms()) {
        for (const auto& perturb : tesk::functions::perturb_forms()) {
            if (fold.name == perturb.name) {
                forms.push_back({fold.name, fold.required_features, fold.function,
                                 perturb.required_features, perturb.function});
            }
        }
    }
    return forms;
}

TEST(KernelTables, NameTheSameFormsBestFirstEndingWithPortable) {
    const auto folds = tesk::functions::fold_forms();
    const auto perturbs = tesk::functions::perturb_forms();
    ASSERT_EQ(folds.size(), perturbs.size());
    for (std::size_t i = 0; i < folds.size(); ++i) {
        EXPECT_EQ(folds[i].name, perturbs[i].name);
    }
    EXPECT_EQ(folds.back().name, "portable");
    EXPECT_EQ(folds.back().required_features | perturbs.back().required_features, 0u);
}

class KernelForm : public ::testing::TestWithParam<Form> {};

bool supported(std::uint64_t features) {
    return (tesk::runtime::cpu_features() & features) == features;
}

/// Values that stress both kernels: specials, subnormals, values whose doubling
/// overflows, and ordinary numbers.
double interesting_value(std::mt19937_64& rng) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    const double specials[] = {0.0,    -0.0,    inf,   -inf,     std::nan(""), -std::nan("7"),
                               5e-324, -1e-310, 1e308, -1.7e308, 1.0,          -2.5};
    if (rng() % 4 == 0) {
        return specials[rng() % std::size(specials)];
    }
    return std::ldexp(static_cast<double>(static_cast<std::int64_t>(rng())) / 9.2e18,
                      static_cast<int>(rng() % 40) - 20);
}

/// The formula, written out: draw to [0, 1) with 53 bits, then sub, mul, add, add.
double reference_perturbation(double value, std::uint64_t draw, double scaling) {
    const double unit = static_cast<double>(draw >> 11) * 0x1.0p-53;
    const double offset = (unit - 0.5) * scaling;
    const double doubled = value + value;
    return offset + doubled;
}

TEST_P(KernelForm, PerturbationIsBitIdenticalToTheFormula) {
    if (!supported(GetParam().perturb_features)) {
        GTEST_SKIP() << GetParam().name << " not supported here";
    }
    std::mt19937_64 rng(99);
    constexpr double inf = std::numeric_limits<double>::infinity();
    // Around the scalings whose product with 2^-53 is no longer exact: from 2^-969 down
    // the low bits fall into the subnormal range one by one.
    const double scalings[] = {0.0,
                               -0.0,
                               1.0,
                               -3.75,
                               0.1,
                               1e-300,
                               1e300,
                               std::numeric_limits<double>::max(),
                               -inf,
                               inf,
                               std::nan(""),
                               -std::nan("5"),
                               0x1.0p-969,
                               0x1.fffffffffffffp-969,
                               -0x1.0000000000001p-969,
                               0x1.0000000000001p-970,
                               0x1.8p-1000,
                               -0x1.0p-1074,
                               std::numeric_limits<double>::min(),
                               std::numeric_limits<double>::denorm_min() * 12345};
    for (std::size_t count = 0; count < 80; ++count) {
        for (std::size_t offset : {0u, 1u, 3u}) {
            const double scaling = scalings[(count + offset) % std::size(scalings)];
            std::vector<double> values(count);
            std::vector<std::uint64_t> draws(count);
            for (std::size_t i = 0; i < count; ++i) {
                values[i] = interesting_value(rng);
                const std::uint64_t edge[] = {0, ~std::uint64_t{0}, std::uint64_t{1} << 63,
                                              (std::uint64_t{1} << 11) - 1};
                draws[i] = rng() % 5 == 0 ? edge[rng() % 4] : rng();
            }
            // Unaligned storage, with guard bytes that must stay as they are.
            std::vector<std::byte> storage(count * 8 + offset + 16, std::byte{0x5A});
            std::byte* data = storage.data() + offset + 8;
            if (count != 0) {
                std::memcpy(data, values.data(), count * 8);
            }
            GetParam().perturb(data, draws.data(), count, scaling);
            for (std::size_t i = 0; i < count; ++i) {
                double got;
                std::memcpy(&got, data + i * 8, 8);
                const double want = reference_perturbation(values[i], draws[i], scaling);
                ASSERT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(want))
                    << "count " << count << " element " << i;
            }
            for (std::size_t i = 0; i < offset + 8; ++i) {
                ASSERT_EQ(storage[i], std::byte{0x5A});
            }
            for (std::size_t i = offset + 8 + count * 8; i < storage.size(); ++i) {
                ASSERT_EQ(storage[i], std::byte{0x5A});
            }
        }
    }
}

TEST_P(KernelForm, FoldFindsTheExtremeValuesAndNaNs) {
    if (!supported(GetParam().fold_features)) {
        GTEST_SKIP() << GetParam().name << " not supported here";
    }
    std::mt19937_64 rng(5);
    for (std::size_t count = 0; count < 140; ++count) {
        for (std::size_t offset : {0u, 5u}) {
            std::vector<double> values(count);
            for (double& value : values) {
                value = interesting_value(rng);
            }
            std::vector<std::byte> storage(count * 8 + offset + 1);
            if (count != 0) {
                std::memcpy(storage.data() + offset, values.data(), count * 8);
            }

            // Start from a state a previous run left, so the fold must merge into it.
            Extremes got{.max = -7.0, .min = 7.0, .any_nan = false};
            GetParam().fold(storage.data() + offset, count, got);

            double max = -7.0;
            double min = 7.0;
            bool any_nan = false;
            for (double value : values) {
                if (std::isnan(value)) {
                    any_nan = true;
                } else {
                    max = std::fmax(max, value);
                    min = std::fmin(min, value);
                }
            }
            // Zeros are compared by value: the caller settles their sign.
            EXPECT_TRUE(got.max == max) << count << ": " << got.max << " vs " << max;
            EXPECT_TRUE(got.min == min) << count << ": " << got.min << " vs " << min;
            EXPECT_EQ(got.any_nan, any_nan) << count;
        }
    }
}

TEST_P(KernelForm, FoldOfOnlyNaNsHasNoNumber) {
    if (!supported(GetParam().fold_features)) {
        GTEST_SKIP() << GetParam().name << " not supported here";
    }
    std::vector<double> values(37, std::nan(""));
    Extremes extremes = tesk::functions::no_extremes();
    GetParam().fold(reinterpret_cast<const std::byte*>(values.data()), values.size(), extremes);
    EXPECT_TRUE(extremes.any_nan);
    EXPECT_FALSE(tesk::functions::any_number(extremes));
}

// The fused forms against the reference block function and the formula, with counters
// that carry into their high word or wrap inside the call, on unaligned storage.
TEST(KeystreamPerturbation, FusedFormsMatchTheBlocksAndTheFormula) {
    const auto forms = tesk::functions::perturb_keystream_forms();
    const std::uint32_t key[8] = {0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c,
                                  0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c};
    const std::uint64_t stream = 0x0123456789ABCDEF;
    constexpr std::size_t count = tesk::functions::perturb_keystream_blocks * 8;
    std::mt19937_64 rng(17);
    for (const auto& form : forms) {
        if (!supported(form.required_features)) {
            continue;
        }
        for (const std::uint64_t counter :
             {std::uint64_t{0}, std::uint64_t{0xFFFFFFF8}, ~std::uint64_t{0} - 19}) {
            std::vector<std::uint64_t> draws(count);
            for (std::size_t block = 0; block < count / 8; block += 4) {
                tesk::random::portable::chacha12_x4(
                    key, counter + block, stream,
                    reinterpret_cast<std::uint8_t*>(draws.data() + block * 8));
            }
            // The last two: factors whose scaling by 2^-11 stays exact, and drops a bit.
            for (const double scaling :
                 {1.0, -3.75, 0.0, -0.0, 1e300, 0x1.8p-958, -0x1.0000000000001p-959}) {
                const std::size_t offset = rng() % 8;
                std::vector<double> values(count);
                for (double& value : values) {
                    value = interesting_value(rng);
                }
                std::vector<std::byte> storage(count * 8 + 16, std::byte{0x5A});
                std::memcpy(storage.data() + offset, values.data(), count * 8);
                form.function(key, counter, stream, storage.data() + offset,
                              tesk::functions::centred_draw_factor(scaling));
                for (std::size_t i = 0; i < count; ++i) {
                    double got;
                    std::memcpy(&got, storage.data() + offset + i * 8, 8);
                    const double want = reference_perturbation(values[i], draws[i], scaling);
                    ASSERT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(want))
                        << form.name << " counter " << counter << " element " << i;
                }
                for (std::size_t i = 0; i < storage.size(); ++i) {
                    if (i < offset || i >= offset + count * 8) {
                        ASSERT_EQ(storage[i], std::byte{0x5A}) << form.name << " byte " << i;
                    }
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Forms, KernelForm, ::testing::ValuesIn(kernel_forms()),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
