#pragma once

#include "place.hpp"

// Paths as the Windows half of the output handles them: wide, as the user
// typed them, and cut into folder and name.
namespace cardwrap::platform {

// `path`, converted from the ANSI code page strictly: false for a byte
// sequence that is no character there, or a path too long.
bool to_wide(const char *path, wchar_t (&wide)[PATH_BUF_LEN]);

// The length of the folder part of `path`: up to and including its last
// slash or backslash, or its drive ("Z:name"); 0 for a bare name.
int folder_len(const wchar_t *path);

} // namespace cardwrap::platform
