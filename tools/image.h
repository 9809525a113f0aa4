// An 8-bit RGB picture and its PNG file (through libpng).
//
// API
//   Image                       width x height pixels, rows top to bottom, 3 bytes a pixel
//   encode_png(image, bytes)    the PNG file's bytes
//   write_png(path, image)      false with a message in `error` on failure
//   read_png(path, image)       any PNG, converted to 8-bit RGB
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvo::tools {

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
    bool operator==(const Rgb&) const = default;
};

struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;
    Image() = default;
    Image(int w, int h, Rgb fill);
    Rgb at(int x, int y) const;
    void set(int x, int y, Rgb c);
};

bool encode_png(const Image& image, std::vector<std::uint8_t>& bytes, std::string& error);
bool write_png(const std::string& path, const Image& image, std::string& error);
bool read_png(const std::string& path, Image& image, std::string& error);

}  // namespace tarvo::tools
