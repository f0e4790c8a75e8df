// draw_writer.h — bulk draws written out to memory, for the tests and the benchmark.
#pragma once

#include "random/bulk_form.h"
#include "random/chacha.h"
#include "random/draw_sink.h"

#include <cstdint>
#include <cstring>

namespace tesk::random {

/// Writes the draws to consecutive memory, whole calls straight from the widest form.
class DrawWriter final : public DrawSink {
public:
    explicit DrawWriter(std::uint64_t* out) noexcept : DrawWriter(out, bulk_chacha_form()) {}

    void consume(const std::uint64_t* draws, std::size_t count) noexcept override {
        std::memcpy(out_, draws, count * sizeof(std::uint64_t));
        out_ += count;
    }
    void make(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream,
              std::size_t blocks) noexcept override {
        for (std::size_t block = 0; block < blocks; block += form_.blocks_per_call) {
            form_.blocks(key, counter + block, stream, reinterpret_cast<std::uint8_t*>(out_));
            out_ += form_.blocks_per_call * chacha_block_bytes / sizeof(std::uint64_t);
        }
    }

private:
    DrawWriter(std::uint64_t* out, const ChachaForm& form) noexcept
        : DrawSink(form.blocks_per_call, SIZE_MAX / form.blocks_per_call * form.blocks_per_call),
          form_(form), out_(out) {}

    const ChachaForm& form_;
    std::uint64_t* out_;
};

/// What `count` successive next_u64 calls would return, written to `out`.
inline void fill_u64(ThreadGenerator& generator, std::uint64_t* out, std::size_t count) noexcept {
    DrawWriter writer(out);
    draw_into(generator, count, writer);
}

} // namespace tesk::random
