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

// Writing an output where it is, for when no new file may take its place.
// A regular file or a block device is kept: runs take turns on it, and what
// the image overwrites is read first, to be put back should the write fail
// or the run be asked to stop. A FIFO, a terminal or any other device is
// written as it is.
namespace cardwrap::on_linux {

// What an image written in place overwrites. No image is longer, so nothing
// past it is ever touched.
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
static unsigned char kept[MAX_OUTPUT_SIZE];

// Opens the output itself to write it, as fopen would but for the
// truncation: by its name in the folder found, so the system applies the
// same rules (fs.protected_regular, fs.protected_fifos among them), or with
// no name, through the descriptor found. A name that held nothing is made.
static int open_in_place(const target &at, int flags)
{
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", at.file.fd);
    flags |= O_NOCTTY | O_CLOEXEC;
    if (at.name[0] == '\0')
        return open(self, flags);
    const int made = O_CREAT | O_NOFOLLOW | (at.file.fd == -1 ? O_EXCL : 0);
    return openat(at.folder.fd, at.name, flags | made, 0666);
}

// Runs writing one file in place take turns, each until its image is whole
// or the old bytes are back: another's would otherwise put back its old
// bytes over this one's image. Where the file system keeps no locks, the run
// goes on without.
static bool take_turn(int fd)
{
    for (std::size_t attempt = 0;; ++attempt) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK)
            return true;
        if (attempt == std::size(WAITS_MS) || stop_asked())
            return false;
        const timespec wait{0, WAITS_MS[attempt] * 1000000L};
        nanosleep(&wait, nullptr);
    }
}

// Puts back the `held` old bytes as far as the image reached (no further:
// past a file-size limit, or on a full device, they were never touched and
// may not be written), or all of them once a file was cut to the image;
// then a file's old length and times, where this user may set them. Where
// they were not kept (`held` is -1), it empties a file instead: a short
// image would pass for a good one.
static void put_back(int fd, const struct stat &was, long held, std::size_t reached, bool cut)
{
    const signals_held waiting;
    if (reached == 0)
        return;
    const bool file = S_ISREG(was.st_mode);
    const auto all = static_cast<std::size_t>(std::max(held, 0L));
    const std::size_t upto = cut ? all : std::min(reached, all);
    const bool back = held >= 0 && pwrite(fd, kept, upto, 0) == static_cast<ssize_t>(upto) &&
                      (!file || ftruncate(fd, was.st_size) == 0);
    const timespec times[] = {was.st_atim, was.st_mtim};
    if (back && file)
        futimens(fd, times);
    if (back || (file && ftruncate(fd, 0) == 0))
        fsync(fd);
}

// A regular file or a block device written where it is. A file with other
// names would change under all of them, and one longer than any image could
// not be put back whole: both are left alone. What the image overwrites is
// kept first, a whole file or a device as far as the image reaches; a longer
// file is cut to the image only once the image is whole.
static outcome overwrite(int fd, const unsigned char *image, std::size_t size)
{
    struct stat was {};
    if (!take_turn(fd) || fstat(fd, &was) != 0)
        return outcome::failed;
    const bool file = S_ISREG(was.st_mode);
    const auto old = file ? static_cast<std::size_t>(was.st_size) : size;
    if (file && (was.st_nlink > 1 || old > MAX_OUTPUT_SIZE))
        return outcome::failed;
    // A file is kept whole or not at all (one this user may write but not
    // read, or one that grew shorter meanwhile). A device whose old bytes
    // cannot be read is not written: nothing could put them back.
    long held = read_bytes(fd, kept, old);
    if (file && held != static_cast<long>(old))
        held = -1;
    if (!file && held < 0)
        return outcome::failed;
    const std::size_t reached = lseek(fd, 0, SEEK_SET) == 0 ? write_bytes(fd, image, size) : 0;
    const bool cut = reached == size && old > size;
    if (reached < size || (cut && ftruncate(fd, static_cast<off_t>(size)) != 0) || fsync(fd) != 0) {
        put_back(fd, was, held, reached, cut);
        return outcome::failed;
    }
    return outcome::done;
}

outcome write_in_place(const target &at, const unsigned char *image, std::size_t size)
{
    const bool keeps = at.file.fd == -1 || S_ISREG(at.found.st_mode) || S_ISBLK(at.found.st_mode);
    // Read too, where allowed, to keep what the image overwrites. A FIFO is
    // opened only to write: opened to read as well, it would not wait for a
    // reader.
    descriptor fd(keeps ? open_in_place(at, O_RDWR) : -1);
    if (fd.fd == -1 && (!keeps || errno == EACCES))
        fd.reset(open_in_place(at, O_WRONLY));
    if (fd.fd == -1)
        return errno == EEXIST ? outcome::again : outcome::failed;
    // Anything but the file found means it changed meanwhile.
    struct stat st {};
    if (at.file.fd != -1 && (fstat(fd.fd, &st) != 0 || !same_file(st, at.found)))
        return outcome::again;
    // Once its image is synced, or its old bytes back, a file or a device
    // has nothing left that a close could lose.
    if (keeps)
        return overwrite(fd.fd, image, size);
    // A FIFO or a character device has nothing to sync, and some say so.
    if (write_bytes(fd.fd, image, size) != size || (fsync(fd.fd) != 0 && errno != EINVAL))
        return outcome::failed;
    return fd.reset() ? outcome::done : outcome::failed;
}

std::size_t write_bytes(int fd, const unsigned char *bytes, std::size_t count)
{
    std::size_t put = 0;
    while (put < count && !stop_asked()) {
        const ssize_t n = write(fd, bytes + put, count - put);
        if (n <= 0)
            break;
        put += static_cast<std::size_t>(n);
    }
    return put;
}

} // namespace cardwrap::on_linux
