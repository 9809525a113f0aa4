// Fuzz target for the shape form file. One input is the bytes of a *.3d file. It is read the way
// the program reads it (Read_teleso_header and Read_teleso_voxels on an open stream) and compared
// with the per-voxel reference reader, the companion tools' quiet loader and stream scan, and a
// decoder written here from the format's rules. It is written again (fast writer, per-voxel
// writer and an encoder written here must agree byte for byte), read back and written a second
// time (same voxels, same bytes). The header slot, which readers ignore, selects three cut
// lengths for a comparison of the measurement and the cut with their per-voxel references.
//
// Built two ways: with libFuzzer (fuzz/run-fuzzer.sh) and as a plain program that replays a
// folder of inputs (shape_form_replay.cpp), which CTest runs over fuzz/corpus.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "geometry/geometry.h"
#include "teleso/format.h"
#include "teleso/teleso.h"

using namespace shape_form;

namespace {

// Grids above this edge make every input slow without reaching new code: the stream of a larger
// grid is decoded by the same loops. Headers with a larger dim are still checked, not read.
constexpr std::int32_t kFuzzMaxDim = 64;

using Bytes = std::vector<std::uint8_t>;

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "shape form fuzz: check failed: %s\n", what);
    std::abort();
}

std::size_t padded_bytes(const TelesoRecord& rec) {
    return (static_cast<std::size_t>(rec.size) + 7) / 8 * 8;
}

std::size_t voxel_count(std::int32_t dim) {
    return static_cast<std::size_t>(dim) * static_cast<std::size_t>(dim) * static_cast<std::size_t>(dim);
}

std::FILE* stream_over(const std::uint8_t* data, std::size_t size) {
    static std::uint8_t none = 0;
    std::FILE* f = fmemopen(size == 0 ? &none : const_cast<std::uint8_t*>(data), size, "rb");
    check(f != nullptr, "fmemopen");
    return f;
}

// The decoder written from the format's rules alone: literal or marker + value, bytes past the
// end read as FF, values 1..127 set their voxel. Returns the bitmap, padded like the body's.
Bytes model_decode(const std::uint8_t* stream, std::size_t length, std::int32_t dim, std::size_t padded) {
    Bytes bits(padded, 0);
    std::size_t pos = 0;
    auto next = [&]() -> std::uint8_t { return pos < length ? stream[pos++] : (++pos, 0xFF); };
    const std::size_t total = voxel_count(dim);
    std::size_t i = 0;
    while (i < total) {
        const std::uint8_t b = next();
        std::size_t count = 1;
        std::uint8_t value = b;
        if (b >= 0xC0) {
            count = (b & 0x3F) == 0 ? 1 : (b & 0x3F);
            value = next();
        }
        for (std::size_t k = 0; k < count && i < total; ++k, ++i)
            if (value >= 1 && value <= 127) bits[i / 8] = static_cast<std::uint8_t>(bits[i / 8] | (1u << (i % 8)));
    }
    return bits;
}

// The encoder written from the format's rules: greedy runs of at most 63 equal values, a run of 3
// or more as a marker and its value, a shorter run as literals.
Bytes model_encode(const TelesoRecord& rec) {
    Bytes out;
    const std::size_t total = voxel_count(rec.dim);
    auto value = [&rec](std::size_t i) -> std::uint8_t { return (rec.data[i / 8] >> (i % 8)) & 1; };
    for (std::size_t i = 0; i < total;) {
        const std::uint8_t v = value(i);
        std::size_t run = 1;
        while (i + run < total && run < 63 && value(i + run) == v) ++run;
        if (run >= 3) {
            out.push_back(static_cast<std::uint8_t>(0xC0 + run));
            out.push_back(v);
        } else {
            out.insert(out.end(), run, v);
        }
        i += run;
    }
    return out;
}

Bytes written_by(bool (*writer)(std::FILE*, const TelesoRecord&), const TelesoRecord& rec) {
    char* buf = nullptr;
    std::size_t len = 0;
    std::FILE* f = open_memstream(&buf, &len);
    check(f != nullptr, "open_memstream");
    check(writer(f, rec), "writer reports success on a memory stream");
    check(std::fclose(f) == 0, "closing the memory stream");
    Bytes out(reinterpret_cast<std::uint8_t*>(buf), reinterpret_cast<std::uint8_t*>(buf) + len);
    std::free(buf);
    return out;
}

bool same_record_fields(const TelesoRecord& a, const TelesoRecord& b) {
    return a.size == b.size && a.dim == b.dim && a.x_min == b.x_min && a.x_max == b.x_max &&
           a.y_min == b.y_min && a.y_max == b.y_max && a.z_min == b.z_min && a.z_max == b.z_max &&
           a.x_mean == b.x_mean && a.y_mean == b.y_mean && a.z_mean == b.z_mean && a.voxels == b.voxels;
}

bool same_bitmap(const TelesoRecord& a, const TelesoRecord& b) {
    return a.size == b.size && std::memcmp(a.data, b.data, padded_bytes(a)) == 0;
}

// Texts as a user might type them, including the special values atof accepts.
const char* const kCutTexts[] = {"1",   "2",    "3",   "6",    "99999", "0",   "-0", "-1",
                                 "0.5", "-2.5", "inf", "-inf", "nan",   "1e-40", "0x10", "abc"};

void compare_geometry(const TelesoRecord& body, const std::uint8_t* slot) {
    TelesoRecord fast, ref;
    check(teleso::allocate_body(fast, body.dim) && teleso::allocate_body(ref, body.dim), "allocating copies");
    std::memcpy(fast.data, body.data, padded_bytes(body));
    std::memcpy(ref.data, body.data, padded_bytes(body));
    Analyse_teleso(fast);
    geometry::per_voxel::analyse(ref);
    check(same_record_fields(fast, ref), "Analyse_teleso matches the per-voxel measurement");
    const Center c = Get_center(fast);
    const float x_cut = Cut_length(kCutTexts[slot[0] % 16]);
    const float y_cut = Cut_length(kCutTexts[slot[1] % 16]);
    const float z_cut = Cut_length(kCutTexts[slot[2] % 16]);
    Cut_teleso(fast, c, x_cut, y_cut, z_cut);
    geometry::per_voxel::cut(ref, c, x_cut, y_cut, z_cut);
    check(same_bitmap(fast, ref), "Cut_teleso matches the per-voxel cut");
    Analyse_teleso(fast);
    geometry::per_voxel::analyse(ref);
    check(same_record_fields(fast, ref), "measurement after the cut matches");
    teleso::release_body(fast);
    teleso::release_body(ref);
}

// The companion tools' quiet loader opens files by name: the input as an in-memory file.
class NamedInput {
public:
    NamedInput(const std::uint8_t* data, std::size_t size) : fd_(memfd_create("fuzz-input", 0)) {
        check(fd_ >= 0, "memfd_create");
        for (std::size_t done = 0; done < size;) {
            const ssize_t k = write(fd_, data + done, size - done);
            check(k > 0, "writing the in-memory file");
            done += static_cast<std::size_t>(k);
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~NamedInput() { close(fd_); }
    NamedInput(const NamedInput&) = delete;
    NamedInput& operator=(const NamedInput&) = delete;
    const char* path() const { return path_.c_str(); }

private:
    int fd_;
    std::string path_;
};

// The stream facts as the format defines them: codes consumed until dim^3 values are coded (a
// marker whose value byte is missing codes nothing), the rest surplus.
teleso::StreamFacts model_facts(const std::uint8_t* stream, std::size_t length, std::int32_t dim) {
    teleso::StreamFacts f;
    f.voxels_needed = static_cast<std::int64_t>(voxel_count(dim));
    std::size_t pos = 0;
    while (pos < length && f.voxels_coded < f.voxels_needed) {
        const std::uint8_t b = stream[pos++];
        if (!is_marker(b)) {
            ++f.voxels_coded;
        } else if (pos < length) {
            ++pos;
            f.voxels_coded += marker_count(b);
        }
    }
    if (f.voxels_coded > f.voxels_needed) f.voxels_coded = f.voxels_needed;
    f.code_bytes = pos;
    f.surplus_bytes = length - pos;
    return f;
}

// The quiet loader refuses what the program refuses and otherwise loads the same body.
void compare_quiet_loader(const std::uint8_t* data, std::size_t size, bool refused, const TelesoRecord* program) {
    NamedInput input(data, size);
    TelesoRecord quiet;
    teleso::LoadReport report;
    std::string error;
    const bool loaded = teleso::load_body(input.path(), quiet, report, error);
    check(loaded == !refused, "load_body refuses what the program refuses");
    check(loaded == error.empty(), "load_body explains a refusal and only a refusal");
    check(report.file_bytes == size, "load_body reports the file's length");
    check(report.header_bytes == (size < kHeaderBytes ? size : kHeaderBytes), "load_body reports the header's length");
    if (!loaded) {
        check(quiet.data == nullptr, "a refused load holds no bitmap");
        return;
    }
    check(same_bitmap(quiet, *program) && same_record_fields(quiet, *program), "load_body loads the program's body");
    teleso::release_body(quiet);

    teleso::StreamFacts facts;
    check(teleso::scan_stream(input.path(), program->dim, facts, error), "scan_stream reads an in-memory file");
    const std::size_t header_length = report.header_bytes;
    const teleso::StreamFacts expected = model_facts(data + header_length, size - header_length, program->dim);
    check(facts.voxels_needed == expected.voxels_needed && facts.voxels_coded == expected.voxels_coded &&
              facts.code_bytes == expected.code_bytes && facts.surplus_bytes == expected.surplus_bytes,
          "scan_stream counts the stream as the format defines it");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The readers print the program's transcript; only the checks' reports matter here.
    const int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) {
        std::fflush(stdout);
        dup2(null_fd, STDOUT_FILENO);
        close(null_fd);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const HeaderImage header = parse_header(data, size);
    const HeaderProblem problem = check_header(header);
    if (size < kMinHeaderBytes) {
        check(problem == HeaderProblem::kNoEdgeLength, "an input under 8 bytes has no edge length");
    } else {
        const std::int64_t dim = load_le32(data + kOffsetDim);
        check(header.dim() == dim, "dim is the little-endian field at offset 4");
        const bool in_range = dim >= 0 && dim <= teleso::kMaxDim;
        check(problem == (in_range ? HeaderProblem::kNone : HeaderProblem::kEdgeOutOfRange),
              "check_header refuses exactly the dims outside 0..1290");
    }
    if (problem == HeaderProblem::kNone && header.dim() > kFuzzMaxDim) return 0;

    // The program's own path.
    std::FILE* in = stream_over(data, size);
    TelesoRecord rec;
    const int refused = Read_teleso_header(in, rec, "fuzz input");
    check((refused != 0) == (problem != HeaderProblem::kNone), "Read_teleso_header refuses what check_header refuses");
    if (refused) {
        check(rec.data == nullptr, "a refused header allocates nothing");
        std::fclose(in);
        compare_quiet_loader(data, size, true, nullptr);
        return 0;
    }
    const std::int32_t dim = header.dim();
    check(rec.dim == dim && rec.size == teleso::bitmap_size(dim) && rec.data != nullptr,
          "the body has the header's edge length");
    const std::size_t header_length = size < kHeaderBytes ? size : kHeaderBytes;
    const std::int32_t* const measured[] = {&rec.x_min, &rec.x_max, &rec.y_min, &rec.y_max, &rec.z_min,
                                            &rec.z_max, &rec.x_mean, &rec.y_mean, &rec.z_mean, &rec.voxels};
    for (std::size_t k = 0; k < std::size(measured); ++k) {
        const std::size_t offset = kOffsetXMin + k * kFieldBytes;
        const std::int32_t expected = offset + kFieldBytes <= header_length ? load_le32(data + offset) : 0;
        check(*measured[k] == expected, "measurement fields keep the whole fields read");
    }
    check(Read_teleso_voxels(in, rec, "fuzz input") == 0, "reading a memory stream succeeds");
    std::fclose(in);

    const std::uint8_t* stream = data + header_length;
    const std::size_t stream_length = size - header_length;
    const Bytes expected_bits = model_decode(stream, stream_length, dim, padded_bytes(rec));
    check(std::memcmp(rec.data, expected_bits.data(), expected_bits.size()) == 0,
          "the voxels read are those the format defines");

    TelesoRecord ref;
    check(teleso::allocate_body(ref, dim), "allocating the reference body");
    std::FILE* ref_in = stream_over(stream, stream_length);
    check(teleso::per_voxel::read_voxels(ref_in, ref), "the per-voxel reader succeeds");
    std::fclose(ref_in);
    check(same_bitmap(rec, ref), "reader matches the per-voxel reader");
    teleso::release_body(ref);

    // Writing: every writer gives the bytes the format defines.
    const Bytes first = written_by(teleso::write_body, rec);
    check(first == written_by(teleso::per_voxel::write_body, rec), "writer matches the per-voxel writer");
    const auto image = header_image(rec);
    check(first.size() >= kHeaderBytes && std::equal(image.begin(), image.end(), first.begin()),
          "the file starts with the record's header image");
    const Bytes model_stream = model_encode(rec);
    check(first.size() == kHeaderBytes + model_stream.size() &&
              std::equal(model_stream.begin(), model_stream.end(), first.begin() + kHeaderBytes),
          "the voxel stream is the format's encoding");

    // Round trip: the written file reads back into the same body and writes the same bytes.
    const HeaderImage back_header = parse_header(first.data(), first.size());
    check(check_header(back_header) == HeaderProblem::kNone && back_header.dim() == dim, "written header reads back");
    TelesoRecord back;
    check(teleso::allocate_body(back, dim), "allocating the round-trip body");
    apply_header(back_header, back);
    std::FILE* back_in = stream_over(first.data() + kHeaderBytes, first.size() - kHeaderBytes);
    check(teleso::read_voxels(back_in, back), "reading the written stream succeeds");
    std::fclose(back_in);
    check(same_bitmap(rec, back) && same_record_fields(rec, back), "round trip keeps the body");
    check(written_by(teleso::write_body, back) == first, "a second write gives the same bytes");
    teleso::release_body(back);

    compare_quiet_loader(data, size, false, &rec);
    if (size >= kOffsetSlot + 3) compare_geometry(rec, data + kOffsetSlot);
    teleso::release_body(rec);
    return 0;
}
