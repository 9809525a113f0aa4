// pack: one byte per voxel to the bitmap's one bit per voxel and back, eight voxels a step with
// 64-bit arithmetic (SSE2 compares where the kernel allows), for bodies filled from volumes,
// arrays and rows of shapes, and for volumes made from bodies.
//
// API
//   pack_bytes(bytes, n, bits, threshold, kernel)   bit k of bits[k/8] is set where bytes[k] >=
//                                   threshold (1..255), for k in 0..n-1; bits already set stay set
//   unpack_bytes(bits, n, bytes, set, empty)        bytes[k] = set or empty by bit k
#pragma once

#include <cstdint>

#include "sys/cpu.h"

namespace tarvo {

void pack_bytes(const std::uint8_t* bytes, std::int64_t n, std::uint8_t* bits, std::uint8_t threshold = 1,
                Kernel kernel = chosen_kernel());
void unpack_bytes(const std::uint8_t* bits, std::int64_t n, std::uint8_t* bytes, std::uint8_t set = 1,
                  std::uint8_t empty = 0);

}  // namespace tarvo
