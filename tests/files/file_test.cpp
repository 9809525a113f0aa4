// Reading and writing whole shape form files, through the program's operations and the library's
// load and save paths, and the stream facts used for diagnostics.
#include <gtest/gtest.h>

#include <filesystem>

#include "support.h"
#include "tarvo/file.h"
#include "tarvo/geometry.h"
#include "body/tally.h"
#include "format/format.h"
#include "driver/driver.h"
#include "tarvo/body.h"

using namespace test_support;
namespace fs = std::filesystem;

namespace {

const Bytes kWorkedExample = {
    0x02, 0, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0x01, 0, 0, 0,  // size, dim, x_min, x_max
    0, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x01, 0, 0, 0,     // y_min, y_max, z_min, z_max
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x04, 0, 0, 0,        // means, voxels
    0, 0, 0, 0,                                               // slot
    0xC3, 0x01, 0xC4, 0x00, 0x01};

struct Read {
    int header = -1, voxels = -1;
    std::string transcript;
};

// Reads `bytes` from a file named `name` as the program does; the body stays in `rec` (release it
// with free_body).
Read read_body(const Bytes& bytes, TelesoRecord& rec, const std::string& name = "in.3d") {
    ScratchDir dir;
    write_bytes(dir.file(name), bytes);
    tarvo::Input in;
    EXPECT_TRUE(in.open(dir.file(name)));
    Read r;
    testing::internal::CaptureStdout();
    r.header = Read_teleso_header(in, rec);
    if (r.header == 0) r.voxels = Read_teleso_voxels(in, rec);
    r.transcript = testing::internal::GetCapturedStdout();
    const std::string dir_prefix = dir.path().string() + "/";
    for (std::size_t at; (at = r.transcript.find(dir_prefix)) != std::string::npos;) r.transcript.erase(at, dir_prefix.size());
    return r;
}

Bytes written_bytes(const TelesoRecord& rec) { return written_file(rec); }

std::vector<fs::path> listing(const fs::path& dir) {
    std::vector<fs::path> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

void set_worked_example(TelesoRecord& rec) {
    for (auto [x, y, z] : {std::array{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 1}}) Set_voxel(rec, x, y, z, 1);
    rec.x_min = rec.y_min = rec.z_min = 0;
    rec.x_max = rec.y_max = rec.z_max = 1;
    rec.x_mean = rec.y_mean = rec.z_mean = 0;
    rec.voxels = 4;
}

}  // namespace

TEST(WriteTeleso, WorkedExampleIsFiftySevenBytes) {
    ScratchDir dir;
    Body b = body_of_edge(2);
    set_worked_example(b.rec);
    const std::string path = dir.file("ex.3d");
    testing::internal::CaptureStdout();
    EXPECT_EQ(Write_teleso(path.c_str(), b.rec), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Write_teleso(): Zapisujem subor " + path + " ... O.K.\n");
    EXPECT_EQ(read_bytes(path), kWorkedExample);
    EXPECT_EQ(listing(dir.path()), std::vector<fs::path>{"ex.3d"});  // no temporary file left
}

TEST(ReadTeleso, WorkedExampleReadsBack) {
    TelesoRecord rec;
    const Read r = read_body(kWorkedExample, rec);
    ASSERT_EQ(r.header, 0);
    EXPECT_EQ(r.voxels, 0);
    EXPECT_EQ(r.transcript, "Create_teleso(): Alokujem hlavny blok pre teleso o dlzke 0.00 Mbyte...O.K.\n");
    EXPECT_EQ(rec.dim, 2);
    EXPECT_EQ(rec.data[0], 0x87);  // voxels 0, 1, 2 and 7
    EXPECT_EQ(rec.voxels, 4);
    tarvo::free_body(rec);
}

TEST(ReadTeleso, HeaderFieldsOtherThanDimDoNotMatter) {
    Bytes wrong = kWorkedExample;
    for (std::size_t off : {0u, 8u, 20u, 44u, 48u}) wrong[off] = 0x7B;  // size, x_min, y_max, voxels, slot
    TelesoRecord rec;
    ASSERT_EQ(read_body(wrong, rec).header, 0);
    EXPECT_EQ(rec.size, 2);
    EXPECT_EQ(rec.x_min, 0x7B);  // kept until the measurement replaces it
    EXPECT_EQ(rec.data[0], 0x87);
    tarvo::free_body(rec);
}

TEST(ReadTeleso, ZeroEdgeBodyIsTheHeaderAlone) {
    ScratchDir dir;
    Body b = body_of_edge(0);
    const std::string path = dir.file("zero.3d");
    testing::internal::CaptureStdout();
    ASSERT_EQ(Write_teleso(path.c_str(), b.rec), 0);
    testing::internal::GetCapturedStdout();
    const Bytes bytes = read_bytes(path);
    EXPECT_EQ(bytes, header_bytes(1, 0));
    TelesoRecord rec;
    const Read r = read_body(concat(bytes, {0x01, 0x01}), rec);
    EXPECT_EQ(r.header, 0);
    EXPECT_EQ(rec.size, 1);
    EXPECT_EQ(rec.data[0], 0);
    tarvo::free_body(rec);
}

TEST(ReadTeleso, ShortAndEmptyStreamsLeaveVoxelsEmpty) {
    TelesoRecord rec;
    ASSERT_EQ(read_body(header_bytes(9, 4), rec).header, 0);  // a header and no stream
    for (std::int32_t i = 0; i < rec.size; ++i) EXPECT_EQ(rec.data[i], 0);
    tarvo::free_body(rec);

    TelesoRecord partial;  // header cut after dim: the edge length is known
    Bytes h = header_bytes(0, 3);
    h.resize(10);
    const Read r = read_body(h, partial);
    EXPECT_EQ(r.header, 0);
    EXPECT_EQ(partial.dim, 3);
    tarvo::free_body(partial);

    TelesoRecord early;  // eight set voxels, then the file ends
    ASSERT_EQ(read_body(concat(header_bytes(9, 4), {0xC8, 0x01}), early).header, 0);
    EXPECT_EQ(early.data[0], 0xFF);
    EXPECT_EQ(early.data[1], 0x00);
    tarvo::free_body(early);
}

TEST(ReadTeleso, ForeignValuesSetOnlyOneTo127) {
    Bytes stream;
    for (int v = 0; v < 0xC0; ++v) stream.push_back(static_cast<std::uint8_t>(v));  // literals
    for (int v = 0xC0; v < 0x100; ++v) stream.insert(stream.end(), {0xC1, static_cast<std::uint8_t>(v)});
    TelesoRecord rec;
    ASSERT_EQ(read_body(concat(header_bytes(0, 7), stream), rec).header, 0);  // 343 voxels, 256 given
    for (std::int32_t i = 0; i < 343; ++i)
        EXPECT_EQ(Get_voxel(rec, i % 7, i / 7 % 7, i / 49), i >= 1 && i <= 127 ? 1 : 0) << i;
    tarvo::free_body(rec);
}

TEST(ReadTeleso, RefusesFilesWithoutAUsableEdgeLength) {
    for (std::size_t length = 0; length < 8; ++length) {
        TelesoRecord rec;
        Bytes h = header_bytes(9, 4);
        h.resize(length);
        const Read r = read_body(h, rec, "short.3d");
        EXPECT_EQ(r.header, 1) << length;
        EXPECT_EQ(r.transcript, "Input file 'short.3d' is too short (" + std::to_string(length) +
                                    " bytes): it has no edge length\n");
        EXPECT_EQ(rec.data, nullptr);
    }
    for (std::int32_t dim : {-1, 1291, INT32_MAX, INT32_MIN}) {
        TelesoRecord rec;
        const Read r = read_body(header_bytes(9, dim), rec, "big.3d");
        EXPECT_EQ(r.header, 1) << dim;
        EXPECT_EQ(r.transcript, "Input file 'big.3d' has edge length " + std::to_string(dim) + ", outside 0 to 1290\n");
        EXPECT_EQ(rec.data, nullptr);
    }
}

TEST(ReadTeleso, InputThatCannotBeReadIsReported) {
    tarvo::Input dir;  // a directory opens on Linux, every read fails
    if (!dir.open("/")) GTEST_SKIP() << "directories cannot be opened here";
    TelesoRecord rec;
    testing::internal::CaptureStdout();
    EXPECT_EQ(Read_teleso_header(dir, rec), 1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("Input file '/' cannot be read: ", 0), 0u) << out;
    EXPECT_EQ(rec.data, nullptr);
}

TEST(WriteTeleso, UnopenableTargetIsReported) {
    Body b = body_of_edge(2);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Write_teleso("/nonexistent-dir/x.3d", b.rec), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Write_teleso(): Neda sa otvorit subor /nonexistent-dir/x.3d\n");
}

TEST(WriteTeleso, FailedWriteIsNotSuccess) {
    if (!fs::exists("/dev/full")) GTEST_SKIP();
    Body b = body_of_edge(16);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Write_teleso("/dev/full", b.rec), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Write_teleso(): Zapisujem subor /dev/full ... \nWrite_teleso(): Chyba pri zapise do suboru /dev/full\n");
}

TEST(WriteTeleso, ReplacesTargetKeepingModeAndLinks) {
    ScratchDir dir;
    Body b = body_of_edge(2);
    set_worked_example(b.rec);
    const std::string real = dir.file("real.3d"), link = dir.file("link.3d");
    write_bytes(real, {1, 2, 3});
    fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink("real.3d", link);
    testing::internal::CaptureStdout();
    ASSERT_EQ(Write_teleso(link.c_str(), b.rec), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(read_bytes(real), kWorkedExample);
    EXPECT_EQ(fs::status(real).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(listing(dir.path()), (std::vector<fs::path>{"link.3d", "real.3d"}));
}

TEST(RoundTrip, RandomBodiesOfManyEdgeLengths) {
    std::mt19937_64 rng(2024);
    for (std::int32_t n : {0, 1, 2, 3, 5, 7, 8, 9, 13, 16, 17, 31, 33}) {
        for (double density : {0.0, 0.05, 0.5, 0.97, 1.0}) {
            Body b = body_of_edge(n);
            fill_random(b.rec, rng, density);
            const Bytes first = written_bytes(b.rec);
            ASSERT_EQ(first.size() >= 52, true);
            TelesoRecord back;
            const Read r = read_body(first, back);
            ASSERT_EQ(r.header, 0);
            EXPECT_TRUE(same_voxels(b.rec, back)) << "edge " << n << " density " << density;
            back.x_min = b.rec.x_min;  // measurement fields came from the header
            EXPECT_EQ(written_bytes(back), first) << "edge " << n;
            tarvo::free_body(back);
        }
    }
}

// ---- The library's load and save paths ----

namespace {

// A file loaded with its surplus counted, and the outcome in words.
struct CountedLoad {
    tarvo::Body body;
    TelesoRecord& rec = body.rec;
    tarvo::LoadInfo info;
    std::string error;
    bool ok = false;
    explicit CountedLoad(const std::string& path) {
        const tarvo::Status s = tarvo::load_body(path, rec, &info, true);
        ok = s.ok();
        error = tarvo::describe(s);
    }
};

tarvo::StreamFacts facts_of(const std::string& path, std::int32_t dim) {
    CountedLoad l(path);
    EXPECT_TRUE(l.ok) << l.error;
    EXPECT_EQ(l.rec.dim, dim);
    return l.info.stream;
}

TEST(LoadBody, ReadsWhatSaveBodyWroteWithTheStoredHeader) {
    ScratchDir dir;
    Body b = body_of_edge(23);
    std::mt19937_64 rng(7);
    test_support::fill_random(b.rec, rng, 0.3);
    Analyse_teleso(b.rec);
    const tarvo::Status saved = tarvo::save_body(dir.file("a.3d"), b.rec);
    ASSERT_TRUE(saved) << tarvo::describe(saved);

    CountedLoad l(dir.file("a.3d"));
    ASSERT_TRUE(l.ok) << l.error;
    EXPECT_TRUE(test_support::same_voxels(l.rec, b.rec));
    EXPECT_EQ(l.info.header.bytes, 52u);
    EXPECT_EQ(l.info.file_bytes, test_support::read_bytes(dir.file("a.3d")).size());
    EXPECT_EQ(l.info.header.fields[1], 23);
    EXPECT_EQ(l.info.header.fields[11], b.rec.voxels);
    EXPECT_EQ(l.info.header.fields[2], b.rec.x_min);
}

#if defined(__linux__)
// Resident bytes of this process now (not its peak), from /proc/self/statm.
std::int64_t resident_bytes() {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    long pages = 0, resident = 0;
    if (f == nullptr) return -1;
    const int got = std::fscanf(f, "%ld %ld", &pages, &resident);
    std::fclose(f);
    return got == 2 ? std::int64_t{resident} * 4096 : -1;
}

// A particle that takes a sliver of the largest grid costs the pages its voxels are on, not the
// grid's 256 MiB: the block is not faulted in ahead of a reading that reaches few of its pages.
TEST(LoadBody, ASpeckInTheLargestGridTouchesThePagesOfItsVoxelsOnly) {
    ScratchDir dir;
    {
        Body b = body_of_edge(kMaxDim);
        for (std::int32_t z = 600; z < 640; ++z)
            for (std::int32_t y = 600; y < 640; ++y)
                for (std::int32_t x = 600; x < 640; ++x) Set_voxel(b.rec, x, y, z, 1);
        Set_voxel(b.rec, kMaxDim - 1, kMaxDim - 1, kMaxDim - 1, 1);  // the stream runs to the grid's end
        b.rec.voxels = 40 * 40 * 40 + 1;
        ASSERT_TRUE(tarvo::save_body(dir.file("speck.3d"), b.rec));
    }
    {
        // Without the file's length (the portable build's files) the reading cannot tell.
        tarvo::Input probe;
        tarvo::HeaderImage header;
        ASSERT_TRUE(probe.open(dir.file("speck.3d")) && probe.read_header(header));
        if (!probe.stream_bytes()) GTEST_SKIP() << "the stream's length is not known before reading";
    }
    const std::int64_t before = resident_bytes();
    ASSERT_GT(before, 0);
    TelesoRecord rec;
    tarvo::Tally tally;
    ASSERT_TRUE(tarvo::load_body(dir.file("speck.3d"), rec, nullptr, false, &tally));
    const std::int64_t grown = resident_bytes() - before;
    EXPECT_EQ(tally.count, 40 * 40 * 40 + 1);
    EXPECT_EQ(Get_voxel(rec, kMaxDim - 1, kMaxDim - 1, kMaxDim - 1), 1);
    tarvo::free_body(rec);
    EXPECT_LT(grown, std::int64_t{8} << 20);  // some 80 pages of voxels; faulted ahead, 13 MB and more
}
#endif

TEST(LoadBody, RefusesAsTheProgramDoesAndNamesTheFile) {
    ScratchDir dir;
    test_support::write_bytes(dir.file("short.3d"), Bytes{1, 2, 3, 4, 5});
    CountedLoad s(dir.file("short.3d"));
    EXPECT_FALSE(s.ok);
    EXPECT_EQ(s.error, "Input file '" + dir.file("short.3d") + "' is too short (5 bytes): it has no edge length");
    EXPECT_EQ(s.rec.data, nullptr);

    test_support::write_bytes(dir.file("big.3d"), test_support::header_bytes(0, 1291));
    CountedLoad b(dir.file("big.3d"));
    EXPECT_FALSE(b.ok);
    EXPECT_EQ(b.error, "Input file '" + dir.file("big.3d") + "' has edge length 1291, outside 0 to 1290");

    CountedLoad m(dir.file("missing.3d"));
    EXPECT_FALSE(m.ok);
    EXPECT_NE(m.error.find(dir.file("missing.3d")), std::string::npos) << m.error;

    Body body = body_of_edge(2);
    const tarvo::Status s2 = tarvo::save_body(dir.file("no/such/dir/x.3d"), body.rec);
    EXPECT_FALSE(s2);
    EXPECT_NE(tarvo::describe(s2).find("no/such/dir/x.3d"), std::string::npos) << tarvo::describe(s2);
}

TEST(StreamFacts, CountsCodedVoxelsAndSurplusBytes) {
    ScratchDir dir;
    const std::string p = dir.file("s.3d");
    const Bytes header = test_support::header_bytes(2, 2);
    // The worked example: C3 01 C4 00 01 codes exactly 8 voxels.
    test_support::write_bytes(p, test_support::concat(header, {0xC3, 1, 0xC4, 0, 1}));
    auto f = facts_of(p, 2);
    EXPECT_EQ(f.voxels_needed, 8);
    EXPECT_EQ(f.voxels_coded, 8);
    EXPECT_EQ(f.code_bytes, 5u);
    EXPECT_EQ(f.surplus_bytes, 0u);
    EXPECT_FALSE(f.ends_early());

    test_support::write_bytes(p, test_support::concat(header, {0xC3, 1, 0xC4, 0, 1, 9, 9, 9}));
    f = facts_of(p, 2);
    EXPECT_EQ(f.code_bytes, 5u);
    EXPECT_EQ(f.surplus_bytes, 3u);

    // A marker whose run overshoots the last voxel still ends the stream exactly there.
    test_support::write_bytes(p, test_support::concat(header, {0xFF, 0, 7}));
    f = facts_of(p, 2);
    EXPECT_EQ(f.voxels_coded, 8);
    EXPECT_EQ(f.code_bytes, 2u);
    EXPECT_EQ(f.surplus_bytes, 1u);

    // A marker without its value byte codes nothing.
    test_support::write_bytes(p, test_support::concat(header, {0xC3, 1, 0xC4}));
    f = facts_of(p, 2);
    EXPECT_TRUE(f.ends_early());
    EXPECT_EQ(f.voxels_coded, 3);
    EXPECT_EQ(f.code_bytes, 3u);

    // Edge 0 needs no byte at all.
    test_support::write_bytes(p, test_support::concat(test_support::header_bytes(1, 0), {1, 2}));
    f = facts_of(p, 0);
    EXPECT_EQ(f.voxels_needed, 0);
    EXPECT_EQ(f.surplus_bytes, 2u);
    EXPECT_FALSE(f.ends_early());
}

}  // namespace
