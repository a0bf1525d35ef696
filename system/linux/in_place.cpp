#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <iterator>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "files.hpp"
#include "life_cycle.hpp"
#include "linux/target.hpp"
#include "posix/descriptors.hpp"

// Writing an output where it is, for when no new file may take its place:
// runs take turns on it, and what the image overwrites is kept, to be put
// back should the write fail.
namespace cardwrap::posix {
namespace {

// What an image written in place overwrites, to be put back if the write
// fails. No image is longer, so nothing past it is ever touched.
unsigned char kept[MAX_OUTPUT_SIZE]; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

// Opens the output itself to write it, as fopen would but for the
// truncation: by its name in the folder found, so the system applies the
// same rules (fs.protected_regular, fs.protected_fifos among them), or with
// no name, through the descriptor found. Anything but the file found means
// it changed meanwhile. A name that held nothing is made anew.
int open_in_place(target &at, int flags)
{
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", at.file);
    flags |= O_NOCTTY | O_CLOEXEC;
    const int made = O_CREAT | O_NOFOLLOW | (at.file == -1 ? O_EXCL : 0);
    const int fd =
        at.name[0] != '\0' ? openat(at.folder, at.name, flags | made, 0666) : open(self, flags);
    struct stat st {};
    at.again = fd == -1 ? errno == EEXIST
                        : at.file != -1 && (fstat(fd, &st) != 0 || !same_file(st, at.found));
    if (!at.again)
        return fd;
    if (fd != -1)
        close(fd);
    return -1;
}

// Runs writing one file in place take turns, each until its image is whole
// or the old bytes are back: another's would otherwise put back its old
// bytes over this one's image. Where the file system keeps no locks, the run
// goes on without.
bool take_turn(int fd)
{
    for (std::size_t attempt = 0;; ++attempt) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK)
            return true;
        if (attempt == std::size(WAITS_MS))
            return false;
        const timespec wait{0, WAITS_MS[attempt] * 1000000L};
        nanosleep(&wait, nullptr);
    }
}

// Puts back the old bytes as far as the image reached (no further: past a
// file-size limit, or on a full device, they were never touched and may not
// be written), or all of them once the file was cut to the image; then its
// old length and times, where this user may set them. Where they were not
// kept, it empties the file instead: a short image would pass for a good one.
void put_back(int fd, const struct stat &was, bool whole, std::size_t reached, bool cut)
{
    if (reached == 0)
        return;
    const auto old = static_cast<std::size_t>(was.st_size);
    const std::size_t upto = cut ? old : std::min(reached, old);
    const timespec times[] = {was.st_atim, was.st_mtim};
    if (whole && lseek(fd, 0, SEEK_SET) == 0 && write_bytes(fd, kept, upto) == upto &&
        ftruncate(fd, was.st_size) == 0)
        futimens(fd, times);
    else
        ftruncate(fd, 0);
    fsync(fd);
}

// A regular file written where it is. One with other names would change
// under all of them, and one longer than any image could not be put back
// whole: both are left alone. The old bytes are kept first; a longer file is
// cut to the image only once the image is whole.
bool overwrite(int fd, const unsigned char *image, std::size_t size)
{
    struct stat was {};
    if (!take_turn(fd) || fstat(fd, &was) != 0 || was.st_nlink > 1 ||
        static_cast<std::size_t>(was.st_size) > MAX_OUTPUT_SIZE)
        return false;
    // Kept whole, or not at all (a file this user may write but not read,
    // or one that grew shorter meanwhile).
    const auto old = static_cast<std::size_t>(was.st_size);
    const bool whole = read_bytes(fd, kept, old) == static_cast<long>(old);
    const sigset_t held = hold_signals();
    const std::size_t reached = lseek(fd, 0, SEEK_SET) == 0 ? write_bytes(fd, image, size) : 0;
    const bool cut = reached == size && old > size;
    const bool done =
        reached == size && (!cut || ftruncate(fd, static_cast<off_t>(size)) == 0) && fsync(fd) == 0;
    if (!done)
        put_back(fd, was, whole, reached, cut);
    release_signals(held);
    return done;
}

} // namespace

bool write_in_place(target &at, const unsigned char *image, std::size_t size)
{
    const bool regular = at.file == -1 || S_ISREG(at.found.st_mode);
    // Read too, where allowed, to keep what the image overwrites. A FIFO is
    // opened only to write: opened to read as well, it would not wait for a
    // reader.
    int fd = regular ? open_in_place(at, O_RDWR) : -1;
    if (fd == -1 && !at.again)
        fd = open_in_place(at, O_WRONLY);
    if (fd == -1)
        return false;
    // A device has nothing to sync, and some say so. Once its image is
    // synced, or its old bytes back, a file has nothing left that a close
    // could lose.
    const bool done =
        regular ? overwrite(fd, image, size)
                : write_bytes(fd, image, size) == size && (fsync(fd) == 0 || errno == EINVAL);
    return (close(fd) == 0 || regular) && done;
}

} // namespace cardwrap::posix
