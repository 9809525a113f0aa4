// tarvo._tarvo: the library's load, measure, cut and save on numpy arrays. The package around it
// (python/tarvo/__init__.py) gives the public names and documents them; this module checks the
// arrays, owns the bitmaps it hands out and turns the library's failures into Python exceptions.
//
// API (Python)
//   load(path: bytes, packed) -> (voxels, header fields that arrived whole, slot or None,
//                                 (code_bytes, surplus_bytes, voxels_coded, voxels_needed,
//                                  ends_early, file_bytes))
//   measure(voxels, dim) -> (count, min, max, mean, center), each (x, y, z) a tuple
//   cut(voxels, x, y, z, out, dim) -> out or a new array in the form of voxels
//   cut_plane(voxels, normal, through, keep_plus, out, dim) -> out or a new array: the plane with
//                               this normal (three decimal texts) through `through` (three texts;
//                               None: the centre), as tarvo-tools cut --normal
//   beyond(voxels, x, y, z, dim) -> a new array in the form of voxels
//   properties(voxels, dim, spacing) -> (volume, surface_area, equivalent_diameter, sphericity, centroid,
//                               moments, axes, enclosed_voxels, enclosed_porosity, euler_number);
//                               with spacing (x, y, z), in its units (volume a float)
//   section(voxels, normal, through, dim, spacing) -> (pixels (w, w) uint8, origin, u, v, face_area,
//                               solid_area, pore_area, section_porosity, pore_sizes, perimeter,
//                               equivalent_diameter); through None: the particle's centre; with
//                               spacing, areas and lengths in its units (floats)
//   save(path: bytes, voxels, dim)
//   pack(voxels, dim), unpack(voxels, dim) -> a new array in the packed or the voxel form
//   mesh(voxels, smooth, cut, dim) -> (vertices float32 (V, 3) x y z, faces int64 (F, 3),
//                                      parts uint8 (F,)); cut None or three lengths
//   write_mesh(path: bytes, vertices, faces, parts, ascii)   STL, PLY or OBJ by the extension
//   number(text, what) -> float   the number a text wholly is (whole_number), else ValueError
//                                 naming `what` and the text
//   FormatError (a ValueError)
// A cut length is a str (read as the program reads its arguments, but only when it is wholly a
// number: ValueError otherwise) or a float (rounded to single precision the same way). dim is None or the edge a packed array is meant to have.
//
// Packed arrays that this module makes are views of a bitmap block padded to whole 64-bit words
// (their base is a capsule named "tarvo.bitmap"); the library works on such a block in place. Any
// other packed array is copied into a block first.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <variant>

#include "tarvo/geometry.h"
#include "tarvo/quantities.h"
#include "python/volume.h"
#include "files/io.h"
#include "files/output.h"
#include "sys/cpu.h"
#include "tarvo/status.h"
#include "tarvo/body.h"
#include "tarvo/mesh.h"
#include "volumes/files.h"
#include "volumes/label_volume.h"
#include "volumes/labels.h"
#include "volumes/voxel_size.h"

namespace py = pybind11;

namespace tarvo::binding {
namespace {

constexpr const char* kCapsuleName = "tarvo.bitmap";

// The type of tarvo.FormatError, made when the module loads.
struct FormatErrorTag {};
PyObject* format_error_type = nullptr;

// Bytes of the packed form: one bit a voxel, the last byte filled with zero bits.
std::int64_t packed_bytes(std::int32_t dim) { return (tarvo::voxel_count(dim) + 7) / 8; }

py::str decoded(const std::string& text) {
    return py::reinterpret_steal<py::str>(PyUnicode_DecodeFSDefaultAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

[[noreturn]] void raise_object(PyObject* type, py::object value) {
    PyErr_SetObject(type, value.ptr());
    throw py::error_already_set();
}

// The library's failures: refused files as FormatError with the program's wording, failures of
// the system with its error number, memory as MemoryError.
[[noreturn]] void raise_status(const tarvo::Status& s) {
    using tarvo::Error;
    const py::str message = decoded(tarvo::describe(s));
    switch (s.error) {
        case Error::kNoEdgeLength:
        case Error::kEdgeOutOfRange:
            raise_object(format_error_type, message);
        case Error::kOutOfMemory:
            raise_object(PyExc_MemoryError, message);
        default:
            break;
    }
    if (s.err == 0) raise_object(PyExc_OSError, message);
    // A refusal of this library's own says why in its own words.
    const py::str reason = s.error == Error::kUnsafeLink ? message : decoded(std::strerror(s.err));
    // OSError(errno, strerror, filename) becomes the subclass of that errno (FileNotFoundError...).
    py::object error = py::handle(PyExc_OSError)(s.err, reason, decoded(s.path));
    raise_object(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error);
}

void check(const tarvo::Status& s) {
    if (!s) raise_status(s);
}

// The library reads a path or a length up to its first NUL: one with a NUL is refused, as open()
// refuses it.
// Text for a message: printable ASCII as it is, every other byte as \xHH.
std::string printable(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F && b != '\\') {
            out += c;
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", b);
            out += escape;
        }
    }
    return out;
}

const std::string& whole_text(const std::string& text) {
    if (text.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
    return text;
}

// A bitmap block: owned (a Body, released with this object) or borrowed from an array of this module.
class Bitmap {
public:
    explicit Bitmap(std::int32_t dim) {
        tarvo::Status s;
        {
            py::gil_scoped_release free;
            s = body_.create(dim);
        }
        check(s);
    }
    static Bitmap borrow(const TelesoRecord& rec) {
        Bitmap b;
        b.borrowed_ = rec;
        return b;
    }
    // Takes over a block the library allocated.
    static Bitmap adopt(const TelesoRecord& rec) {
        Bitmap b;
        b.body_ = tarvo::Body(rec);
        return b;
    }

    TelesoRecord& rec() { return borrowed_ ? *borrowed_ : body_.rec; }
    const TelesoRecord& rec() const { return borrowed_ ? *borrowed_ : body_.rec; }
    std::size_t block_bytes() const { return tarvo::padded_bytes(rec().size); }

    Bitmap copy() const {
        Bitmap b(rec().dim);
        py::gil_scoped_release free;
        std::memcpy(b.rec().data, rec().data, block_bytes());
        return b;
    }

    // The packed form as a numpy array that owns the block from now on.
    py::array into_array() {
        auto* held = new tarvo::Body(std::move(body_));
        auto base = py::reinterpret_steal<py::object>(PyCapsule_New(held, kCapsuleName, [](PyObject* capsule) {
            delete static_cast<tarvo::Body*>(PyCapsule_GetPointer(capsule, kCapsuleName));
        }));
        if (!base) {
            delete held;
            throw py::error_already_set();
        }
        return py::array(py::dtype::of<std::uint8_t>(), {packed_bytes(held->rec.dim)}, {1}, held->rec.data, base);
    }

private:
    Bitmap() = default;
    tarvo::Body body_;
    std::optional<TelesoRecord> borrowed_;
};

// A particle argument: a cube of one element per voxel or the packed form.
struct Particle {
    py::array array;
    std::int32_t dim = 0;
    bool packed = false;
    const TelesoRecord* block = nullptr;  // the module's block the packed array is, used in place
};

std::string shape_text(const py::array& a) { return py::str(py::tuple(py::cast(std::vector<py::ssize_t>(a.shape(), a.shape() + a.ndim())))); }

std::string dtype_text(const py::array& a) { return py::str(a.dtype()); }

std::int32_t checked_dim(std::int64_t n, const std::string& what) {
    if (!tarvo::dim_in_range(n))
        throw py::value_error(what + " has edge " + std::to_string(n) + "; the edge must be 0 to " +
                              std::to_string(tarvo::kMaxDim));
    return static_cast<std::int32_t>(n);
}

// The edge whose packed form has `bytes` bytes; dim when given.
std::int32_t packed_dim(std::int64_t bytes, const py::object& dim, const std::string& name) {
    if (!dim.is_none()) {
        const std::int32_t n = checked_dim(dim.cast<std::int64_t>(), "dim");
        if (packed_bytes(n) != bytes)
            throw py::value_error(name + ": a packed particle of edge " + std::to_string(n) + " has " +
                                  std::to_string(packed_bytes(n)) + " bytes, not " + std::to_string(bytes));
        return n;
    }
    if (bytes == 1) throw py::value_error(name + ": one packed byte holds a particle of edge 1 or 2; pass dim=");
    std::int64_t n = 0;
    while (n <= tarvo::kMaxDim && packed_bytes(static_cast<std::int32_t>(n)) < bytes) ++n;
    if (n > tarvo::kMaxDim || packed_bytes(static_cast<std::int32_t>(n)) != bytes)
        throw py::value_error(name + ": " + std::to_string(bytes) +
                              " bytes are no packed particle: one of edge n has ceil(n**3 / 8) bytes, n 0 to " +
                              std::to_string(tarvo::kMaxDim));
    return static_cast<std::int32_t>(n);
}

bool tail_clear(const std::uint8_t* bits, std::int32_t dim) {
    const std::int64_t n = tarvo::voxel_count(dim);
    return n % 8 == 0 || (bits[n / 8] >> (n % 8)) == 0;
}

// The module's block that a packed array is, whole, when the library can work on it in place.
const TelesoRecord* module_block(const py::array& a, std::int32_t dim) {
    const py::object base = a.base();
    if (!base || !PyCapsule_IsValid(base.ptr(), kCapsuleName)) return nullptr;
    const TelesoRecord* rec = &static_cast<const tarvo::Body*>(PyCapsule_GetPointer(base.ptr(), kCapsuleName))->rec;
    const bool whole = rec->dim == dim && rec->data == a.data() && (a.size() <= 1 || a.strides(0) == 1);
    return whole && tail_clear(rec->data, dim) ? rec : nullptr;
}

Particle particle_of(const py::handle& object, const py::object& dim, const std::string& name) {
    py::array a = py::array::ensure(object);
    if (!a) throw py::type_error(name + " must be an array: bool of shape (dim, dim, dim) or packed uint8");
    Particle p;
    p.array = a;
    const char kind = a.dtype().kind();
    if (a.ndim() == 1) {
        if (kind != 'u' || a.itemsize() != 1)
            throw py::type_error(name + ": a packed particle has dtype uint8 (numpy.packbits(..., bitorder='little')); got " +
                                 dtype_text(a));
        p.packed = true;
        p.dim = packed_dim(a.size(), dim, name);
        p.block = module_block(a, p.dim);
        return p;
    }
    if (a.ndim() != 3 || a.shape(0) != a.shape(1) || a.shape(1) != a.shape(2))
        throw py::value_error(name + " must have shape (dim, dim, dim), indexed [z, y, x], or be packed (1-D uint8); got shape " +
                              shape_text(a));
    p.dim = checked_dim(a.shape(0), name);
    if (kind != 'b' && kind != 'i' && kind != 'u')
        throw py::type_error(name + " must have dtype bool (or an integer dtype holding only 0 and 1); got " + dtype_text(a));
    if (a.dtype().byteorder() == '>')
        throw py::type_error(name + " has dtype " + dtype_text(a) + " of non-native byte order; use .astype(bool)");
    if (!dim.is_none() && dim.cast<std::int64_t>() != p.dim)
        throw py::value_error(name + " has edge " + std::to_string(p.dim) + ", not dim=" + py::str(dim).cast<std::string>());
    return p;
}

Volume volume_of(const Particle& p) {
    Volume v;
    v.base = static_cast<std::uint8_t*>(const_cast<void*>(p.array.data()));
    v.dim = p.dim;
    for (int k = 0; k < 3; ++k) v.stride[k] = p.array.strides(k);
    v.itemsize = static_cast<int>(p.array.itemsize());
    v.integers = p.array.dtype().kind() != 'b';
    return v;
}

[[noreturn]] void raise_bad_value(const Particle& p, const BadValue& bad) {
    const std::int64_t n = p.dim;
    const std::int64_t x = bad.index % n, y = bad.index / n % n, z = bad.index / n / n;
    const int bits = 8 * static_cast<int>(p.array.itemsize());
    std::string value = std::to_string(bad.bits);
    if (p.array.dtype().kind() == 'i' && (bad.bits >> (bits - 1) & 1))
        value = std::to_string(static_cast<std::int64_t>(bad.bits | (bits == 64 ? 0 : ~std::uint64_t{0} << bits)));
    throw py::value_error("voxels of dtype " + dtype_text(p.array) + " must hold only 0 and 1; found " + value +
                          " at [z, y, x] = [" + std::to_string(z) + ", " + std::to_string(y) + ", " + std::to_string(x) +
                          "]");
}

// Copies a packed array that is not a module block into b, with the bits past the last voxel clear.
void copy_packed(const Particle& p, Bitmap& b) {
    const std::int64_t bytes = packed_bytes(p.dim);
    const auto* src = static_cast<const std::uint8_t*>(p.array.data());
    const py::ssize_t stride = p.array.strides(0);
    std::uint8_t* dst = b.rec().data;
    py::gil_scoped_release free;
    if (stride == 1)
        std::memcpy(dst, src, static_cast<std::size_t>(bytes));
    else
        for (std::int64_t i = 0; i < bytes; ++i) dst[i] = src[i * stride];
    const std::int64_t n = tarvo::voxel_count(p.dim);
    if (n % 8 != 0) dst[n / 8] = static_cast<std::uint8_t>(dst[n / 8] & ((1u << (n % 8)) - 1));
}

// A bitmap of the particle's own, which the caller may change.
Bitmap own_bitmap(const Particle& p) {
    if (p.block) return Bitmap::borrow(*p.block).copy();
    Bitmap b(p.dim);
    if (p.packed) {
        copy_packed(p, b);
        return b;
    }
    const Volume v = volume_of(p);
    std::optional<BadValue> bad;
    {
        py::gil_scoped_release free;
        bad = pack_volume(v, b.rec());
    }
    if (bad) raise_bad_value(p, *bad);
    return b;
}

// The particle's bitmap to read: its block when it has one.
Bitmap bitmap_of(const Particle& p) { return p.block ? Bitmap::borrow(*p.block) : own_bitmap(p); }

py::array unpacked_array(const Bitmap& b) {
    const py::ssize_t n = b.rec().dim;
    py::array_t<bool> out({n, n, n});
    Particle target{out, b.rec().dim, false, nullptr};
    const Volume v = volume_of(target);
    py::gil_scoped_release free;
    unpack_volume(b.rec(), v);
    return out;
}

// The result in the form of `like`: a new array.
py::array array_like(Bitmap b, const Particle& like) { return like.packed ? b.into_array() : unpacked_array(b); }

// The result into an array the caller gave (any form, any layout).
void store(const Bitmap& b, const Particle& out) {
    if (!out.packed) {
        const Volume v = volume_of(out);
        py::gil_scoped_release free;
        unpack_volume(b.rec(), v);
        return;
    }
    const std::int64_t bytes = packed_bytes(out.dim);
    // Checked writeable by the caller.
    auto* dst = static_cast<std::uint8_t*>(const_cast<void*>(out.array.data()));
    const py::ssize_t stride = out.array.strides(0);
    py::gil_scoped_release free;
    for (std::int64_t i = 0; i < bytes; ++i) dst[i * stride] = b.rec().data[i];
}

using Length = std::variant<std::string, double>;

// A text is taken only when it is wholly a number (whole_cut_length); the program would read "l"
// as 0 and "1,5" as 1, which a script means as neither.
float cut_length(const Length& length) {
    if (const auto* text = std::get_if<std::string>(&length)) {
        const std::string& whole = whole_text(*text);
        if (const std::optional<float> v = whole_cut_length(whole)) return *v;
        throw py::value_error("cut length '" + printable(whole) + "' is not a number (tarvo would read it as " +
                              std::to_string(Cut_length(whole.c_str())) + ")");
    }
    return static_cast<float>(std::get<double>(length));
}

// The program's cut for three lengths, or a plane through a point (as tarvo-tools cut --normal).
using Plane = std::variant<CutLengths, PointPlane>;

// The program's processing: measure, take the centre, cut (and measure what stays); or the same
// with the exact plane through a point.
void cut_bitmap(Bitmap& b, const Plane& plane) {
    py::gil_scoped_release free;
    if (const auto* lengths = std::get_if<CutLengths>(&plane))
        cut_as_program(b.rec(), *lengths);
    else
        cut_through(b.rec(), std::get<PointPlane>(plane));
}

py::object cut_into(const Particle& p, const Plane& plane, py::object out) {
    if (out.is_none()) {
        Bitmap b = own_bitmap(p);
        cut_bitmap(b, plane);
        return array_like(std::move(b), p);
    }
    const Particle o = particle_of(out, py::int_(p.dim), "out");
    if (!o.array.writeable()) throw py::value_error("out is read-only");
    if (o.block && p.packed) {
        // In the block of out: no second bitmap.
        Bitmap b = Bitmap::borrow(*o.block);
        if (p.block != o.block) {
            if (p.block) {
                py::gil_scoped_release free;
                std::memcpy(b.rec().data, p.block->data, b.block_bytes());
            } else {
                copy_packed(p, b);
            }
        }
        cut_bitmap(b, plane);
        return out;
    }
    Bitmap b = own_bitmap(p);
    cut_bitmap(b, plane);
    store(b, o);
    return out;
}

py::object cut(py::object voxels, const Length& x, const Length& y, const Length& z, py::object out, py::object dim) {
    const Particle p = particle_of(voxels, dim, "voxels");
    return cut_into(p, CutLengths{cut_length(x), cut_length(y), cut_length(z)}, out);
}

std::array<Decimal, 3> decimals(const std::array<std::string, 3>& texts, const std::string& what) {
    std::array<Decimal, 3> d;
    for (int k = 0; k < 3; ++k) {
        const std::optional<Decimal> v = parse_decimal(texts[k]);
        if (!v)
            throw py::value_error(what + " '" + texts[k] + "' is not a decimal number (digits, a point, an exponent; at most " +
                                  std::to_string(kMaxDecimalDigits) + " digits)");
        d[k] = *v;
    }
    return d;
}

py::object cut_plane(py::object voxels, const std::array<std::string, 3>& normal,
                     const std::optional<std::array<std::string, 3>>& through, bool keep_plus, py::object out,
                     py::object dim) {
    PointPlane plane;
    plane.normal = decimals(normal, "normal");
    if (plane.normal[0].zero() && plane.normal[1].zero() && plane.normal[2].zero())
        throw py::value_error("the normal is zero");
    if (through) plane.through = decimals(*through, "through");
    plane.keep_plus = keep_plus;
    const Particle p = particle_of(voxels, dim, "voxels");
    return cut_into(p, plane, out);
}

py::array beyond(py::object voxels, const Length& x, const Length& y, const Length& z, py::object dim) {
    const Particle p = particle_of(voxels, dim, "voxels");
    const Plane plane = CutLengths{cut_length(x), cut_length(y), cut_length(z)};
    const Bitmap whole = bitmap_of(p);
    Bitmap cleared = whole.copy();
    cut_bitmap(cleared, plane);
    {
        // The cut only clears, so what it cleared is the difference.
        py::gil_scoped_release free;
        std::uint8_t* c = cleared.rec().data;
        const std::uint8_t* w = whole.rec().data;
        for (std::size_t i = 0; i < whole.block_bytes(); ++i) c[i] = static_cast<std::uint8_t>(c[i] ^ w[i]);
    }
    return array_like(std::move(cleared), p);
}

py::tuple xyz(std::int32_t x, std::int32_t y, std::int32_t z) { return py::make_tuple(x, y, z); }

py::tuple measure(py::object voxels, py::object dim) {
    const Particle p = particle_of(voxels, dim, "voxels");
    Bitmap b = bitmap_of(p);
    Center c;
    {
        py::gil_scoped_release free;
        Analyse_teleso(b.rec());
        c = Get_center(b.rec());
    }
    const TelesoRecord& r = b.rec();
    return py::make_tuple(r.voxels, xyz(r.x_min, r.y_min, r.z_min), xyz(r.x_max, r.y_max, r.z_max),
                          xyz(r.x_mean, r.y_mean, r.z_mean), xyz(c.x, c.y, c.z));
}

py::tuple triple_of(const std::array<double, 3>& v) { return py::make_tuple(v[0], v[1], v[2]); }

py::tuple properties(py::object voxels, py::object dim, std::optional<Spacing> spacing) {
    const Particle p = particle_of(voxels, dim, "voxels");
    const Bitmap b = bitmap_of(p);
    Properties q;
    {
        py::gil_scoped_release free;
        q = tarvo::properties(b.rec(), spacing ? *spacing : kVoxelUnits);
    }
    const py::object volume = spacing ? py::object(py::float_(q.scaled_volume)) : py::object(py::int_(q.volume));
    return py::make_tuple(volume, q.surface_area, q.equivalent_diameter, q.sphericity, triple_of(q.centroid),
                          triple_of(q.moments),
                          py::make_tuple(triple_of(q.axes[0]), triple_of(q.axes[1]), triple_of(q.axes[2])),
                          q.enclosed_voxels, q.enclosed_porosity, q.euler_number);
}

double number(const std::string& text, const std::string& what) {
    if (const std::optional<double> v = whole_number(text)) return *v;
    throw py::value_error(what + " '" + text + "' is not a number");
}

py::tuple section(py::object voxels, std::array<double, 3> normal, std::optional<std::array<double, 3>> through,
                  py::object dim, std::optional<Spacing> spacing) {
    const Particle p = particle_of(voxels, dim, "voxels");
    if (!(normal[0] != 0 || normal[1] != 0 || normal[2] != 0) ||
        !(std::isfinite(normal[0]) && std::isfinite(normal[1]) && std::isfinite(normal[2])))
        throw py::value_error("the normal must be finite and not zero");
    const Bitmap b = bitmap_of(p);
    Section s;
    {
        py::gil_scoped_release free;
        TelesoRecord measured = b.rec();
        Analyse_teleso(measured);
        const Center c = Get_center(measured);
        const std::array<double, 3> point = through ? *through : std::array<double, 3>{double(c.x), double(c.y), double(c.z)};
        s = tarvo::section(b.rec(), SectionPlane{point, normal});
    }
    py::array_t<std::uint8_t> pixels({s.width, s.width});
    std::memcpy(pixels.mutable_data(), s.pixels.data(), s.pixels.size());
    if (spacing) {
        const SectionMeasures m = section_measures(s, *spacing);
        return py::make_tuple(pixels, triple_of(s.origin), triple_of(s.u), triple_of(s.v), m.face_area, m.solid_area,
                              m.pore_area, s.section_porosity, py::cast(m.pore_sizes), m.perimeter, m.equivalent_diameter);
    }
    return py::make_tuple(pixels, triple_of(s.origin), triple_of(s.u), triple_of(s.v), s.face_area, s.solid_area,
                          s.pore_area, s.section_porosity, py::cast(s.pore_sizes), s.perimeter, s.equivalent_diameter);
}

// What tarvo writes for the body: its measurements in the header, then its voxels.
void save(const std::string& path, py::object voxels, py::object dim) {
    whole_text(path);
    const Particle p = particle_of(voxels, dim, "voxels");
    Bitmap b = bitmap_of(p);
    tarvo::Status s;
    {
        py::gil_scoped_release free;
        Analyse_teleso(b.rec());
        s = tarvo::save_body(path, b.rec());
    }
    check(s);
}

py::tuple load(const std::string& path, bool packed) {
    whole_text(path);
    TelesoRecord rec;
    tarvo::LoadInfo info;
    tarvo::Status s;
    {
        py::gil_scoped_release free;
        s = tarvo::load_body(path, rec, &info, true);
    }
    check(s);
    Bitmap b = Bitmap::adopt(rec);
    py::list fields;
    for (std::size_t f = 0; f < info.header.whole_fields; ++f) fields.append(info.header.fields[f]);
    const py::object slot = info.header.bytes == tarvo::kHeaderBytes ? py::object(py::int_(info.header.slot)) : py::none();
    const tarvo::StreamFacts& st = info.stream;
    const py::tuple stream = py::make_tuple(st.code_bytes, st.surplus_bytes, st.voxels_coded, st.voxels_needed,
                                            st.ends_early(), info.file_bytes);
    py::array voxels = packed ? b.into_array() : unpacked_array(b);
    return py::make_tuple(voxels, fields, slot, stream);
}

py::array pack(py::object voxels, py::object dim) {
    const Particle p = particle_of(voxels, dim, "voxels");
    return own_bitmap(p).into_array();
}

py::array unpack(py::object voxels, py::object dim) {
    const Particle p = particle_of(voxels, dim, "voxels");
    return unpacked_array(bitmap_of(p));
}

// The library's mesh as numpy arrays: vertices (V, 3) float32, faces (F, 3) int64, parts (F,) uint8.
py::tuple mesh_arrays(const Mesh& m) {
    const auto v = static_cast<py::ssize_t>(m.vertex_count()), f = static_cast<py::ssize_t>(m.triangle_count());
    py::array_t<float> vertices({v, py::ssize_t{3}});
    py::array_t<std::int64_t> faces({f, py::ssize_t{3}});
    py::array_t<std::uint8_t> parts(f);
    {
        py::gil_scoped_release free;
        std::copy(m.vertices.begin(), m.vertices.end(), vertices.mutable_data());
        std::copy(m.triangles.begin(), m.triangles.end(), faces.mutable_data());
        std::transform(m.parts.begin(), m.parts.end(), parts.mutable_data(),
                       [](MeshPart p) { return static_cast<std::uint8_t>(p); });
    }
    return py::make_tuple(vertices, faces, parts);
}

py::tuple mesh(py::object voxels, bool smooth, py::object cut, py::object dim) {
    const Particle p = particle_of(voxels, dim, "voxels");
    MeshOptions options;
    options.kind = smooth ? MeshKind::kSmooth : MeshKind::kBoundary;
    if (!cut.is_none()) {
        const auto lengths = cut.cast<std::vector<Length>>();
        if (lengths.size() != 3) throw py::value_error("cut must be three lengths (x, y, z)");
        options.cut = CutLengths{cut_length(lengths[0]), cut_length(lengths[1]), cut_length(lengths[2])};
    }
    const Bitmap b = bitmap_of(p);
    Mesh m;
    tarvo::Status s;
    {
        py::gil_scoped_release free;
        s = make_mesh(b.rec(), options, m);
    }
    check(s);
    return mesh_arrays(m);
}

// An (n, 3) array of `what`, as the library wants it: C-contiguous of type T (converted).
template <class T>
py::array_t<T, py::array::c_style | py::array::forcecast> rows_of_three(const py::object& object, const char* what) {
    auto a = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(object);
    if (!a || a.ndim() != 2 || a.shape(1) != 3)
        throw py::value_error(std::string(what) + " must have shape (n, 3)");
    return a;
}

void write_mesh_file(const std::string& path, py::object vertices, py::object faces, py::object parts, bool ascii) {
    const std::optional<MeshFormat> format = mesh_format_of(path);
    if (!format) throw py::value_error("the file's name must end in .stl, .ply or .obj: " + path);
    const py::array kinds = py::array::ensure(faces);
    if (!kinds || (kinds.dtype().kind() != 'i' && kinds.dtype().kind() != 'u'))
        throw py::type_error("faces must hold integer vertex indices");
    const auto v = rows_of_three<float>(vertices, "vertices");
    const auto f = rows_of_three<std::int64_t>(faces, "faces");
    Mesh m;
    m.vertices.assign(v.data(), v.data() + v.size());
    const std::int64_t count = v.shape(0);
    m.triangles.reserve(static_cast<std::size_t>(f.size()));
    for (py::ssize_t i = 0; i < f.size(); ++i) {
        const std::int64_t index = f.data()[i];
        if (index < 0 || index >= count)
            throw py::value_error("faces[" + std::to_string(i / 3) + "] names vertex " + std::to_string(index) + " of " +
                                  std::to_string(count));
        m.triangles.push_back(static_cast<std::uint32_t>(index));
    }
    m.parts.assign(static_cast<std::size_t>(f.shape(0)), MeshPart::kSurface);
    if (!parts.is_none()) {
        const auto a = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(parts);
        if (!a || a.ndim() != 1 || a.shape(0) != f.shape(0))
            throw py::value_error("parts must have one value a face");
        for (py::ssize_t i = 0; i < a.size(); ++i) {
            if (a.data()[i] < 0 || a.data()[i] >= kMeshParts)
                throw py::value_error("parts[" + std::to_string(i) + "] is " + std::to_string(a.data()[i]) +
                                      ", not 0 (surface), 1 (cut) or 2 (pore)");
            m.parts[static_cast<std::size_t>(i)] = static_cast<MeshPart>(a.data()[i]);
        }
    }
    tarvo::Status s;
    {
        py::gil_scoped_release free;
        s = tarvo::write_mesh(path, m, *format, ascii);
    }
    check(s);
}

// ---------------------------------------------------------------------------------------------
// Labelled volumes as the program reads and writes them (volumes room): TIFF stacks and NRRD.

// The volumes room's failures name the file and say why: ValueError, in its words.
template <class Work>
auto with_volume_failures(Work&& work) {
    try {
        return work();
    } catch (const tarvo::volumes::Failure& e) {
        raise_object(PyExc_ValueError, decoded(e.what()));
    } catch (const tarvo::volumes::UsageError& e) {
        raise_object(PyExc_ValueError, decoded(e.what()));
    }
}

bool tiff_or_nrrd(const std::string& path) {
    const std::string ext = tarvo::volumes::lower_extension(path);
    return tarvo::volumes::is_tiff_name(path) || ext == ".nrrd" || ext == ".nhdr";
}

// The labels of a TIFF stack or an NRRD as an array [z, y, x] of their type, with the voxel size
// (x, y, z) and unit, or None when the file gives none.
py::tuple read_volume(const std::string& path) {
    if (!tiff_or_nrrd(path)) throw py::value_error("read_volume reads TIFF stacks and NRRD (.tif, .tiff, .nrrd, .nhdr): '" + printable(path) + "'");
    return with_volume_failures([&] {
        const tarvo::volumes::LabelLayout l = tarvo::volumes::layout_of(path, nullptr, nullptr);
        if (l.is_signed)
            throw py::value_error("'" + printable(path) + "' holds signed values; read_volume reads labels (uint8, uint16, uint32)");
        const std::string dtype = l.width == 1 ? "u1" : l.width == 2 ? "<u2" : "<u4";
        py::array labels(py::dtype(dtype), std::vector<py::ssize_t>{l.size[2], l.size[1], l.size[0]});
        auto* out = static_cast<std::uint8_t*>(labels.mutable_data());
        std::vector<std::uint32_t> row(static_cast<std::size_t>(l.size[0]));
        tarvo::volumes::LabelRows rows(path, l);
        for (std::int64_t r = 0; r < l.size[1] * l.size[2]; ++r) {
            rows.next(row.data());
            tarvo::volumes::encode_labels(row.data(), row.size(), l.width, out + r * l.size[0] * l.width);
        }
        rows.finish();
        py::object spacing = py::none();
        if (l.voxel_size.known) spacing = py::make_tuple(l.voxel_size.size[0], l.voxel_size.size[1], l.voxel_size.size[2]);
        return py::make_tuple(labels, spacing, l.voxel_size.unit);
    });
}

// The safe output (replaced whole or left as it was), as the volumes room's writers see it.
class OutputSink : public tarvo::volumes::VolumeSink {
public:
    explicit OutputSink(const std::string& path) : path_(path) {}
    void open() override { check(out_.open(path_)); }
    void write(const void* bytes, std::size_t n) override { check(out_.write(static_cast<const std::uint8_t*>(bytes), n)); }
    void commit() override { check(out_.commit()); }

private:
    std::string path_;
    tarvo::Output out_;
};

// labels: C-contiguous [z, y, x] of uint8, uint16 or uint32 in the machine's order (the package
// checks); spacing None or (x, y, z).
void write_volume(const std::string& path, const py::array& labels, const std::optional<std::array<double, 3>>& spacing,
                  const std::string& unit) {
    if (!tiff_or_nrrd(path) || tarvo::volumes::lower_extension(path) == ".nhdr")
        throw py::value_error("write_volume writes TIFF stacks and NRRD (.tif, .tiff, .nrrd): '" + printable(path) + "'");
    if (!unit.empty() && !tarvo::volumes::plain_unit(unit))
        throw py::value_error("unit '" + printable(unit) + "' is not a plain word such as um or mm");
    tarvo::volumes::VoxelSize size;
    if (spacing) {
        size.known = true;
        size.size = *spacing;
        size.unit = unit;
    }
    const int width = static_cast<int>(labels.itemsize());
    const std::array<std::int64_t, 3> extent{labels.shape(2), labels.shape(1), labels.shape(0)};
    const auto* data = static_cast<const std::uint8_t*>(labels.data());
    const std::size_t layer_voxels = static_cast<std::size_t>(extent[0] * extent[1]);
    OutputSink out(path);
    with_volume_failures([&] {
        tarvo::volumes::write_label_volume(path, out, extent, width, size, [&](std::int64_t z, std::vector<std::uint32_t>& layer) {
            tarvo::volumes::decode_labels(data + static_cast<std::size_t>(z) * layer_voxels * width, layer_voxels, width,
                                          false, layer.data());
        });
        return 0;
    });
}

}  // namespace
}  // namespace tarvo::binding

PYBIND11_MODULE(_tarvo, m) {
    using namespace tarvo::binding;
    if (const std::string refused = tarvo::kernel_refusal(); !refused.empty()) throw py::import_error(refused);
    // Python has its own signal handlers; a temporary file left by a killed interpreter is named
    // .<name>.<random>.tmp beside the output.
    tarvo::set_signal_guard(false);
    static py::exception<FormatErrorTag> format_error(m, "FormatError", PyExc_ValueError);
    format_error_type = format_error.ptr();
    const auto none = py::none();
    m.def("load", &load, py::arg("path"), py::arg("packed"));
    m.def("measure", &measure, py::arg("voxels"), py::arg("dim") = none);
    m.def("cut", &cut, py::arg("voxels"), py::arg("x"), py::arg("y"), py::arg("z"), py::arg("out") = none,
          py::arg("dim") = none);
    m.def("cut_plane", &cut_plane, py::arg("voxels"), py::arg("normal"), py::arg("through"), py::arg("keep_plus"),
          py::arg("out") = none, py::arg("dim") = none);
    m.def("beyond", &beyond, py::arg("voxels"), py::arg("x"), py::arg("y"), py::arg("z"), py::arg("dim") = none);
    m.def("properties", &properties, py::arg("voxels"), py::arg("dim") = none, py::arg("spacing") = none);
    m.def("section", &section, py::arg("voxels"), py::arg("normal"), py::arg("through") = none, py::arg("dim") = none,
          py::arg("spacing") = none);
    m.def("number", &number, py::arg("text"), py::arg("what"));
    m.def("save", &save, py::arg("path"), py::arg("voxels"), py::arg("dim") = none);
    m.def("pack", &pack, py::arg("voxels"), py::arg("dim") = none);
    m.def("unpack", &unpack, py::arg("voxels"), py::arg("dim") = none);
    m.def("mesh", &mesh, py::arg("voxels"), py::arg("smooth"), py::arg("cut"), py::arg("dim") = none);
    m.def("write_mesh", &write_mesh_file, py::arg("path"), py::arg("vertices"), py::arg("faces"), py::arg("parts"),
          py::arg("ascii"));
    m.def("read_volume", &read_volume, py::arg("path"));
    m.def("write_volume", &write_volume, py::arg("path"), py::arg("labels"), py::arg("spacing"), py::arg("unit"));
    m.attr("MAX_DIM") = tarvo::kMaxDim;
}
