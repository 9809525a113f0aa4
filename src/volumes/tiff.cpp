#include "volumes/tiff.h"

#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <sstream>

#include "volumes/label_volume.h"
#include "volumes/labels.h"

namespace tarvo::volumes {
namespace {

// libtiff's own messages would go to standard error unasked: the failures here name the file.
void quiet(const char*, const char*, va_list) {}

TIFF* open_or_fail(const std::string& path) {
    TIFFSetErrorHandler(quiet);
    TIFFSetWarningHandler(quiet);
    TIFF* t = TIFFOpen(path.c_str(), "r");
    if (!t) throw Failure("'" + path + "' cannot be read as a TIFF file");
    return t;
}

// The files of a stack: the file itself, or those a printf pattern names from 0 (or 1) on.
std::vector<std::string> stack_files(const std::string& path) {
    const std::size_t pct = path.find('%');
    if (pct == std::string::npos) return {path};
    const std::size_t d = path.find('d', pct);
    if (d == std::string::npos || path.find_first_not_of("0123456789", pct + 1) != d || path.find('%', d) != std::string::npos)
        throw UsageError("'" + path + "' is no slice pattern: write one %d, e.g. slice_%04d.tif");
    const auto name = [&](long i) {
        char buf[4096];
        std::snprintf(buf, sizeof buf, path.c_str(), i);  // the pattern was checked: one %d
        return std::string(buf);
    };
    std::vector<std::string> files;
    long i = std::filesystem::exists(name(0)) ? 0 : 1;
    for (; std::filesystem::exists(name(i)) && files.size() < (1u << 20); ++i) files.push_back(name(i));
    if (files.empty()) throw Failure("'" + path + "' names no file (neither " + name(0) + " nor " + name(1) + ")");
    return files;
}

struct Page {
    std::int64_t w = 0, h = 0;
    int width = 0;
};

Page page_of(TIFF* t, const std::string& path) {
    std::uint32_t w = 0, h = 0;
    std::uint16_t bits = 1, samples = 1, format = SAMPLEFORMAT_UINT;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &format);
    if (samples != 1 || format != SAMPLEFORMAT_UINT || (bits != 8 && bits != 16 && bits != 32))
        throw Failure("'" + path + "' has pages of " + std::to_string(samples) + " samples of " + std::to_string(bits) +
                      " bits (format " + std::to_string(format) + "); a stack holds one unsigned 8, 16 or 32-bit sample a pixel");
    if (w == 0 || h == 0 || std::int64_t{w} * h > kMaxLayerVoxels)
        throw Failure("'" + path + "' has pages of " + std::to_string(w) + " x " + std::to_string(h) + " pixels");
    return {w, h, bits / 8};
}

std::string imagej_value(const std::string& description, const std::string& key) {
    std::istringstream lines(description);
    std::string line;
    while (std::getline(lines, line))
        if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
    return {};
}

// XResolution and YResolution (pixels per unit) and, in ImageJ's description, spacing (z) and unit.
volumes::VoxelSize resolution_of(TIFF* t) {
    volumes::VoxelSize v;
    float xres = 0, yres = 0;
    std::uint16_t unit = RESUNIT_NONE;
    if (!TIFFGetField(t, TIFFTAG_XRESOLUTION, &xres) || !(xres > 0) || !std::isfinite(xres)) return v;
    if (!TIFFGetField(t, TIFFTAG_YRESOLUTION, &yres) || !(yres > 0) || !std::isfinite(yres)) yres = xres;
    TIFFGetFieldDefaulted(t, TIFFTAG_RESOLUTIONUNIT, &unit);
    char* text = nullptr;
    const std::string description = TIFFGetField(t, TIFFTAG_IMAGEDESCRIPTION, &text) && text ? text : "";
    v.size = {1.0 / xres, 1.0 / yres, 1.0 / xres};
    v.known = true;
    if (description.rfind("ImageJ=", 0) == 0) {
        double z = 0;
        if (std::istringstream(imagej_value(description, "spacing")) >> z && z > 0 && std::isfinite(z)) v.size[2] = z;
        std::string u = imagej_value(description, "unit");
        if (u == "micron" || u == "\\u00B5m" || u == "\xC2\xB5m") u = "um";
        if (u == "pixel") u.clear();
        v.unit = volumes::plain_unit(u) ? u : "";
    } else if (unit == RESUNIT_CENTIMETER || unit == RESUNIT_INCH) {
        const double mm = unit == RESUNIT_CENTIMETER ? 10 : 25.4;
        for (double& s : v.size) s *= mm;
        v.unit = "mm";
    }
    return v;
}

// The pages a stack's description promises: ImageJ's "images=N", or tifffile's {"shape": [..., H, W]};
// 0 when it says nothing. A stack cut short reads as fewer pages: this tells.
std::int64_t promised_pages(TIFF* t) {
    char* text = nullptr;
    if (!TIFFGetField(t, TIFFTAG_IMAGEDESCRIPTION, &text) || !text) return 0;
    const std::string d = text;
    if (d.rfind("ImageJ=", 0) == 0) {
        std::int64_t n = 0;
        return std::istringstream(imagej_value(d, "images")) >> n ? n : 0;
    }
    const std::size_t key = d.find("\"shape\": [");
    if (d.rfind("{", 0) != 0 || key == std::string::npos) return 0;
    std::istringstream dims(d.substr(key + 10, d.find(']', key) - key - 10));
    std::vector<std::int64_t> n;
    std::string part;
    while (std::getline(dims, part, ',')) {
        try {
            n.push_back(std::stoll(part));
        } catch (const std::exception&) {
            return 0;
        }
    }
    if (n.size() < 3) return n.size() == 2 ? 1 : 0;
    std::int64_t pages = 1;
    for (std::size_t k = 0; k + 2 < n.size(); ++k) pages = n[k] > 0 && pages < (std::int64_t{1} << 40) ? pages * n[k] : 0;
    return pages;
}

}  // namespace

bool is_tiff_name(const std::string& path) {
    const std::string ext = lower_extension(path);
    return ext == ".tif" || ext == ".tiff";
}

TiffStack open_tiff_stack(const std::string& path) {
    TiffStack s;
    s.files = stack_files(path);
    TIFF* t = open_or_fail(s.files[0]);
    const Page p = page_of(t, s.files[0]);
    s.voxel_size = resolution_of(t);
    const std::int64_t pages = s.files.size() == 1 ? TIFFNumberOfDirectories(t) : static_cast<std::int64_t>(s.files.size());
    const std::int64_t promised = s.files.size() == 1 ? promised_pages(t) : 0;
    TIFFClose(t);
    if (promised > 0 && promised != pages)
        throw Failure("'" + s.files[0] + "' holds " + std::to_string(pages) + " readable pages, but its description says " +
                      std::to_string(promised) + ": the stack is cut short or damaged");
    s.size = {p.w, p.h, pages};
    s.width = p.width;
    if (p.w * p.h > kMaxVolumeVoxels / pages) throw Failure("'" + path + "' holds more than " + std::to_string(kMaxVolumeVoxels) + " voxels");
    return s;
}

TiffPages::TiffPages(const TiffStack& stack) : stack_(stack) { open_file(stack.files[0]); }

TiffPages::~TiffPages() {
    if (tif_) TIFFClose(static_cast<TIFF*>(tif_));
}

void TiffPages::open_file(const std::string& path) {
    if (tif_) TIFFClose(static_cast<TIFF*>(tif_));
    tif_ = nullptr;
    tif_ = open_or_fail(path);
}

void TiffPages::next_layer(std::vector<std::uint32_t>& out) {
    TIFF* t = static_cast<TIFF*>(tif_);
    const std::string& path = stack_.files[file_];
    if (page_ > 0) {
        if (stack_.files.size() > 1) {
            open_file(stack_.files[++file_]);
            t = static_cast<TIFF*>(tif_);
        } else if (!TIFFReadDirectory(t)) {
            throw Failure("'" + path + "' ends after " + std::to_string(page_) + " pages");
        }
    }
    const std::string& here = stack_.files[file_];
    const Page p = page_of(t, here);
    if (p.w != stack_.size[0] || p.h != stack_.size[1] || p.width != stack_.width)
        throw Failure("'" + here + "' page " + std::to_string(page_) + " is " + std::to_string(p.w) + " x " +
                      std::to_string(p.h) + " of " + std::to_string(8 * p.width) + " bits, unlike the first");
    const std::size_t w = static_cast<std::size_t>(p.w), h = static_cast<std::size_t>(p.h), bytes = static_cast<std::size_t>(p.width);
    out.assign(w * h, 0);
    const auto put = [&](std::size_t x, std::size_t y, const std::uint8_t* src, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            std::uint32_t v = 0;
            if (bytes == 1) v = src[i];
            else if (bytes == 2) { std::uint16_t s; std::memcpy(&s, src + 2 * i, 2); v = s; }
            else std::memcpy(&v, src + 4 * i, 4);
            out[y * w + x + i] = v;
        }
    };
    if (TIFFIsTiled(t)) {
        std::uint32_t tw = 0, th = 0;
        TIFFGetField(t, TIFFTAG_TILEWIDTH, &tw);
        TIFFGetField(t, TIFFTAG_TILELENGTH, &th);
        if (tw == 0 || th == 0) throw Failure("'" + here + "' has tiles of no size");
        buf_.resize(static_cast<std::size_t>(TIFFTileSize(t)));
        for (std::size_t ty = 0; ty < h; ty += th)
            for (std::size_t tx = 0; tx < w; tx += tw) {
                const tmsize_t got = TIFFReadEncodedTile(t, TIFFComputeTile(t, tx, ty, 0, 0), buf_.data(), buf_.size());
                if (got < 0 || static_cast<std::size_t>(got) < std::size_t{tw} * th * bytes)
                    throw Failure("'" + here + "' page " + std::to_string(page_) + " has a tile that cannot be read");
                for (std::size_t y = ty; y < std::min<std::size_t>(h, ty + th); ++y)
                    put(tx, y, buf_.data() + ((y - ty) * tw) * bytes, std::min<std::size_t>(tw, w - tx));
            }
    } else {
        std::uint32_t rows = 0;
        TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &rows);
        rows = std::min<std::uint32_t>(std::max<std::uint32_t>(rows, 1), static_cast<std::uint32_t>(h));
        buf_.resize(static_cast<std::size_t>(TIFFStripSize(t)));
        for (std::size_t y0 = 0; y0 < h; y0 += rows) {
            const std::size_t n = std::min<std::size_t>(rows, h - y0);
            const tmsize_t got = TIFFReadEncodedStrip(t, TIFFComputeStrip(t, static_cast<std::uint32_t>(y0), 0), buf_.data(), buf_.size());
            if (got < 0 || static_cast<std::size_t>(got) < n * w * bytes)
                throw Failure("'" + here + "' page " + std::to_string(page_) + " has a strip that cannot be read");
            for (std::size_t y = 0; y < n; ++y) put(0, y0 + y, buf_.data() + y * w * bytes, w);
        }
    }
    ++page_;
}

namespace {

void le(std::string& out, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

struct Rational {
    std::uint32_t num = 1, den = 1;
};

// Pixels per unit, 1 / spacing, as a fraction of 32-bit numbers.
Rational per_unit(double spacing) {
    const double r = 1.0 / spacing;
    std::uint64_t den = 1;
    while (den < 1000000 && std::fabs(r * den - std::round(r * den)) > 1e-9 * r * den && r * den * 10 < 4e9) den *= 10;
    std::uint64_t num = static_cast<std::uint64_t>(std::llround(std::min(r * den, 4e9)));
    if (num == 0) num = 1;
    const std::uint64_t g = std::gcd(num, den);
    return {static_cast<std::uint32_t>(num / g), static_cast<std::uint32_t>(den / g)};
}

}  // namespace

void write_tiff_stack(const std::string& path, VolumeSink& out, const std::array<std::int64_t, 3>& size, int width,
                      const volumes::VoxelSize& voxel_size,
                      const std::function<void(std::int64_t, std::vector<std::uint32_t>&)>& layer) {
    const std::uint64_t page_bytes = static_cast<std::uint64_t>(size[0] * size[1] * width);
    std::string description = "ImageJ=1.11a\nimages=" + std::to_string(size[2]) + "\nslices=" + std::to_string(size[2]) + "\n";
    if (voxel_size.known) {
        if (!voxel_size.unit.empty()) description += "unit=" + voxel_size.unit + "\n";
        description += "spacing=" + volumes::format_number(voxel_size.size[2]) + "\n";
    }
    description += "loop=false\n";
    description += '\0';
    if (description.size() % 2) description += '\0';
    const Rational xr = per_unit(voxel_size.size[0]), yr = per_unit(voxel_size.size[1]);
    const auto ifd_bytes = [&](bool first) { return 2 + (first ? 14 : 13) * 12 + 4 + 16 + (first ? description.size() : 0); };
    const std::uint64_t total = 8 + size[2] * (page_bytes + ifd_bytes(false)) + description.size() + 12;
    if (total >= (std::uint64_t{1} << 32))
        throw Failure("'" + path + "' would hold " + std::to_string(total) + " bytes, beyond a classic TIFF's 4 GiB");
    // ImageJ and tifffile read an ImageJ stack's pixels as one block: all pages first, then the IFDs.
    out.open();
    const std::uint64_t data_end = 8 + size[2] * page_bytes;
    std::string head = "II*";
    head += '\0';
    le(head, data_end, 4);
    out.write(head.data(), head.size());
    std::vector<std::uint32_t> labels(static_cast<std::size_t>(size[0] * size[1]));
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(page_bytes));
    for (std::int64_t z = 0; z < size[2]; ++z) {
        std::fill(labels.begin(), labels.end(), 0u);
        layer(z, labels);
        volumes::encode_labels(labels.data(), labels.size(), width, bytes.data());
        out.write(bytes.data(), bytes.size());
    }
    std::uint64_t ifd = data_end;
    for (std::int64_t z = 0; z < size[2]; ++z) {
        const bool first = z == 0;
        const std::uint64_t entries = first ? 14 : 13;
        const std::uint64_t extra = ifd + 2 + entries * 12 + 4;  // the rationals, then the description
        const std::uint64_t next = z + 1 < size[2] ? ifd + ifd_bytes(first) : 0;
        std::string d;
        le(d, entries, 2);
        const auto entry = [&](int tag, int type, std::uint64_t count, std::uint64_t value) {
            le(d, tag, 2), le(d, type, 2), le(d, count, 4);
            if (type == 3 && count == 1) le(d, value, 2), le(d, 0, 2);
            else le(d, value, 4);
        };
        entry(256, 4, 1, static_cast<std::uint64_t>(size[0]));
        entry(257, 4, 1, static_cast<std::uint64_t>(size[1]));
        entry(258, 3, 1, 8 * width);
        entry(259, 3, 1, 1);              // no compression
        entry(262, 3, 1, 1);              // black is zero
        if (first) entry(270, 2, description.size(), extra + 16);
        entry(273, 4, 1, 8 + z * page_bytes);
        entry(277, 3, 1, 1);
        entry(278, 4, 1, static_cast<std::uint64_t>(size[1]));
        entry(279, 4, 1, page_bytes);
        entry(282, 5, 1, extra);
        entry(283, 5, 1, extra + 8);
        entry(296, 3, 1, 1);              // no absolute unit: ImageJ's description says it
        entry(339, 3, 1, 1);              // unsigned
        le(d, next, 4);
        le(d, xr.num, 4), le(d, xr.den, 4), le(d, yr.num, 4), le(d, yr.den, 4);
        if (first) d += description;
        out.write(d.data(), d.size());
        ifd += d.size();
    }
    out.commit();
}

}  // namespace tarvo::volumes
