#pragma once

#include <cstdio>

#include "image/format.hpp"

namespace cardwrap {

// Writes `count` bytes from `bytes` to `stream`, in order. False if any of
// them was not written.
bool write_bytes(std::FILE *stream, const unsigned char *bytes, int count);

// Writes the whole image: the first TITLE_LEN bytes of `title`,
// HEADER_FILL_LEN zero bytes, the `size` bytes of `data`, then `fill` zero
// bytes (fewer than BLOCK_SIZE). False if any byte was not written.
bool write_image(std::FILE *stream, const char (&title)[TITLE_BUF_LEN], const unsigned char *data,
                 int size, int fill);

// Flushes and closes `stream`. False if the flush or the close failed, or if
// any earlier write on it did; the stream is closed whatever the outcome.
bool close_output(std::FILE *stream);

} // namespace cardwrap
