#pragma once

namespace cardwrap {

// The number of BLOCK_SIZE blocks that hold `size` bytes; `size` is at least 1.
int count_blocks(int size);

} // namespace cardwrap
