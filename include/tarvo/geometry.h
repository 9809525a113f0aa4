// tarvo/geometry.h: the characteristics of a particle and its cut by a plane.
//
// API
//   Center                            a particle's centre: the middle of its bounding box
//   Analyse_teleso(rec)               voxel count, bounding box and truncated means into rec
//   Get_center(rec)                   the middle of the bounding box, (min + max) / 2 per axis
//   Cut_length(text)                  a cut length from a command-line text: atof, then float
//   whole_number(text), whole_cut_length(text)   the number a text is wholly (strtod reads it to its
//                                     end: sign, digits, point, exponent, inf, infinity, nan in any
//                                     case, hexadecimal like 0x10 or 0x1p-3), and Cut_length of it;
//                                     nullopt for a text the program would read only in part ("l"
//                                     as 0, "1,5" as 1, " 1", "")
//   Cut_teleso(rec, c, xc, yc, zc)    clear every voxel whose plane sum exceeds 1
//   analyse(rec, threads)             Analyse_teleso a row at a time, on `threads` (0: chosen)
//   cut(rec, c, xc, yc, zc, threads)  Cut_teleso a row at a time
//   cut_as_program(rec, lengths, ...) what the tarvo program does between reading and writing:
//                                     measure, take the centre, cut, measure again; `progress`
//                                     hears each step begin and end, so a program can report them
//   Decimal, parse_decimal(text)      a number written in decimal, exactly: sign, digits, power of ten
//   decimal_of(v)                     an integer as a Decimal
//   PointPlane                        a plane through any point (default: the particle's centre)
//                                     given by a normal, and the side it keeps
//   plane_side(normal, through, x, y, z)   the exact sign of n . (p - c)
//   cut_through(rec, plane)           measure, take the centre, clear the removed side, measure again
//
// The plane through a point: a voxel p lies on the + side when n . (p - c) > 0, on the - side when
// it is < 0 and on the plane when it is 0, decided exactly for the decimals given (integer
// arithmetic of any size; no rounding anywhere). The default keeps the - side; a voxel on the plane
// is always kept (as the program keeps a voxel whose sum is exactly 1).
//
// A voxel (x, y, z) is cleared when ((x-cx)/x_cut + (y-cy)/y_cut) + (z-cz)/z_cut, formed in IEEE
// extended precision with a 64-bit significand and rounded to nearest after each operation, is
// greater than 1: the same decisions on every platform.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "tarvo/body.h"

namespace tarvo {

struct Center {
    std::int32_t x = 0, y = 0, z = 0;
};

void Analyse_teleso(TelesoRecord& rec);
Center Get_center(const TelesoRecord& rec);
float Cut_length(const char* text);
std::optional<double> whole_number(std::string_view text);
std::optional<float> whole_cut_length(std::string_view text);
void Cut_teleso(TelesoRecord& rec, Center c, float x_cut, float y_cut, float z_cut);

// The measurement gathered while a particle is read (the library's own; see cut_as_program).
struct Tally;

namespace geometry {

// Analyse_teleso and Cut_teleso a row at a time (word counts, one run of cleared voxels per row),
// split by layers between threads. threads: 0 chooses by the size of the grid and the machine, 1
// or 2 forces that many. With `kept`, the cut also measures the voxels that stay, in the same pass.
// `all`, the tally of every set voxel of the body before the cut (as reading it measured), lets the
// cut skip what lies outside the particle's bounding box and measure the voxels kept from what it
// clears; it must be exact.
void analyse(TelesoRecord& rec, int threads = 0);
void cut(TelesoRecord& rec, Center c, float x_cut, float y_cut, float z_cut, int threads = 0,
         Tally* kept = nullptr, const Tally* all = nullptr);

}  // namespace geometry

// The three cut lengths, as Cut_length reads them.
struct CutLengths {
    float x = 0, y = 0, z = 0;
};

enum class CutStep { kMeasure, kCut, kRemeasure };

// Called as each step begins (done false) and ends (done true), with the record as it stands and
// the centre (known from the end of kMeasure on).
using CutProgress = std::function<void(CutStep step, bool done, const TelesoRecord& rec, Center centre)>;

// Measures the particle (or takes `measured`, the exact tally of its voxels gathered while it was
// read), takes its centre, clears every voxel beyond the plane of `lengths` around that centre and
// measures what stays into rec's fields. Returns the centre the cut was measured from.
Center cut_as_program(TelesoRecord& rec, CutLengths lengths, const CutProgress& progress = {},
                      const Tally* measured = nullptr, int threads = 0);

// A decimal number: (-1)^negative * digits * 10^exponent, digits without leading zeros ("" is 0).
struct Decimal {
    bool negative = false;
    std::string digits;
    std::int32_t exponent = 0;
    bool zero() const { return digits.empty(); }
};

// Texts of at most this many digits, with exponents within this range, are taken.
inline constexpr std::size_t kMaxDecimalDigits = 1000;
inline constexpr std::int32_t kMaxDecimalExponent = 1000;

// The number a text is wholly: [+-] digits [. digits] [e [+-] digits] (digits on at least one side
// of the point); nullopt for anything else, or for more digits or a larger exponent than above.
std::optional<Decimal> parse_decimal(std::string_view text);
Decimal decimal_of(std::int64_t v);

struct PointPlane {
    std::array<Decimal, 3> normal;                  // not all zero
    std::optional<std::array<Decimal, 3>> through;  // nullopt: the particle's centre (Get_center)
    bool keep_plus = false;                         // keep the + side (and the plane) instead of the -
};

// -1, 0 or 1: the sign of n . (p - c).
int plane_side(const std::array<Decimal, 3>& normal, const std::array<Decimal, 3>& through, std::int32_t x,
               std::int32_t y, std::int32_t z);

// Measures the particle, takes the point (the centre unless given), clears every voxel on the side
// not kept and measures what stays into rec's fields. Returns the point's centre (Get_center).
Center cut_through(TelesoRecord& rec, const PointPlane& plane);

}  // namespace tarvo
