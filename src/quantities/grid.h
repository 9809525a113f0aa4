// A particle's bounding box with a margin of empty voxels, its rows packed 64 voxels to a word:
// the form the shape figures' passes read; and one byte a voxel, the form the cell-by-cell
// references walk with plain neighbour offsets.
//
// API
//   BoxGrid                  the box (lo: grid coordinates of its first voxel, edge lengths),
//                            one byte a voxel (0 or 1), x fastest; margin voxels lie outside the particle
//   box_extent(rec, margin)  the particle's bounding box widened by `margin` on every side
//   box_grid(rec, margin)    that box, one byte a voxel
//   BitRows, bit_rows(rec, margin)  the same box, its rows packed 64 cells to a word (bit x % 64 of
//                            word x / 64 of a row), with each layer's first and last row holding set cells
//   Moments, moments_of(rows) the exact sums of the set cells' positions (x + lo ...) and their products
//   surface_area(rows)       the normal-weighted count of faces between set and empty cells
//                            (the box's margin at least 2)
//   enclosed_cells(rows)     empty cells with no 6-connected path of empty cells to the box's border
//   euler_number(rows)       the Euler characteristic of the set cells' closed cubes (margin at least 1)
//   reference::...           the same cell by cell, as their definitions read (for the tests)
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "tarvo/body.h"

namespace tarvo::quantities {

// A measured particle's bounding box widened by `margin` on every side.
struct BoxExtent {
    std::array<std::int32_t, 3> lo{};    // grid coordinates of voxel (0, 0, 0) of the box
    std::array<std::int64_t, 3> size{};  // edge lengths x, y, z
    std::array<std::int32_t, 3> first{}, last{};  // the particle's own bounds, without the margin
};
BoxExtent box_extent(const TelesoRecord& rec, std::int32_t margin);

struct BoxGrid {
    std::array<std::int32_t, 3> lo{};    // grid coordinates of voxel (0, 0, 0) of the box
    std::array<std::int64_t, 3> size{};  // edge lengths x, y, z
    std::vector<std::uint8_t> cells;

    std::int64_t index(std::int64_t x, std::int64_t y, std::int64_t z) const { return x + size[0] * (y + size[1] * z); }
    std::uint8_t at(std::int64_t x, std::int64_t y, std::int64_t z) const { return cells[static_cast<std::size_t>(index(x, y, z))]; }
    std::int64_t stride(int axis) const { return axis == 0 ? 1 : axis == 1 ? size[0] : size[0] * size[1]; }
};

// rec must be measured (its bounding box known) and hold at least one voxel.
BoxGrid box_grid(const TelesoRecord& rec, std::int32_t margin);

struct BitRows {
    std::array<std::int32_t, 3> lo{};
    std::array<std::int64_t, 3> size{};
    std::int64_t words = 0;             // words a row
    std::vector<std::uint64_t> bits;    // row y + size[1] z from word (y + size[1] z) * words on
    std::vector<std::array<std::int64_t, 2>> layer_rows;  // each layer's first and last row with set cells (first > last: none)

    std::uint64_t* row(std::int64_t r) { return bits.data() + r * words; }
    const std::uint64_t* row(std::int64_t r) const { return bits.data() + r * words; }
};

BitRows bit_rows(const TelesoRecord& rec, std::int32_t margin);

// Exact sums of positions and their products, so the covariance suffers no cancellation.
struct Moments {
    std::int64_t n = 0;
    std::array<__int128, 3> s{};
    std::array<std::array<__int128, 3>, 3> ss{};  // a <= b filled
};

Moments moments_of(const BitRows& rows);
double surface_area(const BitRows& rows);
// The same in the units of a voxel size (spacing along x, y, z); the above for 1, 1, 1.
double surface_area(const BitRows& rows, const std::array<double, 3>& spacing);
std::int64_t enclosed_cells(const BitRows& rows);
std::int64_t euler_number(const BitRows& rows);

namespace reference {
Moments moments_of(const BoxGrid& box);
double surface_area(const BoxGrid& box);
double surface_area(const BoxGrid& box, const std::array<double, 3>& spacing);
std::int64_t enclosed_cells(BoxGrid box);
std::int64_t euler_number(const BoxGrid& box);
}  // namespace reference

}  // namespace tarvo::quantities
