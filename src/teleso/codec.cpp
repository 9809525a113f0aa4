// The stream writer: Put_rle_byte cuts a stretch of L equal values into L / 63 full markers
// "FF v", each written when its 63rd value arrives, and a rest of L % 63 values written when the
// stretch ends; the writer makes the same bytes a stretch at a time.
#include "teleso/codec.h"

namespace teleso {

namespace {
// Chains of up to this many full markers (a row of a solid particle) are written in place eight
// bytes at a time; the room they need, the stores rounded up.
constexpr std::int64_t kInlinePairs = 64;
constexpr std::size_t kInlineRoom = 2 * kInlinePairs + 8;
constexpr std::size_t kPatternPairs = 512;
}  // namespace

StreamWriter::StreamWriter(BlockSink& sink, Block block) : sink_(sink), block_(std::move(block)) {
    block_.used = 0;
}

void StreamWriter::finish() {
    if (pending_ > 0) put_rest(value_, pending_);
    pending_ = 0;
    if (block_.used > 0) sink_.take(block_);
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

}  // namespace teleso
