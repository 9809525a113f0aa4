// The run-length codecs: byte by byte, and a run at a time on memory buffers.
#include <gtest/gtest.h>

#include <bit>

#include "support.h"
#include "codec/counter.h"
#include "codec/reader.h"
#include "codec/writer.h"
#include "codec/reference.h"
#include "tarvo/body.h"

using namespace test_support;

namespace {

Bytes encode(const Bytes& values) {
    std::FILE* f = std::tmpfile();
    RleEncoder enc;
    for (std::uint8_t v : values) Put_rle_byte(enc, f, v, kRleAdd);
    Put_rle_byte(enc, f, 0, kRleFlush);
    Bytes out = contents_of(f);
    std::fclose(f);
    return out;
}

Bytes decode(const Bytes& stream, std::size_t count) {
    std::FILE* f = stream_of(stream);
    RleDecoder dec;
    Bytes out;
    for (std::size_t k = 0; k < count; ++k) out.push_back(Next_rle_byte(dec, f));
    std::fclose(f);
    return out;
}

Bytes repeat(std::uint8_t v, std::size_t n) { return Bytes(n, v); }

}  // namespace

TEST(Encoder, RunsOfZerosAndOnes) {
    EXPECT_EQ(encode(repeat(0, 64)), (Bytes{0xFF, 0x00, 0x00}));
    EXPECT_EQ(encode(repeat(1, 64)), (Bytes{0xFF, 0x01, 0x01}));
    EXPECT_EQ(encode(concat({1}, repeat(0, 63))), (Bytes{0x01, 0xFF, 0x00}));
    EXPECT_EQ(encode(concat(repeat(0, 62), {1})), (Bytes{0xFE, 0x00, 0x01}));
    EXPECT_EQ(encode(concat(repeat(0, 63), {1})), (Bytes{0xFF, 0x00, 0x01}));
    EXPECT_EQ(encode(repeat(0, 126)), (Bytes{0xFF, 0x00, 0xFF, 0x00}));
    EXPECT_EQ(encode(repeat(0, 127)), (Bytes{0xFF, 0x00, 0xFF, 0x00, 0x00}));
    EXPECT_EQ(encode({1, 0, 0, 1}), (Bytes{0x01, 0x00, 0x00, 0x01}));
    EXPECT_EQ(encode({1, 1, 1, 0, 0, 0, 0, 1}), (Bytes{0xC3, 0x01, 0xC4, 0x00, 0x01}));
    EXPECT_EQ(encode(repeat(1, 3)), (Bytes{0xC3, 0x01}));
    EXPECT_EQ(encode({}), Bytes{});
}

TEST(Encoder, ValuesThatLookLikeMarkersAreAlwaysMarked) {
    EXPECT_EQ(encode({0xC0}), (Bytes{0xC1, 0xC0}));
    EXPECT_EQ(encode({0xFF, 0xFF}), (Bytes{0xC2, 0xFF}));
    EXPECT_EQ(encode({0xBF, 0xBF}), (Bytes{0xBF, 0xBF}));
}

TEST(Encoder, FlushEndsTheStreamAndOtherModesDoNothing) {
    std::FILE* f = std::tmpfile();
    RleEncoder enc;
    Put_rle_byte(enc, f, 0, kRleFlush);  // nothing pending: nothing written
    Put_rle_byte(enc, f, 1, kRleAdd);
    Put_rle_byte(enc, f, 1, 7);          // unknown mode: ignored
    Put_rle_byte(enc, f, 1, -1);
    Put_rle_byte(enc, f, 0, kRleFlush);
    Put_rle_byte(enc, f, 0, kRleFlush);
    Put_rle_byte(enc, f, 1, kRleAdd);    // a new run after the flush
    Put_rle_byte(enc, f, 0, kRleFlush);
    EXPECT_EQ(contents_of(f), (Bytes{0x01, 0x01}));
    std::fclose(f);
}

TEST(Encoder, SixtyThirdValueClosesTheRunAtOnce) {
    std::FILE* f = std::tmpfile();
    RleEncoder enc;
    for (int k = 0; k < 62; ++k) Put_rle_byte(enc, f, 0, kRleAdd);
    EXPECT_TRUE(contents_of(f).empty());
    Put_rle_byte(enc, f, 0, kRleAdd);
    EXPECT_EQ(contents_of(f), (Bytes{0xFF, 0x00}));
    EXPECT_EQ(enc.started, 0);
    std::fclose(f);
}

TEST(Decoder, LiteralsAndMarkers) {
    EXPECT_EQ(decode({0xC0, 0x05, 0x07}, 2), (Bytes{5, 7}));
    EXPECT_EQ(decode({0xC1, 0x05, 0x07}, 2), (Bytes{5, 7}));
    EXPECT_EQ(decode({0xC3, 0x01, 0xC4, 0x00, 0x01}, 8), (Bytes{1, 1, 1, 0, 0, 0, 0, 1}));
    EXPECT_EQ(decode({0xFF, 0x09}, 63), repeat(9, 63));
    EXPECT_EQ(decode({0xC2, 0xC0, 0x00}, 3), (Bytes{0xC0, 0xC0, 0x00}));
    Bytes literals;
    for (int b = 0; b < 0xC0; ++b) literals.push_back(static_cast<std::uint8_t>(b));
    EXPECT_EQ(decode(literals, literals.size()), literals);
}

TEST(Decoder, EndOfInputReadsAsFF) {
    EXPECT_EQ(decode({}, 3), repeat(0xFF, 3));
    EXPECT_EQ(decode({0x01}, 70), concat({1}, repeat(0xFF, 69)));
    EXPECT_EQ(decode({0x00, 0xC5}, 7), concat({0}, repeat(0xFF, 6)));  // a marker as the last byte
    EXPECT_EQ(decode({0xC2, 0x03, 0x04, 0x05}, 3), (Bytes{3, 3, 4}));  // surplus bytes unread
}

TEST(Codec, RandomValueStreamsRoundTrip) {
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 200; ++trial) {
        Bytes values;
        const int n = static_cast<int>(rng() % 400);
        const bool binary = trial % 2 == 0;
        while (static_cast<int>(values.size()) < n) {
            const auto v = static_cast<std::uint8_t>(binary ? rng() % 2 : rng() % 256);
            values.insert(values.end(), 1 + rng() % 130, v);
        }
        values.resize(n);
        const Bytes stream = encode(values);
        EXPECT_EQ(decode(stream, values.size()), values) << "trial " << trial;
        if (binary) {
            EXPECT_LE(stream.size(), values.size());
        }
        for (std::size_t k = 0; k < stream.size(); ++k)  // the writer never emits C0..C2
            if (stream[k] >= 0xC0) {
                EXPECT_GE(stream[k], binary ? 0xC3 : 0xC1);
                ++k;
            }
    }
}

// ---- The run-level codec on memory buffers against the byte-wise definitions ----

namespace {

// The reader's output, one value a voxel.
struct ValueSink {
    Bytes values;
    void run(std::uint8_t v, std::int64_t count) { values.insert(values.end(), static_cast<std::size_t>(count), v); }
    void literals(const std::uint8_t* p, std::size_t k) { values.insert(values.end(), p, p + k); }
};

using Runs = std::vector<std::pair<std::uint8_t, std::int64_t>>;

// Runs of binary values or of any byte (markers included), long and short, equal neighbours too.
Runs random_runs(std::mt19937_64& rng, bool binary) {
    Runs runs;
    for (int k = static_cast<int>(rng() % 60); k >= 0; --k) {
        const auto v = static_cast<std::uint8_t>(binary ? rng() % 2 : rng() % 256);
        const std::int64_t count = rng() % 4 == 0 ? 1 + static_cast<std::int64_t>(rng() % 3000) : 1 + static_cast<std::int64_t>(rng() % 70);
        runs.emplace_back(v, count);
    }
    return runs;
}

Bytes values_of(const Runs& runs) {
    Bytes v;
    for (const auto& [value, count] : runs) v.insert(v.end(), static_cast<std::size_t>(count), value);
    return v;
}

Bytes write_runs(const Runs& runs, std::size_t block_bytes) {
    tarvo::MemorySink sink;
    tarvo::StreamWriter writer(sink, tarvo::Block::of(block_bytes));
    for (const auto& [value, count] : runs) writer.run(value, count);
    writer.finish();
    return sink.bytes;
}

// Decodes `voxels` values from `stream` by the decoding path `path`, handing it over in pieces of
// the sizes `rng` draws (up to `most` bytes), never more than the reader wants; the bytes it
// consumed in *consumed.
Bytes read_in_pieces(const Bytes& stream, std::int64_t voxels, std::mt19937_64& rng, std::uint64_t* consumed,
                     tarvo::Kernel path = tarvo::Kernel::kScalar, std::size_t most = 40) {
    tarvo::StreamReader reader(voxels, path);
    ValueSink sink;
    std::size_t pos = 0;
    while (pos < stream.size() && reader.want() > 0) {
        const std::size_t n = std::min({static_cast<std::size_t>(1 + rng() % most), reader.want(), stream.size() - pos});
        EXPECT_EQ(reader.decode(stream.data() + pos, n, sink), n);
        pos += n;
    }
    *consumed = reader.facts().code_bytes;
    reader.finish(sink);
    return sink.values;
}

}  // namespace

TEST(RunCodec, WriterWritesWhatPutRleByteWritesForAnyRuns) {
    std::mt19937_64 rng(31);
    for (int trial = 0; trial < 300; ++trial) {
        const Runs runs = random_runs(rng, trial % 2 == 0);
        const Bytes expected = encode(values_of(runs));
        // Small blocks put the ends of blocks everywhere, inside chains and marker pairs too.
        for (std::size_t block : {tarvo::StreamWriter::kMinBlockBytes, std::size_t{1} << 20})
            ASSERT_EQ(write_runs(runs, block), expected) << "trial " << trial << ", blocks of " << block;
    }
}

// Any bytes, in pieces short and long (the data-parallel paths need 64 bytes of a piece at once
// and more missing voxels than 32 marker pairs can code), by every decoding path.
TEST(RunCodec, ReaderInAnyPiecesGivesNextRleBytesValuesAndStopsWhereItStops) {
    std::mt19937_64 rng(32);
    for (int trial = 0; trial < 600; ++trial) {
        const bool long_stream = trial % 2 == 1;
        Bytes stream(rng() % (long_stream ? 3000 : 300));
        for (std::uint8_t& b : stream) b = static_cast<std::uint8_t>(rng() % 3 == 0 ? 0xC0 + rng() % 64 : rng() % 256);
        const std::int64_t voxels = static_cast<std::int64_t>(rng() % (long_stream ? 60000 : 2000));
        std::FILE* f = stream_of(stream);
        RleDecoder dec;
        Bytes expected;
        for (std::int64_t k = 0; k < voxels; ++k) expected.push_back(Next_rle_byte(dec, f));
        const auto position = static_cast<std::uint64_t>(std::ftell(f));
        std::fclose(f);
        for (tarvo::Kernel path : decode_paths()) {
            std::uint64_t consumed = 0;
            ASSERT_EQ(read_in_pieces(stream, voxels, rng, &consumed, path, long_stream ? 400 : 40), expected)
                << "trial " << trial << ", " << tarvo::kernel_name(path);
            EXPECT_EQ(consumed, position) << "trial " << trial << ", " << tarvo::kernel_name(path);
        }
    }
}

namespace {

// Literal stretches of every length 0..70 that begin at every offset of the 64 bytes the
// data-parallel paths classify at once, mixed with chains of full markers. Each case follows a
// chain of four, which the paths leave to the byte-wise one, so that a window begins at the first
// literal after it; codes fill the window up to the offset, then come the stretch and a code that
// ends it: a marker pair, a marker of count 0, a lone full marker, two or three (which the window
// walks), markers whose value is a marker byte, a marker that takes the chain's first byte as its
// value, or the next chain at once.
Bytes stretches_at_every_offset(std::mt19937_64& rng) {
    const std::vector<Bytes> ends = {{0xC5, 0x01}, {0xC0, 0x00}, {0xFF, 0x01}, {0xFF, 0xFF},
                                     {0xC3, 0xC9}, {0xE0, 0x80}, {0xFE},       {},
                                     {0xFF, 0x01, 0xFF, 0x01}, {0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00}};
    auto literal = [&rng] {
        const std::uint8_t some[] = {0x00, 0x01, 0x01, 0x7F, 0x80, 0xBF};
        return rng() % 4 == 0 ? static_cast<std::uint8_t>(rng() % 0xC0) : some[rng() % 6];
    };
    Bytes s;
    for (int offset = 0; offset < 64; ++offset)
        for (int length = 0; length <= 70; ++length) {
            const std::uint8_t v = static_cast<std::uint8_t>(rng() & 1);
            s.insert(s.end(), {0xFF, v, 0xFF, v, 0xFF, v, 0xFF, v});
            for (int k = 0; k < offset;) {
                if (k == 0 || offset - k == 1 || rng() % 4 == 0) {
                    s.push_back(literal());
                    ++k;
                } else {
                    s.push_back(static_cast<std::uint8_t>(0xC0 + rng() % 63));
                    s.push_back(static_cast<std::uint8_t>(rng() % 3 == 0 ? rng() % 256 : rng() & 1));
                    k += 2;
                }
            }
            for (int k = 0; k < length; ++k) s.push_back(literal());
            const Bytes& end = ends[static_cast<std::size_t>(offset + length) % ends.size()];
            s.insert(s.end(), end.begin(), end.end());
        }
    return s;
}

}  // namespace

TEST(DecodePaths, LiteralStretchesOfEveryLengthAtEveryOffset) {
    std::mt19937_64 rng(34);
    const Bytes stream = stretches_at_every_offset(rng);
    const std::int32_t n = 150;
    const std::int64_t voxels = std::int64_t{n} * n * n;
    const Bytes expected = decode(stream, static_cast<std::size_t>(voxels));
    ASSERT_EQ(expected[voxels - 1], 0xFF) << "the grid should take the whole stream";
    const StreamRead ref = reference_read(stream, n);
    const std::vector<std::int32_t> measured = reference_measurement(ref.bitmap, n);
    for (tarvo::Kernel path : decode_paths()) {
        // Values, the stream in one piece and in pieces of every size.
        for (std::size_t most : {stream.size(), std::size_t{300}, std::size_t{70}}) {
            std::uint64_t consumed = 0;
            EXPECT_TRUE(read_in_pieces(stream, voxels, rng, &consumed, path, most) == expected)
                << tarvo::kernel_name(path) << ", pieces of up to " << most << " bytes";
            EXPECT_EQ(consumed, stream.size()) << tarvo::kernel_name(path);
        }
        // Bits through the load path, measured on the way.
        for (int threads : {1, 2}) {
            const StreamRead got = load_stream(stream, n, threads, path);
            EXPECT_TRUE(got.ok && got.bitmap == ref.bitmap) << tarvo::kernel_name(path) << ", threads " << threads;
            EXPECT_EQ(measurement_of(got.measured), measured) << tarvo::kernel_name(path) << ", threads " << threads;
        }
    }
}

// The data-parallel paths are built where they should be, and the portable build has none.
TEST(DecodePaths, EveryBuildHasTheScalarPathAndX86TheVectorOnes) {
    EXPECT_TRUE(tarvo::kernel_available(tarvo::Kernel::kScalar));
#if defined(__x86_64__) && !defined(TARVO_PORTABLE)
    EXPECT_TRUE(tarvo::kernel_available(tarvo::Kernel::kSse2));
    EXPECT_NE(tarvo::fastest_kernel(), tarvo::Kernel::kScalar);
#else
    EXPECT_EQ(tarvo::fastest_kernel(), tarvo::Kernel::kScalar);
    EXPECT_EQ(decode_paths().size(), 1u);
#endif
}

// The writer's paths likewise.
TEST(EncodePaths, EveryBuildHasTheScalarPath) {
    EXPECT_TRUE(tarvo::kernel_available(tarvo::Kernel::kScalar));
#if defined(__x86_64__) && !defined(TARVO_PORTABLE)
    EXPECT_EQ(tarvo::fastest_kernel() == tarvo::Kernel::kScalar, !tarvo::simd::has_avx2());
#else
    EXPECT_EQ(tarvo::fastest_kernel(), tarvo::Kernel::kScalar);
    EXPECT_EQ(encode_paths().size(), 1u);
#endif
}

TEST(RunCodec, ReadOfWriteIsIdentity) {
    std::mt19937_64 rng(33);
    for (int trial = 0; trial < 200; ++trial) {
        const Runs runs = random_runs(rng, trial % 3 != 0);
        const Bytes values = values_of(runs);
        const Bytes stream = write_runs(runs, tarvo::StreamWriter::kMinBlockBytes);
        std::uint64_t consumed = 0;
        EXPECT_EQ(read_in_pieces(stream, static_cast<std::int64_t>(values.size()), rng, &consumed), values);
        EXPECT_EQ(consumed, stream.size()) << "trial " << trial;
    }
}

namespace {

void set_bit(Bytes& bits, std::int64_t i) { bits[static_cast<std::size_t>(i >> 3)] |= static_cast<std::uint8_t>(1u << (i & 7)); }
bool bit_of(const Bytes& bits, std::int64_t i) { return bits[static_cast<std::size_t>(i >> 3)] >> (i & 7) & 1; }

// A bitmap image of `count` voxels, padded to whole words as the body's block is.
Bytes bitmap_image(std::int64_t count) { return Bytes(static_cast<std::size_t>((count + 63) / 64 * 8), 0); }

// Every writing path, in the smallest blocks and in large ones, codes voxels 0..count-1 of the
// bitmap as the values are coded one by one.
void expect_every_path_writes(const Bytes& bits, std::int64_t count) {
    Bytes values;
    for (std::int64_t i = 0; i < count; ++i) values.push_back(bit_of(bits, i) ? 1 : 0);
    const Bytes expected = encode(values);
    for (tarvo::Kernel path : encode_paths())
        for (std::size_t block : {tarvo::StreamWriter::kMinBlockBytes, std::size_t{1} << 20}) {
            tarvo::MemorySink sink;
            tarvo::StreamWriter writer(sink, tarvo::Block::of(block), path);
            writer.bitmap(bits.data(), 0, count);
            writer.finish();
            EXPECT_TRUE(sink.bytes == expected) << tarvo::kernel_name(path) << ", blocks of " << block << ": "
                                                << sink.bytes.size() << " bytes against " << expected.size();
        }
}

}  // namespace

// The word-at-a-time writer: every run length 1..130 (past two full markers) beginning at every
// bit of a word, as a run of set voxels among empty ones and the other way round, and stretches
// long enough for the chains of full markers between them.
TEST(RunCodec, BitmapRunsOfEveryLengthAtEveryOffset) {
    std::vector<std::pair<std::int64_t, std::int64_t>> runs;  // the set stretches
    std::int64_t at = 0;
    for (int inverse = 0; inverse < 2; ++inverse)
        for (std::int64_t length = 1; length <= 130; ++length)
            for (std::int64_t offset = 0; offset < 64; ++offset) {
                const std::int64_t begin = (at + 63) / 64 * 64 + 64 + offset;
                if (inverse == 0) {
                    runs.emplace_back(begin, begin + length);
                } else {  // an empty run of `length` inside a set stretch
                    runs.emplace_back(at + 1, begin);
                    runs.emplace_back(begin + length, begin + length + 1 + (offset * 37) % 200);
                }
                at = runs.back().second + (length * offset) % 150;
            }
    const std::int64_t count = at + 100;
    Bytes bits = bitmap_image(count);
    for (const auto& [b, e] : runs)
        for (std::int64_t i = b; i < e; ++i) set_bit(bits, i);
    expect_every_path_writes(bits, count);
}

// Words of every number of changes 0..64, and runs between them of every length 1..63, each
// coded by every path as the values are, within the runs around them.
TEST(RunCodec, BitmapWordsOfEveryNumberOfChanges) {
    std::mt19937_64 rng(36);
    std::vector<std::uint64_t> words = {0x5555555555555555ULL, 0xAAAAAAAAAAAAAAAAULL, 0x8000000000000001ULL,
                                        0x7FFFFFFFFFFFFFFEULL, 0x0000000000000001ULL, 0x8000000000000000ULL};
    for (int changes = 0; changes <= 64; ++changes)
        for (int trial = 0; trial < 20; ++trial) {
            // `changes` places where a voxel differs from the one before it (bit 0 against the
            // voxel before the word), chosen at random.
            std::uint64_t at = 0;
            while (std::popcount(at) < changes) at |= std::uint64_t{1} << (rng() % 64);
            std::uint64_t w = 0;
            bool v = rng() & 1;
            for (int k = 0; k < 64; ++k) {
                if (at >> k & 1) v = !v;
                w |= std::uint64_t{v} << k;
            }
            words.push_back(w);
        }
    for (std::int64_t len = 1; len <= 63; ++len)
        for (std::int64_t offset = 0; offset + len <= 64; offset += 1 + len / 8) {
            words.push_back(tarvo::low_mask(static_cast<int>(len)) << offset);
            words.push_back(~(tarvo::low_mask(static_cast<int>(len)) << offset));
        }
    // The words one after another, with a whole word of either value now and then between them.
    Bytes bits;
    for (std::uint64_t w : words) {
        const std::uint64_t between = rng() % 5 == 0 ? (rng() & 1 ? ~std::uint64_t{0} : 0) : rng();
        for (std::uint64_t x : {w, between})
            for (int b = 0; b < 8; ++b) bits.push_back(static_cast<std::uint8_t>(x >> (8 * b)));
    }
    expect_every_path_writes(bits, static_cast<std::int64_t>(bits.size()) * 8);
}

// Parts of bitmaps that begin and end anywhere in a word, between runs of any values, join the
// runs around them as one stream of values would.
TEST(RunCodec, BitmapPartsJoinTheRunsAroundThem) {
    std::mt19937_64 rng(35);
    for (int trial = 0; trial < 300; ++trial) {
        const std::int64_t count = 1 + static_cast<std::int64_t>(rng() % 3000);
        Bytes bits = bitmap_image(count);
        for (std::int64_t i = 0; i < count;) {  // stretches of 1..3 and of up to 300
            const std::int64_t len = 1 + static_cast<std::int64_t>(rng() % 2 ? rng() % 3 : rng() % 300);
            if (rng() & 1)
                for (std::int64_t k = i; k < std::min(count, i + len); ++k) set_bit(bits, k);
            i += len;
        }
        const std::vector<tarvo::Kernel> paths = encode_paths();
        std::vector<tarvo::MemorySink> sinks(paths.size());
        std::vector<tarvo::StreamWriter> writers;
        for (std::size_t p = 0; p < paths.size(); ++p)
            writers.emplace_back(sinks[p], tarvo::Block::of(tarvo::StreamWriter::kMinBlockBytes), paths[p]);
        Bytes values;
        for (int piece = 0; piece < 6; ++piece) {
            if (rng() % 3 == 0) {
                const auto v = static_cast<std::uint8_t>(rng() % 4 == 0 ? rng() % 256 : rng() & 1);
                const std::int64_t k = 1 + static_cast<std::int64_t>(rng() % 140);
                for (tarvo::StreamWriter& writer : writers) writer.run(v, k);
                values.insert(values.end(), static_cast<std::size_t>(k), v);
            }
            const std::int64_t b = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(count));
            const std::int64_t e = b + static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(count - b + 1));
            for (tarvo::StreamWriter& writer : writers) writer.bitmap(bits.data(), b, e);
            for (std::int64_t i = b; i < e; ++i) values.push_back(bit_of(bits, i) ? 1 : 0);
        }
        const Bytes expected = encode(values);
        for (std::size_t p = 0; p < paths.size(); ++p) {
            writers[p].finish();
            ASSERT_TRUE(sinks[p].bytes == expected) << "trial " << trial << ", " << tarvo::kernel_name(paths[p]);
        }
    }
}
