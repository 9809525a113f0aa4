// The body record: allocation, release and voxel access.
#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <vector>

#include "support.h"
#include "driver/driver.h"
#include "tarvo/body.h"
#include "body/pack.h"
#include "sys/cpu.h"

using namespace test_support;

namespace {

std::string create_transcript(TelesoRecord& rec, std::int32_t n, int& result) {
    testing::internal::CaptureStdout();
    result = Create_teleso(rec, n);
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(CreateTeleso, SizeAndMessageFollowTheEdgeLength) {
    struct Case {
        std::int32_t n, size;
        const char* megabytes;
    } cases[] = {{100, 125001, "0.13"}, {2, 2, "0.00"}, {4, 9, "0.00"}, {0, 1, "0.00"}, {9, 92, "0.00"},
                 {200, 1000001, "1.00"}};
    for (const Case& c : cases) {
        TelesoRecord rec;
        int result = -1;
        const std::string out = create_transcript(rec, c.n, result);
        ASSERT_EQ(result, 0) << c.n;
        EXPECT_EQ(rec.dim, c.n);
        EXPECT_EQ(rec.size, c.size);
        EXPECT_EQ(out, std::string("Create_teleso(): Alokujem hlavny blok pre teleso o dlzke ") + c.megabytes +
                           " Mbyte...O.K.\n");
        for (std::int32_t b = 0; b < rec.size; ++b) ASSERT_EQ(rec.data[b], 0) << "byte " << b;
        testing::internal::CaptureStdout();
        Free_teleso(rec);
        testing::internal::GetCapturedStdout();
    }
}

TEST(CreateTeleso, LeavesMeasurementFieldsAlone) {
    TelesoRecord rec;
    rec.x_min = 7;
    rec.voxels = -5;
    int result = -1;
    create_transcript(rec, 3, result);
    ASSERT_EQ(result, 0);
    EXPECT_EQ(rec.x_min, 7);
    EXPECT_EQ(rec.voxels, -5);
    tarvo::free_body(rec);
}

TEST(CreateTeleso, RefusesEdgeLengthsOutsideTheFormat) {
    for (std::int32_t n : {-1, 1291, INT32_MAX, INT32_MIN}) {
        TelesoRecord rec;
        int result = -1;
        const std::string out = create_transcript(rec, n, result);
        EXPECT_EQ(result, 1) << n;
        EXPECT_EQ(rec.data, nullptr);
        EXPECT_NE(out.find("Create_teleso(): "), std::string::npos);
        EXPECT_NE(out.find(std::to_string(n)), std::string::npos) << out;
    }
    EXPECT_TRUE(tarvo::dim_in_range(1290));
    EXPECT_EQ(tarvo::bitmap_size(1290), 268336126);  // 1290^3 / 8 + 1
}

TEST(FreeTeleso, ClearsDimKeepsSizeAndReports) {
    TelesoRecord rec;
    ASSERT_TRUE(tarvo::create_body(rec, 5));
    testing::internal::CaptureStdout();
    Free_teleso(rec);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Free_teleso(): Uvolnujem hlavny pamatovy blok...O.K.\n");
    EXPECT_EQ(rec.dim, 0);
    EXPECT_EQ(rec.size, 16);
}

TEST(Voxels, BitLayoutIsLeastSignificantBitFirst) {
    Body b = body_of_edge(2);
    EXPECT_EQ(Set_voxel(b.rec, 1, 1, 1, 1), 0);
    EXPECT_EQ(b.rec.data[0], 0x80);
    EXPECT_EQ(Set_voxel(b.rec, 1, 0, 0, 1), 0);
    EXPECT_EQ(b.rec.data[0], 0x82);
    Body c = body_of_edge(3);  // voxel (0,0,1) is index 9: bit 1 of byte 1
    Set_voxel(c.rec, 0, 0, 1, 1);
    EXPECT_EQ(c.rec.data[1], 0x02);
    EXPECT_EQ(Get_voxel(c.rec, 0, 0, 1), 1);
    EXPECT_EQ(Get_voxel(c.rec, 1, 0, 1), 0);
}

TEST(Voxels, SetValueSignDecides) {
    Body b = body_of_edge(4);
    for (int v : {1, 2, 127, 1000}) {
        Set_voxel(b.rec, 2, 3, 1, 0);
        EXPECT_EQ(Set_voxel(b.rec, 2, 3, 1, v), 0);
        EXPECT_EQ(Get_voxel(b.rec, 2, 3, 1), 1) << v;
    }
    for (int v : {0, -1, -128}) {
        Set_voxel(b.rec, 2, 3, 1, 1);
        EXPECT_EQ(Set_voxel(b.rec, 2, 3, 1, v), 0);
        EXPECT_EQ(Get_voxel(b.rec, 2, 3, 1), 0) << v;
    }
}

TEST(Voxels, GetOutsideTheGridIsEmpty) {
    Body b = body_of_edge(4);
    fill_all(b.rec);
    for (auto [x, y, z] : {std::array{-1, 0, 0}, {4, 0, 0}, {0, -1, 0}, {0, 4, 0}, {0, 0, -1}, {0, 0, 4},
                           {INT32_MAX, INT32_MAX, INT32_MAX}, {INT32_MIN, 0, 0}})
        EXPECT_EQ(Get_voxel(b.rec, x, y, z), 0) << x << "," << y << "," << z;
    EXPECT_EQ(Get_voxel(b.rec, 3, 3, 3), 1);
    Body empty = body_of_edge(0);
    EXPECT_EQ(Get_voxel(empty.rec, 0, 0, 0), 0);
}

TEST(Voxels, SetGoesByLinearIndexAndRefusesOutsideTheBitmap) {
    Body b = body_of_edge(4);
    // x = dim is not checked: it names voxel (0,1,0) by its linear index.
    EXPECT_EQ(Set_voxel(b.rec, 4, 0, 0, 1), 0);
    EXPECT_EQ(Get_voxel(b.rec, 0, 1, 0), 1);
    // The spare byte of a size-2 bitmap may be written; the next byte may not.
    Body two = body_of_edge(2);
    EXPECT_EQ(Set_voxel(two.rec, 8, 0, 0, 1), 0);
    EXPECT_EQ(two.rec.data[1], 0x01);
    EXPECT_EQ(Set_voxel(two.rec, 16, 0, 0, 1), 1);
    EXPECT_EQ(two.rec.data[2], 0x00);
    // Negative and huge indices change nothing, without overflowing.
    const std::vector<std::uint8_t> before(b.rec.data, b.rec.data + b.rec.size);
    for (auto [x, y, z] : {std::array{-1, 0, 0}, {0, 0, -1}, {0, 0, 5}, {INT32_MAX, INT32_MAX, INT32_MAX},
                           {INT32_MIN, INT32_MIN, INT32_MIN}, {0, INT32_MAX, 0}})
        EXPECT_EQ(Set_voxel(b.rec, x, y, z, 1), 1) << x << "," << y << "," << z;
    EXPECT_EQ(std::vector<std::uint8_t>(b.rec.data, b.rec.data + b.rec.size), before);
    Body empty = body_of_edge(0);
    EXPECT_EQ(Set_voxel(empty.rec, 0, 0, 0, 1), 0);  // index 0 lies in the single byte
    EXPECT_EQ(Set_voxel(empty.rec, 8, 0, 0, 1), 1);
}

// Bytes to bits and back, eight at a time, against the voxel-by-voxel definition: every start in
// a byte, every length around the 64-voxel steps, thresholds 1, 2, 128 and 255, every kernel the
// machine has; bits set before stay set, none past the range appears.
TEST(Pack, BytesToBitsAndBackAsVoxelByVoxel) {
    std::mt19937_64 rng(7);
    std::vector<std::uint8_t> bytes(300);
    for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(rng() % 4 == 0 ? rng() : rng() % 3);
    for (tarvo::Kernel kernel : tarvo::kKernels) {
        if (!tarvo::kernel_available(kernel)) continue;
        for (std::uint8_t threshold : {1, 2, 128, 255})
            for (std::int64_t n : {0, 1, 7, 8, 63, 64, 65, 127, 128, 200, 256})
                for (std::int64_t start : {0, 8, 16}) {
                    std::vector<std::uint8_t> bits(48, 0x00), expected(48, 0x00);
                    bits[start / 8 + n / 8 + 1] = expected[start / 8 + n / 8 + 1] = 0x80;  // set before, past the range
                    for (std::int64_t k = 0; k < n; ++k)
                        if (bytes[k] >= threshold) expected[(start + k) / 8] |= static_cast<std::uint8_t>(1u << ((start + k) % 8));
                    tarvo::pack_bytes(bytes.data(), n, bits.data() + start / 8, threshold, kernel);
                    ASSERT_EQ(bits, expected) << tarvo::kernel_name(kernel) << " threshold " << int{threshold} << " n " << n;
                }
    }
    Body b = body_of_edge(9);  // 729 voxels: rows that do not start on a byte
    for (std::int64_t begin : {0, 1, 5, 8, 100}) {
        b = body_of_edge(9);
        const std::int64_t n = 200;
        tarvo::pack_voxels(b.rec, begin, bytes.data(), n, 2);
        std::vector<std::uint8_t> out(n), want(n);
        for (std::int64_t i = 0; i < tarvo::voxel_count(9); ++i)
            EXPECT_EQ(tarvo::voxel_at(b.rec, i), i >= begin && i < begin + n && bytes[i - begin] >= 2) << begin << " " << i;
        tarvo::unpack_voxels(b.rec, begin, n, out.data(), 255, 7);
        for (std::int64_t k = 0; k < n; ++k) want[k] = bytes[k] >= 2 ? 255 : 7;
        EXPECT_EQ(out, want) << begin;
    }
}
