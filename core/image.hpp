#pragma once

#include <cstddef>

// The save image: a header holding the card title, then the input's bytes,
// zero-filled to whole blocks. There is no magic number and no length field;
// the file's length alone says how many blocks it holds.
namespace cardwrap {

inline constexpr int BLOCK_SIZE = 8192;
// The card gives one save at most 15 blocks.
inline constexpr int MAX_BLOCKS = 15;
inline constexpr int MAX_DATA_LEN = BLOCK_SIZE * MAX_BLOCKS;

inline constexpr int TITLE_LEN = 20;
inline constexpr int HEADER_FILL_LEN = 34;
inline constexpr int HEADER_LEN = TITLE_LEN + HEADER_FILL_LEN;
inline constexpr int MAX_IMAGE_LEN = HEADER_LEN + MAX_DATA_LEN;

// The title buffer keeps one byte more than the field, always zero, so the
// title is terminated however long it is.
inline constexpr int TITLE_BUF_LEN = TITLE_LEN + 1;

// The number of BLOCK_SIZE blocks that hold `size` bytes; `size` is at least 1.
int count_blocks(int size);

// Makes a whole image around the `size` input bytes (1 to MAX_DATA_LEN)
// already at `image + HEADER_LEN`: the first TITLE_LEN bytes of `title` and
// the header fill before them, zeros to the end of the last block after
// them. Returns the image's length.
std::size_t frame_image(unsigned char *image, const char (&title)[TITLE_BUF_LEN], int size);

} // namespace cardwrap
