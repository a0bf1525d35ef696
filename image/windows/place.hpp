#pragma once

namespace cardwrap::platform {

// Room for a path, and for a temporary file's name.
inline constexpr int PATH_BUF_LEN = 4096;
inline constexpr int TEMP_NAME_LEN = 32;

// What an output path named when it was found.
struct place {
    const char *path = nullptr;   // as the user gave it
    char temp[PATH_BUF_LEN] = {}; // the temporary file's path; empty if none
    int fd = -1;                  // what the image is written to
    bool in_place = false;        // the output itself
    bool durable = false;         // a disk file: committed before success
};

} // namespace cardwrap::platform
