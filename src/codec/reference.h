// reference: the definitions of reading and writing a body, a byte and a voxel at a time on stdio
// streams (Next_rle_byte, Put_rle_byte, Get_voxel, Set_voxel). Faster code must give their results
// byte for byte; the tests, the fuzz target and the benchmarks compare with them.
//
// API
//   RleDecoder, Next_rle_byte       the next value of a voxel stream, read byte by byte
//   RleEncoder, Put_rle_byte        one value added to (kRleAdd) or the end of (kRleFlush) a stream
//   reference::read_voxels(in, rec) the stream into the cleared bitmap; false on a read error
//   reference::write_body(out, rec) the header image and the stream; false when a write failed
#pragma once

#include <cstdint>
#include <cstdio>

#include "tarvo/body.h"

// Codec state; each stream starts from a zero-initialised object.
struct RleDecoder {
    std::int32_t remaining = 0;
    std::uint8_t last = 0;
};
struct RleEncoder {
    int started = 0;
    std::uint8_t run_byte = 0;
    std::int32_t run_count = 0;
};
enum RleMode : int { kRleAdd = 0, kRleFlush = 1 };

std::uint8_t Next_rle_byte(RleDecoder& dec, std::FILE* in);
void Put_rle_byte(RleEncoder& enc, std::FILE* out, std::uint8_t value, int mode);

namespace tarvo::reference {
bool read_voxels(std::FILE* in, TelesoRecord& rec);
bool write_body(std::FILE* out, const TelesoRecord& rec);
}  // namespace tarvo::reference
