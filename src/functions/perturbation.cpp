// perturbation.cpp — double_and_random_perturbation: draws in logical order, SIMD runs.
#include "functions/perturbation.h"

#include "functions/perturb_kernel.h"
#include "random/thread_generator.h"

#include <algorithm>

namespace tesk::functions {
namespace {

/// Blocks per make() where the draws are written out before the kernel reads them: 8 KiB
/// of draws, which stay in the first-level cache with the elements they rewrite.
constexpr std::size_t written_blocks = 128;
constexpr std::size_t draws_per_block = random::chacha_block_bytes / sizeof(std::uint64_t);

/// Rewrites the elements of a view in logical order as the draws arrive, across its runs.
/// Contiguous stretches long enough for a whole make() take the key stream straight from
/// the registers where the fused form computes it.
class Perturber final : public random::DrawSink {
public:
    Perturber(const runtime::Float64View& x, double scaling, double factor,
              PerturbKeystream fused) noexcept
        : DrawSink(fused != nullptr ? perturb_keystream_blocks : written_blocks), walk_(x),
          scaling_(scaling), factor_(factor), fused_(fused),
          contiguous_(perturb_contiguous_form()) {}

    void take(const std::uint64_t* draws, std::size_t count) noexcept override {
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

    void make(const std::uint32_t* key, std::uint64_t counter,
              std::uint64_t stream) noexcept override {
        const std::size_t count = blocks_per_make() * draws_per_block;
        const runtime::Run& run = current_run();
        if (fused_ != nullptr && run.step == sizeof(double) && run.count >= count) {
            fused_(key, counter, stream, run.start, factor_);
            advance(count);
            return;
        }
        const random::ChachaForm& form = random::bulk_chacha_form();
        alignas(64) std::uint64_t draws[written_blocks * draws_per_block];
        auto* bytes = reinterpret_cast<std::uint8_t*>(draws);
        for (std::size_t block = 0; block < blocks_per_make(); block += form.blocks_per_call) {
            form.blocks(key, counter + block, stream, bytes + block * random::chacha_block_bytes);
        }
        take(draws, count);
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

    runtime::RunWalk walk_;
    runtime::Run run_{nullptr, 0, 0};
    double scaling_;
    double factor_;
    PerturbKeystream fused_;
    PerturbContiguous contiguous_;
};

} // namespace

void double_and_random_perturbation(const runtime::Float64View& x, double perturbation_scaling) {
    const random::GeneratorHandle generator = random::thread_generator();
    const double factor = centred_draw_factor(perturbation_scaling);
    // The fused form needs the exact factor; other scalings take the formula's own path.
    Perturber perturber(x, perturbation_scaling, factor,
                        factor == factor ? perturb_keystream_form() : nullptr);
    random::draw_into(generator.generator(), x.element_count(), perturber);
}

} // namespace tesk::functions
