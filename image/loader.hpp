#pragma once

#include <cstdio>

#include "image/format.hpp"

namespace cardwrap {

enum class load_status {
    ok,
    cannot_read, // cannot be opened, holds no bytes, or failed while being read
    too_large,   // holds more than MAX_DATA_LEN bytes
};

// Reads the whole file at `path` into `data`; on success `size` is 1 to
// MAX_DATA_LEN. The file is closed on every path.
load_status load_input(const char *path, unsigned char (&data)[MAX_DATA_LEN], int &size);

// The same, from a stream the caller opened and will close.
load_status load_stream(std::FILE *in, unsigned char (&data)[MAX_DATA_LEN], int &size);

} // namespace cardwrap
