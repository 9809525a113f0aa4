// tape: a body laid out where the particle is. The voxels of the grid, in the linear order of the
// bitmap and the file's stream, are a sequence of pieces with the gaps between them empty:
//   - a run: voxels begin..end-1, all set (long stretches of a solid particle: two numbers however
//     long the stretch);
//   - a block: bit words for the voxels begin..end-1 (begin and end multiples of 64), bit i of
//     word k for voxel begin + 64 k + i, as in the bitmap (short runs, literals, a porous body).
// A dense bitmap is the special case of one block over the whole grid (Tape::over), so the passes
// that measure, cut and code a body walk pieces and serve both.
//
// Memory: 8 bytes a piece and the blocks' words, in chunks of kChunkWords words (a block never
// straddles two), so that growing never copies. A piece comes from codes of at least a few bytes
// of stream (a run from at least three marker pairs, a new block after a gap of at least two words
// of empty voxels), and a block holds at most one bit for every voxel: a tape read from a stream
// of B bytes in a grid of V voxels takes at most about min(3 B, V / 8 + 8 B / 5) bytes.
//
// API
//   Tape(dim)                        an empty tape for a grid of edge dim (every voxel empty)
//   Tape(dim, arena, bytes)          the same, its words laid in the arena (a reserved bitmap block)
//   Tape::over(rec)                  a view of rec's bitmap as one block (the bitmap is not copied)
//   Piece, pieces(), words(), total(), dim(), bytes()
//   Cursor                           the pieces in order from the first that ends after a voxel:
//     cursor(voxel), next(piece)
//   RowCut, RowCuts                  what a cut clears of a row (up to three stretches), row by row:
//                                    runs are cut as they are coded, not in place
//   for_row_parts(tape, lo, hi, fn)  fn(piece, y, z, row, x_begin, x_end) for each piece's part of
//                                    each row, for the voxels lo..hi-1
//   Building, in increasing voxel order:
//   set_run(index, begin, end)       a run clipped by a cut
//     add_run(begin, end)            set voxels begin..end-1 (a stretch at least kMinRun long
//                                    becomes a run; shorter ones go into words)
//     add_word(w, bits)              OR bits into word w (w at or after the last word added)
//     finish()                       after the last addition
//     append(later)                  the pieces of a tape of the voxels after these
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "body/bitmap.h"
#include "tarvo/body.h"

namespace tarvo {

class Tape {
public:
    static constexpr std::int64_t kMinRun = 128;
    static constexpr std::int64_t kChunkWords = std::int64_t{1} << 16;
    // Empty words that a block takes in rather than end: fewer pieces for a porous particle.
    static constexpr std::int64_t kGapWords = 2;

    struct Piece {
        std::int64_t begin = 0, end = 0;  // voxels begin..end-1
        std::uint8_t* words = nullptr;    // a block's words; null for a run
        std::size_t index = 0;            // its place in the tape
        bool block() const { return words != nullptr; }
    };

    explicit Tape(std::int32_t dim = 0);
    // A tape whose words go into `arena` (bytes of it; not owned, kept until the tape is done
    // with) as far as they fit: a bitmap block of the grid, reserved but not touched, holds them
    // all, since a tape has at most one word for each word of the grid.
    Tape(std::int32_t dim, std::uint8_t* arena, std::size_t bytes);
    static Tape over(TelesoRecord& rec);

    Tape(Tape&&) noexcept = default;
    Tape& operator=(Tape&&) noexcept = default;
    Tape(const Tape&) = delete;
    Tape& operator=(const Tape&) = delete;

    std::int32_t dim() const { return dim_; }
    std::int64_t total() const { return total_; }
    std::size_t pieces() const { return count_; }
    std::int64_t words() const { return words_; }
    // The bytes the tape holds (pieces, words and marks), for the memory bound.
    std::size_t bytes() const;

    class Cursor {
    public:
        // The next piece; false past the last.
        bool next(Piece& p);

    private:
        friend class Tape;
        const Tape* tape_ = nullptr;
        std::size_t k_ = 0;
        std::int64_t word_ = 0;  // the words of the blocks before piece k
    };
    // The pieces from the first that ends after `voxel` on.
    Cursor cursor(std::int64_t voxel = 0) const;

    void add_run(std::int64_t begin, std::int64_t end);
    // The next word of the open block goes straight in; the rest takes add_word_slowly.
    void add_word(std::int64_t w, std::uint64_t bits) {
        if (open_ && w == block_end_ && bits != 0 && next_ != chunk_end_) {
            *next_++ = bits;
            ++words_;
            ++block_end_;
            return;
        }
        add_word_slowly(w, bits);
    }
    void finish() { close_block(); }
    // Run `index` becomes voxels begin..end-1, within what it was (begin == end: none); for a cut.
    void set_run(std::size_t index, std::int64_t begin, std::int64_t end) {
        stored_ref(index) = {static_cast<std::uint32_t>(begin), static_cast<std::uint32_t>(end)};
    }
    // No pieces (the edge and the arena stay).
    void clear();
    // Adds the pieces of a finished tape that begins at or after this one's last word (a word
    // holding voxels of both is joined), and empties it.
    void append(Tape& later);

private:
    struct Stored {
        std::uint32_t begin;
        std::uint32_t end;  // kBlockBit marks a block
    };
    static constexpr std::uint32_t kBlockBit = std::uint32_t{1} << 31;
    static constexpr std::size_t kChunkPieces = std::size_t{1} << 16;
    static constexpr std::size_t kMarkEvery = 1024;

    Stored stored(std::size_t k) const { return piece_chunks_[k / kChunkPieces][k % kChunkPieces]; }
    Stored& stored_ref(std::size_t k) { return piece_chunks_[k / kChunkPieces][k % kChunkPieces]; }
    std::uint8_t* words_at(std::int64_t word) const;
    void push(std::uint32_t begin, std::uint32_t end);
    void pop();
    void absorb_run_end(std::int64_t w, std::uint64_t& bits);
    void reopen_last_block(std::int64_t w, std::int64_t slack);
    void close_block();
    void open_block(std::int64_t w);
    void append_word(std::uint64_t bits);
    void add_word_slowly(std::int64_t w, std::uint64_t bits);

    std::int32_t dim_ = 0;
    std::int64_t total_ = 0;
    std::size_t count_ = 0;
    std::vector<std::unique_ptr<Stored[]>> piece_chunks_;
    // A chunk of words is the tape's own, or lies in the arena it was given.
    struct ChunkFree {
        bool owned = true;
        void operator()(std::uint64_t* p) const {
            if (owned) delete[] p;
        }
    };
    std::vector<std::unique_ptr<std::uint64_t[], ChunkFree>> word_chunks_;
    std::uint8_t* arena_ = nullptr;  // room for the words, not owned
    std::uint64_t* next_ = nullptr;  // where word words_ goes, in the last chunk
    std::uint64_t* chunk_end_ = nullptr;
    std::size_t arena_bytes_ = 0;
    std::int64_t words_ = 0;            // words stored
    std::vector<std::int64_t> marks_;   // the words before piece k * kMarkEvery
    std::uint8_t* external_ = nullptr;  // the bitmap of a view

    // The block being built: its first word and the word after its last.
    bool open_ = false;
    std::int64_t block_first_ = 0, block_end_ = 0;
};

// The stretches [0, a), [a, b) and [b, n) of a row; bit k of `cleared` set when the k-th is cleared.
struct RowCut {
    std::int64_t a = 0, b = 0;  // 64 bits: a copy of the pair is not read back from two 32-bit stores
    std::uint8_t cleared = 0;

    // fn(x_begin, x_end, cleared) for the parts of the stretches within xb..xe-1, in order.
    template <class Fn>
    void for_stretches(std::int64_t xb, std::int64_t xe, Fn&& fn) const {
        const std::int64_t bounds[4] = {0, a, b, std::int64_t{1} << 40};
        for (int k = 0; k < 3; ++k) {
            const std::int64_t lo = std::max(xb, bounds[k]), hi = std::min(xe, bounds[k + 1]);
            if (lo < hi) fn(lo, hi, ((cleared >> k) & 1) != 0);
        }
    }
};

class RowCuts {
public:
    virtual ~RowCuts() = default;
    virtual RowCut row(std::int32_t y, std::int32_t z) const = 0;
    // Whether the runs within one row were clipped in place already (Tape::set_run).
    virtual bool one_row_runs_clipped() const { return false; }
};

// The row of a voxel, followed through voxels met in increasing order: a step to the next rows
// instead of divisions, which would cost more than the rest of a short piece's work.
class RowCursor {
public:
    explicit RowCursor(std::int64_t n) : n_(n > 0 ? n : 1) {}
    // Onto the row of voxel v (at or after the row's start).
    void seek(std::int64_t v) {
        if (v - row_ < n_) return;
        if (v - row_ < 4 * n_) {
            do next();
            while (v - row_ >= n_);
            return;
        }
        const std::int64_t r = v / n_;
        row_ = r * n_;
        y_ = static_cast<std::int32_t>(r % n_);
        z_ = static_cast<std::int32_t>(r / n_);
    }
    void next() {
        row_ += n_;
        if (++y_ == n_) {
            y_ = 0;
            ++z_;
        }
    }
    std::int64_t row() const { return row_; }  // its first voxel
    std::int32_t y() const { return y_; }
    std::int32_t z() const { return z_; }

private:
    std::int64_t n_;
    std::int64_t row_ = 0;
    std::int32_t y_ = 0, z_ = 0;
};

template <class Fn>
void for_row_parts(const Tape& tape, std::int64_t lo, std::int64_t hi, Fn&& fn) {
    const std::int64_t n = tape.dim();
    hi = std::min(hi, tape.total());
    Tape::Cursor c = tape.cursor(lo);
    Tape::Piece p;
    RowCursor rows(n);
    while (c.next(p) && p.begin < hi) {
        const std::int64_t b = std::max(p.begin, lo), e = std::min(p.end, hi);
        if (b >= e) continue;
        rows.seek(b);  // never past the next piece's row: it may begin in the row this one ends in
        for (RowCursor r = rows; r.row() < e; r.next()) {
            const std::int64_t row = r.row();
            fn(p, r.y(), r.z(), row, std::max(b, row) - row, std::min(e, row + n) - row);
        }
    }
}

}  // namespace tarvo
