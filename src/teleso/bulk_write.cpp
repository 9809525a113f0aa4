// Writing the voxel stream a whole run at a time, through a large output buffer.
//
// Put_rle_byte cuts a stretch of L equal values into L / 63 full markers "FF v", each written
// when its 63rd value arrives, and a rest of L % 63 values written when the stretch ends: a marker
// pair for a rest of 3 or more, literals for a rest of 1 or 2. The stretches are found with
// count-trailing-zeros over bitmap words, so the bytes are those of Put_rle_byte voxel by voxel.
#include <algorithm>
#include <array>
#include <memory>

#include "teleso/bitmap.h"
#include "teleso/format.h"
#include "teleso/teleso.h"

using namespace shape_form;

namespace teleso::bulk {
namespace {

constexpr std::size_t kBufferBytes = std::size_t{1} << 20;
constexpr std::size_t kPatternPairs = 2048;

class StreamOut {
public:
    explicit StreamOut(std::FILE* out) : out_(out), buf_(new std::uint8_t[kBufferBytes]) {
        for (int v = 0; v < 2; ++v)
            for (std::size_t k = 0; k < kPatternPairs; ++k) {
                full_[v][2 * k] = kMarkerBits + kMaxRun;
                full_[v][2 * k + 1] = static_cast<std::uint8_t>(v);
            }
    }

    // A stretch of `len` equal values `v` (0 or 1).
    void run(int v, std::int64_t len) {
        const auto value = static_cast<std::uint8_t>(v);
        if (len < kMaxRun && kBufferBytes - used_ >= 2) {
            // The common short stretch: one marker pair or one or two literals.
            std::uint8_t* p = buf_.get() + used_;
            p[0] = len >= kMinMarkerRun ? static_cast<std::uint8_t>(kMarkerBits + len) : value;
            p[1] = value;
            used_ += len == 1 ? 1 : 2;
            return;
        }
        for (std::int64_t pairs = len / kMaxRun; pairs > 0;) {
            const auto k = static_cast<std::size_t>(std::min<std::int64_t>(pairs, kPatternPairs));
            put(full_[v].data(), 2 * k);
            pairs -= static_cast<std::int64_t>(k);
        }
        const auto rest = static_cast<std::uint8_t>(len % kMaxRun);
        const std::uint8_t tail[2] = {rest >= kMinMarkerRun ? static_cast<std::uint8_t>(kMarkerBits + rest) : value,
                                      value};
        if (rest > 0) put(tail, rest == 1 ? 1 : 2);
    }

    bool flush() {
        if (used_ > 0 && std::fwrite(buf_.get(), 1, used_, out_) != used_) failed_ = true;
        used_ = 0;
        return !failed_;
    }

private:
    void put(const std::uint8_t* p, std::size_t k) {
        while (k > 0) {
            if (used_ == kBufferBytes && !flush()) return;
            const std::size_t take = std::min(k, kBufferBytes - used_);
            std::memcpy(buf_.get() + used_, p, take);
            used_ += take;
            p += take;
            k -= take;
        }
    }

    std::FILE* out_;
    std::unique_ptr<std::uint8_t[]> buf_;
    std::size_t used_ = 0;
    bool failed_ = false;
    std::array<std::array<std::uint8_t, 2 * kPatternPairs>, 2> full_{};
};

}  // namespace

bool write_body(std::FILE* out, const TelesoRecord& rec) {
    const auto header = header_image(rec);
    if (std::fwrite(header.data(), 1, header.size(), out) != header.size()) return false;
    const std::int64_t n = rec.dim;
    const std::int64_t total = n > 0 ? n * n * n : 0;
    if (total > 0) {
        StreamOut stream(out);
        int value = rec.data[0] & 1;
        for (std::int64_t pos = 0; pos < total;) {
            const std::int64_t end = bitmap::next_change(rec.data, pos, total, value);
            stream.run(value, end - pos);
            pos = end;
            value ^= 1;
        }
        if (!stream.flush()) return false;
    }
    return !std::ferror(out);
}

}  // namespace teleso::bulk
