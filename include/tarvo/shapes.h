// shapes: particles made from geometric descriptions, for the companion tools, the sample
// particle, the tests and the benchmarks. Deterministic for a given seed on every platform.
//
// API
//   Ball                                 a sphere: centre and radius, in voxel units
//   fill_balls(rec, add, remove)         set every voxel inside one of `add` and outside all of
//                                        `remove` (voxel centres at integer coordinates)
//   make_sphere(rec, r)                  a centred sphere of radius r
//   make_grain(rec, seed, pores)         a lumpy grain with pores in the middle of the grid
//   make_noise(rec, seed, density)       independent random voxels
//   make_porous_ball(rec, centre, r, porosity, seed)   a ball with a fraction `porosity` of its
//                                        voxels cleared at random (a dense, porous solid)
//   make_ellipsoid / make_box            axis-aligned solids given by centre and semi-axes
//   make_cylinder / make_torus           round solids around an axis through a centre
//   SplitMix64                           the generator behind the seeds
#pragma once

#include <cstdint>
#include <vector>

#include "tarvo/body.h"

namespace tarvo::shapes {

struct Ball {
    double x = 0, y = 0, z = 0, r = 0;
};

class SplitMix64 {
public:
    explicit SplitMix64(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next();
    double uniform();                          // in [0, 1)
    double uniform(double lo, double hi);      // in [lo, hi)

private:
    std::uint64_t state_;
};

// Sets the voxels x0..x1 (inclusive) of row (y, z); coordinates are clipped to the grid.
void set_row_range(TelesoRecord& rec, std::int32_t y, std::int32_t z, std::int32_t x0, std::int32_t x1);

void fill_balls(TelesoRecord& rec, const std::vector<Ball>& add, const std::vector<Ball>& remove);
void make_sphere(TelesoRecord& rec, double r);
std::vector<Ball> grain_blobs(std::int32_t dim, std::uint64_t seed);
inline constexpr int kGrainPores = 60;
std::vector<Ball> grain_pores(std::int32_t dim, std::uint64_t seed, int count = kGrainPores);
void make_grain(TelesoRecord& rec, std::uint64_t seed, int pores = kGrainPores);
void make_noise(TelesoRecord& rec, std::uint64_t seed, double density);

// The solids below set every voxel whose centre (integer coordinates) lies inside, boundary
// included; they fill row by row from the x intervals the solid cuts out of each row.
struct Vec3 {
    double x = 0, y = 0, z = 0;
};
enum class Axis { kX, kY, kZ };

void make_ellipsoid(TelesoRecord& rec, Vec3 centre, Vec3 semi_axes);
void make_box(TelesoRecord& rec, Vec3 centre, Vec3 half_sizes);
// A solid cylinder of the given radius whose axis runs through centre, from -half_length to
// +half_length along the axis.
void make_cylinder(TelesoRecord& rec, Vec3 centre, double radius, double half_length, Axis axis);
// A ring: the points within `minor` of the circle of radius `major` around the axis through centre.
void make_torus(TelesoRecord& rec, Vec3 centre, double major, double minor, Axis axis);
void make_porous_ball(TelesoRecord& rec, Vec3 centre, double radius, double porosity, std::uint64_t seed);

}  // namespace tarvo::shapes
