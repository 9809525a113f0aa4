// STL, PLY and OBJ files of a mesh, written through the library's safe output in pieces.
#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "files/output.h"
#include "tarvo/mesh.h"

namespace tarvo {

std::optional<MeshFormat> mesh_format_of(const std::string& path) {
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return std::nullopt;
    std::string ext = path.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (ext == "stl") return MeshFormat::kStl;
    if (ext == "ply") return MeshFormat::kPly;
    if (ext == "obj") return MeshFormat::kObj;
    return std::nullopt;
}

namespace {

constexpr std::size_t kPiece = std::size_t{1} << 20;

// Bytes gathered and handed to the output a piece at a time; the first failure is kept.
class Sink {
public:
    explicit Sink(Output& out) : out_(out) { buffer_.reserve(kPiece + 256); }
    void text(std::string_view s) {
        buffer_.append(s);
        flush_if_full();
    }
    void number(float v) {
        char buf[32];
        const auto r = std::to_chars(buf, buf + sizeof buf, v);
        buffer_.append(buf, r.ptr);
    }
    void number(std::uint64_t v) {
        char buf[24];
        const auto r = std::to_chars(buf, buf + sizeof buf, v);
        buffer_.append(buf, r.ptr);
    }
    // Little-endian, whatever the machine.
    template <class T>
    void binary(T v) {
        char bytes[sizeof(T)];
        std::memcpy(bytes, &v, sizeof(T));
        if constexpr (std::endian::native == std::endian::big) std::reverse(bytes, bytes + sizeof(T));
        buffer_.append(bytes, sizeof(T));
    }
    void flush_if_full() {
        if (buffer_.size() >= kPiece) flush();
    }
    Status finish() {
        flush();
        if (!status_) return status_;
        return out_.commit();
    }

private:
    void flush() {
        if (status_ && !buffer_.empty())
            status_ = out_.write(reinterpret_cast<const std::uint8_t*>(buffer_.data()), buffer_.size());
        buffer_.clear();
    }
    Output& out_;
    std::string buffer_;
    Status status_;
};

const float* vertex(const Mesh& m, std::uint32_t v) { return m.vertices.data() + 3 * std::size_t{v}; }

// The unit normal of triangle k by the right-hand rule (zero for a degenerate one).
std::array<float, 3> normal_of(const Mesh& m, std::size_t k) {
    const float *a = vertex(m, m.triangles[3 * k]), *b = vertex(m, m.triangles[3 * k + 1]), *c = vertex(m, m.triangles[3 * k + 2]);
    const double u[3] = {double{b[0]} - a[0], double{b[1]} - a[1], double{b[2]} - a[2]};
    const double v[3] = {double{c[0]} - a[0], double{c[1]} - a[1], double{c[2]} - a[2]};
    const double n[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
    const double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    if (len == 0) return {0, 0, 0};
    return {static_cast<float>(n[0] / len), static_cast<float>(n[1] / len), static_cast<float>(n[2] / len)};
}

void triple(Sink& s, const float* p) {
    s.number(p[0]);
    s.text(" ");
    s.number(p[1]);
    s.text(" ");
    s.number(p[2]);
}

void write_stl(Sink& s, const Mesh& m, bool ascii) {
    if (ascii) {
        s.text("solid tarvo\n");
        for (std::size_t k = 0; k < m.triangle_count(); ++k) {
            const auto n = normal_of(m, k);
            s.text("facet normal ");
            triple(s, n.data());
            s.text("\n outer loop\n");
            for (int c = 0; c < 3; ++c) {
                s.text("  vertex ");
                triple(s, vertex(m, m.triangles[3 * k + c]));
                s.text("\n");
            }
            s.text(" endloop\nendfacet\n");
        }
        s.text("endsolid tarvo\n");
        return;
    }
    std::string header = "tarvo surface, voxel units";
    header.resize(80, ' ');
    s.text(header);
    s.binary(static_cast<std::uint32_t>(m.triangle_count()));
    for (std::size_t k = 0; k < m.triangle_count(); ++k) {
        for (float f : normal_of(m, k)) s.binary(f);
        for (int c = 0; c < 3; ++c)
            for (int i = 0; i < 3; ++i) s.binary(vertex(m, m.triangles[3 * k + c])[i]);
        s.binary(std::uint16_t{0});
        s.flush_if_full();
    }
}

void write_ply(Sink& s, const Mesh& m, bool ascii) {
    s.text(ascii ? "ply\nformat ascii 1.0\n" : "ply\nformat binary_little_endian 1.0\n");
    s.text("comment tarvo surface in voxel units; face colours: surface, cut face, pore walls\nelement vertex ");
    s.number(std::uint64_t{m.vertex_count()});
    s.text("\nproperty float x\nproperty float y\nproperty float z\nelement face ");
    s.number(std::uint64_t{m.triangle_count()});
    s.text("\nproperty list uchar int vertex_indices\nproperty uchar red\nproperty uchar green\nproperty uchar blue\n"
           "end_header\n");
    for (std::size_t v = 0; v < m.vertex_count(); ++v) {
        if (ascii) {
            triple(s, vertex(m, static_cast<std::uint32_t>(v)));
            s.text("\n");
        } else {
            for (int i = 0; i < 3; ++i) s.binary(vertex(m, static_cast<std::uint32_t>(v))[i]);
        }
        s.flush_if_full();
    }
    for (std::size_t k = 0; k < m.triangle_count(); ++k) {
        const auto& colour = kPartColours[static_cast<int>(m.parts[k])];
        if (ascii) {
            s.text("3");
            for (int c = 0; c < 3; ++c) {
                s.text(" ");
                s.number(std::uint64_t{m.triangles[3 * k + c]});
            }
            for (std::uint8_t b : colour) {
                s.text(" ");
                s.number(std::uint64_t{b});
            }
            s.text("\n");
        } else {
            s.binary(std::uint8_t{3});
            for (int c = 0; c < 3; ++c) s.binary(static_cast<std::int32_t>(m.triangles[3 * k + c]));
            for (std::uint8_t b : colour) s.binary(b);
        }
        s.flush_if_full();
    }
}

void write_obj(Sink& s, const Mesh& m) {
    s.text("# tarvo surface in voxel units; groups: surface, cut (the cut face), pores (enclosed pore walls)\n");
    for (std::size_t v = 0; v < m.vertex_count(); ++v) {
        s.text("v ");
        triple(s, vertex(m, static_cast<std::uint32_t>(v)));
        s.text("\n");
    }
    int group = -1;
    for (std::size_t k = 0; k < m.triangle_count(); ++k) {
        if (static_cast<int>(m.parts[k]) != group) {
            group = static_cast<int>(m.parts[k]);
            s.text("g ");
            s.text(kPartNames[group]);
            s.text("\n");
        }
        s.text("f");
        for (int c = 0; c < 3; ++c) {
            s.text(" ");
            s.number(std::uint64_t{m.triangles[3 * k + c]} + 1);
        }
        s.text("\n");
    }
}

}  // namespace

Status write_mesh(const std::string& path, const Mesh& mesh, MeshFormat format, bool ascii, Protected protect) {
    // PLY's indices are signed 32-bit, binary STL counts in 32 bits.
    if (mesh.vertex_count() > std::numeric_limits<std::int32_t>::max() ||
        mesh.triangle_count() > std::numeric_limits<std::uint32_t>::max())
        return fail(Error::kWriteOutput, path, EOVERFLOW);
    Output out;
    if (Status s = out.open(path, protect); !s) return s;
    Sink sink(out);
    switch (format) {
        case MeshFormat::kStl:
            write_stl(sink, mesh, ascii);
            break;
        case MeshFormat::kPly:
            write_ply(sink, mesh, ascii);
            break;
        case MeshFormat::kObj:
            write_obj(sink, mesh);
            break;
    }
    return sink.finish();
}

}  // namespace tarvo
