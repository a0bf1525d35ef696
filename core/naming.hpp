#pragma once

#include "core/image.hpp"

namespace cardwrap {

// The longest path the tool keeps a copy of: the longest path Windows takes
// without its long-path prefix.
inline constexpr int MAX_PATH_CHARS = 260;
inline constexpr int PATH_BUF_LEN = MAX_PATH_CHARS + 1;

inline constexpr char DEFAULT_EXTENSION[] = ".mcx";
// The longest path stem that still leaves room for DEFAULT_EXTENSION.
inline constexpr int MAX_STEM_CHARS = MAX_PATH_CHARS - (sizeof DEFAULT_EXTENSION - 1);

inline constexpr char DEFAULT_TITLE_PREFIX[] = "BBSSSSP";
inline constexpr int DEFAULT_TITLE_PREFIX_LEN = sizeof DEFAULT_TITLE_PREFIX - 1;
// What is left of the title field after the prefix, for the file name.
inline constexpr int MAX_TITLE_NAME_LEN = TITLE_LEN - DEFAULT_TITLE_PREFIX_LEN;

// Cuts the extension off the last component of `path`: its last '.' and
// everything after it. A last component with no '.' leaves `path` as it is.
void strip_extension(char *path);

// Removes everything up to and including the last slash or backslash.
void strip_directory(char *path);

// Upper-cases the ASCII letters of `name`, leaving Shift_JIS double-byte
// characters whole.
void upcase_name(char *name);

// `stem` followed by DEFAULT_EXTENSION; `stem` is at most MAX_STEM_CHARS long.
void make_output_name(const char *stem, char (&out)[PATH_BUF_LEN]);

// The image's name when none is given: `in_path` less its extension, followed
// by DEFAULT_EXTENSION. False, `out` then no name to use, if either is too
// long to keep.
bool default_output_name(const char *in_path, char (&out)[PATH_BUF_LEN]);

// The first TITLE_LEN bytes of `text`, unchanged, in a zero-filled title.
void take_title(const char *text, char (&title)[TITLE_BUF_LEN]);

// DEFAULT_TITLE_PREFIX followed by the first MAX_TITLE_NAME_LEN bytes of the
// upper-cased file name in `stem`, in a zero-filled title. Cuts `stem` down to
// that file name.
void derive_title(char *stem, char (&title)[TITLE_BUF_LEN]);

} // namespace cardwrap
