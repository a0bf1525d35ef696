#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>

#include <csignal>

#include <sys/stat.h>

// What the POSIX output's files share of the one output path they work on.
namespace cardwrap::posix {

// What an output path names, as the system resolved it, held by descriptors
// opened for nothing but identity: no watcher sees an open, no lease breaks,
// a FIFO waits for no reader.
struct target {
    int file = -1;                // the file; -1 if the path names nothing yet
    int folder = -1;              // the folder that holds its name
    char name[NAME_MAX + 1] = {}; // that name, or the one to make; empty if none is found
    struct stat found {};         // the file, as found
    bool again = false;           // it changed meanwhile: look it up again
};

bool same_file(const struct stat &a, const struct stat &b);

// Lets go of what `at` holds.
void release(const target &at);

// Finds what `path` names and the name it goes by in its folder, following
// links as the kernel does. False if the system refuses the path, or what
// it names changed meanwhile (`again` set).
bool find(target &at, const char *path);

// True if the system marks `fd`'s file or folder with the statx `attribute`.
bool marked(int fd, std::uint64_t attribute);

// Gives `fd`, a whole image, what the file it replaces carries beyond its
// bytes: extended attributes (its ACL among them, or no ACL where it had
// none) and permissions, its set-ID bits as a write of the old file in place
// by this user would leave them. `path` reaches that file where /proc does
// not. False where something this user may set was not carried.
bool take_attributes(int fd, const target &at, const char *path);

// Writes the image over the file `at` names where it is, or makes it anew
// where the path names nothing yet. False where it cannot, with what the
// file held put back, or (`again` set) if the file changed meanwhile.
bool write_in_place(target &at, const unsigned char *image, std::size_t size);

// While an image is put in place, signals wait: one that would end the
// process ends it once the image is whole in place or the old file back,
// never between. Holding returns what to release.
sigset_t hold_signals();
void release_signals(const sigset_t &held);

} // namespace cardwrap::posix
