#pragma once

#include <climits>

#include <sys/stat.h>

namespace cardwrap::platform {

// Room for one name in a folder, and for a temporary file's name.
inline constexpr int NAME_BUF_LEN = NAME_MAX + 1;
inline constexpr int TEMP_NAME_LEN = 40;

// What an output path named when it was found: descriptors of the file and
// of the folder that holds its name, opened for nothing but their identity.
struct place {
    const char *path = nullptr;    // as the user gave it
    int file = -1;                 // the file it names; -1 if none yet
    int folder = -1;               // the folder that holds the name below
    char name[NAME_BUF_LEN] = {};  // the file's name there, or the one to make
    struct stat found {};          // the file as found
    char temp[TEMP_NAME_LEN] = {}; // the temporary file's name; empty if none
    int fd = -1;                   // what the image is written to
    bool in_place = false;         // the output itself
    bool durable = false;          // a regular file: synced before success
    long kept = -1;                // in place: bytes kept to put back; -1 if none
    bool cut = false;              // in place: cut to the image's length
};

} // namespace cardwrap::platform
