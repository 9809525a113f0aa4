// The tape against the bitmap: a particle read onto a tape holds the voxels the bitmap holds,
// codes to the same stream, measures and cuts to the same results; the plane filter decides as
// the extended sum does.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "body/tape.h"
#include "codec/writer.h"
#include "files/io.h"
#include "geometry/passes.h"
#include "geometry/plane.h"
#include "geometry/tape_cut.h"
#include "support.h"

namespace {

using namespace test_support;
using tarvo::Tape;

// A body of edge n made of stretches of random kinds in stream order: long solid runs, short
// runs, literal-like noise and long empty gaps, so that every piece kind and every boundary
// between them occurs.
tarvo::Body structured_body(std::int32_t n, std::mt19937_64& rng) {
    tarvo::Body body = body_of_edge(n);
    const std::int64_t total = tarvo::voxel_count(n);
    std::int64_t i = 0;
    while (i < total) {
        const int kind = static_cast<int>(rng() % 5);
        std::int64_t len = 0;
        switch (kind) {
            case 0: len = 120 + static_cast<std::int64_t>(rng() % 400); break;  // solid, around the run limit
            case 1: len = 1 + static_cast<std::int64_t>(rng() % 70); break;     // short solid
            case 2: len = 1 + static_cast<std::int64_t>(rng() % 300); break;    // noise
            case 3: len = 60 + static_cast<std::int64_t>(rng() % 500); break;   // gap
            default: len = 1 + static_cast<std::int64_t>(rng() % 6); break;     // short gap
        }
        len = std::min(len, total - i);
        if (kind <= 1) tarvo::set_voxels(body.rec, i, i + len);
        if (kind == 2)
            for (std::int64_t k = i; k < i + len; ++k)
                if (rng() % 2) tarvo::set_voxels(body.rec, k, k + 1);
        i += len;
    }
    return body;
}

// The tape of a file, as the program reads it; `split`: in two halves on two threads, split
// about the middle of the stream however short it is.
Tape read_tape(const std::string& path, tarvo::Kernel kernel, bool split = false) {
    tarvo::Input in;
    tarvo::HeaderImage header;
    EXPECT_TRUE(in.open(path));
    EXPECT_TRUE(in.read_header(header));
    if (split) in.split_streams_from(1);
    Tape tape(header.dim());
    EXPECT_TRUE(in.read_tape(tape, kernel, split ? 2 : 1));
    return tape;
}

// The tape's voxels laid into a bitmap, checking the pieces' order and alignment on the way.
tarvo::Body expand(const Tape& tape) {
    tarvo::Body body = body_of_edge(tape.dim());
    Tape::Cursor c = tape.cursor(0);
    Tape::Piece p;
    std::int64_t last_end = 0;
    while (c.next(p)) {
        EXPECT_LE(last_end, p.begin) << "pieces overlap or are out of order";
        EXPECT_LT(p.begin, p.end);
        last_end = p.end;
        if (!p.block()) {
            tarvo::set_voxels(body.rec, p.begin, p.end);
            continue;
        }
        EXPECT_EQ(p.begin % 64, 0);
        EXPECT_EQ(p.end % 64, 0);
        for (std::int64_t v = p.begin; v < p.end; ++v)
            if (tarvo::load_word(p.words, (v - p.begin) / 64) >> ((v - p.begin) % 64) & 1) {
                EXPECT_LT(v, tape.total()) << "a bit past the grid";
                if (v < tape.total()) tarvo::set_voxels(body.rec, v, v + 1);
            }
    }
    return body;
}

Bytes stream_of_tape(const Tape& tape, const tarvo::RowCuts* cuts) {
    tarvo::MemorySink sink;
    tarvo::StreamWriter writer(sink, tarvo::Block::of(1 << 12));
    tarvo::encode_tape(tape, cuts, writer);
    return sink.bytes;
}

TEST(Tape, ReadOntoATapeHoldsTheVoxelsCodesTheStreamAndMeasuresAsTheBitmap) {
    std::mt19937_64 rng(23);
    const ScratchDir dir;
    for (const std::int32_t n : {1, 5, 17, 64, 65, 99, 130}) {
        for (int round = 0; round < 3; ++round) {
            tarvo::Body body = structured_body(n, rng);
            const std::string path = dir.file("p.3d");
            write_bytes(path, written_file(body.rec));
            const Bytes stream = tarvo::encode_stream(body.rec);
            for (const tarvo::Kernel k : decode_paths()) for (const bool split : {false, true}) {
                const Tape tape = read_tape(path, k, split);
                const tarvo::Body back = expand(tape);
                ASSERT_TRUE(same_voxels(back.rec, body.rec)) << "edge " << n << " round " << round << " split " << split;
                EXPECT_EQ(stream_of_tape(tape, nullptr), stream) << "edge " << n;
                TelesoRecord measured = body.rec;
                tarvo::geometry::set_measurement(measured, tarvo::geometry::measure_tape(tape, 0));
                EXPECT_EQ(measurement_of(measured), reference_measurement(bitmap_of(body.rec), n));
            }
        }
    }
}

// The cut of a tape read from a file (its runs cut as they are coded) against the voxel-by-voxel
// cut of the bitmap, measurements included, on planes of every kind: oblique, through the centre's
// row (zero lengths), parallel to axes (infinite lengths), NaN.
TEST(Tape, CutTapeCodesWhatTheVoxelByVoxelCutLeaves) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    const float planes[][3] = {{1, 1, 1},     {20, 30, 40}, {-20, 30, -40}, {0, 0, 0},    {0, 15, 15},
                               {15, 0, 9},    {inf, 7, 7},  {7, inf, inf},  {nan, 3, 3},  {3, nan, 3},
                               {-inf, 9, 9},  {1e-30f, 1, 1}, {3e38f, 5, 5}, {0.5f, 99999, 99999},
                               {-13, 7, 29}, {40, -40, 1e9f}};
    std::mt19937_64 rng(7);
    const ScratchDir dir;
    for (const std::int32_t n : {9, 64, 97}) {
        tarvo::Body body = structured_body(n, rng);
        const std::string path = dir.file("p.3d");
        write_bytes(path, written_file(body.rec));
        for (const auto& pl : planes) {
            Tape tape = read_tape(path, tarvo::chosen_kernel());
            TelesoRecord rec = body.rec;
            rec.data = nullptr;
            std::unique_ptr<tarvo::geometry::PlaneRows> plane;
            const tarvo::Center c = tarvo::cut_tape_as_program(rec, tape, {pl[0], pl[1], pl[2]}, {}, nullptr, 0, &plane);

            tarvo::Body want = body_of_edge(n);
            std::copy(body.rec.data, body.rec.data + tarvo::padded_bytes(body.rec.size), want.rec.data);
            tarvo::geometry::reference::cut(want.rec, c, pl[0], pl[1], pl[2]);
            tarvo::geometry::reference::analyse(want.rec);
            EXPECT_EQ(stream_of_tape(tape, plane.get()), tarvo::encode_stream(want.rec))
                << "edge " << n << " plane " << pl[0] << " " << pl[1] << " " << pl[2];
            EXPECT_EQ(measurement_of(rec), measurement_of(want.rec));
        }
    }
}

// The double filter never decides otherwise than the extended sum: on random planes, on planes
// with voxels exactly on them (integer and power-of-two lengths), and on sums within a few
// extended ulps of 1, where only the extended sum can tell.
TEST(PlaneFilter, DecidesEveryVoxelAsTheExtendedSum) {
    std::mt19937_64 rng(11);
    const std::int32_t n = 40;
    auto check = [&](tarvo::Center c, float xc, float yc, float zc) {
        const tarvo::geometry::PlaneRows rows(n, c, xc, yc, zc);
        for (std::int32_t z = 0; z < n; ++z)
            for (std::int32_t y = 0; y < n; ++y)
                for (std::int32_t x = 0; x < n; ++x)
                    ASSERT_EQ(rows.beyond(x, y, z),
                              tarvo::geometry::voxel_beyond(x - c.x, y - c.y, z - c.z, xc, yc, zc))
                        << xc << " " << yc << " " << zc << " at " << x << "," << y << "," << z;
    };
    const float on_plane[][3] = {{4, 8, 16}, {2, 2, 2}, {0.5f, 0.25f, 1024}, {3, 6, 9}, {10, -10, 5}, {1, 1, 1}};
    for (const auto& p : on_plane) check({20, 20, 20}, p[0], p[1], p[2]);
    // Lengths one float ulp around thirds and tenths: sums that round to within ulps of 1.
    for (const float base : {3.0f, 0.3f, 0.1f, 7.0f, 1.0f / 3.0f}) {
        const float lo = std::nextafter(base, 0.0f), hi = std::nextafter(base, 100.0f);
        check({17, 13, 19}, lo, base, hi);
        check({17, 13, 19}, base, hi, lo);
    }
    std::uniform_real_distribution<float> len(-60.0f, 60.0f);
    for (int k = 0; k < 20; ++k) check({static_cast<std::int32_t>(rng() % n), static_cast<std::int32_t>(rng() % n), 5},
                                       len(rng), len(rng), len(rng));
}

// A tape takes memory where the particle is: a small particle in the largest grid holds a few
// kilobytes of pieces and words, not the grid's bitmap.
TEST(Tape, ASpeckInTheLargestGridTakesMemoryForItsVoxelsOnly) {
    Tape tape(tarvo::kMaxDim);
    const std::int64_t n = tarvo::kMaxDim;
    for (std::int64_t z = 600; z < 640; ++z)
        for (std::int64_t y = 600; y < 640; ++y) tape.add_run(600 + n * (y + n * z), 640 + n * (y + n * z));
    tape.finish();
    EXPECT_LT(tape.bytes(), std::size_t{2} << 20);
    const tarvo::Tally t = tarvo::geometry::measure_tape(tape, 0);
    EXPECT_EQ(t.count, 40 * 40 * 40);
    EXPECT_EQ(t.x_min, 600);
    EXPECT_EQ(t.z_max, 639);
}

}  // namespace
