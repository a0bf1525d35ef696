#pragma once

#include <cstdio>

#include "place.hpp"

// Paths as the Windows half of the output handles them: wide, as the user
// typed them, and cut into folder and name; and the streams over what they
// open.
namespace cardwrap::platform {

// `path`, converted from the ANSI code page strictly: false for a byte
// sequence that is no character there, or a path too long.
bool to_wide(const char *path, wchar_t (&wide)[PATH_BUF_LEN]);

// The length of the folder part of `path`: up to and including its last
// slash or backslash, or its drive ("Z:name"); 0 for a bare name.
int folder_len(const wchar_t *path);

// A stream over `handle` (`flags` as _open_osfhandle takes them, `mode` as
// _fdopen does), which then owns it; null, with the handle closed, if none
// can be made.
std::FILE *stream_of(void *handle, int flags, const char *mode);

} // namespace cardwrap::platform
