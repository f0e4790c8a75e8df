// perturbation.cpp — double_and_random_perturbation: draws in logical order, SIMD runs.
#include "functions/perturbation.h"

#include "functions/perturb_kernel.h"
#include "random/bulk_form.h"
#include "random/draw_sink.h"
#include "random/thread_slot.h"

#include <algorithm>

namespace tesk::functions {
namespace {

/// Up to one refill step of draws: so few elements take their draws one by one, which
/// costs less than setting up bulk drawing and yields the same draws.
constexpr std::size_t few_elements = 32;

/// At most this many blocks per make(): 8 KiB of draws, written out where the fused form
/// does not apply, which stay in the first-level cache with the elements they rewrite.
constexpr std::size_t written_blocks = 128;
constexpr std::size_t draws_per_block = random::chacha_block_bytes / sizeof(std::uint64_t);
// A whole number of calls of every form, as DrawSink requires: each form's blocks per call
// divides the most any form writes.
static_assert(written_blocks % random::chacha_max_blocks_per_call == 0 &&
              written_blocks % perturb_keystream_blocks == 0);

/// Rewrites the elements of a view in logical order as the draws arrive, across its runs.
/// Contiguous stretches long enough for a whole fused call take the key stream straight
/// from the registers where the fused form computes it.
class Perturber final : public random::DrawSink {
public:
    Perturber(const runtime::Float64View& x, double scaling, double factor,
              PerturbKeystream fused) noexcept
        : Perturber(x, scaling, factor, fused, random::bulk_chacha_form()) {}

    void consume(const std::uint64_t* draws, std::size_t count) noexcept override {
        while (count > 0) {
            const runtime::Run& run = current_run();
            const std::size_t n = std::min(count, run.count);
            if (run.step == sizeof(double)) {
                contiguous_(run.start, draws, n, scaling_);
            } else {
                perturb_strided(run.start, run.step, draws, n, scaling_);
            }
            advance(n);
            draws += n;
            count -= n;
        }
    }

    void make(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
              std::size_t blocks) noexcept override {
        constexpr std::size_t fused_count = perturb_keystream_blocks * draws_per_block;
        while (fused_ != nullptr && blocks > 0) {
            const runtime::Run& run = current_run();
            if (run.step != sizeof(double) || run.count < fused_count) {
                break;
            }
            fused_(key, counter, stream, run.start, factor_);
            advance(fused_count);
            counter += perturb_keystream_blocks;
            blocks -= perturb_keystream_blocks;
        }
        // The fused form makes as many blocks per call as the widest form writes, so what
        // is left is whole calls of it.
        alignas(64) std::uint64_t draws[written_blocks * draws_per_block];
        auto* bytes = reinterpret_cast<std::uint8_t*>(draws);
        for (std::size_t block = 0; block < blocks; block += form_.blocks_per_call) {
            form_.blocks(key, counter + block, stream, bytes + block * random::chacha_block_bytes);
        }
        consume(draws, blocks * draws_per_block);
    }

private:
    /// The rest of the run being rewritten; the next one once it is used up. The walk has
    /// exactly as many elements as there are draws, so it never runs dry here.
    const runtime::Run& current_run() noexcept {
        if (run_.count == 0) {
            walk_.next(run_);
        }
        return run_;
    }

    void advance(std::size_t count) noexcept {
        run_.start += static_cast<std::ptrdiff_t>(count) * run_.step;
        run_.count -= count;
    }

    Perturber(const runtime::Float64View& x, double scaling, double factor, PerturbKeystream fused,
              const random::ChachaForm& form) noexcept
        : DrawSink(fused != nullptr ? perturb_keystream_blocks : form.blocks_per_call,
                   written_blocks),
          walk_(x), scaling_(scaling), factor_(factor), fused_(fused),
          contiguous_(perturb_contiguous_form()), form_(form) {}

    runtime::RunWalk walk_;
    runtime::Run run_{nullptr, 0, 0};
    double scaling_;
    double factor_;
    PerturbKeystream fused_;
    PerturbContiguous contiguous_;
    const random::ChachaForm& form_;
};

} // namespace

void double_and_random_perturbation(const runtime::Float64View& x, double perturbation_scaling) {
    random::ThreadGenerator& generator = random::thread_generator();
    const double factor = centred_draw_factor(perturbation_scaling);
    // The fused form needs the exact factor; other scalings take the formula's own path.
    Perturber perturber(x, perturbation_scaling, factor,
                        factor == factor ? perturb_keystream_form() : nullptr);
    const std::size_t count = x.element_count();
    if (count <= few_elements) {
        std::uint64_t draws[few_elements];
        for (std::size_t i = 0; i < count; ++i) {
            draws[i] = random::next_u64(generator);
        }
        perturber.consume(draws, count);
        return;
    }
    random::draw_into(generator, count, perturber);
}

} // namespace tesk::functions
