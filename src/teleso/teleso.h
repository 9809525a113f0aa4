// teleso: the voxel body (a particle in a cubic grid) and its shape form file (*.3d).
//
// API
//   TelesoRecord                    the body record: twelve 32-bit fields and the voxel bitmap
//   Create_teleso(rec, n)           allocate a cleared bitmap of edge n (0..1290); 0 ok, 1 failure
//   Free_teleso(rec)                release the bitmap
//   Get_voxel(rec, x, y, z)         1 for a set voxel, 0 for an empty one or outside the grid
//   Set_voxel(rec, x, y, z, v)      set (v > 0) or clear (v <= 0); 1 when the index is outside
//   RleDecoder, Next_rle_byte       one value of a voxel stream, read byte by byte
//   RleEncoder, Put_rle_byte        one value added to (or a flush of) a voxel stream
//   Read_teleso_header(in, rec, p)  header of an open input, creates the bitmap; 0 ok, 1 refused
//   Read_teleso_voxels(in, rec, p)  the voxel stream into the bitmap; 0 ok, 1 read error
//   Write_teleso(path, rec)         the whole file, replacing the target atomically; 0 ok, 1 failure
//   teleso::load_body / save_body   the same without a transcript, a failure as a message
//   teleso::scan_stream             how much of the dim^3 values a file's stream covers, surplus
//
// Messages go to standard output, as the program's transcript. The byte layout and the run-length
// rules of the file live in format.h.
#pragma once

#include <cstdint>
#include <cstddef>
#include <cstdio>
#include <string>

struct TelesoRecord {
    std::int32_t size = 0;  // bytes of the bitmap: dim^3 / 8 + 1
    std::int32_t dim = 0;   // edge length of the grid, in voxels
    std::int32_t x_min = 0, x_max = 0;
    std::int32_t y_min = 0, y_max = 0;
    std::int32_t z_min = 0, z_max = 0;
    std::int32_t x_mean = 0, y_mean = 0, z_mean = 0;
    std::int32_t voxels = 0;
    // Voxel i = x + dim*(y + dim*z) is bit i%8 of byte i/8. The block is padded with zero bytes
    // to a whole number of 64-bit words, so word-wise code may read past `size`.
    std::uint8_t* data = nullptr;
};

int Create_teleso(TelesoRecord& rec, std::int32_t n);
void Free_teleso(TelesoRecord& rec);
int Get_voxel(const TelesoRecord& rec, std::int32_t x, std::int32_t y, std::int32_t z);
int Set_voxel(TelesoRecord& rec, std::int32_t x, std::int32_t y, std::int32_t z, int value);

// Run-length codec state; each stream starts from a zero-initialised object.
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

int Read_teleso_header(std::FILE* in, TelesoRecord& rec, const char* path);
int Read_teleso_voxels(std::FILE* in, TelesoRecord& rec, const char* path);
int Write_teleso(const char* path, const TelesoRecord& rec);

// Quiet building blocks, shared by the program, the companion tools and the tests.
namespace teleso {

inline constexpr std::int32_t kMaxDim = 1290;  // dim^3 must fit a 32-bit signed integer

bool dim_in_range(std::int64_t n);
std::int32_t bitmap_size(std::int32_t n);  // n^3 / 8 + 1, for n in 0..kMaxDim

// Allocates and clears the bitmap of edge n without printing; false when n is out of range or
// memory runs out (rec.data stays null then).
bool allocate_body(TelesoRecord& rec, std::int32_t n);
void release_body(TelesoRecord& rec);

// Writes the 52-byte header image and the voxel stream to an open binary stream. Returns false
// when a write failed.
bool write_body(std::FILE* out, const TelesoRecord& rec);

// Decodes the voxel stream of an open input into a cleared bitmap (rec.dim and rec.data set).
// Returns false on a read error of the stream (end of input is no error).
bool read_voxels(std::FILE* in, TelesoRecord& rec);

// The definitions voxel by voxel, through Next_rle_byte/Set_voxel and Get_voxel/Put_rle_byte.
// They are the reference that faster code must match byte for byte.
namespace per_voxel {
bool read_voxels(std::FILE* in, TelesoRecord& rec);
bool write_body(std::FILE* out, const TelesoRecord& rec);
}  // namespace per_voxel

// Quiet whole-file reading and writing for the companion tools: the same header validation and
// refusal reasons as the program, no transcript; failures come back as one message naming the file.
struct LoadReport {
    std::int32_t stored[12] = {};   // the header's integer fields as stored (those that arrived whole)
    std::size_t header_bytes = 0;   // 52, or fewer when the file ends inside the header
    std::uint64_t file_bytes = 0;
};

// What the voxel stream of a file holds against what its edge length needs.
struct StreamFacts {
    std::int64_t voxels_needed = 0;  // dim^3
    std::int64_t voxels_coded = 0;   // values the stream delivers before it ends (at most needed)
    std::uint64_t code_bytes = 0;    // bytes the reader consumes
    std::uint64_t surplus_bytes = 0; // bytes after the last code needed
    bool ends_early() const { return voxels_coded < voxels_needed; }
};

// Opens, validates the header, allocates (rec must hold no bitmap) and decodes. On false, rec
// holds no bitmap and error says why.
bool load_body(const char* path, TelesoRecord& rec, LoadReport& report, std::string& error);
// A second pass over the stream's code bytes alone, for diagnostics.
bool scan_stream(const char* path, std::int32_t dim, StreamFacts& facts, std::string& error);
// Writes the record as it is (header fields included) through a temporary file and a rename.
bool save_body(const char* path, const TelesoRecord& rec, std::string& error);

// The same results a whole run at a time (word fills and count-trailing-zeros over the bitmap,
// large blocks of input and output); read_voxels and write_body above are these.
namespace bulk {
// threads: 0 chooses by the size of the grid and the machine, 1 reads on the calling thread, 2
// lays the decoded runs into the bitmap on a second thread while the input is read and decoded
// (on grids of 2^21 voxels and more with a third taking the page faults of the bitmap ahead of it).
bool read_voxels(std::FILE* in, TelesoRecord& rec, int threads = 0);
// threads: 0 chooses by the size of the grid and the machine, 1 writes on the calling thread, 2
// writes each block of the stream on a second thread while the next is encoded.
bool write_body(std::FILE* out, const TelesoRecord& rec, int threads = 0);
}  // namespace bulk

}  // namespace teleso
