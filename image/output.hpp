#pragma once

#include <cstdio>

#include "image/files.hpp"

namespace cardwrap {

// An output being written. A regular file, or a name that holds nothing yet,
// is written to a temporary file in the same folder that replaces it only
// once the whole image is on the device, so that the path holds its old
// content or the whole new image at every instant. A device or a pipe, and a
// file that cannot be replaced from its folder, are written in place.
struct output {
    std::FILE *stream = nullptr;
    platform::place at{};
};

// Makes a write to a closed pipe or past the file-size limit fail, where it
// would otherwise end the process, so that the run can report it.
void ignore_write_signals();

// Opens an output for the image. False, with nothing created or changed, if
// `path` cannot be written.
bool open_output(output &out, const char *path);

// Once the image is written: flushes it to the device and puts it in place.
// False if any step failed; the output is then abandoned.
bool commit_output(output &out);

// Throws away the image of an output that was opened: a temporary file is
// removed, and a file written in place gets back what the image overwrote.
void abandon_output(output &out);

} // namespace cardwrap
