// reader: the run-length code of the voxel stream decoded from memory buffers handed over in
// pieces. This is the one decoder of the stream's rules (format/format.h) that the programs, the
// tools and the bindings use; the byte-at-a-time functions of reference.h define the same results.
//
// API
//   StreamReader(voxels, kernel, first)  decodes a stream handed over in pieces, in voxel order:
//     want()                        the most bytes the next decode() should get: never more than
//                                   the voxels still missing need at the least, so no byte after
//                                   the last code needed is ever taken from the input
//     decode(bytes, n, sink)        calls sink.run(value, count) for runs of equal values and
//                                   sink.literals(bytes, count) for stretches of literals (one
//                                   value a byte); a sink that also has voxels(bits, count) and
//                                   words(words, k) gets what it can as bits instead: count (1..64)
//                                   values, bit j set when the j-th sets its voxel, or k whole words
//                                   of 64 that start at a multiple of 64; returns the bytes consumed
//     finish(sink)                  the input has ended: the missing voxels read as 0xFF (empty)
//     facts()
// Literal-heavy stretches are classified 64 bytes at a time by the kernel's classifier (scan_*.h).
#pragma once

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstdint>
#include <cstring>

#include "codec/scan.h"
#include "codec/scan_avx2.h"
#include "codec/scan_avx512.h"
#include "codec/scan_sse2.h"
#include "tarvo/file.h"

namespace tarvo {

namespace detail {

template <class Sink>
concept BitSink = requires(Sink& s, std::uint64_t bits, int count, const std::uint64_t* words, std::size_t k) {
    s.voxels(bits, count);
    s.words(words, k);
};

// What the window walk hands on, counting the values as it goes: to a sink of values each run and
// stretch of literals as it comes; to a sink of bits the words of 64 values, aligned to the words
// of the bitmap, once a window (every code in a window codes at most 63 values).
template <class Sink, bool kBits = BitSink<Sink>>
class WindowOutput {
public:
    WindowOutput(Sink& sink, std::int64_t position) : sink_(sink), position_(position) {}
    std::int64_t position() const { return position_; }
    void literals(const std::uint8_t* p, std::uint64_t, std::size_t k) {
        if (k > 0) sink_.literals(p, k);
        position_ += static_cast<std::int64_t>(k);
    }
    void run(std::uint8_t v, std::uint32_t count) {
        sink_.run(v, count);
        position_ += count;
    }
    void deliver() {}
    void flush() {}

private:
    Sink& sink_;
    std::int64_t position_;
};

template <class Sink>
class WindowOutput<Sink, true> {
public:
    WindowOutput(Sink& sink, std::int64_t position) : sink_(sink) { restart(position); }
    std::int64_t position() const { return static_cast<std::int64_t>(position_); }
    void literals(const std::uint8_t*, std::uint64_t bits, std::size_t k) { add(bits, k); }
    void run(std::uint8_t v, std::uint32_t count) {
        const std::uint64_t sets = static_cast<std::int8_t>(v) > 0 ? ~std::uint64_t{0} : 0;  // v in 1..127
        add(sets & ((std::uint64_t{1} << count) - 1), count);
    }
    // Hands on the words completed so far; called once a window.
    void deliver() {
        const std::size_t complete = static_cast<std::size_t>((position_ - base_) / 64);
        if (complete == 0) return;
        std::size_t whole = 0;
        if (from_ > 0) {
            sink_.voxels(words_[0] >> from_, static_cast<int>(64 - from_));
            from_ = 0;
            whole = 1;
        }
        if (complete > whole) sink_.words(words_ + whole, complete - whole);
        words_[0] = words_[complete];
        std::fill(words_ + 1, words_ + complete + 2, std::uint64_t{0});
        base_ += 64 * complete;
    }
    // Hands on all values gathered, the last word in part.
    void flush() {
        deliver();
        const unsigned fill = position_ % 64;
        if (fill > from_) sink_.voxels(words_[0] >> from_, static_cast<int>(fill - from_));
        restart(position());
    }

private:
    void restart(std::int64_t position) {
        position_ = static_cast<std::uint64_t>(position);
        base_ = position_ / 64 * 64;
        from_ = static_cast<unsigned>(position_ % 64);
        std::fill(std::begin(words_), std::end(words_), std::uint64_t{0});
    }

    // k values (0..64), bit j of `bits` for the j-th, bits from k on clear, ORed into the words in
    // place: the only chain from one code to the next is the position.
    void add(std::uint64_t bits, std::size_t k) {
        const std::uint64_t at = position_ - base_;
        const unsigned off = at % 64;
        words_[at / 64] |= bits << off;
        words_[at / 64 + 1] |= (bits >> 1) >> (63 - off);  // the values past the word's end
        position_ += k;
    }

    Sink& sink_;
    std::uint64_t position_ = 0;  // values coded before and in this walk
    std::uint64_t base_ = 0;      // the first value of words_[0] (a multiple of 64)
    unsigned from_ = 0;           // words_[0]'s values before this are handed on already
    std::uint64_t words_[kWindowBytes / 2 + 3] = {};  // a window codes at most 32 * 63 values
};

}  // namespace detail

class StreamReader {
public:
    // `first`: the index in the grid of the first voxel decoded (a stream read in parts), so that
    // the words a bit sink gets are those of the bitmap.
    explicit StreamReader(std::int64_t voxels, Kernel path = chosen_kernel(), std::int64_t first = 0)
        : remaining_(voxels > 0 ? voxels : 0), needed_(remaining_), first_(first > 0 ? first : 0),
          path_(kernel_available(path) ? path : Kernel::kScalar) {}

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
#if TARVO_X86_SIMD
                // Literals start a stretch for the data-parallel path, up to the next chain.
                const std::size_t from = i;
                if (path_ == Kernel::kAvx512) i = windows_avx512(in, i, n, sink);
                if (path_ == Kernel::kAvx2) i = windows_avx2(in, i, n, sink);
                if (path_ == Kernel::kSse2) i = windows<detail::Sse2Classes>(in, i, n, sink);
                if (i != from) continue;
#endif
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

#if TARVO_X86_SIMD
    // The data-parallel path: 64 bytes at a time are classified, then walked from marker to marker,
    // each stretch of literals between two codes handed over at once (as bits where the sink takes
    // bits). Stops at a chain of four or more full markers, which the byte-wise path takes faster,
    // where a window would pass the end of the piece, or where it could code more voxels than are
    // missing; returns where it stopped.
    template <class Classes, class Sink>
    [[gnu::always_inline]] std::size_t windows(const std::uint8_t* in, std::size_t i, std::size_t n, Sink& sink) {
        constexpr std::size_t kW = detail::kWindowBytes;
        constexpr std::int64_t kMostVoxels = kW / 2 * kMaxRun;  // 32 pairs of 63
        const std::int64_t last_start = first_ + needed_ - kMostVoxels;
        detail::WindowOutput<Sink> out(sink, first_ + coded_);
        while (i + kW <= n && out.position() < last_start) {
            const std::uint8_t* w = in + i;
            const detail::ByteClasses c = Classes::at(w);
            const std::uint64_t markers = detail::marker_codes(c.markers);
            // A chain of full markers (four or more, the byte-wise path's, which takes chains
            // faster) ends the walk there; a full marker too close to the end of the window to tell
            // ends the window there, and so does a marker in the last byte, whose value the next
            // window holds. Shorter chains (runs of 126 to 251) are walked.
            const std::uint64_t full_codes = markers & c.fulls;
            const std::uint64_t chains = full_codes & (c.fulls >> 2) & (c.fulls >> 4) & (c.fulls >> 6);
            const std::uint64_t unsure = full_codes & (std::uint64_t{0x3F} << (kW - 6));
            const std::size_t chain_at = static_cast<std::size_t>(std::countr_zero(chains));
            const std::size_t stop = std::min({chain_at, static_cast<std::size_t>(std::countr_zero(unsure)),
                                               kW - static_cast<std::size_t>(markers >> (kW - 1))});
            std::size_t q = 0;  // where the literals not yet handed over begin
            for (std::uint64_t m = markers & detail::low_bits(stop); m != 0; m &= m - 1) {
                const auto p = static_cast<std::size_t>(std::countr_zero(m));  // q <= p <= 62
                out.literals(w + q, (c.sets >> q) & ((std::uint64_t{1} << (p - q)) - 1), p - q);
                out.run(w[p + 1], static_cast<std::uint32_t>(marker_count(w[p])));
                q = p + 2;
            }
            // Every marker before `stop` has its value before it too, so q <= stop.
            if (stop > q) out.literals(w + q, stop - q == kW ? c.sets : (c.sets >> q) & ((std::uint64_t{1} << (stop - q)) - 1), stop - q);
            out.deliver();
            i += stop;
            if (chain_at < kW && chain_at == stop) break;
        }
        out.flush();
        coded_ = out.position() - first_;
        remaining_ = needed_ - coded_;
        return i;
    }

    template <class Sink>
    TARVO_AVX2_TARGET std::size_t windows_avx2(const std::uint8_t* in, std::size_t i, std::size_t n, Sink& sink) {
        return windows<detail::Avx2Classes>(in, i, n, sink);
    }

    template <class Sink>
    TARVO_AVX512_TARGET std::size_t windows_avx512(const std::uint8_t* in, std::size_t i, std::size_t n, Sink& sink) {
        return windows<detail::Avx512Classes>(in, i, n, sink);
    }
#endif

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
    std::int64_t first_;
    std::int64_t coded_ = 0;
    std::uint64_t consumed_ = 0;
    int held_marker_ = -1;  // a marker whose value byte has not arrived yet
    Kernel path_;
};

}  // namespace tarvo
