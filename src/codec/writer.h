// writer: runs of values in, the bytes of the run-length code out, into blocks.
//
// API
//   Block, BlockSink                output blocks and what takes them when they are full
//   MemorySink                      a block sink that keeps the stream's bytes in memory
//   StreamWriter(sink, block, kernel)  runs of values in, the stream's bytes out; the kernel
//                                   chooses how the short runs of a bitmap word are coded: one by
//                                   one (scalar and SSE2; with the bit instructions of BMI under
//                                   AVX2), or all at once with AVX-512 VBMI2 (writer_avx512.cpp):
//     run(value, count)             consecutive runs of the same value join
//     bitmap(data, begin, end)      the voxels begin..end-1 of a bitmap as the values 0 and 1
//     finish()                      the pending run and the last block go to the sink
//     release()                     the block back, for another writer
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "format/format.h"
#include "sys/cpu.h"

namespace tarvo {

// A block of output bytes: bytes[0..used) are filled, `capacity` bytes are allocated.
struct Block {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t used = 0;
    std::size_t capacity = 0;
    static Block of(std::size_t capacity) { return {std::unique_ptr<std::uint8_t[]>(new std::uint8_t[capacity]), 0, capacity}; }
};

class BlockSink {
public:
    virtual ~BlockSink() = default;
    // Takes bytes[0..used) of a full (or the last) block and leaves `block` empty (used 0) with
    // room of at least the same capacity: the same buffer or another one.
    virtual void take(Block& block) = 0;
};

// Keeps the stream in memory.
class MemorySink : public BlockSink {
public:
    std::vector<std::uint8_t> bytes;
    void take(Block& block) override {
        bytes.insert(bytes.end(), block.bytes.get(), block.bytes.get() + block.used);
        block.used = 0;
    }
};

class StreamWriter {
public:
    // The block must hold at least kMinBlockBytes.
    static constexpr std::size_t kMinBlockBytes = 256;
    StreamWriter(BlockSink& sink, Block block, Kernel path = chosen_kernel());

    void run(std::uint8_t value, std::int64_t count) {
        if (count <= 0) return;
        if (pending_ > 0 && value != value_) {
            put_rest(value_, pending_);
            pending_ = 0;
        }
        value_ = value;
        count += pending_;
        pending_ = count % kMaxRun;
        if (count >= kMaxRun) put_chain(value, count / kMaxRun);
    }

    // The values of the voxels begin..end-1 of a bitmap (bit i of byte i / 8), 0 or 1; they join
    // the runs before them. The bitmap is padded to whole 64-bit words.
    void bitmap(const std::uint8_t* data, std::int64_t begin, std::int64_t end);

    void finish();
    // The block, emptied, for another writer (after finish()).
    Block release();

private:
    void code_bitmap(const std::uint8_t* data, std::int64_t begin, std::int64_t end);
#if TARVO_X86_SIMD
    TARVO_AVX2_TARGET void code_bitmap_bmi(const std::uint8_t* data, std::int64_t begin, std::int64_t end);
    TARVO_AVX512_TARGET void code_bitmap_avx512(const std::uint8_t* data, std::int64_t begin, std::int64_t end);
#endif
    template <bool kVector>
    [[gnu::always_inline]] inline void code_bitmap_words(const std::uint8_t* data, std::int64_t begin, std::int64_t end);

    // The code of a run of 1..62 values: a marker pair, or one or two literals.
    void put_rest(std::uint8_t value, std::int64_t count) {
        if (block_.capacity - block_.used >= 2) {
            std::uint8_t* p = block_.bytes.get() + block_.used;
            const bool marked = count >= kMinMarkerRun || is_marker(value);
            p[0] = marked ? static_cast<std::uint8_t>(kMarkerBits + count) : value;
            p[1] = value;
            block_.used += marked || count == 2 ? 2 : 1;
            return;
        }
        put_rest_slowly(value, count);
    }
    void put_rest_slowly(std::uint8_t value, std::int64_t count);
    void put_chain(std::uint8_t value, std::int64_t pairs);
    void put(const std::uint8_t* p, std::size_t k);

    BlockSink& sink_;
    Block block_;
    std::uint8_t value_ = 0;
    std::int64_t pending_ = 0;  // values of value_ not yet written (0..62)
    Kernel path_;
};

}  // namespace tarvo
