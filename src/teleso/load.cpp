// Reading a body: the header, then the voxel stream in large blocks, decoded a run at a time and
// laid into the bitmap a word at a time.
//
// Most of the time of a large read goes into the page faults of the fresh bitmap. With two
// threads, one reads and decodes the input and the other writes the bitmap from the bottom up; on
// large grids a third takes the faults of the upper part ahead of it (prefault.h), as faults
// taken on two threads at once scale on the machine measured (see docs/performance.md).
#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "teleso/bitmap.h"
#include "teleso/handoff.h"
#include "teleso/io.h"
#include "teleso/parallel.h"
#include "teleso/prefault.h"

namespace teleso {
namespace {

constexpr std::size_t kBlockBytes = std::size_t{1} << 20;

// What the decoding asks of the bitmap, in stream order: set the voxels begin..end-1 (bits 0), or
// OR the 64 bits `bits` in from voxel `begin` on (end unused).
struct Fill {
    std::int64_t begin;
    std::int64_t end;
    std::uint64_t bits;
};
using FillBatch = std::vector<Fill>;
constexpr std::size_t kBatchFills = 4096;
constexpr std::size_t kDepth = 4;  // batches waiting to be laid in

FillBatch make_batch() {
    FillBatch b;
    b.reserve(kBatchFills);
    return b;
}

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
        store_word(data_, w, bits);
        word_ = w;
        bits_ = bits;
    }

    // Before any byte up to that of word w is written.
    void reach(std::int64_t w) { prefault_->enter(static_cast<std::size_t>(w) * 8 + 7); }

    void literals(std::int64_t pos, std::uint64_t bits) {
        const std::int64_t w = pos / kWordBits, shift = pos % kWordBits;
        reach(w + (shift != 0 ? 1 : 0));
        store(w, earlier(w) | (bits << shift));
        if (shift != 0 && (bits >> (kWordBits - shift)) != 0) store(w + 1, bits >> (kWordBits - shift));
    }

    void set(std::int64_t begin, std::int64_t end) {
        if (begin >= end) return;
        const std::int64_t wb = begin / kWordBits, we = (end - 1) / kWordBits;
        const std::uint64_t head = bits_from(begin % kWordBits);
        const std::uint64_t tail = low_mask((end - 1) % kWordBits + 1);
        reach(we);
        if (wb == we) {
            store(wb, earlier(wb) | (head & tail));
            return;
        }
        store_word(data_, wb, earlier(wb) | head);
        if (we > wb + 1) std::fill(data_ + (wb + 1) * 8, data_ + we * 8, std::uint8_t{0xFF});
        store(we, tail);
    }

    std::uint8_t* data_;
    Prefault* prefault_;
    std::int64_t word_ = -1;  // the last word stored, and its bits
    std::uint64_t bits_ = 0;
};

// Bit k set where byte k of `bytes` is a value that sets its voxel (1..127).
std::uint64_t set_bits_of8(std::uint64_t bytes) {
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL, kLow = 0x7F7F7F7F7F7F7F7FULL;
    // Bit 7 of each byte: its low seven bits are not all zero and its top bit is clear.
    const std::uint64_t sets = ((bytes & kLow) + kLow) & ~bytes & kHigh;
    return ((sets >> 7) * 0x0102040810204080ULL) >> 56;
}

// Takes the reader's runs and literals and turns them into fills. Consecutive runs of set values
// are joined, so that a long solid stretch is filled once, whatever its coding. With a second
// thread the fills are laid in there, so that the page faults of the fresh bitmap overlap the
// reading and decoding of the input.
class BitmapFiller {
public:
    BitmapFiller(std::uint8_t* data, std::int64_t total, bool threaded, bool prefault)
        : prefault_(data, static_cast<std::size_t>((total + kWordBits - 1) / kWordBits) * 8, prefault),
          layer_(Layer(data, &prefault_), threaded, kDepth, make_batch),
          batch_(make_batch()) {}

    void run(std::uint8_t value, std::int64_t count) {
        if (value_sets_voxel(value)) {
            if (set_begin_ < 0) set_begin_ = pos_;
        } else {
            end_set_run();
        }
        pos_ += count;
    }

    void literals(const std::uint8_t* p, std::size_t k) {
        end_set_run();
        std::size_t j = 0;
        for (; j + 64 <= k; j += 64) {
            std::uint64_t bits = 0;
            for (int g = 0; g < 8; ++g) bits |= set_bits_of8(detail::load_bytes8(p + j + 8 * g)) << (8 * g);
            put_bits(bits, 64);
        }
        if (j < k) {
            std::uint8_t rest[64] = {};
            std::copy(p + j, p + k, rest);
            std::uint64_t bits = 0;
            for (int g = 0; g < 8; ++g) bits |= set_bits_of8(detail::load_bytes8(rest + 8 * g)) << (8 * g);
            put_bits(bits, static_cast<std::int64_t>(k - j));
        }
    }

    // Lays in what is left and waits until it is done.
    void finish() {
        end_set_run();
        if (!batch_.empty()) layer_.give(batch_);
        layer_.close();
        prefault_.stop();
    }

private:
    void end_set_run() {
        if (set_begin_ >= 0 && set_begin_ < pos_) put({set_begin_, pos_, 0});
        set_begin_ = -1;
    }

    void put_bits(std::uint64_t bits, std::int64_t count) {
        if (bits != 0) put({pos_, 0, bits});
        pos_ += count;
    }

    void put(const Fill& f) {
        batch_.push_back(f);  // within the capacity reserved
        if (batch_.size() == kBatchFills) layer_.give(batch_);
    }

    std::int64_t pos_ = 0;
    std::int64_t set_begin_ = -1;
    Prefault prefault_;  // before layer_, so that the filling thread ends first
    Handoff<FillBatch, Layer> layer_;
    FillBatch batch_;
};

}  // namespace

Status Input::open(const std::string& path) {
    path_ = path;
    if (!reader_.open(path.c_str())) return fail(Error::kOpenInput, path, reader_.error());
    return {};
}

Status Input::read_header(HeaderImage& header) {
    std::uint8_t bytes[kHeaderBytes];
    std::size_t got = 0;
    if (!reader_.read(bytes, sizeof bytes, got)) return fail(Error::kReadInput, path_, reader_.error());
    header_bytes_ = got;
    header = parse_header(bytes, got);
    return {};
}

Status Input::read_voxels(TelesoRecord& rec, int threads) {
    const std::int64_t total = voxel_count(rec.dim);
    StreamReader reader(total);
    facts_ = reader.facts();
    if (total == 0) return {};
    try {
        std::unique_ptr<std::uint8_t[]> buf(new std::uint8_t[kBlockBytes]);
        const bool threaded = pass_threads(total, threads) > 1;
        // The page-faulting thread only helps a filling thread, and only where the faults
        // outweigh starting it.
        BitmapFiller filler(rec.data, total, threaded, threaded && total >= kThreadedVoxels);
        bool failed = false;
        for (std::size_t ask; (ask = std::min(reader.want(), kBlockBytes)) > 0;) {
            std::size_t got = 0;
            failed = !reader_.read(buf.get(), ask, got);
            if (failed || got == 0) break;
            reader.decode(buf.get(), got, filler);
        }
        facts_ = reader.facts();
        // At the end of the input every byte reads as FF: the voxels not reached stay empty.
        reader.finish(filler);
        filler.finish();
        if (failed) return fail(Error::kReadInput, path_, reader_.error());
    } catch (const std::bad_alloc&) {
        return fail(Error::kOutOfMemory, path_);
    }
    return {};
}

Status Input::read_rest() {
    std::uint8_t buf[1 << 16];
    for (;;) {
        std::size_t got = 0;
        if (!reader_.read(buf, sizeof buf, got)) return fail(Error::kReadInput, path_, reader_.error());
        if (got == 0) return {};
        facts_.surplus_bytes += got;
    }
}

std::optional<InputFile> Input::file() const {
    const std::optional<platform::FileId> id = reader_.id();
    if (!id) return std::nullopt;
    return InputFile{*id, path_};
}

Status load_body(const std::string& path, TelesoRecord& rec, LoadInfo* info, bool count_surplus) {
    rec.data = nullptr;
    Input in;
    HeaderImage header;
    Status s = in.open(path);
    if (s) s = in.read_header(header);
    if (info) info->header = header;
    if (s) s = check_header(header, path);
    if (s) {
        apply_header(header, rec);
        s = create_body(rec, header.dim(), path);
    }
    if (s) s = in.read_voxels(rec);
    if (s && count_surplus) s = in.read_rest();
    if (!s && rec.data) free_body(rec);
    if (info) {
        info->stream = in.facts();
        info->file_bytes = in.file_bytes();
        info->file = in.file();
    }
    return s;
}

}  // namespace teleso
