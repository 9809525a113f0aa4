// Reading the voxel stream in large blocks, a whole run at a time.
//
// The result is that of Next_rle_byte/Set_voxel voxel by voxel, including the position the input
// is left at: a block never asks for more bytes than the voxels still to be read need at the
// least, so no byte past the last code the stream needs is consumed.
#include <algorithm>
#include <memory>
#include <thread>
#include <vector>

#include "teleso/bitmap.h"
#include "teleso/format.h"
#include "teleso/handoff.h"
#include "teleso/teleso.h"

using namespace shape_form;

namespace teleso::bulk {
namespace {

constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
// Below this many voxels a bitmap is filled faster than a thread starts.
constexpr std::int64_t kThreadedVoxels = std::int64_t{1} << 21;

// The fewest code bytes that can carry `voxels` values: a marker pair carries at most 63 of them
// in two bytes, a literal one in one byte.
std::int64_t fewest_code_bytes(std::int64_t voxels) {
    const std::int64_t pairs = voxels / kMaxRun, rest = voxels % kMaxRun;
    return 2 * pairs + std::min<std::int64_t>(rest, 2);
}

// What the decoder asks of the bitmap: set voxels begin..end-1, or (a word piece) OR `bits` into
// word number `begin`.
struct Piece {
    std::int64_t begin;
    std::int64_t end;
    std::uint64_t bits;
    bool word;
};

void lay(std::uint8_t* data, const Piece& p) {
    if (p.word)
        bitmap::store_word(data, p.begin, bitmap::load_word(data, p.begin) | p.bits);
    else
        bitmap::set_bits(data, p.begin, p.end);
}

// Lays pieces into the bitmap. With a second thread the bitmap is divided into blocks of whole
// words: the second thread fills three blocks of every four, the decoding thread the fourth
// between its reads, so the page faults of a large fresh bitmap are taken on both cores. No word
// belongs to two blocks, and each block is filled by one thread in the order of its pieces, so
// pieces that share a word never race.
class Filler {
public:
    Filler(std::uint8_t* data, bool threaded) : data_(data), worker_(LayAll{data}, threaded, kDepth) { batch_.reserve(kBatch); }

    void add(const Piece& p) {
        if (!worker_.threaded()) {
            lay(data_, p);
            return;
        }
        if (p.word) {
            route(p, p.begin * bitmap::kWordBits);
            return;
        }
        // A range is cut at the blocks' edges.
        for (std::int64_t b = p.begin; b < p.end;) {
            const std::int64_t e = std::min(p.end, (b / kBlockBits + 1) * kBlockBits);
            route(Piece{b, e, 0, false}, b);
            b = e;
        }
    }

    void finish() {
        if (!batch_.empty()) worker_.give(batch_);
        worker_.close();
    }

private:
    static constexpr std::size_t kBatch = 4096;
    static constexpr std::size_t kDepth = 8;  // batches of 128 KiB
    // 2 MiB of bitmap: the span of one page table page on common systems, so the two threads
    // rarely wait for each other's page faults.
    static constexpr std::int64_t kBlockBits = std::int64_t{1} << 24;
    static constexpr std::int64_t kOwnBlockEvery = 4;

    struct LayAll {
        std::uint8_t* data;
        void operator()(std::vector<Piece>& batch) const {
            for (const Piece& p : batch) lay(data, p);
            batch.clear();
        }
    };

    // A piece inside one block, whose first voxel is `at`.
    void route(const Piece& p, std::int64_t at) {
        if ((at / kBlockBits) % kOwnBlockEvery == 0) {
            lay(data_, p);
            return;
        }
        batch_.push_back(p);
        if (batch_.size() == kBatch) {
            worker_.give(batch_);
            batch_.reserve(kBatch);
        }
    }

    std::uint8_t* data_;
    std::vector<Piece> batch_;
    Handoff<std::vector<Piece>, LayAll> worker_;
};

// Turns decoded runs into pieces. Consecutive runs of set values are joined, so that a long solid
// stretch is filled once, whatever its coding.
class RunSink {
public:
    RunSink(Filler& filler, std::int64_t total) : filler_(filler), total_(total) {}

    std::int64_t remaining() const { return total_ - pos_; }

    void add(std::uint8_t value, std::int64_t count) {
        const std::int64_t len = std::min(count, total_ - pos_);
        if (value_sets_voxel(value)) {
            if (set_begin_ < 0) set_begin_ = pos_;
        } else {
            end_set_run();
        }
        pos_ += len;
    }

    // Eight literals at once, one per byte of `bytes` (first voxel in the lowest byte); needs at
    // least eight voxels still to be read.
    void add_literals(std::uint64_t bytes) {
        constexpr std::uint64_t kHigh = 0x8080808080808080ULL, kLow = 0x7F7F7F7F7F7F7F7FULL;
        // Bit 7 of each byte: its value lies in 1..127 (low seven bits not all zero, top bit clear).
        const std::uint64_t sets = ((bytes & kLow) + kLow) & ~bytes & kHigh;
        // Bit 7 of byte k moved to bit k.
        const std::uint64_t bits = ((sets >> 7) * 0x0102040810204080ULL) >> 56;
        end_set_run();
        if (bits != 0) {
            const std::int64_t w = pos_ / bitmap::kWordBits, shift = pos_ % bitmap::kWordBits;
            filler_.add(Piece{w, w + 1, bits << shift, true});
            if (shift > bitmap::kWordBits - 8 && (bits >> (bitmap::kWordBits - shift)) != 0)
                filler_.add(Piece{w + 1, w + 2, bits >> (bitmap::kWordBits - shift), true});
        }
        pos_ += 8;
    }

    void finish() { end_set_run(); }

private:
    void end_set_run() {
        if (set_begin_ >= 0) filler_.add(Piece{set_begin_, pos_, 0, false});
        set_begin_ = -1;
    }

    Filler& filler_;
    std::int64_t total_;
    std::int64_t pos_ = 0;
    std::int64_t set_begin_ = -1;
};

std::uint64_t load_bytes8(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Decodes buf[0..got) into the sink. A marker that is the block's last byte is handed back in
// `held_marker` (its value is the first byte of the next block).
void decode_block(const std::uint8_t* buf, std::size_t got, RunSink& sink, int& held_marker) {
    std::size_t i = 0;
    if (held_marker >= 0 && got > 0) {
        sink.add(buf[0], marker_count(static_cast<std::uint8_t>(held_marker)));
        held_marker = -1;
        i = 1;
    }
    while (i < got) {
        const std::uint8_t b = buf[i];
        if (!is_marker(b)) {
            if (i + 8 <= got && sink.remaining() >= 8) {
                // Noise is coded as long stretches of literals: take eight at a time while no
                // byte among them is a marker (both top bits set).
                const std::uint64_t bytes = load_bytes8(buf + i);
                if ((bytes & (bytes << 1) & 0x8080808080808080ULL) == 0) {
                    sink.add_literals(bytes);
                    i += 8;
                    continue;
                }
            }
            sink.add(b, 1);
            ++i;
            continue;
        }
        if (i + 1 == got) {
            held_marker = b;
            return;
        }
        const std::uint8_t v = buf[i + 1];
        if (b == 0xFF) {
            // Solid stretches are long chains of full markers "FF v": take four pairs at a time.
            const std::uint64_t quad = 0x0001000100010001ULL * (0xFFu | (std::uint64_t{v} << 8));
            std::int64_t pairs = 1;
            i += 2;
            while (i + 8 <= got && load_bytes8(buf + i) == quad) {
                pairs += 4;
                i += 8;
            }
            sink.add(v, pairs * kMaxRun);
            continue;
        }
        sink.add(v, marker_count(b));
        i += 2;
    }
}

}  // namespace

bool read_voxels(std::FILE* in, TelesoRecord& rec, int threads) {
    const std::int64_t n = rec.dim;
    const std::int64_t total = n > 0 ? n * n * n : 0;
    const bool threaded = threads > 0 ? threads > 1
                                      : total >= kThreadedVoxels && std::thread::hardware_concurrency() >= 2;
    Filler filler(rec.data, threaded);
    RunSink sink(filler, total);
    std::unique_ptr<std::uint8_t[]> buf;
    if (total > 0) buf.reset(new std::uint8_t[kBlockBytes]);
    int held_marker = -1;
    while (sink.remaining() > 0) {
        const std::int64_t need = held_marker >= 0 ? 1 : fewest_code_bytes(sink.remaining());
        const std::size_t ask = static_cast<std::size_t>(std::min<std::int64_t>(need, kBlockBytes));
        const std::size_t got = std::fread(buf.get(), 1, ask, in);
        // At the end of the input every byte reads as FF: a held marker gets the value FF and the
        // rest of the stream is FF for ever, so every voxel not yet reached stays empty.
        if (got == 0) break;
        decode_block(buf.get(), got, sink, held_marker);
    }
    sink.finish();
    filler.finish();
    return !std::ferror(in);
}

}  // namespace teleso::bulk
