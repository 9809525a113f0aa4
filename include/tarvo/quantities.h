// tarvo/quantities.h: the figures of a particle's shape and of a plane section through it, in
// voxel units (lengths in voxel edges, areas in voxel faces, volumes in voxels), or in the units
// of a voxel size (Spacing) where one is given. The library only computes them; the programs word
// and print them. docs/quantities.md gives every definition.
//
// API
//   Properties                        the figures of a particle's shape (NaN where an empty
//                                     particle has none)
//   Spacing, kVoxelUnits              a voxel's size along x, y, z; 1, 1, 1
//   properties(rec, spacing)          volume, surface area (normal-weighted face count), equivalent
//                                     diameter, sphericity, exact centroid, principal second moments
//                                     and axes, enclosed pores and porosity, Euler number
//   properties_of_measured(rec, spacing)  the same for a record already measured (its count and
//                                     bounding box set, as load_body's tally and
//                                     geometry::set_measurement leave them): no pass to measure it
//   kSolidPixel, kPorePixel, kOutsidePixel   the classes of a section's pixels
//   SectionPlane                      a plane in double precision: a point and a normal
//   section_plane_of(lengths, centre) the plane of the program's cut for these lengths
//   random_normals(n, seed)           n unit normals uniform on the sphere (the same on every platform)
//   Section                           a plane's face: its image (one pixel a voxel face) and figures
//   section(rec, plane)               samples the plane at unit spacing and measures the face
//   SectionMeasures, section_measures(s, spacing)  the face's areas and lengths in a voxel size's units
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "tarvo/body.h"
#include "tarvo/geometry.h"

namespace tarvo {

// A voxel's size along x, y and z (positive and finite).
using Spacing = std::array<double, 3>;
inline constexpr Spacing kVoxelUnits{1, 1, 1};

// With a spacing, the figures but the counts (volume, enclosed_voxels, euler_number) and the
// ratios are in its units: positions scaled along each axis, areas and volumes with them.
struct Properties {
    std::int64_t volume = 0;           // set voxels
    double scaled_volume = 0;          // volume times sx * sy * sz: the volume in the spacing's units
    double surface_area = 0;           // normal-weighted count of the faces between set and empty voxels
    double equivalent_diameter = 0;    // of the sphere of the same volume
    double sphericity = 0;             // area of that sphere over surface_area
    std::array<double, 3> centroid{};  // x, y, z: the mean voxel position, not truncated
    // Eigenvalues of the covariance of the voxel positions, largest first, and the unit axis of
    // each (axes[k] goes with moments[k]; its largest component is positive).
    std::array<double, 3> moments{};
    std::array<std::array<double, 3>, 3> axes{};
    std::int64_t enclosed_voxels = 0;  // empty voxels with no 6-connected path to the grid's border
    double enclosed_porosity = 0;      // enclosed_voxels / (volume + enclosed_voxels)
    std::int64_t euler_number = 0;     // of the set voxels as closed unit cubes (26-connectivity)
};

Properties properties(const TelesoRecord& rec, const Spacing& spacing = kVoxelUnits);
Properties properties_of_measured(const TelesoRecord& rec, const Spacing& spacing = kVoxelUnits);

inline constexpr std::uint8_t kOutsidePixel = 0;
inline constexpr std::uint8_t kSolidPixel = 1;
inline constexpr std::uint8_t kPorePixel = 2;

struct SectionPlane {
    std::array<double, 3> point{};   // x, y, z
    std::array<double, 3> normal{};  // need not be of unit length; not zero
};

// The plane ((x-cx)/X + (y-cy)/Y + (z-cz)/Z = 1 of the program's cut (infinite lengths give zero
// terms); nullopt when no length is finite and non-zero.
std::optional<SectionPlane> section_plane_of(CutLengths lengths, Center centre);

std::vector<std::array<double, 3>> random_normals(int count, std::uint64_t seed);

struct Section {
    // The image: width x width pixels, row j, column i is pixel i + width*j, sampled at
    // origin + (i - half)*u + (j - half)*v (half = width / 2) from the nearest voxel.
    std::int32_t width = 0;
    std::vector<std::uint8_t> pixels;  // kOutsidePixel, kSolidPixel or kPorePixel
    std::array<double, 3> origin{}, u{}, v{};
    std::int64_t solid_area = 0;  // pixels of set voxels
    std::int64_t pore_area = 0;   // empty pixels enclosed by the face (no 4-connected path to the image's edge)
    std::int64_t face_area = 0;   // solid_area + pore_area
    double section_porosity = 0;  // pore_area / face_area (NaN for an empty face)
    std::vector<std::int64_t> pore_sizes;  // pixels of each 4-connected pore, largest first
    double perimeter = 0;           // edges between face and outside pixels, times pi/4
    std::int64_t edges_across_u = 0;  // of those edges, the ones between pixels (i, j) and (i +- 1, j)
    std::int64_t edges_across_v = 0;  // and between (i, j) and (i, j +- 1)
    double equivalent_diameter = 0;  // of the disc of face_area
};

Section section(const TelesoRecord& rec, const SectionPlane& plane);

// A face's figures in a voxel size's units: a pixel stands for the parallelogram of S u and S v
// (S the spacing along each axis), an edge across u for a length |S v|, one across v for |S u|.
struct SectionMeasures {
    double pixel_area = 1;
    double face_area = 0, solid_area = 0, pore_area = 0;
    std::vector<double> pore_sizes;
    double perimeter = 0;            // pi/4 (|S v| edges_across_u + |S u| edges_across_v)
    double equivalent_diameter = 0;  // of the disc of face_area
};
SectionMeasures section_measures(const Section& s, const Spacing& spacing);

}  // namespace tarvo
