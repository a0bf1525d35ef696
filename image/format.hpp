#pragma once

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

// The title buffer keeps one byte more than the field, always zero, so the
// title is terminated however long it is.
inline constexpr int TITLE_BUF_LEN = TITLE_LEN + 1;

} // namespace cardwrap
