#include "image.h"

#include <png.h>

#include <cerrno>
#include <cstring>

#include "teleso/output.h"

namespace tools {

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

bool write_png(const std::string& path, const Image& image, std::string& error) {
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(image.width);
    png.height = static_cast<png_uint_32>(image.height);
    png.format = PNG_FORMAT_RGB;
    // A temporary file renamed into place, so a failed write never leaves half a picture.
    teleso::PendingOutput out;
    if (!teleso::open_output(path.c_str(), out)) {
        error = "Can't write to '" + path + "' file: " + std::strerror(errno);
        return false;
    }
    const int ok = png_image_write_to_stdio(&png, out.file, 0, image.rgb.data(), 0, nullptr);
    if (!ok) {
        error = "Writing '" + path + "' failed: " + png.message;
        teleso::abandon_output(out);
        return false;
    }
    if (!teleso::commit_output(out)) {
        error = "Writing '" + path + "' failed: " + std::strerror(errno);
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

}  // namespace tools
