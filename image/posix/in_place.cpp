#include "image/posix/in_place.hpp"

#include <algorithm>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "image/files.hpp"
#include "image/format.hpp"
#include "image/signals.hpp"

namespace cardwrap::platform {
namespace {

// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables)
// What an image written in place overwrites, kept to be put back if the
// write fails. No image is longer, so nothing past it is ever touched.
unsigned char kept_bytes[HEADER_LEN + MAX_DATA_LEN];
// The output a signal must put back, while it is armed.
const place *volatile armed_output = nullptr;
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

long keep(int fd, off_t size)
{
    const auto want = std::min(static_cast<std::size_t>(size), sizeof kept_bytes);
    std::size_t got = 0;
    while (got < want) {
        const ssize_t n = pread(fd, kept_bytes + got, want - got, static_cast<off_t>(got));
        // A file that grew shorter meanwhile cannot be put back whole.
        if (n == -1 || n == 0)
            return -1;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<long>(got);
}

void put_back_armed()
{
    put_back(*armed_output);
}

void arm_in_place(place &at)
{
    at.durable = true;
    hold_signals();
    armed_output = &at;
    arm(put_back_armed);
    release_signals();
}

// A new output where its folder keeps every name made in it (append-only):
// made as fopen makes it; should the write fail, it is left empty, since its
// name cannot be taken back.
bool make_in_place(place &at, std::FILE *&stream)
{
    at.fd = openat(at.folder, at.name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (at.fd == -1 || fstat(at.fd, &at.found) == -1)
        return false;
    at.kept = 0;
    arm_in_place(at);
    return open_stream(at, stream);
}

} // namespace

bool open_stream(place &at, std::FILE *&stream)
{
    const int fd = dup(at.fd);
    if (fd == -1)
        return false;
    stream = fdopen(fd, "wb");
    if (stream == nullptr) {
        close(fd);
        return false;
    }
    return true;
}

// The image is written from the start without emptying the file first; a
// longer old file is cut to it only once it is whole. Marked cut first, so
// that a signal at any moment puts back the whole old file.
bool cut_to_image(place &at)
{
    const off_t end = lseek(at.fd, 0, SEEK_CUR);
    at.cut = true;
    return ftruncate(at.fd, end) == 0;
}

// Puts back what an in-place write overwrote: the bytes kept, as far as the
// image reached (no further: past a file-size limit, or on a full device,
// they were never touched and may not be written), or all of them once the
// file was cut to the image, then the old length and times. Or empties the
// file when they were not kept: a short image would pass for a good one.
void put_back(const place &at)
{
    const off_t reached = lseek(at.fd, 0, SEEK_CUR);
    // Not a byte written yet: the file is as it was.
    if (reached == 0 && !at.cut)
        return;
    bool done = at.kept != -1 && reached != -1;
    const long upto = at.cut ? at.kept : std::min(static_cast<long>(reached), at.kept);
    const auto end = static_cast<std::size_t>(std::max(upto, 0L));
    for (std::size_t put = 0; done && put < end;) {
        const ssize_t n = pwrite(at.fd, kept_bytes + put, end - put, static_cast<off_t>(put));
        done = n != -1;
        put += done ? static_cast<std::size_t>(n) : 0;
    }
    done = done && ftruncate(at.fd, at.found.st_size) == 0;
    // Its times too, so that nothing that goes by them takes it for new,
    // where this user may set them: only the owner may.
    const struct timespec times[] = {at.found.st_atim, at.found.st_mtim};
    if (done)
        futimens(at.fd, times);
    else
        ftruncate(at.fd, 0);
    fsync(at.fd);
}

bool open_in_place(place &at, const char *path, std::FILE *&stream)
{
    at.in_place = true;
    if (at.file == -1)
        return make_in_place(at, stream);
    const bool regular = S_ISREG(at.found.st_mode);
    // fopen's own open but for the truncation, so the system applies the same
    // rules (fs.protected_regular, fs.protected_fifos among them). Read too,
    // where allowed, to keep what the image overwrites. A FIFO is opened
    // only to write: opened to read as well, it would not wait for a reader.
    const int flags = O_CREAT | O_NOCTTY | O_CLOEXEC;
    at.fd = regular ? open(path, O_RDWR | flags, 0666) : -1;
    const bool readable = at.fd != -1;
    if (!readable)
        at.fd = open(path, O_WRONLY | flags, 0666);
    if (at.fd == -1)
        return false;
    // Another run writing this file in place would put back, should it
    // fail, the old bytes over this one's image: runs take turns, each until
    // its image is in place or what it overwrote is back. Where the file
    // system keeps no locks, the run goes on without.
    if (regular)
        flock(at.fd, LOCK_EX);
    struct stat st {};
    // Anything but what was found means the path changed meanwhile.
    if (fstat(at.fd, &st) == -1 || st.st_dev != at.found.st_dev || st.st_ino != at.found.st_ino)
        return false;
    if (regular) {
        // Written in place, a file with other names would change under all
        // of them; replaced, they keep the old bytes. Here it cannot be
        // replaced, so it is left alone; and so is a file longer than any
        // image, which could not be put back whole if the write failed.
        if (st.st_nlink > 1 || st.st_size > static_cast<off_t>(sizeof kept_bytes))
            return false;
        at.found = st;
        at.kept = readable ? keep(at.fd, st.st_size) : -1;
        arm_in_place(at);
    }
    return open_stream(at, stream);
}

} // namespace cardwrap::platform
