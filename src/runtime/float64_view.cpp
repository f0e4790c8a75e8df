// float64_view.cpp — axis storage, derived views and the run walk.
#include "runtime/float64_view.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <utility>

namespace tesk::runtime {

Axis* AxisList::allocate(std::size_t count) {
    auto* items = static_cast<Axis*>(std::malloc(count * sizeof(Axis)));
    if (items == nullptr) {
        throw std::bad_alloc();
    }
    return items;
}

AxisList::AxisList(const AxisList& other) : AxisList(other.size_) {
    std::memcpy(items_, other.items_, size_ * sizeof(Axis));
}

Float64View Float64View::reversed() const {
    AxisList axes(axes_);
    std::byte* data = data_;
    for (std::size_t i = 0; i < axes.size(); ++i) {
        if (axes[i].length != 0) {
            data += static_cast<std::ptrdiff_t>(axes[i].length - 1) * axes[i].stride;
        }
        axes[i].stride = -axes[i].stride;
    }
    return Float64View(data, std::move(axes));
}

Float64View Float64View::address_ordered() const {
    AxisList axes(axes_);
    std::byte* data = data_;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < axes_.size(); ++i) {
        Axis axis = axes_[i];
        if (axis.length == 0) {
            // No elements at all: nothing to reorder.
            return Float64View(data_, AxisList(axes_));
        }
        if (axis.length == 1 || axis.stride == 0) {
            continue;
        }
        if (axis.stride < 0) {
            data += static_cast<std::ptrdiff_t>(axis.length - 1) * axis.stride;
            axis.stride = -axis.stride;
        }
        // Insertion sort, largest stride first; at most 32 axes.
        std::size_t at = kept++;
        while (at > 0 && axes[at - 1].stride < axis.stride) {
            axes[at] = axes[at - 1];
            --at;
        }
        axes[at] = axis;
    }
    axes.truncate(kept);
    return Float64View(data, std::move(axes));
}

RunWalk::RunWalk(const Float64View& view) noexcept
    : data_(view.data()), outer_count_(0), done_(false), inner_{1, sizeof(double)} {
    if (view.ndim() == 1) {
        // The one axis is the inner one: nothing to merge, no outer index.
        inner_ = view.axis(0);
        done_ = inner_.length == 0;
        return;
    }
    // Merge each axis into the one before it when the outer axis steps exactly over
    // the inner one: the sequence of addresses, and so the logical order, is kept.
    std::size_t count = 0;
    for (std::size_t i = 0; i < view.ndim(); ++i) {
        const Axis& axis = view.axis(i);
        done_ = done_ || axis.length == 0;
        if (axis.length == 1) {
            continue;
        }
        outer_[count++] = axis;
    }
    std::size_t merged = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const Axis axis = outer_[i];
        if (merged > 0) {
            Axis& previous = outer_[merged - 1];
            if (previous.stride == axis.stride * static_cast<std::ptrdiff_t>(axis.length)) {
                previous = Axis{previous.length * axis.length, axis.stride};
                continue;
            }
        }
        outer_[merged++] = axis;
    }
    if (merged > 0) {
        inner_ = outer_[merged - 1];
        outer_count_ = merged - 1;
    }
    // Only the outer axes' indices are ever read.
    std::fill_n(index_.begin(), outer_count_, std::size_t{0});
}

bool RunWalk::next(Run& run) noexcept {
    if (done_) {
        return false;
    }
    run = Run{data_, inner_.length, inner_.stride};
    // Advance the outer index in row-major order, moving the start address along.
    std::size_t axis = outer_count_;
    while (true) {
        if (axis == 0) {
            done_ = true;
            break;
        }
        --axis;
        const Axis& outer = outer_[axis];
        if (++index_[axis] < outer.length) {
            data_ += outer.stride;
            break;
        }
        index_[axis] = 0;
        data_ -= static_cast<std::ptrdiff_t>(outer.length - 1) * outer.stride;
    }
    return true;
}

} // namespace tesk::runtime
