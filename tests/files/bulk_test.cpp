// The library's reading, writing, measuring and cutting against the voxel-by-voxel definitions:
// they must give the same bytes, fields and bitmaps for every input.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tarvo/geometry.h"
#include "geometry/rows.h"
#include "tarvo/shapes.h"
#include "support.h"
#include "tarvo/body.h"

using namespace test_support;

namespace {

const std::vector<std::int32_t> kEdges = {0, 1, 2, 3, 4, 5, 7, 8, 9, 11, 15, 16, 17, 31, 32, 33, 63, 64, 65};

void set_index(TelesoRecord& rec, std::int64_t i) { rec.data[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7)); }

// Alternating stretches of empty and set voxels with lengths drawn around `mean_run`, so that
// runs of every length, across rows and layers, occur.
void fill_runs(TelesoRecord& rec, std::mt19937_64& rng, double mean_run, double density) {
    const std::int64_t total = std::int64_t{rec.dim} * rec.dim * rec.dim;
    std::geometric_distribution<std::int64_t> len(1.0 / mean_run);
    std::bernoulli_distribution set(density);
    for (std::int64_t i = 0; i < total;) {
        const std::int64_t end = std::min(total, i + 1 + len(rng));
        if (set(rng))
            for (; i < end; ++i) set_index(rec, i);
        i = end;
    }
}

// Bits of the spare byte(s) behind the grid, which Set_voxel can reach but no voxel owns.
void fill_spare_bits(TelesoRecord& rec, std::mt19937_64& rng) {
    const std::int64_t total = std::int64_t{rec.dim} * rec.dim * rec.dim;
    for (std::int64_t i = total; i < std::int64_t{rec.size} * 8; ++i)
        if (rng() & 1) set_index(rec, i);
}

// A random body of one of several kinds: noise, runs of several lengths, solid, empty.
void fill_kind(TelesoRecord& rec, std::mt19937_64& rng, int kind) {
    switch (kind % 7) {
        case 0: fill_random(rec, rng, 0.5); break;
        case 1: fill_random(rec, rng, 0.05); break;
        case 2: fill_runs(rec, rng, 4, 0.5); break;
        case 3: fill_runs(rec, rng, 63, 0.5); break;
        case 4: fill_runs(rec, rng, 700, 0.6); break;
        case 5: fill_all(rec); break;
        default: break;  // empty
    }
}

// bulk false: the voxel-by-voxel writer; true: the library's save path with `threads` (0: its own
// choice).
Bytes written(const TelesoRecord& rec, bool bulk, bool* ok = nullptr, int threads = 0) {
    if (!bulk) {
        if (ok) *ok = true;
        return reference_file(rec);
    }
    tarvo::Status s;
    Bytes out = written_file(rec, threads, &s);
    if (ok) *ok = s.ok();
    return out;
}

// The load path stops where the byte-wise reader stops (the bytes after it are left for the
// surplus count), fills the same bitmap and measures it as voxel by voxel, on one thread, on two,
// and with the stream read in two halves (split near its middle, wherever that falls), with every
// decoding path.
void expect_same_read(const Bytes& stream, std::int32_t n, const std::string& what) {
    const StreamRead ref = reference_read(stream, n);
    const std::vector<std::int32_t> measured = reference_measurement(ref.bitmap, n);
    for (tarvo::Kernel path : decode_paths())
        for (int threads : {1, 2, -2}) {
            const std::string where = what + ", " + tarvo::kernel_name(path) + ", threads " + std::to_string(threads);
            const StreamRead got = load_stream(stream, n, std::abs(threads), path, threads < 0);
            EXPECT_EQ(got.ok, ref.ok) << where;
            EXPECT_EQ(got.code_bytes, ref.code_bytes) << where << ": input left at another position";
            EXPECT_EQ(got.surplus_bytes, ref.surplus_bytes) << where;
            EXPECT_TRUE(got.bitmap == ref.bitmap) << where << ": bitmaps differ";
            EXPECT_EQ(measurement_of(got.measured), measured) << where << ": measured while reading";
        }
}

// A foreign stream: literals of every kind, markers C0..FF with any value, long chains of full
// markers, in proportions set by `kind`.
Bytes foreign_stream(std::mt19937_64& rng, std::size_t length, int kind) {
    Bytes s;
    std::uniform_int_distribution<int> byte(0, 255), literal(0, 0xBF), count(0, 63), pick(0, 9);
    while (s.size() < length) {
        const int p = pick(rng);
        if (kind == 0) {
            s.push_back(static_cast<std::uint8_t>(byte(rng)));
        } else if (p < 4) {
            s.push_back(static_cast<std::uint8_t>(p < 2 ? (rng() & 1) : literal(rng)));
        } else if (p < 7) {
            s.push_back(static_cast<std::uint8_t>(0xC0 + count(rng)));
            s.push_back(static_cast<std::uint8_t>(p == 4 ? byte(rng) : (rng() & 1)));
        } else {
            const int v = p == 9 ? byte(rng) : static_cast<int>(rng() & 1);
            for (int k = static_cast<int>(rng() % 40); k >= 0; --k) {
                s.push_back(0xFF);
                s.push_back(static_cast<std::uint8_t>(v));
            }
        }
    }
    s.resize(length);
    return s;
}

std::int64_t cube(std::int32_t n) { return std::int64_t{n} * n * n; }

}  // namespace

TEST(BulkRead, WrittenBodiesReadAsVoxelByVoxel) {
    std::mt19937_64 rng(11);
    for (std::int32_t n : kEdges)
        for (int kind = 0; kind < 7; ++kind) {
            Body b = body_of_edge(n);
            fill_kind(b.rec, rng, kind);
            const Bytes file = written(b.rec, false);
            const Bytes stream(file.begin() + 52, file.end());
            expect_same_read(stream, n, "edge " + std::to_string(n) + " kind " + std::to_string(kind));
            // With surplus bytes behind it and cut short by one byte.
            expect_same_read(concat(stream, {0x01, 0xFF, 0x05}), n, "surplus, edge " + std::to_string(n));
            if (!stream.empty())
                expect_same_read(Bytes(stream.begin(), stream.end() - 1), n, "short, edge " + std::to_string(n));
        }
}

TEST(BulkRead, ForeignAndTruncatedStreamsReadAsVoxelByVoxel) {
    std::mt19937_64 rng(12);
    for (std::int32_t n : kEdges)
        for (int trial = 0; trial < 24; ++trial) {
            const int kind = trial % 3;
            // From empty to well past what the grid needs.
            const auto length = static_cast<std::size_t>(rng() % (cube(n) / (trial % 4 == 0 ? 1 : 8) + 4));
            Bytes stream = foreign_stream(rng, length, kind);
            if (trial % 5 == 1) stream.push_back(static_cast<std::uint8_t>(0xC0 + rng() % 64));  // marker last
            expect_same_read(stream, n, "edge " + std::to_string(n) + " trial " + std::to_string(trial));
        }
}

TEST(BulkRead, EdgeCasesOfTheCode) {
    const std::vector<Bytes> streams = {
        {},                            // nothing: every voxel empty
        {0xC0, 0x05, 0xC1, 0x06},      // markers of 0 and 1 give one value each
        {0xC2, 0x80, 0xC5, 0x7F},      // 128 leaves empty, 127 sets
        {0xBF, 0x02, 0x7F, 0x80},      // literals at the edges of the classes
        {0xC7, 0x01, 0xFF},            // a marker as the last byte reads as FF
        {0xFF, 0x01, 0xFF, 0x01, 0xFF, 0x01, 0xFF, 0x01, 0xFF, 0x01, 0xFF},
        {0xC9},                        // the whole stream is one marker
    };
    for (std::int32_t n : {0, 1, 2, 3, 4, 7, 9})
        for (std::size_t k = 0; k < streams.size(); ++k)
            expect_same_read(streams[k], n, "stream " + std::to_string(k) + ", edge " + std::to_string(n));
}

TEST(BulkRead, StreamsLongerThanOneBlock) {
    std::mt19937_64 rng(13);
    for (int kind = 0; kind < 3; ++kind) {
        const std::int32_t n = 131;  // 2.2 million voxels: several blocks of input
        const Bytes stream = foreign_stream(rng, static_cast<std::size_t>(cube(n) / (kind == 2 ? 20 : 1)), kind);
        expect_same_read(stream, n, "long stream of kind " + std::to_string(kind));
    }
}

// On a grid this large the reader has a third thread take the page faults of the bitmap from the
// top down while the filling thread works upwards; the bitmap is cut into about 64 chunks that
// neither thread may touch while the other works in it. Bodies with set voxels in every part of
// the grid (so that the two meet wherever the timing takes them), runs over many chunks at once,
// voxels on both sides of every chunk boundary, a body in only one half, and streams that end
// early must all read as voxel by voxel.
TEST(BulkRead, LargeGridsWithPageFaultsTakenAhead) {
    const std::int32_t n = 131;
    const std::int64_t total = cube(n);
    const std::int64_t chunk_bits = (total + 63) / 64 * 8 / 64 / 4096 * 4096 * 8;
    ASSERT_GT(total / chunk_bits, 8) << "the grid must span many chunks";
    std::mt19937_64 rng(14);
    for (int kind = 0; kind < 6; ++kind) {
        Body b = body_of_edge(n);
        switch (kind) {
            case 0: fill_runs(b.rec, rng, 40, 0.5); break;
            case 1: fill_runs(b.rec, rng, 3 * chunk_bits, 0.5); break;  // runs over several chunks
            case 2:
                for (std::int64_t i = chunk_bits; i < total; i += chunk_bits)
                    for (std::int64_t d : {-9, -1, 0, 1}) set_index(b.rec, i + d);
                break;
            case 3:  // the lower half only, then the upper half only
                for (std::int64_t i = 0; i < total / 2; i += 3) set_index(b.rec, i);
                break;
            case 4:
                for (std::int64_t i = total / 2; i < total; i += 5) set_index(b.rec, i);
                break;
            default: fill_random(b.rec, rng, 0.5); break;
        }
        const Bytes file = written(b.rec, false);
        const Bytes stream(file.begin() + 52, file.end());
        expect_same_read(stream, n, "kind " + std::to_string(kind));
        if (kind % 2 == 0)
            expect_same_read(Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(stream.size() / 3)), n,
                             "cut short, kind " + std::to_string(kind));
    }
}

// Chains of equal full markers "FF v" are taken several pairs at a time: chains of every length up
// to past the width taken at once, broken by every kind of code at every place, running over the
// end of the grid and over the boundary between two blocks of input.
Bytes chain(int pairs, std::uint8_t v) {
    Bytes s;
    for (int k = 0; k < pairs; ++k) {
        s.push_back(0xFF);
        s.push_back(v);
    }
    return s;
}

TEST(BulkRead, ChainsOfFullMarkers) {
    const std::vector<Bytes> breaks = {{0x01}, {0x00}, {0xC5, 0x01}, {0xC5, 0x00}, {0xFF, 0x80}, {0xFF, 0x01}, {0xFF, 0x00}};
    for (std::uint8_t v : {0x00, 0x01, 0x7F, 0x80}) {
        for (int length = 0; length <= 40; ++length)
            for (const Bytes& b : breaks) {
                const Bytes stream = concat(concat(chain(length, v), b), chain(length % 7 + 1, v));
                expect_same_read(stream, 17, "chain of " + std::to_string(length) + " value " + std::to_string(v));
                // A grid that ends inside the chain, and one that ends right after a pair.
                expect_same_read(stream, 9, "grid ends in a chain of " + std::to_string(length));
            }
        // One chain with a byte changed at every place.
        const Bytes whole = chain(40, v);
        for (std::size_t at = 0; at < whole.size(); ++at)
            for (std::uint8_t other : {0x01, 0x00, 0xC3, 0xFF}) {
                Bytes stream = whole;
                stream[at] = other;
                expect_same_read(stream, 14, "chain broken at " + std::to_string(at) + " by " + std::to_string(other));
            }
    }
    // Edge 5 ends a pair's voxels exactly: 125 = 63 + 62.
    for (int length = 0; length <= 5; ++length) expect_same_read(chain(length, 1), 5, "edge 5");
}

TEST(BulkRead, ChainsAcrossBlockBoundaries) {
    // The reader's first block is the fewest bytes that can carry the grid (two per 63 voxels):
    // literals fill it up to `gap` bytes before its end and a chain of full markers follows, so the
    // block ends inside the chain, between two pairs or after a marker byte.
    const std::int32_t n = 40;
    const std::size_t first_block = 2 * static_cast<std::size_t>(cube(n) / 63) + std::min<std::int64_t>(cube(n) % 63, 2);
    for (std::size_t gap = 0; gap <= 9; ++gap) {
        Bytes literals(first_block - gap, 0x01);
        for (std::size_t k = 0; k < literals.size(); k += 97) literals[k] = 0x00;
        for (std::uint8_t v : {0x00, 0x01}) {
            const Bytes s = concat(concat(literals, chain(20, v)), concat({0x00}, chain(9, static_cast<std::uint8_t>(v ^ 1))));
            expect_same_read(s, n, "gap " + std::to_string(gap) + " value " + std::to_string(v));
        }
    }
}

TEST(BulkWrite, StreamsOfSeveralOutputBlocks) {
    std::mt19937_64 rng(14);
    Body noise = body_of_edge(131);
    fill_random(noise.rec, rng, 0.5);
    const Bytes ref = written(noise.rec, false);
    ASSERT_GT(ref.size(), std::size_t{1} << 20) << "the stream should span several output blocks";
    for (int threads : {1, 2}) EXPECT_TRUE(written(noise.rec, true, nullptr, threads) == ref) << "threads " << threads;
    // and a grain, whose stream is mostly full markers
    Body grain = body_of_edge(300);
    tarvo::shapes::make_grain(grain.rec, rng());
    EXPECT_TRUE(written(grain.rec, true, nullptr, 2) == written(grain.rec, false));
}

TEST(BulkRead, ReadErrorIsReportedBothWays) {
    ScratchDir dir;
    std::FILE* f = std::fopen(dir.file("f").c_str(), "wb");  // not open for reading
    ASSERT_NE(f, nullptr);
    Body b = body_of_edge(4);
    EXPECT_FALSE(tarvo::reference::read_voxels(f, b.rec));
    std::fclose(f);
    // A directory opens but cannot be read.
    TelesoRecord rec;
    const tarvo::Status s = tarvo::load_body(dir.path().string(), rec);
    EXPECT_EQ(s.error, tarvo::Error::kReadInput);
    EXPECT_EQ(tarvo::describe(s), "Input file '" + dir.path().string() + "' cannot be read: Is a directory");
    EXPECT_EQ(rec.data, nullptr);
}

TEST(BulkWrite, StreamsEqualPutRleByte) {
    std::mt19937_64 rng(21);
    for (std::int32_t n : kEdges)
        for (int kind = 0; kind < 7; ++kind) {
            Body b = body_of_edge(n);
            fill_kind(b.rec, rng, kind);
            fill_spare_bits(b.rec, rng);
            b.rec.voxels = static_cast<std::int32_t>(rng());  // the header carries the fields as they are
            bool ok_ref = false;
            const Bytes ref = written(b.rec, false, &ok_ref);
            EXPECT_TRUE(ok_ref);
            for (int threads : {1, 2}) {
                bool ok_got = false;
                const Bytes got = written(b.rec, true, &ok_got, threads);
                EXPECT_TRUE(ok_got);
                EXPECT_TRUE(got == ref) << "edge " << n << " kind " << kind << " threads " << threads << ": "
                                        << got.size() << " bytes against " << ref.size();
            }
        }
}

TEST(BulkWrite, RunLengthsAroundFullMarkers) {
    // One set stretch of each length from 1 to 200 at every start within a word.
    Body b = body_of_edge(9);
    for (std::int64_t len = 1; len <= 200; len += (len < 140 ? 1 : 7))
        for (std::int64_t start = 0; start < 70; start += 3) {
            std::memset(b.rec.data, 0, static_cast<std::size_t>(b.rec.size));
            for (std::int64_t i = start; i < start + len && i < cube(9); ++i) set_index(b.rec, i);
            ASSERT_TRUE(written(b.rec, true) == written(b.rec, false)) << "length " << len << " at " << start;
        }
}

TEST(BulkWrite, ChainsOfFullMarkersAtTheEndOfAnOutputBlock) {
    // A million single voxels (one literal byte each) fill the first output block up to `gap`
    // bytes before its end; stretches of 0 to 70 full markers and every kind of rest follow, so
    // that they meet the end of the block at every place near it.
    const std::int64_t block = std::int64_t{1} << 20;
    const std::int32_t n = 107;
    for (std::int64_t gap : {0, 1, 2, 7, 64, 127, 128, 129, 130, 131, 132, 133, 134, 135, 136, 137, 138, 139, 140, 141, 200}) {
        Body b = body_of_edge(n);
        std::int64_t at = block - gap;
        for (std::int64_t i = 1; i < at; i += 2) set_index(b.rec, i);
        for (std::int64_t k : {64, 0, 1, 2, 3, 4, 5, 63, 65, 70, 61, 62, 31, 32, 33, 7, 8, 9, 15, 16, 17}) {
            const std::int64_t set_len = std::max<std::int64_t>(1, 63 * k + (k * 7) % 63);
            for (std::int64_t i = at; i < at + set_len; ++i) set_index(b.rec, i);
            at += set_len + 1 + 63 * (k % 3) + k % 5;  // and an empty stretch after it
        }
        ASSERT_LT(at, cube(n));
        const Bytes ref = written(b.rec, false);
        for (int threads : {1, 2}) EXPECT_TRUE(written(b.rec, true, nullptr, threads) == ref) << "gap " << gap << " threads " << threads;
    }
}

// On two threads a grid of more than 4 Mi voxels is coded in chunks of 4 Mi voxels that begin at
// the first run boundary from there on: chunk boundaries inside runs of every length, on a run's
// first voxel, runs over whole chunks (which are then empty), runs over several chunks in a row
// (a small particle in a large grid), single voxels either side, and noise.
TEST(BulkWrite, ChunksCodedOnTwoThreadsJoinIntoTheStream) {
    const std::int32_t n = 256;  // four chunks
    const std::int64_t chunk = std::int64_t{4} << 20;
    std::mt19937_64 rng(23);
    for (int kind = 0; kind < 6; ++kind) {
        Body b = body_of_edge(n);
        auto set_range = [&](std::int64_t from, std::int64_t to) {
            for (std::int64_t i = from; i < to; ++i) set_index(b.rec, i);
        };
        switch (kind) {
            case 0: fill_random(b.rec, rng, 0.5); break;
            case 1:  // a run over all of chunk 1 and into chunk 2, runs from chunk boundaries on
                set_range(chunk - 5, 2 * chunk + 70);
                set_range(3 * chunk, 3 * chunk + 1);
                set_range(3 * chunk + 2, 3 * chunk + 130);
                break;
            case 2:  // runs of 62, 63, 64 and 126 voxels that end at a chunk boundary or one past it
                set_range(chunk - 62, chunk);
                set_range(2 * chunk - 63, 2 * chunk + 1);
                set_range(3 * chunk - 126, 3 * chunk - 1);
                set_range(3 * chunk, 3 * chunk + 64);
                break;
            case 4:  // a run over chunks 1 and 2, and one voxel in the last chunk after an empty run
                set_range(chunk / 2, 3 * chunk + 7);
                set_index(b.rec, 4 * chunk - 9);
                break;
            case 5:  // one voxel in the first chunk, the rest empty
                set_index(b.rec, 12345);
                break;
            default:  // the grid full but for single voxels about the boundaries
                fill_all(b.rec);
                for (std::int64_t k = 1; k < 4; ++k)
                    for (std::int64_t d : {-2, 0, 3}) b.rec.data[(k * chunk + d) >> 3] &= static_cast<std::uint8_t>(~(1u << ((k * chunk + d) & 7)));
                break;
        }
        EXPECT_TRUE(written(b.rec, true, nullptr, 2) == written(b.rec, false)) << "kind " << kind;
    }
}

// The reason of a failed write is the writing thread's, whichever thread wrote.
TEST(BulkWrite, WriteFailureIsReportedWithItsReason) {
    Body b = body_of_edge(170);  // two chunks on two threads
    std::mt19937_64 rng(22);
    fill_random(b.rec, rng, 0.5);
    for (int threads : {1, 2}) {
        tarvo::Output out;
        ASSERT_TRUE(out.open("/dev/full"));
        const tarvo::Status s = tarvo::write_body(out, b.rec, threads);
        EXPECT_EQ(s.error, tarvo::Error::kWriteOutput) << "threads " << threads;
        EXPECT_EQ(tarvo::describe(s), "Writing '/dev/full' failed: No space left on device") << "threads " << threads;
    }
}

TEST(BulkAnalyse, FieldsEqualTheVoxelByVoxelMeasurement) {
    std::mt19937_64 rng(31);
    for (std::int32_t n : kEdges)
        for (int kind = 0; kind < 9; ++kind) {
            Body b = body_of_edge(n);
            fill_kind(b.rec, rng, kind);
            if (kind == 7 && n > 0) Set_voxel(b.rec, static_cast<std::int32_t>(rng() % n), n - 1, n / 2, 1);
            if (kind == 8 && n > 0) Set_voxel(b.rec, n - 1, static_cast<std::int32_t>(rng() % n), 0, 1);
            fill_spare_bits(b.rec, rng);
            const Bytes before = bitmap_of(b.rec);
            b.rec.x_min = b.rec.voxels = b.rec.z_mean = 12345;  // earlier values must not matter
            tarvo::geometry::reference::analyse(b.rec);
            const std::vector<std::int32_t> ref = measurement_of(b.rec);
            for (int threads : {1, 2}) {
                b.rec.y_max = b.rec.voxels = -7;
                tarvo::geometry::analyse(b.rec, threads);
                EXPECT_EQ(measurement_of(b.rec), ref) << "edge " << n << " kind " << kind << " threads " << threads
                                                ;
            }
            EXPECT_TRUE(bitmap_of(b.rec) == before) << "the measurement changed the bitmap";
        }
}

// The cut that knows the particle's tally looks for the first and last set voxels of what it
// keeps from both ends of the row; they must be those the measurement of the row finds, for parts
// of rows of one to many words, sparse and dense, at every offset in a word.
TEST(BulkRows, BoundsFromTheEndsAreThoseOfTheMeasurement) {
    std::mt19937_64 rng(71);
    const std::int32_t n = 300;  // rows of five words and more
    Body b = body_of_edge(n);
    for (int trial = 0; trial < 3000; ++trial) {
        std::memset(b.rec.data, 0, 50 * n / 8 + 8);  // the 50 rows used
        const std::int64_t row = n * static_cast<std::int64_t>(rng() % 50);
        const int set = static_cast<int>(rng() % 4);  // none, one, two or many set voxels
        for (int k = 0; k < (set == 3 ? 60 : set); ++k) set_index(b.rec, row + static_cast<std::int64_t>(rng() % n));
        const std::int64_t x_begin = static_cast<std::int64_t>(rng() % n);
        const std::int64_t x_end = x_begin + 1 + static_cast<std::int64_t>(rng() % (n - x_begin));
        tarvo::Tally measured, bounded;
        tarvo::geometry::measure_row_part(measured, b.rec.data, row, x_begin, x_end, 1, 2, {});
        tarvo::geometry::bound_row_part(bounded, b.rec.data, row, x_begin, x_end, 1, 2, {});
        EXPECT_EQ(bounded.x_min, measured.x_min) << "trial " << trial;
        EXPECT_EQ(bounded.x_max, measured.x_max) << "trial " << trial;
        EXPECT_EQ(bounded.y_min, measured.y_min) << "trial " << trial;
        EXPECT_EQ(bounded.z_max, measured.z_max) << "trial " << trial;
    }
}

TEST(BulkAnalyse, MeansAtTheEdgesOfTruncation) {
    // One full row and one more voxel moved along an axis: the coordinate sum then passes through
    // every remainder modulo the count, so an error of one in any sum changes a truncated mean.
    std::mt19937_64 rng(32);
    for (std::int32_t n : {64, 65, 97}) {
        const std::int32_t ry = static_cast<std::int32_t>(rng() % n), rz = static_cast<std::int32_t>(rng() % n);
        for (int axis = 0; axis < 3; ++axis)
            for (std::int32_t k = 0; k < n; ++k) {
                Body b = body_of_edge(n);
                for (std::int32_t x = 0; x < n; ++x) Set_voxel(b.rec, x, ry, rz, 1);
                const std::int32_t at[3] = {axis == 0 ? k : 5, axis == 1 ? k : (ry + 1) % n, axis == 2 ? k : (rz + 2) % n};
                Set_voxel(b.rec, at[0], at[1], at[2], 1);
                tarvo::geometry::reference::analyse(b.rec);
                const std::vector<std::int32_t> ref = measurement_of(b.rec);
                for (int threads : {1, 2}) {
                    tarvo::geometry::analyse(b.rec, threads);
                    ASSERT_EQ(measurement_of(b.rec), ref) << "edge " << n << " axis " << axis << " at " << k;
                }
            }
    }
}

namespace {

float f32(double d) { return static_cast<float>(d); }

// Cut lengths of every class: zeros of both signs, infinities, NaN, huge and tiny, powers of two
// (exact quotients, voxels exactly on the plane), ordinary and inexact values of both signs.
std::vector<float> special_lengths() {
    const float inf = std::numeric_limits<float>::infinity();
    return {0.0f,   -0.0f,  inf,     -inf,   std::numeric_limits<float>::quiet_NaN(),
            99999,  -99999, 1e-30f,  -1e-30f, std::numeric_limits<float>::denorm_min(),
            1,      -1,     2,       -2,     4,
            0.5f,   -0.25f, 8,       64,     -1024,
            3,      6,      -3,      0.1f,   f32(1.0 / 3),
            1e30f,  -1e30f, 7.5f,    1.0001f, -0.9999f};
}

float random_length(std::mt19937_64& rng, const std::vector<float>& special) {
    switch (rng() % 4) {
        case 0: return special[rng() % special.size()];
        case 1: return f32(std::uniform_real_distribution<double>(-40, 40)(rng));
        case 2: return f32(std::ldexp(1.0, static_cast<int>(rng() % 12) - 3) * ((rng() & 1) ? 1 : -1));
        default: return f32(std::uniform_real_distribution<double>(-3, 3)(rng));
    }
}

std::int32_t random_centre(std::mt19937_64& rng, std::int32_t n) {
    switch (rng() % 5) {
        case 0: return std::uniform_int_distribution<std::int32_t>(-3 * n - 5, 4 * n + 5)(rng);
        case 1: return static_cast<std::int32_t>(rng() % 4) - 2 + (rng() & 1 ? n : 0);  // at the edges
        default: return n > 0 ? static_cast<std::int32_t>(rng() % n) : 0;
    }
}

// The cut clears what the voxel-by-voxel cut clears, and measures what it keeps as the
// voxel-by-voxel measurement does: on its own, and given the tally of the body before the cut (as
// the program gives it), from which it takes what it clears.
void expect_same_cut(const TelesoRecord& body, Center c, float xc, float yc, float zc, const std::string& what) {
    Body ref = body_of_edge(body.dim);
    std::memcpy(ref.rec.data, body.data, bitmap_of(body).size());
    tarvo::geometry::reference::cut(ref.rec, c, xc, yc, zc);
    tarvo::geometry::reference::analyse(ref.rec);
    tarvo::Tally all;
    for (std::int32_t z = 0; z < body.dim; ++z)
        for (std::int32_t y = 0; y < body.dim; ++y)
            for (std::int32_t x = 0; x < body.dim; ++x)
                if (Get_voxel(body, x, y, z)) all.add_row_piece(1, x, x, x, y, z);
    for (int threads : {1, 2, -1, -2}) {
        Body got = body_of_edge(body.dim);
        std::memcpy(got.rec.data, body.data, bitmap_of(body).size());
        tarvo::Tally kept;
        tarvo::geometry::cut(got.rec, c, xc, yc, zc, std::abs(threads), &kept, threads < 0 ? &all : nullptr);
        const std::string where = what + " threads " + std::to_string(std::abs(threads)) +
                                  (threads < 0 ? " with the tally before" : "") + ": cut lengths " + std::to_string(xc) +
                                  " " + std::to_string(yc) + " " + std::to_string(zc) + ", centre " +
                                  std::to_string(c.x) + " " + std::to_string(c.y) + " " + std::to_string(c.z);
        EXPECT_TRUE(bitmap_of(got.rec) == bitmap_of(ref.rec)) << where;
        tarvo::geometry::set_measurement(got.rec, kept);
        EXPECT_EQ(measurement_of(got.rec), measurement_of(ref.rec)) << where << ": the kept voxels measured on the way";
    }
}

}  // namespace

TEST(BulkCut, EveryCombinationOfSpecialLengths) {
    // Full grids show every decision; the spare bits must survive the cut.
    const std::vector<float> special = special_lengths();
    std::mt19937_64 rng(41);
    for (std::int32_t n : {5, 8, 9}) {
        Body b = body_of_edge(n);
        fill_all(b.rec);
        fill_spare_bits(b.rec, rng);
        const Center mid{(n - 1) / 2, (n - 1) / 2, (n - 1) / 2};
        for (float xc : special)
            for (float yc : special)
                for (float zc : {special[rng() % special.size()], special[rng() % special.size()]})
                    expect_same_cut(b.rec, mid, xc, yc, zc, "edge " + std::to_string(n));
    }
}

TEST(BulkCut, RandomLengthsAndCentres) {
    const std::vector<float> special = special_lengths();
    std::mt19937_64 rng(42);
    for (std::int32_t n : kEdges)
        for (int trial = 0; trial < (n <= 17 ? 60 : 12); ++trial) {
            Body b = body_of_edge(n);
            fill_kind(b.rec, rng, trial % 2 == 0 ? 5 : static_cast<int>(rng() % 5));
            fill_spare_bits(b.rec, rng);
            const Center c{random_centre(rng, n), random_centre(rng, n), random_centre(rng, n)};
            expect_same_cut(b.rec, c, random_length(rng, special), random_length(rng, special),
                            random_length(rng, special), "edge " + std::to_string(n));
        }
}

TEST(BulkCut, VoxelsOnThePlaneDecidedByTheExtendedSum) {
    // Lengths whose quotients are inexact put voxels a last bit beyond or short of the plane.
    Body b = body_of_edge(8);
    fill_all(b.rec);
    const Center c{3, 3, 3};
    for (const auto& l : std::vector<std::array<float, 3>>{{2, 3, 6}, {3, 1, 3}, {3, 6, 2}, {6, 3, 2}, {-3, -6, 2},
                                                          {1, 1, 99999}, {-1, -1, 99999}, {1, 1, 1e30f}, {7, 7, 7}})
        expect_same_cut(b.rec, c, l[0], l[1], l[2], "edge 8");
    // Lengths near 1/k, whose plane passes close to many voxels of a larger grid.
    std::mt19937_64 rng(43);
    Body big = body_of_edge(33);
    fill_all(big.rec);
    for (int trial = 0; trial < 40; ++trial) {
        auto near = [&rng] { return f32((1 + static_cast<int>(rng() % 30)) / (1.0 + static_cast<int>(rng() % 7))) * ((rng() % 3) ? 1.0f : -1.0f); };
        expect_same_cut(big.rec, Center{16, 16, 16}, near(), near(), near(), "edge 33");
    }
}

TEST(BulkLongRows, MeasureAndCutRowsOfManyWords) {
    // Rows of several words: particles in the middle of the rows, solid runs across whole words.
    const std::vector<float> special = special_lengths();
    std::mt19937_64 rng(61);
    for (std::int32_t n : {131, 200}) {
        for (int kind = 0; kind < 3; ++kind) {
            Body b = body_of_edge(n);
            if (kind == 0) tarvo::shapes::make_sphere(b.rec, n / 7.0);
            if (kind == 1) tarvo::shapes::make_grain(b.rec, rng());
            if (kind == 2) fill_runs(b.rec, rng, 300, 0.5);
            fill_spare_bits(b.rec, rng);
            tarvo::geometry::reference::analyse(b.rec);
            const std::vector<std::int32_t> ref = measurement_of(b.rec);
            for (int threads : {1, 2}) {
                tarvo::geometry::analyse(b.rec, threads);
                EXPECT_EQ(measurement_of(b.rec), ref) << "edge " << n << " kind " << kind;
            }
            const Center c{random_centre(rng, n), random_centre(rng, n), random_centre(rng, n)};
            expect_same_cut(b.rec, c, random_length(rng, special), random_length(rng, special),
                            random_length(rng, special), "edge " + std::to_string(n) + " kind " + std::to_string(kind));
            EXPECT_TRUE(written(b.rec, true) == written(b.rec, false)) << "edge " << n << " kind " << kind;
        }
        Body full = body_of_edge(n);
        fill_all(full.rec);
        for (const auto& l : std::vector<std::array<float, 3>>{{300, 400, 99999}, {-50, 70, std::numeric_limits<float>::infinity()}, {0, 90, -0.0f}})
            expect_same_cut(full.rec, Center{n / 2, n / 3, n / 2}, l[0], l[1], l[2], "full, edge " + std::to_string(n));
    }
}

TEST(BulkRun, WholeRunsGiveTheSameFile) {
    // Read, measure, cut, measure, write: through the bulk engine and voxel by voxel.
    std::mt19937_64 rng(51);
    const std::vector<float> special = special_lengths();
    for (std::int32_t n : {1, 9, 30, 47}) {
        Body src = body_of_edge(n);
        tarvo::shapes::make_grain(src.rec, rng());
        const Bytes file = written(src.rec, false);
        const Bytes stream(file.begin() + 52, file.end());
        for (int trial = 0; trial < 6; ++trial) {
            const float xc = random_length(rng, special), yc = random_length(rng, special), zc = random_length(rng, special);
            Bytes out[2];
            for (bool bulk : {false, true}) {
                Body b = body_of_edge(n);
                if (bulk) {
                    const StreamRead r = load_stream(stream, n);
                    std::copy(r.bitmap.begin(), r.bitmap.end(), b.rec.data);
                } else {
                    std::FILE* f = stream_of(stream);
                    tarvo::reference::read_voxels(f, b.rec);
                    std::fclose(f);
                }
                bulk ? tarvo::geometry::analyse(b.rec) : tarvo::geometry::reference::analyse(b.rec);
                const Center c = Get_center(b.rec);
                bulk ? tarvo::geometry::cut(b.rec, c, xc, yc, zc) : tarvo::geometry::reference::cut(b.rec, c, xc, yc, zc);
                bulk ? tarvo::geometry::analyse(b.rec) : tarvo::geometry::reference::analyse(b.rec);
                out[bulk] = written(b.rec, bulk);
            }
            EXPECT_TRUE(out[0] == out[1]) << "edge " << n << ", cut lengths " << xc << " " << yc << " " << zc;
        }
    }
}

TEST(BulkRun, ProgramOutputEqualsTheVoxelByVoxelRun) {
    ScratchDir dir;
    Body src = body_of_edge(41);
    tarvo::shapes::make_grain(src.rec, 7);
    write_bytes(dir.file("in.3d"), written(src.rec, false));
    for (const auto& args : std::vector<std::array<std::string, 3>>{{"300", "400", "99999"}, {"1", "1", "1e39"},
                                                                    {"0", "-0", "5"}, {"-3", "7", "0.1"}}) {
        const RunResult r = run_tarvo({"in.3d", "out.3d", args[0], args[1], args[2]}, dir.path().string());
        ASSERT_EQ(r.status, 0) << r.output;
        Body b = body_of_edge(41);
        const Bytes input = read_bytes(dir.file("in.3d"));
        std::FILE* f = stream_of(Bytes(input.begin() + 52, input.end()));
        tarvo::reference::read_voxels(f, b.rec);
        std::fclose(f);
        tarvo::geometry::reference::analyse(b.rec);
        tarvo::geometry::reference::cut(b.rec, Get_center(b.rec), Cut_length(args[0].c_str()), Cut_length(args[1].c_str()),
                                 Cut_length(args[2].c_str()));
        tarvo::geometry::reference::analyse(b.rec);
        EXPECT_TRUE(read_bytes(dir.file("out.3d")) == written(b.rec, false)) << args[0] << " " << args[1] << " " << args[2];
    }
}
