#pragma once

#include <cstdio>

// The place an output path names, as this platform holds it: per platform,
// chosen by the build.
#include "place.hpp"

// What the output's life cycle needs of the file system; one source file per
// platform implements it. Once found, the output is worked on through what
// `place` holds, never through its path again, so that the system's own
// answer to what the path names stands for the whole run.
namespace cardwrap::platform {

// Opens the input for reading, as fopen's "rb" does; null if it cannot be
// read. On Windows a console or a port is refused: reading one would wait
// for whatever comes, for ever.
std::FILE *open_input(const char *path);

enum class file_kind {
    absent,  // nothing there yet
    named,   // a regular file this user may write, with a name to replace it by
    unnamed, // a regular file with no name left to replace it by
    device,  // a device, a pipe: written in place, never replaced
    refused, // a folder, a file this user may not write, a path the system refuses
};
// Learns what `path` names, as the system resolves it, without opening it
// for reading or writing.
file_kind find(place &at, const char *path);

enum class create_status {
    ok,
    exists,   // the name is taken: try another
    in_place, // no new file can replace the output from its folder
    failed,
};
// Creates the temporary file `name` beside the file `at` names (or is to
// name), for writing. A replacement's is private until it is whole; a new
// output's has what any new file gets there. Until the image is in place
// or thrown away, a signal that ends the process removes it first.
create_status create_temp(place &at, const char *name, std::FILE *&stream);

// Opens the output itself for writing, as found by find(), or makes it if
// it was absent. A regular file is not emptied first: what the image
// overwrites is kept, to be put back if the write fails.
bool open_in_place(place &at, const char *path, std::FILE *&stream);

// Once every byte of the image has been handed to the system: makes it
// durable and puts it where the output path leads.
bool commit(place &at);

// Throws the image away: removes the temporary file, or puts back what an
// in-place write overwrote.
void abandon(place &at);

// Lets go of everything `at` holds.
void release(place &at);

unsigned process_id();

// A number no other process can foresee; 0 if the system cannot give one.
unsigned unforeseeable();

} // namespace cardwrap::platform
