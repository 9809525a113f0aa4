// The bitmap's block: zeroed memory from the allocator, whose large blocks come as fresh pages.
#include <cstdlib>

#include "sys/platform.h"

namespace tarvo::sys {

std::uint8_t* allocate_zeroed(std::size_t bytes) {
    return static_cast<std::uint8_t*>(std::calloc(bytes == 0 ? 1 : bytes, 1));
}

void release_zeroed(std::uint8_t* block, std::size_t) { std::free(block); }

}  // namespace tarvo::sys
