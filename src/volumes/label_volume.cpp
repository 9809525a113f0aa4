#include "volumes/label_volume.h"

#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>

#include "volumes/labels.h"
#include "volumes/nrrd.h"

namespace tarvo::volumes {
namespace {

namespace fs = std::filesystem;

// Bytes per value; `is_signed` for the signed types (NRRD "short", "int", ...).
int width_of_type(const std::string& path, const std::string& type, bool* is_signed = nullptr) {
    static const std::map<std::string, std::pair<int, bool>> kTypes = {
        {"uint8", {1, false}},  {"uchar", {1, false}},  {"unsigned char", {1, false}},  {"uint8_t", {1, false}},
        {"uint16", {2, false}}, {"ushort", {2, false}}, {"unsigned short", {2, false}}, {"uint16_t", {2, false}},
        {"unsigned short int", {2, false}},
        {"uint32", {4, false}}, {"uint", {4, false}},   {"unsigned int", {4, false}},   {"uint32_t", {4, false}},
        {"int8", {1, true}},    {"signed char", {1, true}}, {"int8_t", {1, true}},
        {"int16", {2, true}},   {"short", {2, true}},   {"short int", {2, true}},     {"signed short", {2, true}},
        {"signed short int", {2, true}}, {"int16_t", {2, true}},
        {"int32", {4, true}},   {"int", {4, true}},     {"signed int", {4, true}},    {"int32_t", {4, true}}};
    const auto it = kTypes.find(type);
    if (it == kTypes.end() || (it->second.second && !is_signed))
        throw Failure("'" + path + "' holds values of type '" + type + "'; labels must be uint8, uint16 or uint32" +
                      (is_signed ? " (or int8, int16, int32 in NRRD)" : ""));
    if (is_signed) *is_signed = it->second.second;
    return it->second.first;
}

// Sizes whose layer and volume stay within the bounds, their products checked before they are formed.
std::array<std::int64_t, 3> checked_sizes(const std::string& path, const std::string& text) {
    std::istringstream s(text);
    std::array<std::int64_t, 3> size{};
    std::string word, rest;
    for (auto& n : size) {
        if (!(s >> word) || word.size() > 12 || word.find_first_not_of("0123456789") != std::string::npos)
            throw Failure("'" + path + "' has sizes '" + text + "', not three whole numbers below 10^12");
        n = std::stoll(word);
    }
    if (s >> rest) throw Failure("'" + path + "' has sizes '" + text + "', not three whole numbers");
    if (size[0] == 0 || size[1] == 0 || size[2] == 0)
        throw Failure("'" + path + "' has sizes '" + text + "': an empty volume holds no labels");
    if (size[0] > kMaxLayerVoxels / size[1] || size[0] * size[1] > kMaxVolumeVoxels / size[2])
        throw Failure("'" + path + "' has sizes '" + text + "', beyond " + std::to_string(kMaxLayerVoxels) +
                      " voxels a layer or " + std::to_string(kMaxVolumeVoxels) + " a volume");
    return size;
}

// A detached data file: a plain name relative to the header, in the header's folder or below it,
// and a regular file.
std::string detached_path(const std::string& header, const std::string& name) {
    const fs::path p(name);
    if (name.empty() || p.is_absolute() || name.find(' ') != std::string::npos || name.rfind("LIST", 0) == 0)
        throw Failure("'" + header + "' names its data file '" + name +
                      "': only one file, named relative to the header's folder, is read");
    for (const auto& part : p)
        if (part == "..") throw Failure("'" + header + "' names its data file '" + name + "' outside the header's folder");
    const fs::path full = fs::path(header).parent_path() / p;
    std::error_code ec;
    const fs::path real = fs::weakly_canonical(full, ec);
    const fs::path folder = fs::weakly_canonical(fs::absolute(fs::path(header)).parent_path(), ec);
    const auto [end, _] = std::mismatch(folder.begin(), folder.end(), real.begin(), real.end());
    if (ec || end != folder.end())
        throw Failure("'" + header + "' names its data file '" + name + "' outside the header's folder");
    if (!fs::is_regular_file(full, ec))
        throw Failure("'" + header + "' names its data file '" + full.string() + "', which is no regular file");
    return full.string();
}

LabelLayout nrrd_layout(const std::string& path) {
    VolumeReader in;
    in.open(path);
    const NrrdFields f = read_nrrd_fields(in);
    const auto need = [&](const char* name) -> const std::string& {
        const std::string* v = nrrd_field(f, name);
        if (!v) throw Failure("'" + path + "' has no NRRD field '" + name + "'");
        return *v;
    };
    LabelLayout l;
    l.nrrd = true;
    l.width = width_of_type(path, need("type"), &l.is_signed);
    if (need("dimension") != "3") throw Failure("'" + path + "' has dimension " + need("dimension") + ", not 3");
    l.size = checked_sizes(path, need("sizes"));
    const std::string& encoding = need("encoding");
    if (encoding == "gzip" || encoding == "gz")
        l.gzip = true;
    else if (encoding != "raw")
        throw Failure("'" + path + "' has encoding '" + encoding + "'; labels are read raw or gzip");
    if (const std::string* e = nrrd_field(f, "endian")) {
        if (*e != "little" && *e != "big") throw Failure("'" + path + "' has endian '" + *e + "'");
        l.big_endian = *e == "big";
    } else if (l.width > 1) {
        throw Failure("'" + path + "' holds labels of " + std::to_string(l.width) + " bytes but no endian field");
    }
    if (const std::string* skip = nrrd_field(f, "line skip"); skip && *skip != "0")
        throw Failure("'" + path + "' uses a line skip, which cannot be read");
    if (const std::string* skip = nrrd_field(f, "byte skip"); skip && *skip != "0") {
        if (skip->size() > 12 || skip->find_first_not_of("0123456789") != std::string::npos)
            throw Failure("'" + path + "' has byte skip '" + *skip + "'; only a count of bytes can be read");
        l.byte_skip = std::stoull(*skip);
    }
    const std::string* units = nrrd_field(f, "space units");
    if (!units) units = nrrd_field(f, "units");
    if (const std::string why = volumes::nrrd_spacing(nrrd_field(f, "spacings"), nrrd_field(f, "space directions"),
                                                      units, l.voxel_size);
        !why.empty())
        throw Failure("'" + path + "' has no usable voxel size: " + why);
    const std::string* data_file = nrrd_field(f, "data file");
    l.data_path = data_file ? detached_path(path, *data_file) : path;
    return l;
}

// The bytes of the data as stored (before inflating), where the file size is known.
void check_raw_length(const std::string& path, const LabelLayout& l, std::uint64_t start) {
    const std::optional<std::uint64_t> length = regular_file_bytes(l.data_path);
    if (!length) throw Failure("'" + l.data_path + "' is no regular file: split reads its volume twice");
    if (l.gzip) return;
    const std::uint64_t need = static_cast<std::uint64_t>(l.size[0] * l.size[1] * l.size[2]) * l.width;
    const std::uint64_t held = *length - std::min(*length, start);
    if (held != need)
        throw Failure("'" + path + "' describes " + std::to_string(need) + " bytes of labels, but '" + l.data_path +
                      "' holds " + std::to_string(held));
}

}  // namespace

std::string type_name(int width) { return width == 1 ? "uint8" : width == 2 ? "uint16" : "uint32"; }

LabelLayout layout_of(const std::string& path, const std::string* size_text, const std::string* type_text) {
    const std::string ext = lower_extension(path);
    if (is_tiff_name(path)) {
        if (size_text || type_text) throw UsageError("--size and --type describe a .raw; a TIFF stack says them");
        LabelLayout l;
        l.tiff = true;
        l.stack = open_tiff_stack(path);
        l.size = l.stack.size;
        l.width = l.stack.width;
        l.voxel_size = l.stack.voxel_size;
        l.data_path = path;
        return l;
    }
    if (ext == ".nrrd" || ext == ".nhdr") {
        if (size_text || type_text) throw UsageError("--size and --type describe a .raw; an NRRD header says them");
        LabelLayout l = nrrd_layout(path);
        if (l.data_path != path) check_raw_length(path, l, l.byte_skip);
        return l;
    }
    if (ext != ".raw")
        throw UsageError("unknown volume format '" + path + "': the name must end in .raw, .nrrd, .nhdr, .tif or .tiff");
    if (!size_text || !type_text) throw UsageError("a .raw volume needs --size X,Y,Z and --type uint8|uint16|uint32");
    LabelLayout l;
    std::string sizes = *size_text;
    std::replace(sizes.begin(), sizes.end(), ',', ' ');
    try {
        l.size = checked_sizes("--size", sizes);
        l.width = width_of_type("--type", *type_text);
    } catch (const Failure& e) {
        throw UsageError(e.what());
    }
    l.data_path = path;
    check_raw_length(path, l, 0);
    return l;
}

// gzip data inflated as they are read: never more than the volume's bytes are asked for, so a
// small file that inflates to a huge one costs no more than the volume the header declares.
struct LabelRows::Inflater {
    z_stream z{};
    std::vector<std::uint8_t> in = std::vector<std::uint8_t>(1 << 16);
    bool ended = false;
    Inflater() {
        if (inflateInit2(&z, 15 + 32) != Z_OK) throw Failure("zlib cannot start");
    }
    ~Inflater() { inflateEnd(&z); }
};

bool parts(const LabelLayout& layout) { return !layout.tiff && !layout.gzip && !layout.components; }

LabelRows::LabelRows(const std::string& path, const LabelLayout& layout) : LabelRows(path, layout, 0, layout.size[2]) {}

LabelRows::LabelRows(const std::string& path, const LabelLayout& layout, std::int64_t first, std::int64_t layers)
    : path_(path), layout_(layout) {
    if (layout_.components) {
        labeller_ = std::make_unique<volumes::RunLabeller>(layout_.size[0], layout_.size[1], layout_.connectivity);
        ids_.resize(static_cast<std::size_t>(layout_.size[0]));
    }
    if (layout_.tiff) {
        pages_ = std::make_unique<TiffPages>(layout_.stack);
        return;
    }
    file_.open(layout.data_path);
    if (layout.nrrd && layout.data_path == path) read_nrrd_fields(file_);
    if (layout.nrrd && layout.data_path == path) check_raw_length(path, layout_, file_.position() + layout.byte_skip);
    file_.skip(layout.byte_skip);
    if (layout.gzip) inflater_ = std::make_unique<Inflater>();
    constexpr std::int64_t kBlockBytes = std::int64_t{1} << 20;
    const std::int64_t rows = std::max<std::int64_t>(1, kBlockBytes / layout.row_bytes());
    block_.resize(static_cast<std::size_t>(rows * layout.row_bytes()));
    const auto layer_bytes = static_cast<std::uint64_t>(layout.row_bytes() * layout.size[1]);
    if (first > 0) file_.skip_ahead(first * layer_bytes);
    delivered_ = first * layer_bytes;
    unread_ = layers * layer_bytes;
}

LabelRows::~LabelRows() = default;

std::size_t LabelRows::read_bytes(std::uint8_t* buf, std::size_t n) {
    if (!inflater_) return file_.read(buf, n);
    Inflater& f = *inflater_;
    f.z.next_out = buf;
    f.z.avail_out = static_cast<uInt>(n);
    while (f.z.avail_out > 0 && !f.ended) {
        if (f.z.avail_in == 0) {
            f.z.next_in = f.in.data();
            f.z.avail_in = static_cast<uInt>(file_.read(f.in.data(), f.in.size()));
            if (f.z.avail_in == 0) break;  // the compressed data end: the caller counts what came
        }
        const int r = inflate(&f.z, Z_NO_FLUSH);
        if (r == Z_STREAM_END) f.ended = true;
        else if (r != Z_OK && r != Z_BUF_ERROR)
            throw Failure("'" + path_ + "' has gzip data that cannot be inflated (" +
                          (f.z.msg ? f.z.msg : "zlib error " + std::to_string(r)) + ")");
    }
    return n - f.z.avail_out;
}

void LabelRows::next(std::uint32_t* out) {
    if (labeller_) {
        const std::int64_t y = rows_read_ % layout_.size[1], z = rows_read_ / layout_.size[1];
        ++rows_read_;
        next_raw(out);
        labeller_->label_row(out, y, z, ids_.data());  // the same ids as the first pass gave
        const std::vector<std::uint32_t>& map = *layout_.components;
        for (std::size_t i = 0; i < ids_.size(); ++i) out[i] = map[ids_[i]];
        return;
    }
    next_raw(out);
}

void LabelRows::next_raw(std::uint32_t* out) {
    if (pages_) {
        if (row_in_layer_ == 0) pages_->next_layer(layer_);
        std::copy_n(layer_.begin() + row_in_layer_ * layout_.size[0], layout_.size[0], out);
        row_in_layer_ = (row_in_layer_ + 1) % layout_.size[1];
        return;
    }
    const auto n = static_cast<std::size_t>(layout_.row_bytes());
    if (block_end_ - block_pos_ < n) refill();
    if (block_end_ - block_pos_ < n) {
        const std::uint64_t need = static_cast<std::uint64_t>(layout_.size[0] * layout_.size[1] * layout_.size[2]) *
                                   layout_.width;
        throw Failure("'" + layout_.data_path + "' ends after " + std::to_string(delivered_) +
                      " bytes of labels, but '" + path_ + "' describes " + std::to_string(need));
    }
    volumes::decode_labels(block_.data() + block_pos_, static_cast<std::size_t>(layout_.size[0]), layout_.width,
                           layout_.big_endian, out);
    block_pos_ += n;
    if (layout_.is_signed) clamp_negatives(out);
}

// The next block: the rest of the last one (part of a row, only where the data end early) moved
// to the front, then as many bytes as fit and are declared.
void LabelRows::refill() {
    const std::size_t kept = block_end_ - block_pos_;
    std::copy(block_.begin() + static_cast<std::ptrdiff_t>(block_pos_), block_.begin() + static_cast<std::ptrdiff_t>(block_end_),
              block_.begin());
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(block_.size() - kept, unread_));
    const std::size_t got = read_bytes(block_.data() + kept, want);
    unread_ -= got;
    delivered_ += got;
    block_pos_ = 0;
    block_end_ = kept + got;
}

// Negative values (a CT's air) are below every threshold and no label: read as 0, and counted.
void LabelRows::clamp_negatives(std::uint32_t* out) {
    const std::uint32_t sign = std::uint32_t{1} << (8 * layout_.width - 1);
    for (std::int64_t i = 0; i < layout_.size[0]; ++i)
        if (out[i] & sign) {
            out[i] = 0;
            ++negatives_;
        }
}

void LabelRows::finish() {
    if (pages_) return;  // the pages were counted
    std::uint8_t b;
    if (read_bytes(&b, 1) != 0)
        throw Failure("'" + layout_.data_path + "' holds more than the " + std::to_string(delivered_) +
                      " bytes of labels '" + path_ + "' describes");
}

void find_components(const std::string& path, LabelLayout& layout, int connectivity) {
    LabelLayout plain = layout;
    plain.components.reset();
    LabelRows rows(path, plain);
    volumes::RunLabeller labeller(layout.size[0], layout.size[1], connectivity);
    std::vector<std::uint32_t> row(static_cast<std::size_t>(layout.size[0])), ids(row.size());
    for (std::int64_t z = 0; z < layout.size[2]; ++z)
        for (std::int64_t y = 0; y < layout.size[1]; ++y) {
            rows.next(row.data());
            if (!labeller.label_row(row.data(), y, z, ids.data()))
                throw Failure("'" + path + "' has more than " + std::to_string(volumes::kMaxProvisional) +
                              " runs of voxels that begin a component: too fragmented a mask to label");
        }
    rows.finish();
    layout.connectivity = connectivity;
    layout.components = std::make_shared<const std::vector<std::uint32_t>>(labeller.labels());
}

void write_label_volume(const std::string& path, VolumeSink& out, const std::array<std::int64_t, 3>& size, int width,
                        const volumes::VoxelSize& voxel_size,
                        const std::function<void(std::int64_t, std::vector<std::uint32_t>&)>& layer) {
    if (is_tiff_name(path)) return write_tiff_stack(path, out, size, width, voxel_size, layer);
    out.open();
    if (lower_extension(path) == ".nrrd") {
        std::ostringstream h;
        h << "NRRD0004\n# tarvo-tools merge\ntype: " << type_name(width) << "\ndimension: 3\nsizes: " << size[0] << " "
          << size[1] << " " << size[2] << "\n";
        if (voxel_size.known) {
            h << "spacings: " << volumes::format_number(voxel_size.size[0]) << " "
              << volumes::format_number(voxel_size.size[1]) << " " << volumes::format_number(voxel_size.size[2]) << "\n";
            if (!voxel_size.unit.empty())
                h << "units: \"" << voxel_size.unit << "\" \"" << voxel_size.unit << "\" \"" << voxel_size.unit << "\"\n";
        }
        if (width > 1) h << "endian: little\n";
        h << "encoding: raw\n\n";
        const std::string text = h.str();
        out.write(text.data(), text.size());
    }
    std::vector<std::uint32_t> labels(static_cast<std::size_t>(size[0] * size[1]));
    std::vector<std::uint8_t> bytes(labels.size() * static_cast<std::size_t>(width));
    for (std::int64_t z = 0; z < size[2]; ++z) {
        std::fill(labels.begin(), labels.end(), 0u);
        layer(z, labels);
        volumes::encode_labels(labels.data(), labels.size(), width, bytes.data());
        out.write(bytes.data(), bytes.size());
    }
    out.commit();
}

}  // namespace tarvo::volumes
