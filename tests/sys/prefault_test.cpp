// The page-faulting helper of the reader against a filling thread: whatever the timing, the helper
// never stores into a chunk the filler has entered, so nothing the filler wrote is lost, and it
// never leaves a chunk half touched under the filler's writes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "sys/prefault.h"

namespace {

struct FreeBlock {
    void operator()(std::uint8_t* p) const { std::free(p); }
};

// Fills a fresh zeroed block upwards as the reader does, announcing each write first, with
// `stride` bytes between the stretches it writes and `length` bytes in each; every byte it wrote
// must hold its value afterwards and every other byte must still be zero.
void fill_and_check(std::size_t bytes, std::size_t stride, std::size_t length) {
    std::unique_ptr<std::uint8_t, FreeBlock> block(static_cast<std::uint8_t*>(std::calloc(bytes, 1)));
    ASSERT_TRUE(block);
    std::uint8_t* data = block.get();
    {
        tarvo::Prefault prefault(data, bytes, true);
        for (std::size_t at = 0; at < bytes; at += stride) {
            const std::size_t n = std::min(length, bytes - at);
            prefault.enter(at + n - 1);
            std::memset(data + at, 0xA5, n);
        }
        prefault.stop();
    }
    std::size_t lost = 0, stray = 0;
    for (std::size_t i = 0; i < bytes; ++i) {
        const bool written = i % stride < length;
        if (written && data[i] != 0xA5) ++lost;
        if (!written && data[i] != 0) ++stray;
    }
    EXPECT_EQ(lost, 0u) << "bytes written by the filler and overwritten, stride " << stride << " length " << length;
    EXPECT_EQ(stray, 0u) << "bytes changed that nobody wrote, stride " << stride << " length " << length;
}

TEST(Prefault, NothingTheFillerWroteIsLost) {
    const std::size_t bytes = std::size_t{16} << 20;  // chunks of 256 KiB
    fill_and_check(bytes, 4096, 4096);                 // every byte
    fill_and_check(bytes, 4096, 1);                    // the first byte of every page
    fill_and_check(bytes, 300000, 70000);              // stretches across chunk boundaries
    fill_and_check(bytes, 3 << 20, 1 << 20);           // stretches over several chunks
    fill_and_check(bytes + 100, 4096 * 7 + 5, 3);      // a block of no whole number of pages
}

TEST(Prefault, SmallBlocksAndStoppingEarly) {
    for (std::size_t bytes : {std::size_t{0}, std::size_t{1}, std::size_t{4096}, std::size_t{3 * 4096 + 1}}) {
        std::unique_ptr<std::uint8_t, FreeBlock> block(static_cast<std::uint8_t*>(std::calloc(bytes + 1, 1)));
        tarvo::Prefault prefault(block.get(), bytes, true);
        if (bytes > 0) {
            prefault.enter(0);
            block.get()[0] = 1;
        }
        prefault.stop();
        prefault.stop();  // a second stop does nothing
        if (bytes > 0) {
            EXPECT_EQ(block.get()[0], 1);
        }
    }
    // Stopped before the filler writes anything: the destructor joins the helper as well.
    std::unique_ptr<std::uint8_t, FreeBlock> block(static_cast<std::uint8_t*>(std::calloc(1 << 20, 1)));
    { tarvo::Prefault prefault(block.get(), 1 << 20, true); }
    for (std::size_t i = 0; i < (1 << 20); ++i) {
        ASSERT_EQ(block.get()[i], 0) << i;
    }
}

}  // namespace
