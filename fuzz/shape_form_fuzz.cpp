// Fuzz target for the shape form file and its codec. One input is the bytes of a *.3d file.
//
// Reading: the stream reader, fed the stream in pieces of every size it allows, by every decoding
// path, must give the values of the byte-at-a-time reference decoder (Next_rle_byte) and of a
// decoder written here from the format's rules, stop where the reference stops and count the
// stream as the format defines it; the library's load path (from an in-memory file) must refuse
// what the header check refuses and otherwise load, by every decoding path, the same bitmap with
// the same facts, measured as voxel by voxel.
// Writing: the stream writer, given the input's bytes as runs of values and as bitmap words, must
// write the bytes of Put_rle_byte; the body's file must be the reference writer's and an encoder's
// written here; it must read back into the same body and write the same bytes again.
// Geometry: the header slot, which readers ignore, selects three cut lengths for a comparison of
// the measurement and the cut (and what it measures on the way) with their voxel-by-voxel
// references.
//
// Built two ways: with libFuzzer (fuzz/run-fuzzer.sh) and as a plain program that replays a
// folder of inputs (shape_form_replay.cpp), which CTest runs over fuzz/corpus.
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

#include "geometry/passes.h"
#include "codec/counter.h"
#include "codec/reader.h"
#include "codec/writer.h"
#include "format/format.h"
#include "files/io.h"
#include "codec/reference.h"
#include "tarvo/body.h"

using namespace tarvo;

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

std::FILE* stream_over(const std::uint8_t* data, std::size_t size) {
    static std::uint8_t none = 0;
    std::FILE* f = fmemopen(size == 0 ? &none : const_cast<std::uint8_t*>(data), size, "rb");
    check(f != nullptr, "fmemopen");
    return f;
}

Bytes bitmap_of(const TelesoRecord& rec) { return Bytes(rec.data, rec.data + padded_bytes(rec.size)); }

// ---------------------------------------------------------------------------------------------
// Models written from the format's rules alone.

// Literal or marker + value, bytes past the end read as FF, values 1..127 set their voxel.
Bytes model_decode(const std::uint8_t* stream, std::size_t length, std::int32_t dim) {
    Bytes bits(padded_bytes(bitmap_size(dim)), 0);
    std::size_t pos = 0;
    auto next = [&]() -> std::uint8_t { return pos < length ? stream[pos++] : (++pos, 0xFF); };
    const std::int64_t total = voxel_count(dim);
    for (std::int64_t i = 0; i < total;) {
        const std::uint8_t b = next();
        std::int64_t count = 1;
        std::uint8_t value = b;
        if (b >= 0xC0) {
            count = (b & 0x3F) == 0 ? 1 : (b & 0x3F);
            value = next();
        }
        for (std::int64_t k = 0; k < count && i < total; ++k, ++i)
            if (value >= 1 && value <= 127) bits[i / 8] = static_cast<std::uint8_t>(bits[i / 8] | (1u << (i % 8)));
    }
    return bits;
}

// Codes consumed until dim^3 values are coded (a marker whose value byte is missing codes
// nothing), the rest surplus.
StreamFacts model_facts(const std::uint8_t* stream, std::size_t length, std::int32_t dim) {
    StreamFacts f;
    f.voxels_needed = voxel_count(dim);
    std::size_t pos = 0;
    while (pos < length && f.voxels_coded < f.voxels_needed) {
        const std::uint8_t b = stream[pos++];
        if (b < 0xC0) {
            ++f.voxels_coded;
        } else if (pos < length) {
            ++pos;
            f.voxels_coded += (b & 0x3F) == 0 ? 1 : (b & 0x3F);
        }
    }
    f.voxels_coded = std::min(f.voxels_coded, f.voxels_needed);
    f.code_bytes = pos;
    f.surplus_bytes = length - pos;
    return f;
}

// Greedy runs of at most 63 equal values, a run of 3 or more as a marker and its value, a shorter
// run as literals.
Bytes model_encode(const TelesoRecord& rec) {
    Bytes out;
    const std::int64_t total = voxel_count(rec.dim);
    for (std::int64_t i = 0; i < total;) {
        const std::uint8_t v = voxel_at(rec, i) ? 1 : 0;
        std::int64_t run = 1;
        while (i + run < total && run < 63 && (voxel_at(rec, i + run) ? 1 : 0) == v) ++run;
        if (run >= 3) {
            out.push_back(static_cast<std::uint8_t>(0xC0 + run));
            out.push_back(v);
        } else {
            out.insert(out.end(), static_cast<std::size_t>(run), v);
        }
        i += run;
    }
    return out;
}

bool same_facts(const StreamFacts& a, const StreamFacts& b) {
    return a.voxels_needed == b.voxels_needed && a.voxels_coded == b.voxels_coded && a.code_bytes == b.code_bytes &&
           a.surplus_bytes == b.surplus_bytes;
}

// ---------------------------------------------------------------------------------------------
// The codec against the reference.

// Collects the reader's output as one value a voxel.
struct ValueSink {
    Bytes values;
    void run(std::uint8_t v, std::int64_t count) { values.insert(values.end(), static_cast<std::size_t>(count), v); }
    void literals(const std::uint8_t* p, std::size_t k) { values.insert(values.end(), p, p + k); }
};

// The stream in pieces: at most want() bytes, and fewer as `sizes` says (cycling through it).
ValueSink decode_in_pieces(const std::uint8_t* stream, std::size_t length, std::int32_t dim, const Bytes& sizes,
                           StreamFacts& facts, Kernel path) {
    StreamReader reader(voxel_count(dim), path);
    ValueSink sink;
    std::size_t pos = 0;
    for (std::size_t k = 0; pos < length && reader.want() > 0; ++k) {
        const std::size_t piece = sizes.empty() ? reader.want() : 1 + sizes[k % sizes.size()] % 130;
        const std::size_t n = std::min({piece, reader.want(), length - pos});
        check(reader.decode(stream + pos, n, sink) == n, "the reader consumes every byte it wants");
        pos += n;
    }
    facts = reader.facts();
    reader.finish(sink);
    return sink;
}

const Kernel kPaths[] = {Kernel::kScalar, Kernel::kSse2, Kernel::kAvx2, Kernel::kAvx512};

void compare_reader(const std::uint8_t* stream, std::size_t length, std::int32_t dim, const Bytes& sizes) {
    std::FILE* in = stream_over(stream, length);
    RleDecoder dec;
    Bytes expected;
    for (std::int64_t i = 0; i < voxel_count(dim); ++i) expected.push_back(Next_rle_byte(dec, in));
    const long position = std::ftell(in);
    std::fclose(in);
    StreamFacts model = model_facts(stream, length, dim);
    model.surplus_bytes = 0;
    for (Kernel path : kPaths) {
        if (!kernel_available(path)) continue;
        StreamFacts facts;
        const ValueSink got = decode_in_pieces(stream, length, dim, sizes, facts, path);
        check(got.values == expected, "the reader's values are Next_rle_byte's, one a voxel");
        check(facts.code_bytes == static_cast<std::uint64_t>(position), "the reader stops where Next_rle_byte stops");
        check(same_facts(facts, model), "the reader counts the stream as the format defines it");
    }
}

// The input's bytes as runs: value data[2k], length from data[2k+1], so that runs of marker-like
// values, runs that join and runs across the writer's small blocks all occur.
void compare_writer(const std::uint8_t* data, std::size_t size) {
    const Kernel paths[] = {Kernel::kScalar, Kernel::kAvx2, Kernel::kAvx512};
    std::vector<MemorySink> sinks(std::size(paths));
    std::vector<StreamWriter> writers;
    for (std::size_t p = 0; p < std::size(paths); ++p)
        writers.emplace_back(sinks[p], Block::of(StreamWriter::kMinBlockBytes), paths[p]);
    std::FILE* ref = std::tmpfile();
    check(ref != nullptr, "tmpfile");
    RleEncoder enc;
    for (std::size_t k = 0; k + 1 < size && k < 512; k += 2) {
        const std::uint8_t v = data[k] % 4 == 0 ? data[k] : data[k] & 1;
        const std::int64_t count = 1 + data[k + 1] % 4 * (data[k + 1] % 70);
        for (StreamWriter& writer : writers) writer.run(v, count);
        for (std::int64_t c = 0; c < count; ++c) Put_rle_byte(enc, ref, v, kRleAdd);
    }
    // The input's bytes as a bitmap, from and to a bit that its first two bytes choose.
    Bytes bits(data, data + size);
    bits.resize((bits.size() + 7) / 8 * 8 + 8, 0);
    const std::int64_t count = static_cast<std::int64_t>(size) * 8;
    const std::int64_t from = size > 1 ? data[0] % (count + 1) : 0;
    const std::int64_t to = std::max(from, count - (size > 1 ? data[1] : 0));
    for (StreamWriter& writer : writers) writer.bitmap(bits.data(), from, to);
    for (std::int64_t i = from; i < to; ++i) Put_rle_byte(enc, ref, bits[static_cast<std::size_t>(i / 8)] >> (i % 8) & 1, kRleAdd);
    for (StreamWriter& writer : writers) writer.finish();
    Put_rle_byte(enc, ref, 0, kRleFlush);
    std::fflush(ref);
    std::rewind(ref);
    Bytes expected;
    for (int c; (c = std::getc(ref)) != EOF;) expected.push_back(static_cast<std::uint8_t>(c));
    std::fclose(ref);
    for (const MemorySink& sink : sinks)
        check(sink.bytes == expected, "the stream writer writes Put_rle_byte's runs and bitmaps as Put_rle_byte, on every path");
}

// ---------------------------------------------------------------------------------------------
// Whole files.

bool same_record_fields(const TelesoRecord& a, const TelesoRecord& b);

// The load path opens files by name: the input as an in-memory file.
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
    const std::string& path() const { return path_; }

private:
    int fd_;
    std::string path_;
};

// Every decoding path and thread count, and the stream read in two halves, loads the bitmap of
// `loaded` and measures it on the way as the voxel-by-voxel measurement does.
void compare_load_paths(const std::string& path, const TelesoRecord& loaded) {
    tarvo::Body ref_body;
    TelesoRecord& ref = ref_body.rec;
    check(create_body(ref, loaded.dim).ok(), "allocating a copy");
    std::memcpy(ref.data, loaded.data, padded_bytes(loaded.size));
    tarvo::geometry::reference::analyse(ref);
    for (Kernel decoder : kPaths)
        for (int threads : {1, 2, -2}) {
            if (!kernel_available(decoder)) continue;
            Input in;
            if (threads < 0) in.split_streams_from(1);
            HeaderImage header;
            tarvo::Body rec_body;
            TelesoRecord& rec = rec_body.rec;
            check(in.open(path) && in.read_header(header) && create_body(rec, header.dim()), "opening the input again");
            Tally measured;
            check(in.read_voxels(rec, std::abs(threads), &measured, decoder).ok(), "the load path reads by every path");
            check(bitmap_of(rec) == bitmap_of(loaded), "every decoding path loads the same bitmap");
            tarvo::geometry::set_measurement(rec, measured);
            check(same_record_fields(rec, ref), "the particle is measured while it is read as voxel by voxel");
        }
}

Bytes file_of(const TelesoRecord& rec) {
    const auto header = header_image(rec);
    MemorySink sink;
    StreamWriter writer(sink, Block::of(1 << 12));
    encode_voxels(rec, writer);
    Bytes out(header.size() + sink.bytes.size());
    std::copy(header.begin(), header.end(), out.begin());
    std::copy(sink.bytes.begin(), sink.bytes.end(), out.begin() + static_cast<std::ptrdiff_t>(header.size()));
    return out;
}

Bytes reference_file_of(const TelesoRecord& rec) {
    char* buf = nullptr;
    std::size_t len = 0;
    std::FILE* f = open_memstream(&buf, &len);
    check(f != nullptr, "open_memstream");
    check(reference::write_body(f, rec), "the reference writer succeeds on a memory stream");
    check(std::fclose(f) == 0, "closing the memory stream");
    Bytes out(reinterpret_cast<std::uint8_t*>(buf), reinterpret_cast<std::uint8_t*>(buf) + len);
    std::free(buf);
    return out;
}

bool same_record_fields(const TelesoRecord& a, const TelesoRecord& b) {
    for (const HeaderField& f : kHeaderFields)
        if (a.*f.member != b.*f.member) return false;
    return true;
}

// Texts as a user might type them, including the special values atof accepts.
const char* const kCutTexts[] = {"1",   "2",    "3",   "6",    "99999", "0",   "-0", "-1",
                                 "0.5", "-2.5", "inf", "-inf", "nan",   "1e-40", "0x10", "abc"};

void compare_geometry(const TelesoRecord& body, const std::uint8_t* slot) {
    tarvo::Body fast_body;
    TelesoRecord& fast = fast_body.rec;
    tarvo::Body ref_body;
    TelesoRecord& ref = ref_body.rec;
    check(create_body(fast, body.dim) && create_body(ref, body.dim), "allocating copies");
    std::memcpy(fast.data, body.data, padded_bytes(body.size));
    std::memcpy(ref.data, body.data, padded_bytes(body.size));
    Analyse_teleso(fast);
    tarvo::geometry::reference::analyse(ref);
    check(same_record_fields(fast, ref), "Analyse_teleso matches the per-voxel measurement");
    const Center c = Get_center(fast);
    const float x_cut = Cut_length(kCutTexts[slot[0] % 16]);
    const float y_cut = Cut_length(kCutTexts[slot[1] % 16]);
    const float z_cut = Cut_length(kCutTexts[slot[2] % 16]);
    TelesoRecord measured = fast;  // the fields measured on the way, the same bitmap
    Tally kept;
    tarvo::geometry::cut(fast, c, x_cut, y_cut, z_cut, kAutoThreads, &kept);
    tarvo::geometry::reference::cut(ref, c, x_cut, y_cut, z_cut);
    check(bitmap_of(fast) == bitmap_of(ref), "the cut matches the per-voxel cut");
    Analyse_teleso(fast);
    tarvo::geometry::reference::analyse(ref);
    check(same_record_fields(fast, ref), "measurement after the cut matches");
    tarvo::geometry::set_measurement(measured, kept);
    check(same_record_fields(measured, ref), "what the cut keeps is measured as voxel by voxel");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    compare_writer(data, size);
    const HeaderImage header = parse_header(data, size);
    const Status problem = check_header(header, "fuzz input");
    if (size < kMinHeaderBytes) {
        check(problem.error == Error::kNoEdgeLength, "an input under 8 bytes has no edge length");
    } else {
        const std::int64_t dim = load_le32(data + kFieldBytes * kDimField);
        check(header.dim() == dim, "dim is the little-endian field at offset 4");
        check(problem.error == (dim_in_range(dim) ? Error::kNone : Error::kEdgeOutOfRange),
              "check_header refuses exactly the dims outside 0..1290");
    }
    if (problem && header.dim() > kFuzzMaxDim) return 0;

    // The load path refuses what the check refuses and otherwise loads what the format defines.
    NamedInput input(data, size);
    tarvo::Body rec_body;
    TelesoRecord& rec = rec_body.rec;
    LoadInfo info;
    const Status loaded = load_body(input.path(), rec, &info, true);
    check(info.header.bytes == std::min(size, kHeaderBytes), "the load path reports the header's length");
    if (!problem) {
        check(loaded.error == problem.error, "the load path refuses what check_header refuses");
        check(rec.data == nullptr, "a refused load holds no bitmap");
        return 0;
    }
    check(loaded.ok(), "the load path reads an in-memory file");
    check(info.file_bytes == size, "the load path counts the whole file");
    const std::int32_t dim = header.dim();
    check(rec.dim == dim && rec.size == bitmap_size(dim) && rec.data != nullptr, "the body has the header's edge length");
    for (std::size_t f = kFirstMeasuredField; f < kStoredFields; ++f) {
        const std::int32_t expected = f < header.whole_fields ? header.fields[f] : 0;
        check(rec.*kHeaderFields[f].member == expected, "measurement fields keep the whole fields read");
    }
    const std::uint8_t* stream = data + info.header.bytes;
    const std::size_t stream_length = size - info.header.bytes;
    check(bitmap_of(rec) == model_decode(stream, stream_length, dim), "the voxels read are those the format defines");
    check(same_facts(info.stream, model_facts(stream, stream_length, dim)), "the load path's stream facts");
    const Bytes sizes = size > kSlotOffset + 3 ? Bytes(data + kSlotOffset, data + kSlotOffset + 4) : Bytes{};
    compare_reader(stream, stream_length, dim, {});
    compare_reader(stream, stream_length, dim, sizes);
    compare_load_paths(input.path(), rec);

    // Writing: every writer gives the bytes the format defines, and they read back.
    const Bytes first = file_of(rec);
    check(first == reference_file_of(rec), "the writer matches the per-voxel writer");
    const Bytes model_stream = model_encode(rec);
    check(first.size() == kHeaderBytes + model_stream.size() &&
              std::equal(model_stream.begin(), model_stream.end(), first.begin() + kHeaderBytes),
          "the voxel stream is the format's encoding");
    NamedInput written(first.data(), first.size());
    tarvo::Body back_body;
    TelesoRecord& back = back_body.rec;
    check(load_body(written.path(), back).ok(), "the written file reads back");
    check(bitmap_of(back) == bitmap_of(rec) && same_record_fields(back, rec), "round trip keeps the body");
    check(file_of(back) == first, "a second write gives the same bytes");

    if (size >= kSlotOffset + 3) compare_geometry(rec, data + kSlotOffset);
    return 0;
}
