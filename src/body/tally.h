// tally: the measurement of a particle (voxel count, coordinate sums, bounding box) gathered from
// its set voxels in whatever pieces they come: stretches and words in the order of the voxel stream
// while it is read, parts of rows while it is measured or cut. tarvo::geometry::set_measurement turns a
// tally into the record's fields. The sums are 64-bit: those of a full grid of edge 1290 pass 2^40.
//
// API
//   Tally                          count, sums of x, y and z, bounds (empty: count 0)
//     merge(other)                 the tally of both sets of voxels
//     add_row_piece(count, x_sum, first, last, y, z)   set voxels of row (y, z) whose x lie in
//                                  first..last, `count` of them with x summing to x_sum
//   StreamTally(dim)               voxels met in increasing index order, as the stream delivers them
//                                  (the words of a row summed apart until the row is left):
//     add_stretch(begin, end)      set voxels begin..end-1
//     add_word<Count>(w, bits)     the set bits of bitmap word w (voxels 64w..64w+63), counted by
//                                  TableCount or PopcountCount (count_word, count_word_by_popcount)
//     tally()
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>

#include "body/bitmap.h"

namespace tarvo {

struct Tally {
    static constexpr std::int32_t kNone = std::numeric_limits<std::int32_t>::max();
    std::int64_t count = 0;
    std::int64_t sx = 0, sy = 0, sz = 0;
    std::int32_t x_min = kNone, y_min = kNone, z_min = kNone;
    std::int32_t x_max = -1, y_max = -1, z_max = -1;

    void merge(const Tally& o) {
        count += o.count;
        sx += o.sx;
        sy += o.sy;
        sz += o.sz;
        x_min = std::min(x_min, o.x_min);
        y_min = std::min(y_min, o.y_min);
        z_min = std::min(z_min, o.z_min);
        x_max = std::max(x_max, o.x_max);
        y_max = std::max(y_max, o.y_max);
        z_max = std::max(z_max, o.z_max);
    }

    void add_row_piece(std::int64_t ones, std::int64_t x_sum, std::int64_t first, std::int64_t last, std::int32_t y,
                       std::int32_t z) {
        count += ones;
        sx += x_sum;
        sy += ones * y;
        sz += ones * z;
        x_min = std::min(x_min, static_cast<std::int32_t>(first));
        x_max = std::max(x_max, static_cast<std::int32_t>(last));
        y_min = std::min(y_min, y);
        y_max = std::max(y_max, y);
        z_min = std::min(z_min, z);
        z_max = std::max(z_max, z);
    }
};

struct TableCount {
    WordCount operator()(std::uint64_t w) const { return count_word(w); }
};
struct PopcountCount {
    [[gnu::always_inline]] WordCount operator()(std::uint64_t w) const { return count_word_by_popcount(w); }
};

class StreamTally {
public:
    explicit StreamTally(std::int32_t dim) : n_(dim > 0 ? dim : 1) {}

    void add_stretch(std::int64_t begin, std::int64_t end) {
        if (begin >= end) return;
        seek(begin);
        const std::int64_t xb = begin - row_, rb = row_index_;
        const std::int32_t yb = y_, zb = z_;
        seek(end - 1);
        const std::int64_t xl = end - 1 - row_, rl = row_index_;
        if (rb == rl) {
            t_.add_row_piece(end - begin, (xb + xl) * (end - begin) / 2, xb, xl, yb, zb);
            return;
        }
        // A head from xb to the row's end, whole rows rb+1..rl-1, a tail from 0 to xl.
        const std::int64_t head = n_ - xb, tail = xl + 1, rows = rl - rb - 1;
        t_.count += end - begin;
        t_.sx += (xb + n_ - 1) * head / 2 + rows * (n_ * (n_ - 1) / 2) + xl * tail / 2;
        t_.sy += head * yb + n_ * (y_sum_below(rl) - y_sum_below(rb + 1)) + tail * y_;
        t_.sz += head * zb + n_ * (z_sum_below(rl) - z_sum_below(rb + 1)) + tail * z_;
        t_.x_min = 0;
        t_.x_max = static_cast<std::int32_t>(n_ - 1);
        t_.y_min = std::min(t_.y_min, zb == z_ ? yb : 0);
        t_.y_max = std::max(t_.y_max, zb == z_ ? y_ : static_cast<std::int32_t>(n_ - 1));
        t_.z_min = std::min(t_.z_min, zb);
        t_.z_max = std::max(t_.z_max, z_);
    }

    // Inlined always, so that the bit counts are compiled for the instructions of the caller
    // (out of line, std::popcount is a library call on plain x86-64).
    template <class Count>
    [[gnu::always_inline]] void add_word(std::int64_t w, std::uint64_t bits) {
        if (bits == 0) return;
        const std::int64_t at = w * kWordBits - row_;
        if (at >= 0 && at <= n_ - kWordBits) {  // the whole word in the cursor's row
            add_piece<Count>(bits, at);
            return;
        }
        const int low = std::countr_zero(bits);
        bits >>= low;
        seek(w * kWordBits + low);
        std::int64_t x = w * kWordBits + low - row_;
        for (;;) {
            const std::int64_t room = n_ - x;  // voxels left in this row
            if (room >= kWordBits) {
                add_piece<Count>(bits, x);
                return;
            }
            add_piece<Count>(bits & low_mask(room), x);
            bits >>= room;
            if (bits == 0) return;
            next_row();
            x = 0;
        }
    }

    Tally tally() const {
        Tally t = t_;
        add_row_to(t);
        return t;
    }

private:
    // Sums of y and of z over the rows 0..r-1 (row r is y = r % n, z = r / n).
    std::int64_t y_sum_below(std::int64_t r) const {
        const std::int64_t q = r / n_, m = r % n_;
        return q * (n_ * (n_ - 1) / 2) + m * (m - 1) / 2;
    }
    std::int64_t z_sum_below(std::int64_t r) const {
        const std::int64_t q = r / n_, m = r % n_;
        return n_ * (q * (q - 1) / 2) + m * q;
    }

    // The pieces of the cursor's row are summed apart and go into the tally when the cursor
    // leaves the row: their y and z, and so those sums and bounds, are the same. They come in
    // order, so the first bounds the row below and the last above (whose bit is found only then:
    // the bit counts and the bit scans share one unit of the processor).
    template <class Count>
    [[gnu::always_inline]] void add_piece(std::uint64_t bits, std::int64_t x) {
        if (bits == 0) return;
        const WordCount c = Count()(bits);
        if (row_ones_ == 0) row_x_min_ = x + std::countr_zero(bits);
        row_ones_ += c.ones;
        row_x_sum_ += c.ones * x + c.position_sum;
        last_x_ = x;
        last_bits_ = bits;
    }

    void add_row_to(Tally& t) const {
        if (row_ones_ > 0)
            t.add_row_piece(row_ones_, row_x_sum_, row_x_min_, last_x_ + kWordBits - 1 - std::countl_zero(last_bits_), y_, z_);
    }

    void leave_row() {
        add_row_to(t_);
        row_ones_ = 0;
        row_x_sum_ = 0;
    }

    void next_row() {
        leave_row();
        row_ += n_;
        ++row_index_;
        if (++y_ == n_) {
            y_ = 0;
            ++z_;
        }
    }

    // The row cursor onto the row of voxel pos; pos never falls over the calls.
    void seek(std::int64_t pos) {
        if (pos - row_ < n_) return;
        if (pos - row_ < 2 * n_) {
            next_row();
            return;
        }
        leave_row();
        row_index_ = pos / n_;
        row_ = row_index_ * n_;
        y_ = static_cast<std::int32_t>(row_index_ % n_);
        z_ = static_cast<std::int32_t>(row_index_ / n_);
    }

    std::int64_t n_;
    std::int64_t row_ = 0;        // the first voxel of the cursor's row
    std::int64_t row_index_ = 0;  // y + n z
    std::int32_t y_ = 0, z_ = 0;
    std::int64_t row_ones_ = 0, row_x_sum_ = 0;  // the pieces of the cursor's row so far
    std::int64_t row_x_min_ = 0;                   // the first set voxel of the row's first piece
    std::int64_t last_x_ = 0;                      // the row's last piece: its x and bits
    std::uint64_t last_bits_ = 0;
    Tally t_;
};

}  // namespace tarvo
