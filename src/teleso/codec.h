// codec: the run-length code of the voxel stream, read and written on memory buffers. This is the
// one implementation of the stream's rules (format.h) that the programs, the tools and the
// bindings use; the byte-at-a-time functions of reference.h define the same results.
//
// API
//   StreamFacts                     what a stream held against what its edge length needs
//   StreamReader(voxels)            decodes a stream handed over in pieces, in voxel order:
//     want()                        the most bytes the next decode() should get: never more than
//                                   the voxels still missing need at the least, so no byte after
//                                   the last code needed is ever taken from the input
//     decode(bytes, n, sink)        calls sink.run(value, count) for runs of equal values and
//                                   sink.literals(bytes, count) for stretches of literals (one
//                                   value a byte); returns the bytes consumed
//     finish(sink)                  the input has ended: the missing voxels read as 0xFF (empty)
//     remaining(), facts()
//   Block, BlockSink                output blocks and what takes them when they are full
//   StreamWriter(sink, block)       runs of values in, the stream's bytes out:
//     run(value, count)             consecutive runs of the same value join
//     finish()                      the pending run and the last block go to the sink
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "teleso/format.h"

namespace teleso {

struct StreamFacts {
    std::int64_t voxels_needed = 0;  // dim^3
    std::int64_t voxels_coded = 0;   // values the stream delivers before it ends (at most needed)
    std::uint64_t code_bytes = 0;    // bytes the reader consumes
    std::uint64_t surplus_bytes = 0; // bytes after the last code needed (when they were counted)
    bool ends_early() const { return voxels_coded < voxels_needed; }
};

namespace detail {

inline std::uint64_t load_bytes8(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// True when no byte of w has both top bits set (no marker among eight stream bytes).
inline bool no_marker_in(std::uint64_t w) { return (w & (w << 1) & 0x8080808080808080ULL) == 0; }

}  // namespace detail

class StreamReader {
public:
    explicit StreamReader(std::int64_t voxels) : remaining_(voxels > 0 ? voxels : 0), needed_(remaining_) {}

    std::size_t want() const {
        if (remaining_ == 0) return 0;
        if (held_marker_ >= 0) return 1;
        // A marker pair carries at most 63 values in two bytes, a literal one in one byte.
        const std::int64_t pairs = remaining_ / kMaxRun, rest = remaining_ % kMaxRun;
        return static_cast<std::size_t>(2 * pairs + std::min<std::int64_t>(rest, 2));
    }

    template <class Sink>
    std::size_t decode(const std::uint8_t* in, std::size_t n, Sink& sink) {
        std::size_t i = 0;
        if (held_marker_ >= 0 && n > 0 && remaining_ > 0) {
            emit(sink, in[0], marker_count(static_cast<std::uint8_t>(held_marker_)));
            held_marker_ = -1;
            i = 1;
        }
        while (i < n && remaining_ > 0) {
            const std::uint8_t b = in[i];
            if (!is_marker(b)) {
                i = literals(in, i, n, sink);
                continue;
            }
            if (i + 1 == n) {
                held_marker_ = b;  // its value is the first byte of the next piece
                ++i;
                break;
            }
            const std::uint8_t v = in[i + 1];
            if (b == kFullMarker) {
                i = chain(in, i, n, v, sink);
                continue;
            }
            emit(sink, v, marker_count(b));
            i += 2;
        }
        consumed_ += i;
        return i;
    }

    template <class Sink>
    void finish(Sink& sink) {
        // Past the end every byte reads as FF: a held marker's value and all later runs are FF.
        if (remaining_ > 0) sink.run(kEndOfInputByte, remaining_);
        remaining_ = 0;
        held_marker_ = -1;
    }

    std::int64_t remaining() const { return remaining_; }

    StreamFacts facts() const {
        StreamFacts f;
        f.voxels_needed = needed_;
        f.voxels_coded = coded_;
        f.code_bytes = consumed_;
        return f;
    }

private:
    template <class Sink>
    void emit(Sink& sink, std::uint8_t value, std::int64_t count) {
        count = std::min(count, remaining_);
        remaining_ -= count;
        coded_ += count;
        sink.run(value, count);
    }

    // The stretch of literals from in[i]: up to the next marker, the end of the piece or the last
    // voxel needed. Returns where it ends.
    template <class Sink>
    std::size_t literals(const std::uint8_t* in, std::size_t i, std::size_t n, Sink& sink) {
        const std::size_t limit = i + static_cast<std::size_t>(std::min<std::int64_t>(
                                          static_cast<std::int64_t>(n - i), remaining_));
        std::size_t end = i + 1;
        while (end + 8 <= limit && detail::no_marker_in(detail::load_bytes8(in + end))) end += 8;
        while (end < limit && !is_marker(in[end])) ++end;
        const auto count = static_cast<std::int64_t>(end - i);
        remaining_ -= count;
        coded_ += count;
        sink.literals(in + i, end - i);
        return end;
    }

    // Solid stretches are long chains of full markers "FF v": one run however long the chain,
    // taken eight pairs at a time, never past the pairs the missing voxels need.
    template <class Sink>
    std::size_t chain(const std::uint8_t* in, std::size_t i, std::size_t n, std::uint8_t v, Sink& sink) {
        const std::int64_t most = (remaining_ + kMaxRun - 1) / kMaxRun;
        const std::uint64_t quad = 0x0001000100010001ULL * (kFullMarker | (std::uint64_t{v} << 8));
        std::int64_t pairs = 1;
        i += 2;
        while (pairs + 8 <= most && i + 16 <= n && detail::load_bytes8(in + i) == quad &&
               detail::load_bytes8(in + i + 8) == quad) {
            pairs += 8;
            i += 16;
        }
        while (pairs < most && i + 2 <= n && in[i] == kFullMarker && in[i + 1] == v) {
            ++pairs;
            i += 2;
        }
        emit(sink, v, pairs * kMaxRun);
        return i;
    }

    std::int64_t remaining_;
    std::int64_t needed_;
    std::int64_t coded_ = 0;
    std::uint64_t consumed_ = 0;
    int held_marker_ = -1;  // a marker whose value byte has not arrived yet
};

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

class StreamWriter {
public:
    // The block must hold at least kMinBlockBytes.
    static constexpr std::size_t kMinBlockBytes = 256;
    StreamWriter(BlockSink& sink, Block block);

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

    void finish();

private:
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
};

}  // namespace teleso
