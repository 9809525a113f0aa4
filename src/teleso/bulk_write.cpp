// Writing the voxel stream a whole run at a time, through a large output buffer.
//
// Put_rle_byte cuts a stretch of L equal values into L / 63 full markers "FF v", each written
// when its 63rd value arrives, and a rest of L % 63 values written when the stretch ends: a marker
// pair for a rest of 3 or more, literals for a rest of 1 or 2. The stretches are found with
// count-trailing-zeros over bitmap words, so the bytes are those of Put_rle_byte voxel by voxel.
#include <algorithm>
#include <array>
#include <memory>
#include <thread>

#include "teleso/bitmap.h"
#include "teleso/format.h"
#include "teleso/handoff.h"
#include "teleso/teleso.h"

using namespace shape_form;

namespace teleso::bulk {
namespace {

constexpr std::size_t kBufferBytes = std::size_t{1} << 20;
constexpr std::size_t kPatternPairs = 2048;
constexpr std::uint8_t kFullMarker = kMarkerBits + kMaxRun;
// Stretches of up to this many full markers are written in place; the room they need in the block,
// with the eight-byte stores rounded up and the rest pair.
constexpr std::int64_t kInlinePairs = 64;
constexpr std::size_t kInlineRoom = 2 * kInlinePairs + 8 + 2;
constexpr std::size_t kDepth = 3;  // output blocks waiting to be written
// Below this many voxels a stream is written faster than a thread starts.
constexpr std::int64_t kThreadedVoxels = std::int64_t{1} << 21;

// A block of the output stream.
struct Block {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t used = 0;
};

// Writes blocks to the output and empties them; remembers a failed write.
struct WriteOut {
    std::FILE* out;
    bool* failed;
    void operator()(Block& b) const {
        if (b.used > 0 && !*failed && std::fwrite(b.bytes.get(), 1, b.used, out) != b.used) *failed = true;
        b.used = 0;
    }
};

// The stream being encoded, handed out a block at a time; with a second thread, the writing of
// one block overlaps the encoding of the next.
class StreamOut {
public:
    StreamOut(std::FILE* out, bool threaded) : writer_(WriteOut{out, &failed_}, threaded, kDepth) {
        block_.bytes.reset(new std::uint8_t[kBufferBytes]);
        for (int v = 0; v < 2; ++v)
            for (std::size_t k = 0; k < kPatternPairs; ++k) {
                full_[v][2 * k] = kFullMarker;
                full_[v][2 * k + 1] = static_cast<std::uint8_t>(v);
            }
    }

    // A stretch of `len` equal values `v` (0 or 1).
    void run(int v, std::int64_t len) {
        const auto value = static_cast<std::uint8_t>(v);
        const std::size_t room = kBufferBytes - block_.used;
        std::uint8_t* p = block_.bytes.get() + block_.used;
        if (len < kMaxRun && room >= 2) {
            // The common short stretch: one marker pair or one or two literals.
            p[0] = len >= kMinMarkerRun ? static_cast<std::uint8_t>(kMarkerBits + len) : value;
            p[1] = value;
            block_.used += len == 1 ? 1 : 2;
            return;
        }
        long_run(value, len);
    }

    // Writes what is left; false when any write failed.
    bool finish() {
        hand_over();
        writer_.close();
        return !failed_;
    }

private:
    // A stretch of 63 values or more, or one at the end of the block.
    void long_run(std::uint8_t value, std::int64_t len) {
        const std::size_t room = kBufferBytes - block_.used;
        std::uint8_t* p = block_.bytes.get() + block_.used;
        const std::int64_t pairs = len / kMaxRun;
        if (pairs <= kInlinePairs && room >= kInlineRoom) {
            // A row's stretch of a few dozen full markers: written in place eight bytes at a
            // time (up to six bytes past the last pair, which later bytes overwrite).
            const std::uint64_t quad = 0x0001000100010001ULL * (kFullMarker | (std::uint64_t{value} << 8));
            for (std::int64_t k = 0; k < pairs; k += 4) std::memcpy(p + 2 * k, &quad, sizeof quad);
            const auto bytes = static_cast<std::size_t>(2 * pairs);
            block_.used += bytes + put_rest(p + bytes, value, len % kMaxRun);
            return;
        }
        for (std::int64_t left = pairs; left > 0;) {
            const auto k = static_cast<std::size_t>(std::min<std::int64_t>(left, kPatternPairs));
            put(full_[value].data(), 2 * k);
            left -= static_cast<std::int64_t>(k);
        }
        const auto rest = static_cast<std::uint8_t>(len % kMaxRun);
        std::uint8_t tail[2];
        if (rest > 0) put(tail, put_rest(tail, value, rest));
    }

    void hand_over() {
        if (block_.used == 0) return;
        writer_.give(block_);
        if (!block_.bytes) block_.bytes.reset(new std::uint8_t[kBufferBytes]);
    }

    // Writes the code of a stretch of `rest` (0..62) values to p[0..1]: a marker pair for 3 or
    // more, literals for 1 or 2, nothing for 0. Returns the bytes it takes; p[1] may be written
    // even when it takes fewer.
    static std::size_t put_rest(std::uint8_t* p, std::uint8_t value, std::int64_t rest) {
        p[0] = rest >= kMinMarkerRun ? static_cast<std::uint8_t>(kMarkerBits + rest) : value;
        p[1] = value;
        return rest == 0 ? 0 : rest == 1 ? 1 : 2;
    }

    void put(const std::uint8_t* p, std::size_t k) {
        while (k > 0) {
            if (block_.used == kBufferBytes) hand_over();
            const std::size_t take = std::min(k, kBufferBytes - block_.used);
            std::memcpy(block_.bytes.get() + block_.used, p, take);
            block_.used += take;
            p += take;
            k -= take;
        }
    }

    bool failed_ = false;  // written by the writing thread, read after it has ended
    Block block_;
    std::array<std::array<std::uint8_t, 2 * kPatternPairs>, 2> full_{};
    Handoff<Block, WriteOut> writer_;
};

}  // namespace

bool write_body(std::FILE* out, const TelesoRecord& rec, int threads) {
    const auto header = header_image(rec);
    if (std::fwrite(header.data(), 1, header.size(), out) != header.size()) return false;
    const std::int64_t n = rec.dim;
    const std::int64_t total = n > 0 ? n * n * n : 0;
    if (total > 0) {
        const bool threaded =
            threads > 0 ? threads > 1 : total >= kThreadedVoxels && std::thread::hardware_concurrency() >= 2;
        StreamOut stream(out, threaded);
        int value = rec.data[0] & 1;
        for (std::int64_t pos = 0; pos < total;) {
            const std::int64_t end = bitmap::next_change(rec.data, pos, total, value);
            stream.run(value, end - pos);
            pos = end;
            value ^= 1;
        }
        if (!stream.finish()) return false;
    }
    return !std::ferror(out);
}

}  // namespace teleso::bulk
