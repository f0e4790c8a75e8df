// perturbation.cpp — double_and_random_perturbation: draws in logical order, SIMD runs.
#include "functions/perturbation.h"

#include <algorithm>
#include <cstdint>

#include "array/array_check.h"
#include "binding/convert.h"
#include "functions/perturb_kernel.h"

namespace tesk::functions {
namespace {

/// Draws in batches, never more than elements remain: whatever is not used stays in
/// the generator, so the stream advances by exactly one draw per element.
class DrawSupply {
public:
    DrawSupply(const random::GeneratorHandle& generator, std::size_t total) noexcept
        : generator_(generator), remaining_(total),
          buffered_(random::buffered_draws(generator.generator())) {}

    /// Between one and `wanted` draws; valid until the next call.
    std::span<const std::uint64_t> take(std::size_t wanted) noexcept {
        if (position_ == filled_) {
            // Draws left in the thread's buffer by an earlier call come first; taking
            // them in the same batch keeps every later batch a whole number of wide
            // block-function calls.
            filled_ = std::min(batch + buffered_, remaining_);
            buffered_ = 0;
            random::fill_u64(generator_, draws_, filled_);
            remaining_ -= filled_;
            position_ = 0;
        }
        const std::size_t count = std::min(wanted, filled_ - position_);
        std::span<const std::uint64_t> taken(draws_ + position_, count);
        position_ += count;
        return taken;
    }

private:
    // 8 KiB: whole wide block-function calls, small enough for L1.
    static constexpr std::size_t batch = 1024;
    static constexpr std::size_t max_buffered = random::generator_buffer_words / 2;
    const random::GeneratorHandle& generator_;
    std::size_t remaining_;
    std::size_t buffered_;
    std::size_t position_ = 0;
    std::size_t filled_ = 0;
    alignas(64) std::uint64_t draws_[batch + max_buffered];
};

} // namespace

// Not inlined: its draw buffer (8 KiB) would otherwise sit in the frame that calls the
// scaling's __float__, on every level of a recursion through it.
[[gnu::noinline]] void perturb_view(const array::Float64View& view, double scaling,
                                    const random::GeneratorHandle& generator) {
    DrawSupply supply(generator, view.element_count());
    const PerturbContiguous contiguous = perturb_contiguous_form();
    array::RunWalk walk(view);
    array::Run run;
    while (walk.next(run)) {
        std::byte* at = run.start;
        std::size_t left = run.count;
        while (left > 0) {
            std::span<const std::uint64_t> draws = supply.take(left);
            if (run.step == sizeof(double)) {
                contiguous(at, draws.data(), draws.size(), scaling);
            } else {
                perturb_strided(at, run.step, draws.data(), draws.size(), scaling);
            }
            at += static_cast<std::ptrdiff_t>(draws.size()) * run.step;
            left -= draws.size();
        }
    }
}

binding::Result<PyObject*> double_and_random_perturbation(std::span<PyObject* const> slots) {
    binding::Result<PyArrayObject*> x = array::extract_float64_array(slots[0]);
    if (!x.ok()) {
        return binding::rewrite_argument_error("x", x.take_error());
    }
    binding::Result<double> scaling = binding::to_f64(slots[1]);
    if (!scaling.ok()) {
        return binding::rewrite_argument_error("perturbation_scaling", scaling.take_error());
    }
    // The scaling's __float__ is Python code: it may have changed x's element type
    // (x.dtype = ...), so what was checked before it is checked again.
    x = array::extract_float64_array(slots[0]);
    if (!x.ok()) {
        return binding::rewrite_argument_error("x", x.take_error());
    }
    // Writing through a read-only array could change memory that others rely on
    // being immutable (bytes objects under frombuffer), or fault on read-only pages.
    if ((array::fields_of(x.value())->flags & NPY_ARRAY_WRITEABLE) == 0) {
        return binding::Error::value_error(
            std::string_view("argument 'x': assignment destination is read-only"));
    }
    const array::Float64View view = array::view_of(x.value());
    const random::GeneratorHandle generator = random::thread_generator();
    perturb_view(view, scaling.value(), generator);
    Py_INCREF(Py_None);
    return Py_None;
}

} // namespace tesk::functions
