// The run-length codecs, byte by byte.
#include <gtest/gtest.h>

#include "support.h"
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
