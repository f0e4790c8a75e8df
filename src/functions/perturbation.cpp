// perturbation.cpp — double_and_random_perturbation: draws in logical order, SIMD runs.
#include "functions/perturbation.h"

#include "functions/perturb_kernel.h"
#include "random/draw_supply.h"
#include "random/thread_generator.h"

namespace tesk::functions {

void double_and_random_perturbation(const runtime::Float64View& x, double perturbation_scaling) {
    const random::GeneratorHandle generator = random::thread_generator();
    random::DrawSupply supply(generator, x.element_count());
    const PerturbContiguous contiguous = perturb_contiguous_form();
    runtime::RunWalk walk(x);
    runtime::Run run;
    while (walk.next(run)) {
        std::byte* at = run.start;
        std::size_t left = run.count;
        while (left > 0) {
            std::span<const std::uint64_t> draws = supply.take(left);
            if (run.step == sizeof(double)) {
                contiguous(at, draws.data(), draws.size(), perturbation_scaling);
            } else {
                perturb_strided(at, run.step, draws.data(), draws.size(), perturbation_scaling);
            }
            at += static_cast<std::ptrdiff_t>(draws.size()) * run.step;
            left -= draws.size();
        }
    }
}

} // namespace tesk::functions
