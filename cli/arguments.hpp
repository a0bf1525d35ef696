#pragma once

// What the run needs to know of its command line beyond the bytes it was
// given; one source file per platform.
namespace cardwrap::platform {

// True if `arg`, which the program received as argument `index`, is what the
// user typed. On Windows a program's narrow arguments are the command line
// converted to the ANSI code page, where a character the code page lacks
// becomes a look-alike or '?': a name that differs names some other file.
bool argument_as_typed(int index, const char *arg);

} // namespace cardwrap::platform
