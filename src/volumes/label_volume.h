// Labelled volumes as split reads them and merge writes them: raw (little-endian, sizes and type
// given), TIFF stacks (tiff_volume.h) or NRRD (uint8/16/32, either endian, raw or gzip encoding, attached or detached data),
// read row by row from front to back, as often as needed (split reads twice).
//
// API
//   LabelLayout                    sizes, label width, endianness, encoding, where the data are
//   layout_of(path, size, type)    from an NRRD header, or for a .raw from --size and --type;
//                                  hostile headers (sizes whose product overflows, paths outside
//                                  the header's folder, non-regular data files) are failures
//   LabelRows                      open(path, layout), next(out): the next row of labels, a
//                                  failure when the data end early; finish() checks nothing follows;
//                                  LabelRows(path, layout, first, layers) reads only those layers
//                                  (uncompressed raw or NRRD data: parts(layout))
//   write_label_volume             a volume into a sink (volumes/files.h), layer by layer
// Failures name the file (volumes/files.h); --size and --type that do not fit the volume are
// usage errors.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "volumes/components.h"
#include "volumes/files.h"
#include "volumes/tiff.h"
#include "volumes/voxel_size.h"

namespace tarvo::volumes {

// A layer holds at most this many voxels, a volume at most kMaxVolumeVoxels: the bounds of
// split's memory (one layer of labels) and of the counts it keeps.
inline constexpr std::int64_t kMaxLayerVoxels = std::int64_t{1} << 28;
inline constexpr std::int64_t kMaxVolumeVoxels = std::int64_t{1} << 40;

struct LabelLayout {
    std::array<std::int64_t, 3> size{};
    int width = 1;               // bytes per label: 1, 2 or 4
    bool big_endian = false;
    bool is_signed = false;      // NRRD int8/16/32: negative values are read as 0 (negatives() counts them)
    bool gzip = false;
    bool nrrd = false;
    bool tiff = false;
    TiffStack stack;             // a TIFF stack's files
    std::string data_path;       // where the data are (the header itself for attached data)
    std::uint64_t byte_skip = 0;
    VoxelSize voxel_size;
    int connectivity = 0;        // 6 or 26: the labels are the mask's connected components
    std::shared_ptr<const std::vector<std::uint32_t>> components;  // provisional id -> label
    std::int64_t row_bytes() const { return size[0] * width; }
};

std::string type_name(int width);
// `size_text` "X,Y,Z" and `type_text` uint8|uint16|uint32 describe a .raw; for NRRD they must be absent.
LabelLayout layout_of(const std::string& path, const std::string* size_text, const std::string* type_text);
// The first pass of the components of a mask (nonzero voxels), 6 or 26-connected: afterwards
// LabelRows gives each voxel its component's label, numbered in the order of first voxels.
void find_components(const std::string& path, LabelLayout& layout, int connectivity);

// Whether LabelRows can start at any layer: uncompressed labels in a file, not components.
bool parts(const LabelLayout& layout);

class LabelRows {
public:
    LabelRows(const std::string& path, const LabelLayout& layout);
    LabelRows(const std::string& path, const LabelLayout& layout, std::int64_t first, std::int64_t layers);
    ~LabelRows();
    void next(std::uint32_t* out);  // layout.size[0] labels
    void finish();                  // a failure when bytes follow the volume's data
    std::uint64_t negatives() const { return negatives_; }

private:
    std::size_t read_bytes(std::uint8_t* buf, std::size_t n);
    void refill();
    void next_raw(std::uint32_t* out);
    void clamp_negatives(std::uint32_t* out);
    std::uint64_t negatives_ = 0;
    struct Inflater;
    std::string path_;
    LabelLayout layout_;
    VolumeReader file_;
    std::unique_ptr<Inflater> inflater_;
    std::unique_ptr<TiffPages> pages_;
    std::vector<std::uint32_t> layer_;
    std::unique_ptr<RunLabeller> labeller_;
    std::vector<std::uint32_t> ids_;
    std::int64_t rows_read_ = 0;
    std::int64_t row_in_layer_ = 0;
    // The data are read a block of whole rows at a time (a call to the system a row cost more
    // than decoding it), never past the bytes the layout declares.
    std::vector<std::uint8_t> block_;
    std::size_t block_pos_ = 0, block_end_ = 0;
    std::uint64_t unread_ = 0;     // declared bytes not yet read
    std::uint64_t delivered_ = 0;  // bytes read
};

// Writes a .raw (little-endian), .nrrd or .tif volume: `layer(z, out)` fills the labels of layer z.
void write_label_volume(const std::string& path, VolumeSink& out, const std::array<std::int64_t, 3>& size, int width,
                        const VoxelSize& voxel_size,
                        const std::function<void(std::int64_t, std::vector<std::uint32_t>&)>& layer);

}  // namespace tarvo::volumes
