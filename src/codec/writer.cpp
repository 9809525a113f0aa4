// The stream writer: Put_rle_byte cuts a stretch of L equal values into L / 63 full markers
// "FF v", each written when its 63rd value arrives, and a rest of L % 63 values written when the
// stretch ends; the writer makes the same bytes a stretch at a time.
//
// From a bitmap, short runs are found a word at a time: bit k of w ^ (w << 1 | carry) is set where
// voxel k differs from the one before it, so count-trailing-zeros walks from one run's end to the
// next without a branch per voxel. A word that the current run fills whole starts a long stretch,
// which goes through run() and the chains of full markers below.
//
// With AVX-512 VBMI2 the runs between the changes of a word are coded at once instead of one by
// one: the positions of the changes are compressed into bytes, their differences are the runs'
// lengths, every run gets its two candidate bytes, and the bytes a run does not use are
// compressed away. No run between two changes of a word reaches 64, so none needs a full marker
// but the one of 63, whose pair "FF v" is what a marker of 63 reads as anyway.
#include "codec/writer.h"

#include "body/bitmap.h"

#include "codec/writer_avx512.h"

namespace tarvo {

namespace {
// Chains of up to this many full markers (a row of a solid particle) are written in place eight
// bytes at a time; the room they need, the stores rounded up.
constexpr std::int64_t kInlinePairs = 64;
constexpr std::size_t kInlineRoom = 2 * kInlinePairs + 8;
constexpr std::size_t kPatternPairs = 512;

// The most bytes the runs that end in one word of 64 voxels can take: the run that joins the
// pending one (two full markers and a marker pair), 63 single literals, two full markers at the
// end, and the bytes stored past the end.
constexpr std::size_t kWordRoom = 6 + 63 + 4 + 4;
// The same when the runs between the changes are stored 64 bytes at a time (at most twice).
constexpr std::size_t kVectorWordRoom = 6 + 2 * 64 + 4;
static_assert(kVectorWordRoom <= StreamWriter::kMinBlockBytes);

// The full markers of a run of 63 to 2 * 63 + 62 values v; returns their end and leaves the rest
// of the run in `count`.
inline std::uint8_t* put_full_markers(std::uint8_t* out, std::uint8_t v, std::int64_t& count) {
    const std::uint32_t two_pairs = 0x00010001u * (kFullMarker | (std::uint32_t{v} << 8));
    std::memcpy(out, &two_pairs, sizeof two_pairs);
    const std::int64_t pairs = count >= 2 * kMaxRun ? 2 : 1;
    count -= pairs * kMaxRun;
    return out + 2 * pairs;
}

// The code of a run of `count` (0..2 * 63 + 62) values v, 0 or 1; returns its end. The rest of the
// run is written without a branch on its length, which short runs make unpredictable: two bytes
// are always stored and the end moves by the code's length (none for an empty rest).
inline std::uint8_t* put_binary_run(std::uint8_t* out, std::uint8_t v, std::int64_t count) {
    if (count >= kMaxRun) out = put_full_markers(out, v, count);
    const auto marked = static_cast<std::uint8_t>(count >= kMinMarkerRun ? 0xFF : 0);
    const auto marker = static_cast<std::uint8_t>(kMarkerBits + count);
    const auto code = static_cast<std::uint16_t>((v ^ ((v ^ marker) & marked)) | (v << 8));
    std::memcpy(out, &code, sizeof code);
    return out + std::min<std::int64_t>(count, 2);
}

}  // namespace

StreamWriter::StreamWriter(BlockSink& sink, Block block, Kernel path)
    : sink_(sink), block_(std::move(block)), path_(kernel_available(path) ? path : Kernel::kScalar) {
    block_.used = 0;
}

Block StreamWriter::release() {
    Block b = std::move(block_);
    b.used = 0;
    return b;
}

void StreamWriter::finish() {
    if (pending_ > 0) put_rest(value_, pending_);
    pending_ = 0;
    if (block_.used > 0) sink_.take(block_);
}

// The same code three times: with the bit instructions of BMI1 and BMI2 (shifts by a register, count
// of trailing zeros, clearing the lowest bit) where the processor has them, which the loop over the
// changes of a word is made of, with AVX-512 for the runs between the changes, and without.
void StreamWriter::bitmap(const std::uint8_t* data, std::int64_t begin, std::int64_t end) {
#if TARVO_X86_SIMD
    if (path_ == Kernel::kAvx512) {
        code_bitmap_avx512(data, begin, end);
        return;
    }
    if (path_ == Kernel::kAvx2) {
        code_bitmap_bmi(data, begin, end);
        return;
    }
#endif
    code_bitmap(data, begin, end);
}

void StreamWriter::code_bitmap(const std::uint8_t* data, std::int64_t begin, std::int64_t end) {
    code_bitmap_words<false>(data, begin, end);
}

#if TARVO_X86_SIMD
void StreamWriter::code_bitmap_bmi(const std::uint8_t* data, std::int64_t begin, std::int64_t end) {
    code_bitmap_words<false>(data, begin, end);
}

void StreamWriter::code_bitmap_avx512(const std::uint8_t* data, std::int64_t begin, std::int64_t end) {
    code_bitmap_words<true>(data, begin, end);
}
#endif

template <bool kVector>
void StreamWriter::code_bitmap_words(const std::uint8_t* data, std::int64_t begin, std::int64_t end) {
    constexpr std::size_t kRoom = kVector ? kVectorWordRoom : kWordRoom;
    if (begin >= end) return;
    const auto first = static_cast<std::uint8_t>(load_word(data, begin / kWordBits) >> (begin % kWordBits) & 1);
    if (pending_ > 0 && value_ != first) {
        put_rest(value_, pending_);
        pending_ = 0;
    }
    value_ = first;
    const std::int64_t words = (end + kWordBits - 1) / kWordBits;
    std::uint8_t* base = block_.bytes.get();
    std::uint8_t* out = base + block_.used;
    std::int64_t pending = pending_;
    std::uint8_t value = value_;
    // The bits of word w before `start` are coded already; the one before `start` counts as the
    // pending run's value.
    std::int64_t w = begin / kWordBits, start = begin % kWordBits;
    while (w < words) {
        if (block_.capacity - static_cast<std::size_t>(out - base) < kRoom) {
            block_.used = static_cast<std::size_t>(out - base);
            sink_.take(block_);
            base = block_.bytes.get();
            out = base + block_.used;
        }
        const std::uint64_t word = load_word(data, w);
        const std::int64_t bits = w + 1 < words ? kWordBits : end - w * kWordBits;
        const std::uint64_t before = start == 0 ? (word << 1) | value
                                                : ((word << 1) & ~(std::uint64_t{1} << start)) | (std::uint64_t{value} << start);
        std::uint64_t changes = (word ^ before) & bits_from(start) & low_mask(bits);
        if (changes == 0 && start == 0 && bits == kWordBits) {
            // The pending run fills the word: a long stretch, up to the first voxel of the other
            // value, through run() and its chains of full markers.
            block_.used = static_cast<std::size_t>(out - base);
            pending_ = pending;
            value_ = value;
            const std::int64_t change = next_change(data, w * kWordBits, end, value);
            run(value, change - w * kWordBits);
            base = block_.bytes.get();
            out = base + block_.used;
            pending = pending_;
            if (change == end) break;
            w = change / kWordBits;  // on to the word of the change, from the change on
            start = change % kWordBits;
            continue;
        }
        std::int64_t pos = start;
#if TARVO_X86_SIMD
        if constexpr (kVector) {
            // A word of one change (the edge of a solid) goes faster through the loop below.
            if ((changes & (changes - 1)) != 0) {
                // The run up to the first change joins the pending one; the last one is pending.
                const int k = std::countr_zero(changes);
                out = put_binary_run(out, value, pending + k - pos);
                out = detail::put_runs_between_changes(out, changes, value ^ 1);
                value ^= static_cast<std::uint8_t>(std::popcount(changes) & 1);
                pending = 0;
                pos = kWordBits - 1 - std::countl_zero(changes);
                changes = 0;
            }
        }
#endif
        for (; changes != 0; changes &= changes - 1) {
            const int k = std::countr_zero(changes);
            out = put_binary_run(out, value, pending + k - pos);
            value ^= 1;
            pending = 0;
            pos = k;
        }
        pending += bits - pos;
        if (pending >= kMaxRun) out = put_full_markers(out, value, pending);
        ++w;
        start = 0;
    }
    block_.used = static_cast<std::size_t>(out - base);
    pending_ = pending;
    value_ = value;
}

void StreamWriter::put_rest_slowly(std::uint8_t value, std::int64_t count) {
    const bool marked = count >= kMinMarkerRun || is_marker(value);
    const std::uint8_t code[2] = {marked ? static_cast<std::uint8_t>(kMarkerBits + count) : value, value};
    put(code, marked || count == 2 ? 2 : 1);
}

void StreamWriter::put_chain(std::uint8_t value, std::int64_t pairs) {
    const std::uint64_t quad = 0x0001000100010001ULL * (kFullMarker | (std::uint64_t{value} << 8));
    if (pairs <= kInlinePairs && block_.capacity - block_.used >= kInlineRoom) {
        // Up to six bytes past the last pair are written too; later bytes overwrite them.
        std::uint8_t* p = block_.bytes.get() + block_.used;
        for (std::int64_t k = 0; k < pairs; k += 4) std::memcpy(p + 2 * k, &quad, sizeof quad);
        block_.used += static_cast<std::size_t>(2 * pairs);
        return;
    }
    std::uint8_t pattern[2 * kPatternPairs];
    for (std::size_t k = 0; k < kPatternPairs; k += 4) std::memcpy(pattern + 2 * k, &quad, sizeof quad);
    while (pairs > 0) {
        const auto k = static_cast<std::size_t>(std::min<std::int64_t>(pairs, kPatternPairs));
        put(pattern, 2 * k);
        pairs -= static_cast<std::int64_t>(k);
    }
}

void StreamWriter::put(const std::uint8_t* p, std::size_t k) {
    while (k > 0) {
        if (block_.used == block_.capacity) sink_.take(block_);
        const std::size_t take = std::min(k, block_.capacity - block_.used);
        std::memcpy(block_.bytes.get() + block_.used, p, take);
        block_.used += take;
        p += take;
        k -= take;
    }
}

}  // namespace tarvo
