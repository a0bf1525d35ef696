#pragma once

#include <climits>
#include <csignal>
#include <cstddef>

#include <sys/stat.h>

#include "../posix/descriptors.hpp"

// What the Linux output's files share of the one output path a try works on.
namespace cardwrap::on_linux {

using posix::descriptor;
using posix::read_bytes;

// How a try at putting the image in place ends: the image is there whole,
// on the device; it cannot be; the output changed meanwhile, so it is
// looked up again; or no new file may take its place, so it is written
// where it is.
enum class outcome { done, failed, again, in_place };

// What an output path names, as the system resolved it, held by descriptors
// opened for nothing but identity: no watcher sees an open, no lease breaks,
// a FIFO waits for no reader.
struct target {
    descriptor file;              // the file; -1 if the path names nothing yet
    descriptor folder;            // the folder that holds its name
    char name[NAME_MAX + 1] = {}; // that name, or the one to make; empty if none leads to it
    struct stat found {};         // the file, as found
};

bool same_file(const struct stat &a, const struct stat &b);

// Finds what `path` names and the name it goes by in its folder, following
// links as the kernel does: done; in_place where no name leads to the file
// (it is then written through its descriptor); again where it changed
// meanwhile; failed where the system refuses the path or a walk of its
// links fails.
outcome find(target &at, const char *path);

// True if new names in `folder` can never be taken back (chattr +a), or the
// system cannot say whether they can.
bool append_only(int folder);

// Gives `fd`, a whole image, what the file it replaces carries beyond its
// bytes: extended attributes (its ACL among them, or no ACL where it had
// none) and permissions, its set-ID bits as a write of the old file in place
// by this user would leave them. `path` reaches that file where /proc does
// not. False where something this user may set was not carried.
bool take_attributes(int fd, const target &at, const char *path);

// Writes the image over what `at` names, where it is, or makes it anew
// where the path names nothing yet: done; again where it changed meanwhile;
// or failed, a file or a device holding what it held, but one whose old
// bytes could not be read or put back, or a new one, left empty, and a FIFO
// or a character device what of the image it took.
outcome write_in_place(const target &at, const unsigned char *image, std::size_t size);

// Writes the `count` bytes of `bytes` to `fd`, in as many calls as short
// writes take, unless the run is asked to stop. Returns how many it wrote.
std::size_t write_bytes(int fd, const unsigned char *bytes, std::size_t count);

// Signals that ask a run to stop (SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM) are
// noted from catch_stops on, and give up whatever call waits; every other
// signal that would end the run waits, and Ctrl-Z stops it as ever.
// release_stops puts all back as it was, then ends the run by a stop noted.
void catch_stops();
bool stop_asked();
void release_stops();

// While one is in scope, every signal waits: through the instants that have
// no clean answer halfway (a rename, undoing a try).
struct signals_held {
    signals_held();
    signals_held(const signals_held &) = delete;
    signals_held &operator=(const signals_held &) = delete;
    ~signals_held();

    sigset_t before;
};

} // namespace cardwrap::on_linux
