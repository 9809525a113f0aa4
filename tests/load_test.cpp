// Whole-file reading and writing, and the stream facts used for diagnostics.
#include <gtest/gtest.h>

#include "tarvo/geometry.h"
#include "support.h"
#include "tarvo/body.h"

namespace {

using test_support::body_of_edge;
using test_support::Bytes;
using test_support::ScratchDir;

struct Loaded {
    TelesoRecord rec;
    tarvo::LoadInfo info;
    std::string error;
    bool ok = false;
    explicit Loaded(const std::string& path) {
        const tarvo::Status s = tarvo::load_body(path, rec, &info, true);
        ok = s.ok();
        error = tarvo::describe(s);
    }
    ~Loaded() { tarvo::free_body(rec); }
};

tarvo::StreamFacts facts_of(const std::string& path, std::int32_t dim) {
    Loaded l(path);
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

    Loaded l(dir.file("a.3d"));
    ASSERT_TRUE(l.ok) << l.error;
    EXPECT_TRUE(test_support::same_voxels(l.rec, b.rec));
    EXPECT_EQ(l.info.header.bytes, 52u);
    EXPECT_EQ(l.info.file_bytes, test_support::read_bytes(dir.file("a.3d")).size());
    EXPECT_EQ(l.info.header.fields[1], 23);
    EXPECT_EQ(l.info.header.fields[11], b.rec.voxels);
    EXPECT_EQ(l.info.header.fields[2], b.rec.x_min);
}

TEST(LoadBody, RefusesAsTheProgramDoesAndNamesTheFile) {
    ScratchDir dir;
    test_support::write_bytes(dir.file("short.3d"), Bytes{1, 2, 3, 4, 5});
    Loaded s(dir.file("short.3d"));
    EXPECT_FALSE(s.ok);
    EXPECT_EQ(s.error, "Input file '" + dir.file("short.3d") + "' is too short (5 bytes): it has no edge length");
    EXPECT_EQ(s.rec.data, nullptr);

    test_support::write_bytes(dir.file("big.3d"), test_support::header_bytes(0, 1291));
    Loaded b(dir.file("big.3d"));
    EXPECT_FALSE(b.ok);
    EXPECT_EQ(b.error, "Input file '" + dir.file("big.3d") + "' has edge length 1291, outside 0 to 1290");

    Loaded m(dir.file("missing.3d"));
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
