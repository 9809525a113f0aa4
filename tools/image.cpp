#include "image.h"

#include <png.h>

#include <cstring>

#include "common.h"

namespace tarvo::tools {

Image::Image(int w, int h, Rgb fill) : width(w), height(h), rgb(static_cast<std::size_t>(w) * h * 3) {
    for (std::size_t k = 0; k < rgb.size(); k += 3) {
        rgb[k] = fill.r;
        rgb[k + 1] = fill.g;
        rgb[k + 2] = fill.b;
    }
}

Rgb Image::at(int x, int y) const {
    const std::size_t k = (static_cast<std::size_t>(y) * width + x) * 3;
    return {rgb[k], rgb[k + 1], rgb[k + 2]};
}

void Image::set(int x, int y, Rgb c) {
    const std::size_t k = (static_cast<std::size_t>(y) * width + x) * 3;
    rgb[k] = c.r;
    rgb[k + 1] = c.g;
    rgb[k + 2] = c.b;
}

bool encode_png(const Image& image, std::vector<std::uint8_t>& bytes, std::string& error) {
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(image.width);
    png.height = static_cast<png_uint_32>(image.height);
    png.format = PNG_FORMAT_RGB;
    png_alloc_size_t size = 0;
    if (png_image_write_get_memory_size(png, size, 0, image.rgb.data(), 0, nullptr)) {
        bytes.resize(size);
        if (png_image_write_to_memory(&png, bytes.data(), &size, 0, image.rgb.data(), 0, nullptr)) {
            bytes.resize(size);
            return true;
        }
    }
    error = png.message;
    return false;
}

bool write_png(const std::string& path, const Image& image, std::string& error) {
    std::vector<std::uint8_t> bytes;
    if (!encode_png(image, bytes, error)) {
        error = "Writing '" + path + "' failed: " + error;
        return false;
    }
    try {
        write_or_fail(path, bytes.data(), bytes.size());
    } catch (const Failure& f) {
        error = f.what();
        return false;
    }
    return true;
}

bool read_png(const std::string& path, Image& image, std::string& error) {
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) {
        error = "Can't read '" + path + "' as PNG: " + png.message;
        return false;
    }
    png.format = PNG_FORMAT_RGB;
    image = Image(static_cast<int>(png.width), static_cast<int>(png.height), Rgb{});
    if (!png_image_finish_read(&png, nullptr, image.rgb.data(), 0, nullptr)) {
        error = "Can't read '" + path + "' as PNG: " + png.message;
        png_image_free(&png);
        return false;
    }
    return true;
}

}  // namespace tarvo::tools
