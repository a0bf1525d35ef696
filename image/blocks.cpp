#include "image/blocks.hpp"

#include "image/format.hpp"

namespace cardwrap {

int count_blocks(int size)
{
    return (size + BLOCK_SIZE - 1) / BLOCK_SIZE;
}

} // namespace cardwrap
