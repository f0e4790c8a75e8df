// perturb_kernel.h — v ← ((u − 0.5) × s) + (v + v) over runs, in portable and SIMD forms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "runtime/dispatch.h"

// Declarations only: instruction-set files include this (see the rule in random/chacha.h).

namespace tesk::functions {

/// Rewrites `count` contiguous float64 at `data` (any alignment), element i with the
/// draw `draws[i]` mapped to u = (draw >> 11) × 2^-53. Every form yields exactly what
/// the four IEEE operations of the formula give, so all forms agree bit for bit.
using PerturbContiguous = void (*)(std::byte* data, const std::uint64_t* draws, std::size_t count,
                                   double scaling);

void perturb_contiguous_portable(std::byte* data, const std::uint64_t* draws, std::size_t count,
                                 double scaling) noexcept;
/// Needs FMA as well as AVX2.
void perturb_contiguous_avx2(std::byte* data, const std::uint64_t* draws, std::size_t count,
                             double scaling) noexcept;
/// Needs AVX512DQ as well as AVX512F.
void perturb_contiguous_avx512(std::byte* data, const std::uint64_t* draws, std::size_t count,
                               double scaling) noexcept;

/// Rewrites the 256 contiguous float64 at `data` (any alignment) with the draws of
/// ChaCha12 blocks [counter, counter + 32) for `key` and `stream`, exactly as a
/// PerturbContiguous form would with those draws, without writing the draws out.
/// `factor` is centred_draw_factor of the scaling, and must not be NaN.
using PerturbKeystream = void (*)(const std::uint32_t* key, std::uint64_t counter,
                                  std::uint64_t stream, std::byte* data, double factor);
/// Blocks of key stream, and so elements, that one call of a PerturbKeystream form uses.
constexpr std::size_t perturb_keystream_blocks = 32;

/// Needs AVX512DQ as well as AVX512F.
void perturb_keystream_avx512(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
                              std::byte* data, double factor) noexcept;

using PerturbForm = runtime::KernelForm<PerturbContiguous>;

/// Every compiled form, best first; the portable one closes the table.
std::span<const PerturbForm> perturb_forms() noexcept;

/// The best form this processor runs, chosen once.
PerturbContiguous perturb_contiguous_form() noexcept;

using PerturbKeystreamForm = runtime::KernelForm<PerturbKeystream>;

/// The fused forms, best first. No form that every processor runs closes this table:
/// where none fits, the draws are written out and a PerturbContiguous form reads them.
std::span<const PerturbKeystreamForm> perturb_keystream_forms() noexcept;

/// The best fused form this processor runs, chosen once; null if it runs none.
PerturbKeystream perturb_keystream_form() noexcept;

/// Rewrites `count` elements `step` bytes apart, one after the other, each read at
/// the moment it is rewritten: overlapping or repeated addresses see earlier updates.
void perturb_strided(std::byte* data, std::ptrdiff_t step, const std::uint64_t* draws,
                     std::size_t count, double scaling) noexcept;

/// scaling × 2^-53 where that product is exact, NaN where it is not (a scaling whose
/// low bits would fall below the subnormal range, or NaN). With k = (draw >> 11) − 2^52,
/// u − 0.5 = k × 2^-53 exactly, so k × this factor is ((u − 0.5) × scaling) with its
/// one rounding: the same real number rounded once, signed zeros included.
double centred_draw_factor(double scaling) noexcept;

/// Whether a form may compute (k × factor) + (v + v) as fma(v, 2, k × factor), for an exact
/// factor: below 2^917 (a scaling below 2^970), |k × factor| < 2^969 cannot carry a
/// doubling that overflowed back into range, so the one rounding of the fused sum gives
/// the infinity or the value that the two roundings give.
bool doubling_fuses(double factor) noexcept;

/// Rewrites `count` contiguous float64 at `values` with an exact factor (see
/// centred_draw_factor); one of a vector form's two bodies.
using PerturbWithFactor = void (*)(double* values, const std::uint64_t* draws, std::size_t count,
                                   double factor);

/// What every vector form does with its two bodies: the portable form where the scaling has
/// no exact factor, else `fusing` where doubling_fuses allows it and `separate` elsewhere.
void perturb_with_factor(std::byte* data, const std::uint64_t* draws, std::size_t count,
                         double scaling, PerturbWithFactor fusing,
                         PerturbWithFactor separate) noexcept;

} // namespace tesk::functions
