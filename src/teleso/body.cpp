// The body record and its voxel bitmap.
#include <cstdlib>
#include <cstring>

#include "teleso/teleso.h"

namespace teleso {

bool dim_in_range(std::int64_t n) { return n >= 0 && n <= kMaxDim; }

std::int32_t bitmap_size(std::int32_t n) {
    const std::int64_t cube = std::int64_t{n} * n * n;
    return static_cast<std::int32_t>(cube / 8 + 1);
}

namespace {
// Whole 64-bit words, so that word-wise code never reads past the block.
std::size_t padded_bytes(std::int32_t size) {
    return (static_cast<std::size_t>(size) + 7) / 8 * 8;
}
}  // namespace

bool allocate_body(TelesoRecord& rec, std::int32_t n) {
    rec.data = nullptr;
    if (!dim_in_range(n)) return false;
    rec.dim = n;
    rec.size = bitmap_size(n);
    rec.data = static_cast<std::uint8_t*>(std::calloc(padded_bytes(rec.size), 1));
    return rec.data != nullptr;
}

void release_body(TelesoRecord& rec) {
    rec.dim = 0;
    std::free(rec.data);
    rec.data = nullptr;
}

}  // namespace teleso

int Create_teleso(TelesoRecord& rec, std::int32_t n) {
    if (!teleso::dim_in_range(n)) {
        // The 32-bit size and index formulas hold only up to the format's limit.
        std::printf("Create_teleso(): Neplatna dlzka hrany %i (povolene 0 az %i).\n", n,
                    teleso::kMaxDim);
        rec.data = nullptr;
        return 1;
    }
    rec.dim = n;
    rec.size = teleso::bitmap_size(n);
    std::printf("Create_teleso(): Alokujem hlavny blok pre teleso o dlzke %.2f Mbyte...",
                static_cast<double>(rec.size) / 1000000.0);
    if (!teleso::allocate_body(rec, n)) {
        std::printf("\nCreate_teleso(): Malo pamate.\n");
        return 1;
    }
    std::printf("O.K.\n");
    return 0;
}

void Free_teleso(TelesoRecord& rec) {
    rec.dim = 0;
    std::printf("Free_teleso(): Uvolnujem hlavny pamatovy blok...");
    teleso::release_body(rec);
    std::printf("O.K.\n");
}

namespace {
std::int64_t linear_index(std::int32_t dim, std::int32_t x, std::int32_t y, std::int32_t z) {
    const std::int64_t d = dim;
    return x + d * (y + d * z);
}
}  // namespace

int Get_voxel(const TelesoRecord& rec, std::int32_t x, std::int32_t y, std::int32_t z) {
    if (x < 0 || x >= rec.dim || y < 0 || y >= rec.dim || z < 0 || z >= rec.dim) return 0;
    const std::int64_t i = linear_index(rec.dim, x, y, z);
    return (rec.data[i / 8] >> (i % 8)) & 1;
}

int Set_voxel(TelesoRecord& rec, std::int32_t x, std::int32_t y, std::int32_t z, int value) {
    const std::int64_t i = linear_index(rec.dim, x, y, z);
    const std::int64_t b = i / 8;
    if (i < 0 || b >= rec.size) return 1;
    const auto mask = static_cast<std::uint8_t>(1u << (i % 8));
    if (value > 0)
        rec.data[b] |= mask;
    else
        rec.data[b] &= static_cast<std::uint8_t>(~mask);
    return 0;
}
