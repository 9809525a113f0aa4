// Writing a body: the header image, then the voxel stream coded from the bitmap a word at a time
// (StreamWriter::bitmap).
//
// With two threads the grid is cut into chunks at boundaries between runs. The code of a run
// depends on nothing but its value and length, so each chunk codes into exactly its part of the
// stream; the threads take the chunks in turn, each coding into its own block, and write them to
// the output in order, so that coding and writing overlap on both.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "body/bitmap.h"
#include "files/io.h"
#include "sys/handoff.h"
#include "sys/threads.h"

namespace tarvo {
namespace {

// No run codes into more bytes than it has voxels, so a chunk of this many voxels fits its block
// (but for a long run at its end, which then goes out in more blocks).
constexpr std::int64_t kChunkVoxels = std::int64_t{4} << 20;
constexpr std::size_t kChunkBlockBytes = static_cast<std::size_t>(kChunkVoxels) + StreamWriter::kMinBlockBytes;

// The voxels a tape codes to, its runs cut by the row cuts where given, walked as stretches of one
// value and ranges of blocks' bits. A bitmap is a tape of one block.
class CodedTape {
public:
    CodedTape(const Tape& tape, const RowCuts* cuts) : tape_(tape), cuts_(cuts) {}

    std::int64_t total() const { return tape_.total(); }

    // stretch(begin, end, value) for the stretches of one value, and bits(words, first, begin, end)
    // for the voxels begin..end-1 of a block whose words start at voxel `first`, that make up the
    // voxels from..to-1, in order; either returns false to stop the walk there.
    template <class Stretch, class Bits>
    void walk(std::int64_t from, std::int64_t to, Stretch&& stretch, Bits&& bits) const {
        const std::int64_t n = tape_.dim();
        to = std::min(to, tape_.total());
        std::int64_t pos = from;
        std::int64_t cut_row = -1;  // the row whose cut is in `rc`
        RowCut rc;
        Tape::Cursor c = tape_.cursor(from);
        Tape::Piece p;
        const bool clipped = cuts_ != nullptr && cuts_->one_row_runs_clipped();
        RowCursor at(n);  // the row of the last run met
        while (pos < to && c.next(p) && p.begin < to) {
            const std::int64_t b = std::max(p.begin, pos), e = std::min(p.end, to);
            if (b >= e) continue;  // a run the cut cleared
            if (b > pos && !stretch(pos, b, 0)) return;
            pos = e;
            if (p.block()) {
                if (!bits(p.words, p.begin, b, e)) return;
                continue;
            }
            at.seek(p.begin);
            if (cuts_ == nullptr || (clipped && p.end <= at.row() + n)) {
                if (!stretch(b, e, 1)) return;
                continue;
            }
            // What the cut keeps of the run, row by row.
            RowCursor rows = at;
            for (rows.seek(b); rows.row() < e; rows.next()) {
                const std::int64_t row = rows.row();
                if (row != cut_row) {
                    rc = cuts_->row(rows.y(), rows.z());
                    cut_row = row;
                }
                bool go = true;
                rc.for_stretches(std::max(b, row) - row, std::min(e, row + n) - row,
                                 [&](std::int64_t xb, std::int64_t xe, bool cleared) {
                                     if (go) go = stretch(row + xb, row + xe, cleared ? 0 : 1);
                                 });
                if (!go) return;
            }
        }
        if (pos < to) stretch(pos, to, 0);
    }

    // Codes the voxels from..to-1, joining the runs before them in the writer.
    void code(StreamWriter& writer, std::int64_t from, std::int64_t to) const {
        walk(from, to,
             [&](std::int64_t b, std::int64_t e, int v) {
                 writer.run(static_cast<std::uint8_t>(v), e - b);
                 return true;
             },
             [&](const std::uint8_t* words, std::int64_t first, std::int64_t b, std::int64_t e) {
                 writer.bitmap(words, b - first, e - first);
                 return true;
             });
    }

    int value_at(std::int64_t i) const {
        int v = 0;
        walk(i, i + 1,
             [&](std::int64_t, std::int64_t, int value) {
                 v = value;
                 return false;
             },
             [&](const std::uint8_t* words, std::int64_t first, std::int64_t b, std::int64_t) {
                 v = static_cast<int>(load_word(words, (b - first) / kWordBits) >> ((b - first) % kWordBits) & 1);
                 return false;
             });
        return v;
    }

    // The first voxel in from..to-1 whose value is not `value`, or `to`.
    std::int64_t next_change(std::int64_t from, std::int64_t to, int value) const {
        std::int64_t at = to;
        walk(from, to,
             [&](std::int64_t b, std::int64_t, int v) {
                 if (v == value) return true;
                 at = b;
                 return false;
             },
             [&](const std::uint8_t* words, std::int64_t first, std::int64_t b, std::int64_t e) {
                 const std::int64_t k = tarvo::next_change(words, b - first, e - first, value) + first;
                 if (k == e) return true;
                 at = k;
                 return false;
             });
        return at;
    }

private:
    const Tape& tape_;
    const RowCuts* cuts_;
};

// The chunks of a grid and the order in which they reach the output.
class Chunks {
public:
    explicit Chunks(const CodedTape& voxels)
        : total_(voxels.total()), count_((total_ + kChunkVoxels - 1) / kChunkVoxels),
          begins_(static_cast<std::size_t>(count_) + 1, total_) {
        // Chunk k begins with the first run that begins from k * kChunkVoxels on. Each chunk's span
        // is searched alone, so that a run over many chunks (a small particle in a large grid) is
        // read once here rather than once a chunk; a chunk whose span holds no run's beginning
        // begins where the next one does, and is empty. The spans are searched on two threads:
        // in a nearly empty grid this is a pass over the whole bitmap.
        auto search = [&](std::int64_t from, std::int64_t to) {
            for (std::int64_t k = from; k < to; ++k) {
                const std::int64_t at = k * kChunkVoxels, end = span_end(k);
                const std::int64_t change = voxels.next_change(at, end, voxels.value_at(at - 1));
                begins_[static_cast<std::size_t>(k)] = change < end ? change : kNoChange;
            }
        };
        const std::int64_t half = (count_ + 1) / 2;
        Helper helper;
        const bool two = helper.start([&] { search(half, count_); });
        search(1, two ? half : count_);
        if (two) helper.join();
        begins_[0] = 0;
        for (std::int64_t k = count_ - 1; k >= 1; --k)
            if (begins_[static_cast<std::size_t>(k)] == kNoChange) begins_[static_cast<std::size_t>(k)] = begins_[static_cast<std::size_t>(k + 1)];
    }

    std::int64_t count() const { return count_; }

    // The first voxel of chunk k (count() for the end of the last).
    std::int64_t begin(std::int64_t k) const { return begins_[static_cast<std::size_t>(k)]; }
    // The end of chunk k's span. A chunk that reaches past it ends in one run that fills the rest
    // (the spans it covers hold no run's beginning), known without reading it again.
    std::int64_t span_end(std::int64_t k) const { return std::min((k + 1) * kChunkVoxels, total_); }

    // Until the chunks before k are written.
    void wait_turn(std::int64_t k) {
        std::unique_lock<std::mutex> lock(mutex_);
        turn_changed_.wait(lock, [&] { return turn_ == k; });
    }
    // Chunk k is written: the next one's turn.
    void written(std::int64_t k) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            turn_ = k + 1;
        }
        turn_changed_.notify_all();
    }

private:
    static constexpr std::int64_t kNoChange = -1;
    std::int64_t total_;
    std::int64_t count_;
    std::vector<std::int64_t> begins_;
    std::mutex mutex_;
    std::condition_variable turn_changed_;
    std::int64_t turn_ = 0;
};

// The blocks of one chunk: the first waits for the chunk's turn, the later ones are written at once.
class ChunkSink : public BlockSink {
public:
    ChunkSink(Output& out, Chunks& chunks, std::int64_t k) : out_(out), chunks_(chunks), k_(k) {}
    void take(Block& block) override {
        wait_turn();
        out_.write(block.bytes.get(), block.used);
        block.used = 0;
    }
    // The chunk is complete (and written).
    void close() {
        wait_turn();
        chunks_.written(k_);
    }

private:
    void wait_turn() {
        if (!turn_) chunks_.wait_turn(k_);
        turn_ = true;
    }
    Output& out_;
    Chunks& chunks_;
    std::int64_t k_;
    bool turn_ = false;
};

// Codes and writes the chunks that `next` hands out, with one block.
void code_chunks(const CodedTape& voxels, Output& out, Chunks& chunks, std::atomic<std::int64_t>& next, Block block) {
    for (std::int64_t k; (k = next.fetch_add(1)) < chunks.count();) {
        const std::int64_t begin = chunks.begin(k), end = chunks.begin(k + 1);
        ChunkSink sink(out, chunks, k);
        if (begin < end) {
            StreamWriter writer(sink, std::move(block));
            const std::int64_t searched = std::min(end, chunks.span_end(k));
            voxels.code(writer, begin, searched);
            if (end > searched) writer.run(static_cast<std::uint8_t>(voxels.value_at(searched - 1)), end - searched);
            writer.finish();
            block = writer.release();
        }
        sink.close();
    }
}

void write_chunks_on_two_threads(const CodedTape& voxels, Output& out) {
    Chunks chunks(voxels);
    std::atomic<std::int64_t> next{0};
    // Both blocks exist before the second thread starts: nothing is allocated while the two work.
    Block mine = Block::of(kChunkBlockBytes), helpers = Block::of(kChunkBlockBytes);
    Helper helper;
    const bool two = helper.start([&] { code_chunks(voxels, out, chunks, next, std::move(helpers)); });
    code_chunks(voxels, out, chunks, next, std::move(mine));
    if (two) helper.join();
}

// Whether a second thread pays for coding: its chunks' boundaries are searched first, a pass over
// the voxels that a particle of long runs (a solid, or a small particle in a large grid with long
// runs of empty voxels around it: the one coding thread takes them at the speed of memory) does
// not repay. A hint only; the bytes are the same either way.
bool worth_two_threads(const TelesoRecord& rec, const Tape& tape) {
    const std::int64_t n = rec.dim;
    auto extent = [n](std::int32_t lo, std::int32_t hi) { return std::clamp<std::int64_t>(std::int64_t{hi} - lo + 1, 0, n); };
    const std::int64_t box = extent(rec.x_min, rec.x_max) * extent(rec.y_min, rec.y_max) * extent(rec.z_min, rec.z_max);
    // The blocks' bits are what the second thread shares; runs code at the speed of memory.
    const std::int64_t bits = std::min(tape.words() * kWordBits, box);
    return bits * 8 >= voxel_count(rec.dim);
}

// Writes the blocks on a second thread, so that the system's copying of a block into the file
// overlaps the coding of the next: on a large particle of long runs that copying is as much work
// as the coding.
class ThreadedSink : public BlockSink {
public:
    ThreadedSink(Output& out, bool threaded)
        : writes_(Write{&out}, threaded, kDepth, [] { return Block::of(kTapeBlockBytes); }) {}
    void take(Block& block) override { writes_.give(block); }
    void close() { writes_.close(); }
    static Block block() { return Block::of(kTapeBlockBytes); }

private:
    static constexpr std::size_t kTapeBlockBytes = std::size_t{512} << 10;
    static constexpr std::size_t kDepth = 2;
    struct Write {
        Output* out;
        void operator()(Block& b) {
            out->write(b.bytes.get(), b.used);
            b.used = 0;
        }
    };
    Handoff<Block, Write> writes_;
};

}  // namespace

void encode_tape(const Tape& tape, const RowCuts* cuts, StreamWriter& writer) {
    CodedTape(tape, cuts).code(writer, 0, tape.total());
    writer.finish();
}

void encode_voxels(const TelesoRecord& rec, StreamWriter& writer) {
    TelesoRecord view = rec;
    encode_tape(Tape::over(view), nullptr, writer);
}

std::vector<std::uint8_t> encode_stream(const TelesoRecord& rec) {
    MemorySink sink;
    StreamWriter writer(sink, Block::of(std::size_t{1} << 16));
    encode_voxels(rec, writer);
    return std::move(sink.bytes);
}

Status write_tape(Output& out, const TelesoRecord& rec, const Tape& tape, const RowCuts* cuts, int threads) {
    const auto header = header_image(rec);
    if (Status s = out.write(header.data(), header.size()); !s) return s;
    const std::int64_t total = tape.total();
    if (total == 0) return {};
    try {
        const CodedTape voxels(tape, cuts);
        const bool two = pass_threads(total, threads) > 1;
        if (two && total > kChunkVoxels && (threads != kAutoThreads || worth_two_threads(rec, tape))) {
            write_chunks_on_two_threads(voxels, out);
        } else {
            ThreadedSink sink(out, two);
            StreamWriter writer(sink, ThreadedSink::block());
            voxels.code(writer, 0, total);
            writer.finish();
            sink.close();
        }
    } catch (const std::bad_alloc&) {
        return fail(Error::kOutOfMemory, out.path());
    }
    return out.write(nullptr, 0);
}

Status write_body(Output& out, const TelesoRecord& rec, int threads) {
    TelesoRecord view = rec;
    return write_tape(out, rec, Tape::over(view), nullptr, threads);
}

Status save_body(const std::string& path, const TelesoRecord& rec, Protected protect) {
    Output out;
    Status s = out.open(path, protect);
    if (s) s = write_body(out, rec);
    if (s) s = out.commit();
    return s;
}

}  // namespace tarvo
