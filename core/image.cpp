#include "core/image.hpp"

#include <cstring>

namespace cardwrap {

int count_blocks(int size)
{
    return (size + BLOCK_SIZE - 1) / BLOCK_SIZE;
}

std::size_t frame_image(unsigned char *image, const char (&title)[TITLE_BUF_LEN], int size)
{
    const int end = HEADER_LEN + size;
    const int length = HEADER_LEN + count_blocks(size) * BLOCK_SIZE;
    std::memcpy(image, title, TITLE_LEN);
    std::memset(image + TITLE_LEN, 0, HEADER_FILL_LEN);
    // Zeroed every time: a process may run the tool more than once.
    std::memset(image + end, 0, static_cast<std::size_t>(length - end));
    return static_cast<std::size_t>(length);
}

} // namespace cardwrap
