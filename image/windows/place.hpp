#pragma once

namespace cardwrap::platform {

// Room for the longest path the wide file functions take, and for a
// temporary file's name.
inline constexpr int PATH_BUF_LEN = 32768;
inline constexpr int TEMP_NAME_LEN = 40;

// What an output path named when it was found. Handles are kept as the
// system's HANDLE is, a pointer, so that this header needs no system header.
struct place {
    const char *path = nullptr;        // as the user gave it
    void *file = nullptr;              // the file it names, for its attributes; none if absent
    wchar_t target[PATH_BUF_LEN] = {}; // that file, where links lead, or the name to make
    wchar_t temp[PATH_BUF_LEN] = {};   // the temporary file beside it; empty if none
    void *temp_file = nullptr;         // held, alone, until it is renamed or removed
    unsigned long attributes = 0;      // the file's own, as found
    bool in_place = false;             // a device, written as it is
};

} // namespace cardwrap::platform
