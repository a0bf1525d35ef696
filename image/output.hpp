#pragma once

#include <cstdio>

namespace cardwrap {

// Room for the path of the file an output ends at, once symbolic links are
// followed: the longest path the POSIX systems we build for accept.
inline constexpr int OUTPUT_PATH_LEN = 4096;
// Room for that path followed by the temporary file's suffix.
inline constexpr int TEMP_PATH_LEN = OUTPUT_PATH_LEN + 32;

// An output being written. A regular file, or a name that holds nothing yet,
// is written to a temporary file beside it that replaces it only once the
// whole image is on the device, so that the path holds its old content or
// the whole new image at every instant. Anything else (a device, a pipe) and
// a file whose folder takes no new name are written in place.
struct output {
    std::FILE *stream = nullptr;
    const char *path = nullptr;        // as the user gave it
    char target[OUTPUT_PATH_LEN] = {}; // the file at the end of its links
    char temp[TEMP_PATH_LEN] = {};     // empty when written in place
    bool regular = false;              // in place: a regular file
};

// Makes a write to a closed pipe or past the file-size limit fail, where it
// would otherwise kill the process, so that the run can report it.
void ignore_write_signals();

// Opens an output for the image. False, with nothing created or changed, if
// `path` cannot be written.
bool open_output(output &out, const char *path);

// Flushes the image to the device and puts it in place. False if any step
// failed; the output is then abandoned.
bool commit_output(output &out);

// Throws the image away: a temporary file is removed, and so is a regular
// file written in place, since a short image would pass for a good one.
void abandon_output(output &out);

} // namespace cardwrap
