// The run-length codecs: byte by byte, and a run at a time on memory buffers.
#include <gtest/gtest.h>

#include "support.h"
#include "teleso/codec.h"
#include "teleso/reference.h"
#include "teleso/teleso.h"

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

class VectorSink : public teleso::BlockSink {
public:
    Bytes bytes;
    void take(teleso::Block& block) override {
        bytes.insert(bytes.end(), block.bytes.get(), block.bytes.get() + block.used);
        block.used = 0;
    }
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
    VectorSink sink;
    teleso::StreamWriter writer(sink, teleso::Block::of(block_bytes));
    for (const auto& [value, count] : runs) writer.run(value, count);
    writer.finish();
    return sink.bytes;
}

// Decodes `voxels` values from `stream`, handing it over in pieces of the sizes `rng` draws, never
// more than the reader wants; the bytes it consumed in *consumed.
Bytes read_in_pieces(const Bytes& stream, std::int64_t voxels, std::mt19937_64& rng, std::uint64_t* consumed) {
    teleso::StreamReader reader(voxels);
    ValueSink sink;
    std::size_t pos = 0;
    while (pos < stream.size() && reader.want() > 0) {
        const std::size_t n = std::min({static_cast<std::size_t>(1 + rng() % 40), reader.want(), stream.size() - pos});
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
        for (std::size_t block : {teleso::StreamWriter::kMinBlockBytes, std::size_t{1} << 20})
            ASSERT_EQ(write_runs(runs, block), expected) << "trial " << trial << ", blocks of " << block;
    }
}

TEST(RunCodec, ReaderInAnyPiecesGivesNextRleBytesValuesAndStopsWhereItStops) {
    std::mt19937_64 rng(32);
    for (int trial = 0; trial < 400; ++trial) {
        Bytes stream(rng() % 300);
        for (std::uint8_t& b : stream) b = static_cast<std::uint8_t>(rng() % 3 == 0 ? 0xC0 + rng() % 64 : rng() % 256);
        const std::int64_t voxels = static_cast<std::int64_t>(rng() % 2000);
        std::FILE* f = stream_of(stream);
        RleDecoder dec;
        Bytes expected;
        for (std::int64_t k = 0; k < voxels; ++k) expected.push_back(Next_rle_byte(dec, f));
        const auto position = static_cast<std::uint64_t>(std::ftell(f));
        std::fclose(f);
        std::uint64_t consumed = 0;
        ASSERT_EQ(read_in_pieces(stream, voxels, rng, &consumed), expected) << "trial " << trial;
        EXPECT_EQ(consumed, position) << "trial " << trial;
    }
}

TEST(RunCodec, ReadOfWriteIsIdentity) {
    std::mt19937_64 rng(33);
    for (int trial = 0; trial < 200; ++trial) {
        const Runs runs = random_runs(rng, trial % 3 != 0);
        const Bytes values = values_of(runs);
        const Bytes stream = write_runs(runs, teleso::StreamWriter::kMinBlockBytes);
        std::uint64_t consumed = 0;
        EXPECT_EQ(read_in_pieces(stream, static_cast<std::int64_t>(values.size()), rng, &consumed), values);
        EXPECT_EQ(consumed, stream.size()) << "trial " << trial;
    }
}
