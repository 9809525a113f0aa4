// codec: the run-length code of the voxel stream, read and written on memory buffers. This is the
// one implementation of the stream's rules (format.h) that the programs, the tools and the
// bindings use; the byte-at-a-time functions of reference.h define the same results.
//
// API
//   StreamFacts                     what a stream held against what its edge length needs
//   DecodePath                      scalar, or 64 stream bytes classified at once with SSE2, AVX2
//                                   or AVX-512; fastest_decode_path(), decode_path_available(path),
//                                   decode_path_name(path)
//   StreamCounter(path)             how many values the codes of a stretch of stream stand for,
//                                   without decoding them: count(bytes, n) from a code's start,
//                                   in pieces; values()
//   StreamReader(voxels, path, first)  decodes a stream handed over in pieces, in voxel order:
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
//     remaining(), facts()
//   Block, BlockSink                output blocks and what takes them when they are full
//   MemorySink                      a block sink that keeps the stream's bytes in memory
//   EncodePath                      how the writer codes the short runs of a bitmap word: one by
//                                   one (every build; with the bit instructions of BMI where the
//                                   processor has them), or all at once with AVX-512 VBMI2;
//                                   fastest_encode_path(), encode_path_available(path),
//                                   encode_path_name(path)
//   StreamWriter(sink, block, path) runs of values in, the stream's bytes out:
//     run(value, count)             consecutive runs of the same value join
//     bitmap(data, begin, end)      the voxels begin..end-1 of a bitmap as the values 0 and 1
//     finish()                      the pending run and the last block go to the sink
//     release()                     the block back, for another writer
#pragma once

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "teleso/format.h"
#include "teleso/simd.h"

#if TARVO_X86_SIMD
#include <immintrin.h>
#endif

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

inline constexpr std::size_t kWindowBytes = 64;

// The bits below k (0..64).
inline std::uint64_t low_bits(std::size_t k) { return k >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << k) - 1; }

// Where the markers (C0..FF), the full markers (FF) and the literals that set a voxel (1..127) lie
// among 64 stream bytes, bit k for byte k. A byte after a marker is its value whatever it is.
struct ByteClasses {
    std::uint64_t markers;
    std::uint64_t fulls;
    std::uint64_t sets;
};

// Which of the bytes that look like markers are codes, among stream bytes that begin with a code:
// in a run of such bytes every other one is a code, the one after it its value. The carry of a
// subtraction finds them all at once, as escaped characters are found in text.
inline std::uint64_t marker_codes(std::uint64_t looks) {
    constexpr std::uint64_t kOddBits = 0xAAAAAAAAAAAAAAAAULL;
    return ((((looks << 1) | kOddBits) - looks) ^ kOddBits) & looks;
}

#if TARVO_X86_SIMD
// As signed bytes, markers are -64..-1, the other bytes with the top bit set -128..-65, and the
// values that set a voxel are the positive ones.
struct Sse2Classes {
    static ByteClasses at(const std::uint8_t* p) {
        const __m128i below_markers = _mm_set1_epi8(-65), zero = _mm_setzero_si128(), full = _mm_set1_epi8(-1);
        ByteClasses c{0, 0, 0};
        for (int k = 0; k < 4; ++k) {
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
            const int markers = _mm_movemask_epi8(b) & _mm_movemask_epi8(_mm_cmpgt_epi8(b, below_markers));
            const int fulls = _mm_movemask_epi8(_mm_cmpeq_epi8(b, full));
            const int sets = _mm_movemask_epi8(_mm_cmpgt_epi8(b, zero));
            c.markers |= static_cast<std::uint64_t>(static_cast<std::uint16_t>(markers)) << (16 * k);
            c.fulls |= static_cast<std::uint64_t>(static_cast<std::uint16_t>(fulls)) << (16 * k);
            c.sets |= static_cast<std::uint64_t>(static_cast<std::uint16_t>(sets)) << (16 * k);
        }
        return c;
    }
};

// Bit k set where byte k of 32 is a marker.
[[gnu::always_inline]] TARVO_AVX2_TARGET inline std::uint32_t avx2_markers(__m256i b) {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(b) & _mm256_movemask_epi8(_mm256_cmpgt_epi8(b, _mm256_set1_epi8(-65))));
}

// Byte k all ones where bit k of the mask is set: each byte takes the mask's byte k / 8, then its bit.
[[gnu::always_inline]] TARVO_AVX2_TARGET inline __m256i avx2_bytes_of(std::uint32_t mask) {
    const __m256i spread = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3,
                                            3, 3, 3, 3, 3, 3);
    const __m256i bit = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ULL));
    const __m256i m = _mm256_and_si256(_mm256_shuffle_epi8(_mm256_set1_epi32(static_cast<int>(mask)), spread), bit);
    return _mm256_cmpeq_epi8(m, bit);
}

struct Avx2Classes {
    TARVO_AVX2_TARGET static ByteClasses at(const std::uint8_t* p) {
        const __m256i zero = _mm256_setzero_si256(), full = _mm256_set1_epi8(-1);
        ByteClasses c{0, 0, 0};
        for (int k = 0; k < 2; ++k) {
            const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * k));
            const int fulls = _mm256_movemask_epi8(_mm256_cmpeq_epi8(b, full));
            const int sets = _mm256_movemask_epi8(_mm256_cmpgt_epi8(b, zero));
            c.markers |= std::uint64_t{avx2_markers(b)} << (32 * k);
            c.fulls |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(fulls)) << (32 * k);
            c.sets |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(sets)) << (32 * k);
        }
        return c;
    }
};

struct Avx512Classes {
    TARVO_AVX512_TARGET static ByteClasses at(const std::uint8_t* p) {
        const __m512i b = _mm512_loadu_si512(p);
        return {_mm512_cmpge_epu8_mask(b, _mm512_set1_epi8(static_cast<char>(kMarkerBits))),
                _mm512_cmpeq_epi8_mask(b, _mm512_set1_epi8(-1)), _mm512_cmpgt_epi8_mask(b, _mm512_setzero_si512())};
    }
};
#endif

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

// How the reader finds its way through literal-heavy stretches: byte by byte (every build), or
// 64 bytes classified at once with SSE2 (x86-64), AVX2 or AVX-512 (where the processor has them).
// All give the same runs and values.
enum class DecodePath { kScalar, kSse2, kAvx2, kAvx512 };

inline bool decode_path_available(DecodePath path) {
    switch (path) {
        case DecodePath::kScalar: return true;
        case DecodePath::kSse2: return TARVO_X86_SIMD != 0;
        case DecodePath::kAvx2: return simd::has_avx2();
        case DecodePath::kAvx512: return simd::has_avx512();
    }
    return false;
}

inline const char* decode_path_name(DecodePath path) {
    switch (path) {
        case DecodePath::kScalar: return "scalar";
        case DecodePath::kSse2: return "SSE2";
        case DecodePath::kAvx2: return "AVX2";
        case DecodePath::kAvx512: return "AVX-512";
    }
    return "?";
}

inline DecodePath fastest_decode_path() {
    if (decode_path_available(DecodePath::kAvx512)) return DecodePath::kAvx512;
    if (decode_path_available(DecodePath::kAvx2)) return DecodePath::kAvx2;
    if (decode_path_available(DecodePath::kSse2)) return DecodePath::kSse2;
    return DecodePath::kScalar;
}

class StreamReader {
public:
    // `first`: the index in the grid of the first voxel decoded (a stream read in parts), so that
    // the words a bit sink gets are those of the bitmap.
    explicit StreamReader(std::int64_t voxels, DecodePath path = fastest_decode_path(), std::int64_t first = 0)
        : remaining_(voxels > 0 ? voxels : 0), needed_(remaining_), first_(first > 0 ? first : 0),
          path_(decode_path_available(path) ? path : DecodePath::kScalar) {}

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
                if (path_ == DecodePath::kAvx512) i = windows_avx512(in, i, n, sink);
                if (path_ == DecodePath::kAvx2) i = windows_avx2(in, i, n, sink);
                if (path_ == DecodePath::kSse2) i = windows<detail::Sse2Classes>(in, i, n, sink);
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
    DecodePath path_;
};

// Counts the values a stream's codes stand for, 64 bytes at a time where the processor allows
// (which bytes are marker codes: detail::marker_codes).
class StreamCounter {
public:
    explicit StreamCounter(DecodePath path = fastest_decode_path())
        : path_(decode_path_available(path) ? path : DecodePath::kScalar) {}

    void count(const std::uint8_t* in, std::size_t n) {
        std::size_t i = 0;
#if TARVO_X86_SIMD
        if (path_ == DecodePath::kAvx2 || path_ == DecodePath::kAvx512) i = windows_avx2(in, n);
        if (path_ == DecodePath::kSse2) i = windows<detail::Sse2Classes>(in, n);
#endif
        for (; i < n; ++i) {
            if (value_next_) {
                value_next_ = false;
                continue;
            }
            values_ += is_marker(in[i]) ? marker_count(in[i]) : 1;
            value_next_ = is_marker(in[i]);
        }
    }

    std::int64_t values() const { return values_; }

private:
#if TARVO_X86_SIMD
    template <class Classes>
    [[gnu::always_inline]] std::size_t windows(const std::uint8_t* in, std::size_t n) {
        std::uint64_t carry = value_next_ ? 1 : 0;  // byte 0 is a marker's value
        std::size_t i = 0;
        for (; i + detail::kWindowBytes <= n; i += detail::kWindowBytes) {
            // Byte 0 may be the value of the last window's last marker; the literals are the
            // bytes that are neither markers nor their values.
            const std::uint64_t markers = detail::marker_codes(Classes::at(in + i).markers & ~carry);
            values_ += std::popcount(~(markers | (markers << 1) | carry));
            for (std::uint64_t m = markers; m != 0; m &= m - 1)
                values_ += marker_count(in[i + static_cast<std::size_t>(std::countr_zero(m))]);
            carry = markers >> 63;
        }
        value_next_ = carry != 0;
        return i;
    }

    // The same, with the counts of the markers summed as bytes: chains of full markers, one
    // marker in two bytes, are counted as fast as literals.
    TARVO_AVX2_TARGET std::size_t windows_avx2(const std::uint8_t* in, std::size_t n) {
        const __m256i count_bits = _mm256_set1_epi8(kCountMask), one = _mm256_set1_epi8(1);
        const __m256i zero = _mm256_setzero_si256();
        __m256i sums = zero;
        std::uint64_t carry = value_next_ ? 1 : 0;
        std::size_t i = 0;
        for (; i + detail::kWindowBytes <= n; i += detail::kWindowBytes) {
            const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
            const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i + 32));
            const std::uint64_t looks = detail::avx2_markers(b0) | (std::uint64_t{detail::avx2_markers(b1)} << 32);
            const std::uint64_t markers = detail::marker_codes(looks & ~carry);
            values_ += std::popcount(~(markers | (markers << 1) | carry));
            // marker_count of each marker byte (0 counts as 1), 0 for the other bytes; two bytes of
            // at most 63 add up within a byte.
            const __m256i c0 = _mm256_and_si256(_mm256_max_epu8(_mm256_and_si256(b0, count_bits), one),
                                                detail::avx2_bytes_of(static_cast<std::uint32_t>(markers)));
            const __m256i c1 = _mm256_and_si256(_mm256_max_epu8(_mm256_and_si256(b1, count_bits), one),
                                                detail::avx2_bytes_of(static_cast<std::uint32_t>(markers >> 32)));
            sums = _mm256_add_epi64(sums, _mm256_sad_epu8(_mm256_add_epi8(c0, c1), zero));
            carry = markers >> 63;
        }
        alignas(32) std::uint64_t lanes[4];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sums);
        values_ += static_cast<std::int64_t>(lanes[0] + lanes[1] + lanes[2] + lanes[3]);
        value_next_ = carry != 0;
        return i;
    }
#endif

    std::int64_t values_ = 0;
    bool value_next_ = false;
    DecodePath path_;
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

// Keeps the stream in memory.
class MemorySink : public BlockSink {
public:
    std::vector<std::uint8_t> bytes;
    void take(Block& block) override {
        bytes.insert(bytes.end(), block.bytes.get(), block.bytes.get() + block.used);
        block.used = 0;
    }
};

// The writer's paths give the same bytes.
enum class EncodePath { kScalar, kBmi, kAvx512 };

inline bool encode_path_available(EncodePath path) {
    switch (path) {
        case EncodePath::kScalar: return true;
        case EncodePath::kBmi: return simd::has_avx2();
        case EncodePath::kAvx512: return simd::has_avx512();
    }
    return false;
}

inline const char* encode_path_name(EncodePath path) {
    switch (path) {
        case EncodePath::kScalar: return "scalar";
        case EncodePath::kBmi: return "BMI";
        case EncodePath::kAvx512: return "AVX-512";
    }
    return "?";
}

inline EncodePath fastest_encode_path() {
    if (encode_path_available(EncodePath::kAvx512)) return EncodePath::kAvx512;
    if (encode_path_available(EncodePath::kBmi)) return EncodePath::kBmi;
    return EncodePath::kScalar;
}

class StreamWriter {
public:
    // The block must hold at least kMinBlockBytes.
    static constexpr std::size_t kMinBlockBytes = 256;
    StreamWriter(BlockSink& sink, Block block, EncodePath path = fastest_encode_path());

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
    EncodePath path_;
};

}  // namespace teleso
