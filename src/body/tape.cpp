// The tape of a body: pieces in chunks, blocks' words in chunks, and marks that find the words of
// any piece without walking from the first.
#include "body/tape.h"

#include <algorithm>

namespace tarvo {

Tape::Tape(std::int32_t dim) : dim_(dim > 0 ? dim : 0), total_(voxel_count(dim_)) {}

Tape::Tape(std::int32_t dim, std::uint8_t* arena, std::size_t bytes) : Tape(dim) {
    arena_ = arena;
    arena_bytes_ = arena ? bytes : 0;
}

Tape Tape::over(TelesoRecord& rec) {
    Tape t(rec.dim);
    if (t.total_ == 0 || rec.data == nullptr) return t;
    t.external_ = rec.data;
    const std::int64_t words = (t.total_ + kWordBits - 1) / kWordBits;
    t.words_ = words;  // before the piece, whose words are the view's
    t.push(0, static_cast<std::uint32_t>(words * kWordBits) | kBlockBit);
    return t;
}

std::size_t Tape::bytes() const {
    return piece_chunks_.size() * kChunkPieces * sizeof(Stored) +
           word_chunks_.size() * static_cast<std::size_t>(kChunkWords) * sizeof(std::uint64_t) +
           marks_.capacity() * sizeof(std::int64_t);
}

std::uint8_t* Tape::words_at(std::int64_t word) const {
    if (external_ != nullptr) return external_ + word * 8;
    return reinterpret_cast<std::uint8_t*>(word_chunks_[static_cast<std::size_t>(word / kChunkWords)].get() +
                                           word % kChunkWords);
}

void Tape::clear() {
    Tape empty(dim_, arena_, arena_bytes_);
    *this = std::move(empty);
}

void Tape::push(std::uint32_t begin, std::uint32_t end) {
    if (count_ % kChunkPieces == 0 && count_ / kChunkPieces == piece_chunks_.size())
        piece_chunks_.emplace_back(new Stored[kChunkPieces]);
    if (count_ % kMarkEvery == 0) {
        // The words before this piece: a block being closed stored its words already.
        const std::int64_t own = (end & kBlockBit) ? (std::int64_t{end & ~kBlockBit} - begin) / kWordBits : 0;
        marks_.push_back(words_ - own);
    }
    stored_ref(count_) = {begin, end};
    ++count_;
}

bool Tape::Cursor::next(Piece& p) {
    if (tape_ == nullptr || k_ >= tape_->count_) return false;
    p.index = k_;
    const Stored s = tape_->stored(k_++);
    p.begin = s.begin;
    p.end = s.end & ~kBlockBit;
    p.words = nullptr;
    if (s.end & kBlockBit) {
        p.words = tape_->words_at(word_);
        word_ += (p.end - p.begin) / kWordBits;
    }
    return true;
}

Tape::Cursor Tape::cursor(std::int64_t voxel) const {
    Cursor c;
    c.tape_ = this;
    // The first piece that ends after the voxel.
    std::size_t lo = 0, hi = count_;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (std::int64_t{stored(mid).end & ~kBlockBit} <= voxel)
            lo = mid + 1;
        else
            hi = mid;
    }
    c.k_ = lo;
    const std::size_t mark = std::min(lo / kMarkEvery, marks_.empty() ? 0 : marks_.size() - 1);
    c.word_ = marks_.empty() ? 0 : marks_[mark];
    for (std::size_t k = mark * kMarkEvery; k < lo; ++k) {
        const Stored s = stored(k);
        if (s.end & kBlockBit) c.word_ += (std::int64_t{s.end & ~kBlockBit} - s.begin) / kWordBits;
    }
    return c;
}

void Tape::close_block() {
    if (!open_) return;
    open_ = false;
    push(static_cast<std::uint32_t>(block_first_ * kWordBits),
         static_cast<std::uint32_t>(block_end_ * kWordBits) | kBlockBit);
}

void Tape::open_block(std::int64_t w) {
    open_ = true;
    block_first_ = block_end_ = w;
}

// One more word at the end of the open block, in a new chunk (and so a new block) when the last
// chunk is full.
void Tape::append_word(std::uint64_t bits) {
    if (words_ == static_cast<std::int64_t>(word_chunks_.size()) * kChunkWords) {
        if (block_end_ > block_first_) {
            const std::int64_t w = block_end_;
            close_block();
            open_block(w);
        }
        const std::size_t chunk_bytes = static_cast<std::size_t>(kChunkWords) * sizeof(std::uint64_t);
        const std::size_t at = word_chunks_.size() * chunk_bytes;
        if (arena_bytes_ >= chunk_bytes && at <= arena_bytes_ - chunk_bytes)
            word_chunks_.emplace_back(reinterpret_cast<std::uint64_t*>(arena_ + at), ChunkFree{false});
        else
            word_chunks_.emplace_back(new std::uint64_t[static_cast<std::size_t>(kChunkWords)], ChunkFree{true});
    }
    const std::int64_t at = words_++;
    std::uint64_t* chunk = word_chunks_[static_cast<std::size_t>(at / kChunkWords)].get();
    chunk[at % kChunkWords] = bits;
    next_ = chunk + at % kChunkWords + 1;
    chunk_end_ = chunk + kChunkWords;
    ++block_end_;
}

// The last run, when it reaches into word w, gives up its voxels there to the word's bits.
void Tape::absorb_run_end(std::int64_t w, std::uint64_t& bits) {
    if (count_ == 0) return;
    Stored& s = stored_ref(count_ - 1);
    const std::int64_t end = s.end & ~kBlockBit;
    if ((s.end & kBlockBit) || end <= w * kWordBits) return;
    const std::int64_t from = std::max<std::int64_t>(s.begin, w * kWordBits);
    bits |= low_mask(end - w * kWordBits) & bits_from(from - w * kWordBits);
    s.end = static_cast<std::uint32_t>(w * kWordBits);
    if (std::int64_t{s.begin} >= w * kWordBits) pop();
}

// The last block is taken up again when word w lies in it or at most `slack` words after it.
void Tape::reopen_last_block(std::int64_t w, std::int64_t slack) {
    if (open_ || count_ == 0) return;
    const Stored s = stored(count_ - 1);
    const std::int64_t end_word = std::int64_t{s.end & ~kBlockBit} / kWordBits;
    if (!(s.end & kBlockBit) || w - end_word > slack) return;
    pop();
    open_ = true;
    block_first_ = s.begin / kWordBits;
    block_end_ = end_word;
}

void Tape::pop() {
    --count_;
    if (count_ % kMarkEvery == 0) marks_.pop_back();
}

void Tape::add_word_slowly(std::int64_t w, std::uint64_t bits) {
    if (bits == 0) return;
    if (!open_) {
        absorb_run_end(w, bits);
        reopen_last_block(w, kGapWords);
    }
    if (open_ && w < block_end_) {
        // Only the last word of the block can be met again.
        std::uint64_t& last = word_chunks_[static_cast<std::size_t>((words_ - 1) / kChunkWords)][(words_ - 1) % kChunkWords];
        last |= bits;
        return;
    }
    if (open_ && w - block_end_ > kGapWords) close_block();
    if (!open_) open_block(w);
    while (block_end_ < w) append_word(0);
    append_word(bits);
}

void Tape::add_run(std::int64_t begin, std::int64_t end) {
    if (begin >= end) return;
    if (end - begin < kMinRun) {
        for (std::int64_t w = begin / kWordBits; w * kWordBits < end; ++w) {
            const std::int64_t lo = std::max(begin, w * kWordBits) - w * kWordBits;
            const std::int64_t hi = std::min(end, (w + 1) * kWordBits) - w * kWordBits;
            add_word(w, low_mask(hi) & bits_from(lo));
        }
        return;
    }
    reopen_last_block(begin / kWordBits, -1);  // a finished block that holds the run's first word
    if (open_ && block_end_ * kWordBits > begin) {
        // The block's last word holds the start of the run.
        const std::int64_t w = block_end_ - 1;
        const std::int64_t hi = std::min(end, block_end_ * kWordBits) - w * kWordBits;
        add_word(w, low_mask(hi) & bits_from(begin - w * kWordBits));
        begin = block_end_ * kWordBits;
        if (begin >= end) return;
    }
    close_block();
    if (count_ > 0) {
        Stored& s = stored_ref(count_ - 1);
        if (!(s.end & kBlockBit) && s.end == begin) {
            s.end = static_cast<std::uint32_t>(end);
            return;
        }
    }
    push(static_cast<std::uint32_t>(begin), static_cast<std::uint32_t>(end));
}

void Tape::append(Tape& later) {
    Cursor c = later.cursor(0);
    std::size_t freed = 0;
    Piece p;
    while (c.next(p)) {
        if (!p.block()) {
            add_run(p.begin, p.end);
            continue;
        }
        for (std::int64_t w = p.begin / kWordBits; w < p.end / kWordBits; ++w)
            add_word(w, load_word(p.words, w - p.begin / kWordBits));
        // The later tape's chunks of words taken over are given back at once: the two tapes
        // never hold the same words for long.
        for (std::size_t k = static_cast<std::size_t>(c.word_ / kChunkWords); freed < k; ++freed)
            later.word_chunks_[freed].reset();
    }
    finish();
    later = Tape(later.dim_);
}

}  // namespace tarvo
