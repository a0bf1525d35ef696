#pragma once

#include <cstdio>

// What the output's life cycle needs from the operating system; one source
// file per platform implements it.
namespace cardwrap::platform {

void ignore_write_signals();

// True if `arg`, which the program received as argument `index`, is what the
// user typed. On Windows a program's narrow arguments are the command line
// converted to the ANSI code page, where a character the code page lacks
// becomes a look-alike or '?': a name that differs names some other file.
bool argument_as_typed(int index, const char *arg);

// Copies `path` to `target` and follows it through any symbolic links to the
// file they end at, which need not exist. False if the chain is too long or
// loops.
bool resolve_links(const char *path, char *target, int target_len);

enum class file_kind {
    absent,     // nothing there yet
    regular,    // a regular file this user may write
    other,      // a device, a pipe: written in place, never replaced
    unwritable, // a folder, or a file this user may not write
};
file_kind probe(const char *path);

unsigned process_id();

enum class create_status {
    ok,
    exists,      // the name is taken: try another
    unavailable, // no new file can replace `like` from this folder
    failed,
};
// Creates `temp` exclusively, for writing. With `like` (the file it will
// replace), it takes that file's permissions and, where this user may set
// them, its owner and group. Until it is replaced or discarded, an interrupt
// removes it before the process ends.
create_status create_temp(const char *temp, const char *like, std::FILE *&stream);

// Flushes `stream` and what the system holds of its file to the device.
bool sync(std::FILE *stream);

// Renames `temp` over `target` in one step and makes the rename durable.
bool replace(const char *temp, const char *target);

// Removes `temp`.
void discard(const char *temp);

} // namespace cardwrap::platform
