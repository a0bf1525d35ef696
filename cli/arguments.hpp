#pragma once

#include <cwchar>

namespace cardwrap {

// Whether an argument as the program received it (in the ANSI code page,
// converted back to UTF-16; null where that failed), one of `argc`, is the
// one the user typed in its place (from the wide command line, split by the
// same rules into `typed_argc`). Split apart differently, no argument can be
// trusted to be the one typed in its place: the counts must agree too.
bool typed_as_received(int argc, const wchar_t *received, int typed_argc, const wchar_t *typed);

} // namespace cardwrap

// What the run needs to know of its command line beyond the bytes it was
// given; one source file per platform.
namespace cardwrap::platform {

// Of a run's arguments (`argv`, made from the program's own), the index of
// the first that names a file, the input (1) or a given output (3), and is
// not what the user typed; 0 if there is none. On Windows a program's narrow
// arguments are the command line converted to the ANSI code page, where a
// character the code page lacks becomes a look-alike or '?', and only then
// split: a name that differs names some other file, and a quotation mark
// made so splits the line elsewhere.
int untyped_path(int argc, const char *const argv[]);

} // namespace cardwrap::platform
