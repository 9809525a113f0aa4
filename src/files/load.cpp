// Reading a body: the header, then the voxel stream in large blocks, decoded a run at a time and
// laid into the bitmap a word at a time, measured on the way when the caller asks.
//
// A large solid particle's read goes mostly into the page faults of the fresh bitmap, a
// literal-heavy one's into decoding. With two threads, one reads and decodes the input and the
// other writes (and measures) the bitmap from the bottom up; on large grids a third takes the
// faults of the upper part ahead of it (sys/prefault.h), as faults taken on two threads at once scale
// on the machine measured (see docs/performance.md).
#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
#include <vector>

#include "body/bitmap.h"
#include "sys/handoff.h"
#include "files/io.h"
#include "sys/threads.h"
#include "sys/prefault.h"
#include "sys/cpu.h"
#include "body/tally.h"
#include "body/tape.h"

namespace tarvo {
namespace {

constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
// The second half's blocks: it reads the first half twice as fast as it decodes, and a smaller
// block takes fewer page faults of its own.
constexpr std::size_t kHalfBlockBytes = std::size_t{256} << 10;

// What the decoding asks of the bitmap, in stream order: OR `bits` into the word of voxel `begin`
// (a multiple of 64), set the voxels begin..end-1, or store the next (end - begin) / 64 words of
// the batch's word list from voxel `begin` (a multiple of 64) on.
struct Fill {
    enum Kind : std::uint8_t { kWord, kStretch, kWords };
    std::int64_t begin;
    std::int64_t end;
    std::uint64_t bits;
    Kind kind;
};
struct FillBatch {
    std::vector<Fill> fills;
    std::vector<std::uint64_t> words;
    bool empty() const { return fills.empty(); }
    void clear() {
        fills.clear();
        words.clear();
    }
};
constexpr std::size_t kBatchFills = 4096;
constexpr std::size_t kBatchWords = 8192;
constexpr std::size_t kDepth = 4;  // batches waiting to be laid in

FillBatch make_batch() {
    FillBatch b;
    b.fills.reserve(kBatchFills);
    b.words.reserve(kBatchWords);
    return b;
}

// Lays fills into the cleared bitmap, and measures them when asked. They arrive in order and the
// bitmap is cleared, so a word is never loaded: the last word stored is remembered and the others
// are stored whole, and words without a set voxel are not stored at all. A load of a fresh page of
// the bitmap maps the shared zero page, and a store after it took a second fault to replace that
// page; with stores only, every page the particle reaches costs one fault.
class Layer {
public:
    // `shared`: a word whose voxels before this part are another thread's to store; this part's
    // bits of it are kept in shared_bits() instead (-1: none).
    Layer(std::uint8_t* data, Prefault* prefault, StreamTally* tally, std::int64_t shared = -1)
        : data_(data), prefault_(prefault), tally_(tally), popcount_(use_popcnt()), shared_(shared) {}

    std::uint64_t shared_bits() const { return shared_bits_; }

    void operator()(FillBatch& batch) {
        if (tally_ == nullptr)
            lay_and_measure<NoCount>(batch);
        else if (popcount_)
            lay_and_measure_by_popcount(batch);
        else
            lay_and_measure<TableCount>(batch);
        batch.clear();
    }

private:
    struct NoCount {};

    template <class Count>
    [[gnu::always_inline]] void lay_and_measure(const FillBatch& batch) {
        constexpr bool kMeasure = !std::is_same_v<Count, NoCount>;
        StreamTally t(0);
        if constexpr (kMeasure) t = *tally_;  // a local copy, which the stores into the bitmap cannot alias
        const std::uint64_t* words = batch.words.data();
        for (const Fill& f : batch.fills) {
            const std::int64_t w = f.begin / kWordBits;
            switch (f.kind) {
                case Fill::kWord:
                    word(w, f.bits);
                    if constexpr (kMeasure) t.add_word<Count>(w, f.bits);
                    break;
                case Fill::kStretch:
                    set(f.begin, f.end);
                    if constexpr (kMeasure) t.add_stretch(f.begin, f.end);
                    break;
                case Fill::kWords: {
                    const std::int64_t k = (f.end - f.begin) / kWordBits;
                    reach(w + k - 1);
                    // Only the first word can hold bits stored before; the others are new.
                    if (words[0] != 0) store(w, earlier(w) | words[0]);
                    if constexpr (kMeasure) t.add_word<Count>(w, words[0]);
                    std::int64_t last = 0;
                    for (std::int64_t j = 1; j < k; ++j) {
                        if (words[j] != 0) {
                            put(w + j, words[j]);
                            last = j;
                        }
                        if constexpr (kMeasure) t.add_word<Count>(w + j, words[j]);
                    }
                    if (last > 0) remember(w + last, words[last]);
                    words += k;
                    break;
                }
            }
        }
        if constexpr (kMeasure) *tally_ = t;
    }

    TARVO_TARGET("popcnt") void lay_and_measure_by_popcount(const FillBatch& batch) {
        lay_and_measure<PopcountCount>(batch);
    }

    // The bits already stored in word w: only the last word stored can hold any.
    std::uint64_t earlier(std::int64_t w) const { return w == word_ ? bits_ : 0; }

    void store(std::int64_t w, std::uint64_t bits) {
        put(w, bits);
        remember(w, bits);
    }

    void remember(std::int64_t w, std::uint64_t bits) {
        word_ = w;
        bits_ = bits;
    }

    void put(std::int64_t w, std::uint64_t bits) {
        if (w == shared_)
            shared_bits_ = bits;
        else
            store_word(data_, w, bits);
    }

    // Before any byte up to that of word w is written.
    void reach(std::int64_t w) { prefault_->enter(static_cast<std::size_t>(w) * 8 + 7); }

    void word(std::int64_t w, std::uint64_t bits) {
        reach(w);
        store(w, earlier(w) | bits);
    }

    void set(std::int64_t begin, std::int64_t end) {
        if (begin >= end) return;
        const auto [wb, we, head, tail] = word_range(begin, end);
        reach(we);
        if (wb == we) {
            store(wb, earlier(wb) | (head & tail));
            return;
        }
        put(wb, earlier(wb) | head);
        if (we > wb + 1) std::fill(data_ + (wb + 1) * 8, data_ + we * 8, std::uint8_t{0xFF});
        store(we, tail);
    }

    std::uint8_t* data_;
    Prefault* prefault_;
    StreamTally* tally_;
    bool popcount_;
    std::int64_t shared_;
    std::uint64_t shared_bits_ = 0;
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

// The same for k (up to 64) values.
std::uint64_t set_bits_of(const std::uint8_t* p, std::size_t k) {
    std::uint64_t bits = 0;
    std::size_t j = 0;
    for (; j + 8 <= k; j += 8) bits |= set_bits_of8(detail::load_bytes8(p + j)) << j;
    for (; j < k; ++j) bits |= std::uint64_t{value_sets_voxel(p[j])} << j;
    return bits;
}

// What both fillers do with the reader's runs and literals: short runs and literals are gathered
// into whole 64-bit words, so that a stream of short codes costs one piece per word; a run of set
// values longer than a word starts a stretch that the following runs of set values join, so that a
// long solid stretch is one piece, whatever its coding. The filler (Derived) takes the pieces:
// put_bits(w, bits), the set bits (never none) of word w, and put_stretch(begin, end), set voxels.
template <class Derived>
class Gatherer {
public:
    explicit Gatherer(std::int64_t start) : pos_(start) {}

    void run(std::uint8_t value, std::int64_t count) {
        if (value_sets_voxel(value)) {
            if (set_begin_ < 0) {
                if (count <= kWordBits) {
                    gather(low_mask(count), count);
                    return;
                }
                put_word();
                set_begin_ = pos_;
            }
            pos_ += count;
            return;
        }
        end_set_run();
        if (pos_ % kWordBits + count >= kWordBits) put_word();
        pos_ += count;
    }

    // k values (1..64), bit j of `bits` set when the j-th sets its voxel.
    void voxels(std::uint64_t bits, int k) {
        end_set_run();
        gather(bits, k);
    }

    void literals(const std::uint8_t* p, std::size_t k) {
        end_set_run();
        for (std::size_t take; k > 0; p += take, k -= take) {
            take = std::min<std::size_t>(k, kWordBits);
            gather(set_bits_of(p, take), static_cast<std::int64_t>(take));
        }
    }

protected:
    // Hands on the bits gathered in the word of pos_.
    void put_word() {
        if (word_bits_ != 0) self().put_bits(pos_ / kWordBits, word_bits_);
        word_bits_ = 0;
    }

    void end_set_run() {
        if (set_begin_ < 0) return;
        self().put_stretch(set_begin_, pos_);
        set_begin_ = -1;
    }

    std::int64_t pos_;

private:
    Derived& self() { return static_cast<Derived&>(*this); }

    // Adds k values (1..64), bit j of `bits` for the j-th, to the word being gathered.
    void gather(std::uint64_t bits, std::int64_t k) {
        const std::int64_t off = pos_ % kWordBits;
        word_bits_ |= bits << off;
        if (off + k >= kWordBits) {
            if (word_bits_ != 0) self().put_bits(pos_ / kWordBits, word_bits_);
            word_bits_ = off != 0 ? bits >> (kWordBits - off) : 0;
        }
        pos_ += k;
    }

    std::uint64_t word_bits_ = 0;  // the values gathered in the word of pos_, below pos_ % 64
    std::int64_t set_begin_ = -1;  // the start of a stretch of set values (no bits gathered then)
};

// Takes the reader's runs and literals and turns them into fills (Gatherer). With a second thread
// the fills are laid in there, so that the page faults of the fresh bitmap overlap the reading and
// decoding of the input.
class BitmapFiller : public Gatherer<BitmapFiller> {
public:
    // From voxel `start` on: a start within a word leaves that word to whoever fills the voxels
    // before it, and keeps this filler's bits of it apart (shared_bits()).
    BitmapFiller(std::uint8_t* data, std::int64_t total, bool threaded, bool prefault, StreamTally* tally,
                 std::int64_t start = 0)
        : Gatherer(start),
          prefault_(data, static_cast<std::size_t>((total + kWordBits - 1) / kWordBits) * 8, prefault),
          layer_(Layer(data, &prefault_, tally, start % kWordBits != 0 ? start / kWordBits : -1), threaded, kDepth,
                 make_batch),
          batch_(make_batch()) {}

    // k words of values: the next 64 k values, which start at a word of the bitmap.
    void words(const std::uint64_t* w, std::size_t k) {
        end_set_run();
        if (batch_.words.size() + k > kBatchWords) layer_.give(batch_);
        batch_.words.insert(batch_.words.end(), w, w + k);  // within the capacity reserved
        put({pos_, pos_ + static_cast<std::int64_t>(k) * kWordBits, 0, Fill::kWords});
        pos_ += static_cast<std::int64_t>(k) * kWordBits;
    }

    // Lays in what is left and waits until it is done.
    void finish() {
        end_set_run();
        put_word();
        if (!batch_.empty()) layer_.give(batch_);
        layer_.close();
        prefault_.stop();
    }

    // After finish(): this filler's bits of the word it shares with the voxels before its start.
    std::uint64_t shared_bits() const { return layer_.consumer().shared_bits(); }

private:
    friend class Gatherer<BitmapFiller>;
    void put_bits(std::int64_t w, std::uint64_t bits) { put({w * kWordBits, 0, bits, Fill::kWord}); }
    void put_stretch(std::int64_t begin, std::int64_t end) { put({begin, end, 0, Fill::kStretch}); }

    void put(const Fill& f) {
        batch_.fills.push_back(f);  // within the capacity reserved
        if (batch_.fills.size() == kBatchFills) layer_.give(batch_);
    }

    Prefault prefault_;  // before layer_, so that the filling thread ends first
    Handoff<FillBatch, Layer> layer_;
    FillBatch batch_;
};

// Takes the reader's runs and literals and lays them on a tape (Gatherer): stretches of set values
// as runs, the gathered words as words, empty stretches as gaps, which cost nothing.
class TapeFiller : public Gatherer<TapeFiller> {
public:
    explicit TapeFiller(Tape& tape, std::int64_t start = 0) : Gatherer(start), tape_(tape) {}

    void words(const std::uint64_t* w, std::size_t k) {
        end_set_run();
        const std::int64_t first = pos_ / kWordBits;
        for (std::size_t j = 0; j < k; ++j) tape_.add_word(first + static_cast<std::int64_t>(j), w[j]);
        pos_ += static_cast<std::int64_t>(k) * kWordBits;
    }

    void finish() {
        end_set_run();
        put_word();
        tape_.finish();
    }

private:
    friend class Gatherer<TapeFiller>;
    void put_bits(std::int64_t w, std::uint64_t bits) { tape_.add_word(w, bits); }
    void put_stretch(std::int64_t begin, std::int64_t end) { tape_.add_run(begin, end); }

    Tape& tape_;
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

namespace {

// How far past the middle of the stream a place to split it is looked for.
constexpr std::size_t kSplitSearchBytes = std::size_t{1} << 16;

// Whether decoding is the larger part of reading: a stream of short runs and literals. A stream
// of little more than chains of full markers (two bytes for 63 voxels, 0.032 bytes a voxel: a
// solid particle, or a small one in a large grid) decodes at the speed of memory, and its read
// goes into the bitmap's page faults, which the second thread takes then. A file longer than any
// stream of its grid (two bytes a voxel at the most) holds bytes after the codes, which the
// second thread would count for nothing while the first is done long before.
bool worth_splitting(std::uint64_t stream_bytes, std::int64_t voxels) {
    const auto v = static_cast<std::uint64_t>(voxels);
    return stream_bytes * 20 >= v && stream_bytes <= 2 * v;
}

// A place a little past the middle of the stream (54%: the second thread also counts the first half)
// where a code begins: just after a byte that is not a marker, which is a literal or the value of a
// marker, and so ends a code either way. 0 when none lies close by (a long chain of empty voxels,
// "FF FF ..."), or on a read error.
std::uint64_t split_point(const tarvo::sys::Reader& file, std::uint64_t stream_begin, std::uint64_t stream_bytes,
                          std::uint8_t* buf) {
    const std::uint64_t middle = stream_bytes / 100 * 54;
    std::size_t got = 0;
    int error = 0;
    if (!file.read_at(stream_begin + middle, buf, kSplitSearchBytes, got, error)) return 0;
    for (std::size_t k = 0; k + 1 < got; ++k)
        if (!is_marker(buf[k])) return middle + k + 1;
    return 0;
}

// The values the codes of the stream's first `split` bytes stand for, counted without decoding
// them (pread from the stream's start); false on a read error (its number in `error`).
bool count_values(const tarvo::sys::Reader& file, std::uint64_t stream_begin, std::uint64_t split, std::uint8_t* buf,
                  Kernel path, std::int64_t& values, int& error) {
    StreamCounter counter(path);
    for (std::uint64_t at = 0; at < split;) {
        std::size_t got = 0;
        if (!file.read_at(stream_begin + at, buf, std::min<std::uint64_t>(kHalfBlockBytes, split - at), got, error))
            return false;
        if (got == 0) break;
        counter.count(buf, got);
        at += got;
    }
    values = counter.values();
    return true;
}

// Decodes the stream from file offset `from` on (pread) into the filler until the reader wants no
// more or the file ends; a read error leaves its number in `error`.
template <class Filler>
void decode_at(const tarvo::sys::Reader& file, std::uint64_t from, StreamReader& reader, Filler& filler,
               std::uint8_t* buf, int& error) {
    for (std::uint64_t at = from;;) {
        const std::size_t ask = std::min(reader.want(), kHalfBlockBytes);
        std::size_t got = 0;
        if (ask == 0) break;
        if (!file.read_at(at, buf, ask, got, error)) break;
        if (got == 0) break;
        reader.decode(buf, got, filler);
        at += got;
    }
}

constexpr std::uint64_t kWholeStream = ~std::uint64_t{0};

// Reads and decodes the input from where it stands into the filler, at most `limit` bytes of it
// (the first half of a split stream), until the reader wants no more; false on a read error.
template <class Filler>
bool decode_up_to(tarvo::sys::Reader& file, std::uint64_t limit, StreamReader& reader, Filler& filler,
                  std::uint8_t* buf) {
    std::uint64_t consumed = 0;
    for (std::size_t ask; (ask = std::min(reader.want(), kBlockBytes)) > 0;) {
        ask = static_cast<std::size_t>(std::min<std::uint64_t>(ask, limit - consumed));
        if (ask == 0) break;
        std::size_t got = 0;
        if (!file.read(buf, ask, got)) return false;
        if (got == 0) break;
        reader.decode(buf, got, filler);
        consumed += got;
    }
    return true;
}

// The second half of a stream split at a code: counts the values of the codes before it, then
// decodes it from there into the bitmap, measured apart.
struct SecondHalf {
    std::int64_t start = 0;        // the first voxel it codes (at least the grid's voxels: none)
    StreamFacts facts;             // of the codes from the split on
    std::uint64_t shared_bits = 0; // its bits of the word of `start`, when that word is shared
    Tally tally;
    int error = 0;                 // a read's error number
    bool out_of_memory = false;

    void read(const tarvo::sys::Reader& file, std::uint64_t stream_begin, std::uint64_t split, TelesoRecord& rec,
              bool measure, Kernel path) {
        try {
            std::unique_ptr<std::uint8_t[]> buf(new std::uint8_t[kHalfBlockBytes]);
            const std::int64_t total = voxel_count(rec.dim);
            std::int64_t values = 0;
            if (!count_values(file, stream_begin, split, buf.get(), path, values, error)) return;
            start = std::min(values, total);
            if (start == total) return;  // the codes end before the split: the first half has them all
            StreamReader reader(total - start, path, start);
            StreamTally stream_tally(rec.dim);
            BitmapFiller filler(rec.data, total, false, false, measure ? &stream_tally : nullptr, start);
            decode_at(file, stream_begin + split, reader, filler, buf.get(), error);
            facts = reader.facts();
            reader.finish(filler);
            filler.finish();
            shared_bits = filler.shared_bits();
            tally = stream_tally.tally();
        } catch (const std::bad_alloc&) {
            out_of_memory = true;
        }
    }
};

}  // namespace

namespace {

// Whether a stream of `bytes` code bytes can reach the last of `total` voxels: a marker and its
// value, two bytes, code at most kMaxRun voxels. A complete stream always can; the upper part of a
// grid a cut-short stream cannot reach stays empty, and faulting it in ahead would be work for
// nothing (for a 52-byte file claiming the largest grid, all of it).
bool stream_reaches_end(std::uint64_t bytes, std::int64_t total) {
    return bytes >= static_cast<std::uint64_t>(total) / kMaxRun * 2;
}

}  // namespace

Status Input::read_voxels(TelesoRecord& rec, int threads, Tally* measured, Kernel path) {
    const std::int64_t total = voxel_count(rec.dim);
    StreamReader reader(total, path);
    facts_ = reader.facts();
    if (measured) *measured = Tally{};
    if (total == 0) return {};
    try {
        std::unique_ptr<std::uint8_t[]> buf(new std::uint8_t[kBlockBytes]);
        const bool threaded = pass_threads(total, threads) > 1;
        // A stream long enough is read in two halves on two threads, each decoding and laying in
        // its own; otherwise one thread reads and decodes while a second lays the bitmap in.
        const std::uint64_t stream_begin = header_bytes_;
        const std::optional<std::uint64_t> size = reader_.regular_size();
        std::uint64_t split = 0;
        if (threaded && size && *size >= stream_begin + split_from_ &&
            (split_from_ != kSplitStreamBytes || worth_splitting(*size - stream_begin, total)))
            split = split_point(reader_, stream_begin, *size - stream_begin, buf.get());
        SecondHalf second;
        Helper helper;  // joined however the scope is left
        const bool two = split > 0 && helper.start([&] { second.read(reader_, stream_begin, split, rec, measured != nullptr, path); });
        StreamTally tally(rec.dim);
        bool failed = false;
        {
            // The page-faulting thread only helps a filling thread, and only where the faults
            // outweigh starting it.
            const bool reaches_end = !size || stream_reaches_end(*size - std::min(*size, stream_begin), total);
            const bool prefault = threaded && !two && total >= kThreadedVoxels && reaches_end && (!size || dense_for(total));
            BitmapFiller filler(rec.data, total, threaded && !two, prefault, measured ? &tally : nullptr);
            failed = !decode_up_to(reader_, two ? split : kWholeStream, reader, filler, buf.get());
            facts_ = reader.facts();
            if (two) helper.join();
            // At the end of the input every byte reads as FF: the voxels not reached stay empty.
            if (!two || second.start == total) reader.finish(filler);
            filler.finish();
        }
        if (two) {
            if (second.out_of_memory) throw std::bad_alloc();
            if (second.error != 0) return fail(Error::kReadInput, path_, second.error);
            if (second.start < total) {
                // The word of the split's first voxel holds voxels of both halves.
                const std::int64_t w = second.start / kWordBits;
                if (second.start % kWordBits != 0) store_word(rec.data, w, load_word(rec.data, w) | second.shared_bits);
                facts_.voxels_coded += second.facts.voxels_coded;
                facts_.code_bytes += second.facts.code_bytes;
                // Reading the file on goes on after the last code.
                if (!failed && !reader_.seek(stream_begin + facts_.code_bytes)) failed = true;
            }
        }
        if (failed) return fail(Error::kReadInput, path_, reader_.error());
        if (measured) {
            *measured = tally.tally();
            measured->merge(second.tally);  // empty unless a second half was read
        }
    } catch (const std::bad_alloc&) {
        return fail(Error::kOutOfMemory, path_);
    }
    return {};
}

namespace {

// The second half of a stream split at a code, onto a tape of its own: counts the values of the
// codes before it, then decodes it from there.
struct SecondTape {
    std::int64_t start = 0;  // the first voxel it codes (the grid's voxels: none)
    StreamFacts facts;       // of the codes from the split on
    Tape tape;
    int error = 0;           // a read's error number
    bool out_of_memory = false;

    void read(const tarvo::sys::Reader& file, std::uint64_t stream_begin, std::uint64_t split, std::int32_t dim,
              Kernel path) {
        try {
            std::unique_ptr<std::uint8_t[]> buf(new std::uint8_t[kHalfBlockBytes]);
            const std::int64_t total = voxel_count(dim);
            tape = Tape(dim);
            std::int64_t values = 0;
            if (!count_values(file, stream_begin, split, buf.get(), path, values, error)) return;
            start = std::min(values, total);
            if (start == total) return;  // the codes end before the split: the first half has them all
            StreamReader reader(total - start, path, start);
            TapeFiller filler(tape, start);
            decode_at(file, stream_begin + split, reader, filler, buf.get(), error);
            facts = reader.facts();
            reader.finish(filler);
            filler.finish();
        } catch (const std::bad_alloc&) {
            out_of_memory = true;
        }
    }
};

}  // namespace

// As read_voxels: a regular file's long stream of short codes is read in two halves on two
// threads, the second onto a tape of its own that is joined to the first's after.
Status Input::read_tape(Tape& tape, Kernel path, int threads) {
    tape.clear();
    const std::int32_t dim = tape.dim();
    const std::int64_t total = tape.total();
    StreamReader reader(total, path);
    facts_ = reader.facts();
    if (total == 0) return {};
    try {
        std::unique_ptr<std::uint8_t[]> buf(new std::uint8_t[kBlockBytes]);
        const std::uint64_t stream_begin = header_bytes_;
        const std::optional<std::uint64_t> size = reader_.regular_size();
        std::uint64_t split = 0;
        if (pass_threads(total, threads) > 1 && size && *size >= stream_begin + split_from_ &&
            (split_from_ != kSplitStreamBytes || *size - stream_begin <= 2 * static_cast<std::uint64_t>(total)))
            split = split_point(reader_, stream_begin, *size - stream_begin, buf.get());
        SecondTape second;
        Helper helper;  // joined however the scope is left
        const bool two = split > 0 && helper.start([&] { second.read(reader_, stream_begin, split, dim, path); });
        bool failed = false;
        {
            TapeFiller filler(tape);
            failed = !decode_up_to(reader_, two ? split : kWholeStream, reader, filler, buf.get());
            facts_ = reader.facts();
            if (two) helper.join();
            // At the end of the input every byte reads as FF: the voxels not reached stay empty.
            if (!two || second.start == total) reader.finish(filler);
            filler.finish();
        }
        if (two) {
            if (second.out_of_memory) throw std::bad_alloc();
            if (second.error != 0) return fail(Error::kReadInput, path_, second.error);
            if (second.start < total) {
                tape.append(second.tape);
                facts_.voxels_coded += second.facts.voxels_coded;
                facts_.code_bytes += second.facts.code_bytes;
                // Reading the file on goes on after the last code.
                if (!failed && !reader_.seek(stream_begin + facts_.code_bytes)) failed = true;
            }
        }
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

std::optional<std::uint64_t> Input::stream_bytes() const {
    const std::optional<std::uint64_t> size = reader_.regular_size();
    if (!size) return std::nullopt;
    return *size - std::min(*size, header_bytes_);
}

std::optional<InputFile> Input::file() const {
    const std::optional<tarvo::sys::FileId> id = reader_.id();
    if (!id) return std::nullopt;
    return InputFile{*id, path_};
}

namespace {

// Opens the file, reads and checks its header into rec, then its voxels by read_voxels(in, header),
// and reports what was read into info; a failed load leaves rec without a bitmap.
template <class ReadVoxels>
Status load_with(const std::string& path, TelesoRecord& rec, LoadInfo* info, bool count_surplus,
                 ReadVoxels&& read_voxels) {
    rec.data = nullptr;
    Input in;
    HeaderImage header;
    Status s = in.open(path);
    if (s) s = in.read_header(header);
    if (info) info->header = header;
    if (s) s = check_header(header, path);
    if (s) {
        apply_header(header, rec);
        s = read_voxels(in, header);
    }
    if (s && count_surplus) s = in.read_rest();
    if (!s && rec.data) free_body(rec);
    if (info) {
        info->stream = in.facts();
        info->file_bytes = in.file_bytes();
        info->file = in.file();
    }
    return s;
}

}  // namespace

Status load_body(const std::string& path, TelesoRecord& rec, LoadInfo* info, bool count_surplus, Tally* measured) {
    return load_with(path, rec, info, count_surplus, [&](Input& in, const HeaderImage& header) {
        Status s = create_body(rec, header.dim(), path);
        if (s) s = in.read_voxels(rec, kAutoThreads, measured);
        return s;
    });
}

Status load_tape(const std::string& path, TelesoRecord& rec, Tape& tape, LoadInfo* info, bool count_surplus) {
    return load_with(path, rec, info, count_surplus, [&](Input& in, const HeaderImage& header) {
        rec.dim = header.dim();
        rec.size = bitmap_size(rec.dim);  // the block a bitmap of the grid would take
        tape = Tape(header.dim());
        return in.read_tape(tape);
    });
}

}  // namespace tarvo
