// float64_view.h — a strided float64 array as plain data, and its walk in logical order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace tesk::runtime {

/// One axis of a view: its length and the distance between neighbours in bytes.
struct Axis {
    std::size_t length;
    std::ptrdiff_t stride;
};

/// Axis storage with inline room for four axes; more come from the C allocator.
class AxisList {
public:
    explicit AxisList(std::size_t count)
        : size_(count), items_(count > inline_capacity ? allocate(count) : inline_) {}
    AxisList(const AxisList& other);
    AxisList(AxisList&& other) noexcept : size_(other.size_), items_(inline_) {
        if (other.items_ == other.inline_) {
            // The whole inline room, a fixed size the compiler copies in a few moves.
            std::memcpy(inline_, other.inline_, sizeof inline_);
        } else {
            items_ = std::exchange(other.items_, other.inline_);
            other.size_ = 0;
        }
    }
    AxisList& operator=(const AxisList&) = delete;
    ~AxisList() {
        if (items_ != inline_) {
            std::free(items_);
        }
    }

    std::size_t size() const noexcept { return size_; }
    Axis& operator[](std::size_t i) noexcept { return items_[i]; }
    const Axis& operator[](std::size_t i) const noexcept { return items_[i]; }
    /// Drops the axes from `count` on; the storage stays.
    void truncate(std::size_t count) noexcept { size_ = count; }

private:
    static constexpr std::size_t inline_capacity = 4;
    /// Room for more axes than fit inline, from the C allocator.
    static Axis* allocate(std::size_t count);

    std::size_t size_;
    Axis* items_;
    Axis inline_[inline_capacity];
};

/// A float64 array as the address of its element at all-zero indices, plus axes. Built
/// from a NumPy array by the array bridge; the numeric code sees only this.
/// Strides stay in bytes, so fields of packed structured arrays (strides that are
/// not multiples of 8, unaligned data) are addressed exactly as NumPy does.
class Float64View {
public:
    static constexpr std::size_t max_dimensions = 32;

    Float64View(std::byte* data, AxisList&& axes) : data_(data), axes_(std::move(axes)) {}

    std::byte* data() const noexcept { return data_; }
    std::size_t ndim() const noexcept { return axes_.size(); }
    const Axis& axis(std::size_t i) const noexcept { return axes_[i]; }
    /// Product of the axis lengths: 1 for no axes, 0 when any axis is empty.
    std::size_t element_count() const noexcept {
        std::size_t count = 1;
        for (std::size_t i = 0; i < axes_.size(); ++i) {
            count *= axes_[i].length;
        }
        return count;
    }

    /// The same elements with every axis reversed: its logical order is this view's
    /// logical order backwards, so its first element is this view's last.
    Float64View reversed() const;
    /// The same set of addresses with repeats dropped, axes sorted by descending
    /// stride after flipping negative ones: walks memory as sequentially as the
    /// layout allows, in an order unrelated to the logical one.
    Float64View address_ordered() const;

private:
    std::byte* data_;
    AxisList axes_;
};

/// A stretch of elements along the innermost axis: first address, count, byte step.
struct Run {
    std::byte* start;
    std::size_t count;
    std::ptrdiff_t step;
};

/// The elements of a view in logical row-major order, as runs along the last axis.
/// Neighbouring axes that continue each other in memory are merged first, so a
/// row-major contiguous view is one run.
class RunWalk {
public:
    explicit RunWalk(const Float64View& view) noexcept;
    /// Fills `run` with the next run; false once every element has been visited.
    bool next(Run& run) noexcept;

private:
    std::byte* data_;
    std::size_t outer_count_; ///< axes before the innermost one
    bool done_;
    Axis inner_;
    std::array<Axis, Float64View::max_dimensions> outer_;
    std::array<std::size_t, Float64View::max_dimensions> index_;
};

/// Reads the float64 at an address of any alignment.
inline double load_f64(const std::byte* address) noexcept {
    double value;
    std::memcpy(&value, address, sizeof value);
    return value;
}

/// Writes a float64 at an address of any alignment.
inline void store_f64(std::byte* address, double value) noexcept {
    std::memcpy(address, &value, sizeof value);
}

} // namespace tesk::runtime
