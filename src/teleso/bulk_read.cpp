// Reading the voxel stream in large blocks, a whole run at a time.
//
// The result is that of Next_rle_byte/Set_voxel voxel by voxel, including the position the input
// is left at: a block never asks for more bytes than the voxels still to be read need at the
// least, so no byte past the last code the stream needs is consumed.
//
// Most of the time goes into the page faults of the fresh bitmap. With two threads, one reads and
// decodes the input and the other writes the bitmap from the bottom up; on large grids a third
// takes the faults of the upper part ahead of it (teleso/prefault.h), as faults taken on two
// threads at once scale on the machine measured (see the README).
#include <algorithm>
#include <memory>
#include <thread>
#include <vector>

#include "teleso/bitmap.h"
#include "teleso/format.h"
#include "teleso/handoff.h"
#include "teleso/prefault.h"
#include "teleso/teleso.h"

using namespace shape_form;

namespace teleso::bulk {
namespace {

constexpr std::size_t kBlockBytes = std::size_t{1} << 20;

// The fewest code bytes that can carry `voxels` values: a marker pair carries at most 63 of them
// in two bytes, a literal one in one byte.
std::int64_t fewest_code_bytes(std::int64_t voxels) {
    const std::int64_t pairs = voxels / kMaxRun, rest = voxels % kMaxRun;
    return 2 * pairs + std::min<std::int64_t>(rest, 2);
}

// What the decoding asks of the bitmap, in stream order: set the voxels begin..end-1 (bits 0), or
// OR the eight bits `bits` in at voxel `begin` (end unused).
struct Fill {
    std::int64_t begin;
    std::int64_t end;
    std::uint64_t bits;
};
using FillBatch = std::vector<Fill>;
constexpr std::size_t kBatchFills = 4096;
constexpr std::size_t kDepth = 4;  // batches waiting to be laid in
// Below this many voxels a stream is read faster than a thread starts.
constexpr std::int64_t kThreadedVoxels = std::int64_t{1} << 21;

// Lays fills into the cleared bitmap. They arrive in order and the bitmap is cleared, so a word is
// never loaded: the last word stored is remembered and the others are stored whole. A load of a
// fresh page of the bitmap maps the shared zero page, and a store after it took a second fault to
// replace that page; with stores only, every page the particle reaches costs one fault.
class Layer {
public:
    Layer(std::uint8_t* data, Prefault* prefault) : data_(data), prefault_(prefault) {}

    void operator()(FillBatch& batch) {
        for (const Fill& f : batch) f.bits != 0 ? literals(f.begin, f.bits) : set(f.begin, f.end);
        batch.clear();
    }

private:
    // The bits already stored in word w: only the last word stored can hold any.
    std::uint64_t earlier(std::int64_t w) const { return w == word_ ? bits_ : 0; }

    void store(std::int64_t w, std::uint64_t bits) {
        bitmap::store_word(data_, w, bits);
        word_ = w;
        bits_ = bits;
    }

    // Before any byte up to that of word w is written.
    void reach(std::int64_t w) { prefault_->enter(static_cast<std::size_t>(w) * 8 + 7); }

    void literals(std::int64_t pos, std::uint64_t bits) {
        const std::int64_t w = pos / bitmap::kWordBits, shift = pos % bitmap::kWordBits;
        reach((pos + 7) / bitmap::kWordBits);
        store(w, earlier(w) | (bits << shift));
        if (shift > bitmap::kWordBits - 8 && (bits >> (bitmap::kWordBits - shift)) != 0)
            store(w + 1, bits >> (bitmap::kWordBits - shift));
    }

    void set(std::int64_t begin, std::int64_t end) {
        if (begin >= end) return;
        const std::int64_t wb = begin / bitmap::kWordBits, we = (end - 1) / bitmap::kWordBits;
        const std::uint64_t head = bitmap::bits_from(begin % bitmap::kWordBits);
        const std::uint64_t tail = bitmap::low_mask((end - 1) % bitmap::kWordBits + 1);
        reach(we);
        if (wb == we) {
            store(wb, earlier(wb) | (head & tail));
            return;
        }
        bitmap::store_word(data_, wb, earlier(wb) | head);
        if (we > wb + 1) std::memset(data_ + (wb + 1) * 8, 0xFF, static_cast<std::size_t>(we - wb - 1) * 8);
        store(we, tail);
    }

    std::uint8_t* data_;
    Prefault* prefault_;
    std::int64_t word_ = -1;  // the last word stored, and its bits
    std::uint64_t bits_ = 0;
};

// Turns decoded runs into fills. Consecutive runs of set values are joined, so that a long solid
// stretch is filled once, whatever its coding. With a second thread the fills are laid in there:
// most of the time of reading goes into the page faults of the fresh bitmap, and they overlap the
// reading and decoding of the input.
class RunSink {
public:
    RunSink(std::uint8_t* data, std::int64_t total, bool threaded, bool prefault)
        : total_(total),
          prefault_(data, static_cast<std::size_t>((total + bitmap::kWordBits - 1) / bitmap::kWordBits) * 8,
                    prefault),
          layer_(Layer(data, &prefault_), threaded, kDepth) {
        batch_.reserve(kBatchFills);
    }

    std::int64_t remaining() const { return total_ - pos_; }

    void add(std::uint8_t value, std::int64_t count) {
        const std::int64_t len = std::min(count, total_ - pos_);
        if (value_sets_voxel(value)) {
            if (set_begin_ < 0) set_begin_ = pos_;
        } else if (set_begin_ >= 0) {
            put({set_begin_, pos_, 0});
            set_begin_ = -1;
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
        if (set_begin_ >= 0) put({set_begin_, pos_, 0});
        set_begin_ = -1;
        if (bits != 0) put({pos_, 0, bits});
        pos_ += 8;
    }

    // Lays in what is left and waits until it is done.
    void finish() {
        if (set_begin_ >= 0 && set_begin_ < pos_) put({set_begin_, pos_, 0});
        set_begin_ = -1;
        if (!batch_.empty()) layer_.give(batch_);
        layer_.close();
        prefault_.stop();
    }

private:
    void put(const Fill& f) {
        batch_.push_back(f);
        if (batch_.size() == kBatchFills) {
            layer_.give(batch_);
            batch_.reserve(kBatchFills);
        }
    }

    std::int64_t total_;
    std::int64_t pos_ = 0;
    std::int64_t set_begin_ = -1;
    FillBatch batch_;
    Prefault prefault_;  // before layer_, so that the filling thread ends first
    Handoff<FillBatch, Layer> layer_;
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
            // Solid stretches are long chains of full markers "FF v": take eight pairs at a time,
            // then the last few one by one, so that the chain is one run for the sink.
            const std::uint64_t quad = 0x0001000100010001ULL * (0xFFu | (std::uint64_t{v} << 8));
            std::int64_t pairs = 1;
            i += 2;
            while (i + 16 <= got && load_bytes8(buf + i) == quad && load_bytes8(buf + i + 8) == quad) {
                pairs += 8;
                i += 16;
            }
            while (i + 2 <= got && buf[i] == 0xFF && buf[i + 1] == v) {
                ++pairs;
                i += 2;
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
    const bool threaded =
        threads > 0 ? threads > 1 : total >= kThreadedVoxels && std::thread::hardware_concurrency() >= 2;
    // The pre-faulting thread only helps a filling thread, and only where the faults outweigh
    // starting it.
    RunSink sink(rec.data, total, threaded, threaded && total >= kThreadedVoxels);
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
    return !std::ferror(in);
}

}  // namespace teleso::bulk
