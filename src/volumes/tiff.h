// TIFF stacks: read with libtiff page by page (a multi-page file, or one file per slice named by
// a printf pattern such as slice_%04d.tif), and written as uncompressed multi-page TIFF streamed
// into a sink (volumes/files.h). Failures name the file.
//
// API
//   TiffStack                     the files and pages of a stack, its sizes, label width, voxel size
//   open_tiff_stack(path)         a stack from a file or a pattern; pages of other sizes or of
//                                 signed, float or multi-sample pixels are failures naming the file
//   TiffPages                     next_layer(out): the next page as labels (x fastest)
//   write_tiff_stack              a stack of 8, 16 or 32-bit pages with resolution tags and the
//                                 ImageJ description (spacing, unit), into a sink opened once the
//                                 stack is known to fit a classic TIFF
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "volumes/files.h"
#include "volumes/voxel_size.h"

namespace tarvo::volumes {

struct TiffStack {
    std::vector<std::string> files;  // one multi-page file, or one file per slice
    std::array<std::int64_t, 3> size{};
    int width = 1;
    VoxelSize voxel_size;
};

bool is_tiff_name(const std::string& path);
TiffStack open_tiff_stack(const std::string& path);

class TiffPages {
public:
    explicit TiffPages(const TiffStack& stack);
    ~TiffPages();
    void next_layer(std::vector<std::uint32_t>& out);

private:
    void open_file(const std::string& path);
    const TiffStack& stack_;
    void* tif_ = nullptr;
    std::size_t file_ = 0;
    std::int64_t page_ = 0;
    std::vector<std::uint8_t> buf_;
};

void write_tiff_stack(const std::string& path, VolumeSink& out, const std::array<std::int64_t, 3>& size, int width,
                      const VoxelSize& voxel_size,
                      const std::function<void(std::int64_t, std::vector<std::uint32_t>&)>& layer);

}  // namespace tarvo::volumes
