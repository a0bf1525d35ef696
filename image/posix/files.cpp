#include "image/files.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

#include "image/format.hpp"
#include "image/posix/attributes.hpp"
#include "image/signals.hpp"

namespace cardwrap::platform {
namespace {

// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables)
// What an image written in place overwrites, kept to be put back if the
// write fails. No image is longer, so nothing past it is ever touched.
unsigned char kept_bytes[HEADER_LEN + MAX_DATA_LEN];
// The output a signal must clean up after, while it is armed.
place *volatile armed_place = nullptr;
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

// In a sticky folder (/tmp) only a file's owner or the folder's may rename
// over it, and fs.protected_regular may forbid even root to open a file there
// that is neither its own nor the folder owner's. Anyone's but this user's
// own is written in place, where opening it, as fopen would, leaves both
// rules to the system.
bool may_rename_over(const place &at)
{
    struct stat dir {};
    return fstat(at.folder, &dir) == 0 &&
           ((dir.st_mode & S_ISVTX) == 0 || at.found.st_uid == geteuid());
}

bool open_stream(place &at, std::FILE *&stream)
{
    // The stream has a descriptor of its own, so that closing it leaves
    // this one to finish with: to set attributes, sync, or put bytes back.
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

void remove_armed_temp()
{
    unlinkat(armed_place->folder, armed_place->temp, 0);
}

// Puts back what an in-place write overwrote: the bytes kept, as far as the
// image reached (no further: past a file-size limit, or on a full device,
// they were never touched and may not be written), or all of them once the
// file was cut to the image, then the old length and times. Or empties the
// file when they were not kept: a short image would pass for a good one.
// Only async-signal-safe calls: a signal may call it.
void put_back(const place &at)
{
    const off_t reached = lseek(at.fd, 0, SEEK_CUR);
    // Not a byte written yet: the file is as it was.
    if (reached == 0 && !at.cut)
        return;
    bool done = at.kept != -1 && reached != -1;
    const long upto = at.cut ? at.kept : std::min(static_cast<long>(reached), at.kept);
    const auto end = done ? static_cast<std::size_t>(upto) : 0;
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
        done = ftruncate(at.fd, 0) == 0;
    if (done)
        fsync(at.fd);
}

void put_back_armed()
{
    put_back(*armed_place);
}

void arm_for(place &at, void (*undo)())
{
    armed_place = &at;
    arm(undo);
}

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

// The image is written from the start without emptying the file first; a
// longer old file is cut to it only once it is whole. Marked cut first, so
// that a signal at any moment puts back the whole old file.
bool cut_to_image(place &at)
{
    const off_t end = lseek(at.fd, 0, SEEK_CUR);
    if (end >= at.found.st_size)
        return true;
    at.cut = true;
    return ftruncate(at.fd, end) == 0;
}

bool rename_into_place(place &at)
{
    hold_signals();
    const bool renamed = renameat(at.folder, at.temp, at.folder, at.name) == 0;
    if (renamed) {
        at.temp[0] = '\0';
        disarm();
    }
    release_signals();
    if (!renamed)
        return false;
    // The rename reaches the device with its folder; a folder this user may
    // not read cannot be opened to sync it, so then everything is. Some file systems cannot sync a
    // folder, and the image is whole and in place either way, so a failure here is no reason to
    // call the write failed.
    const int dir = openat(at.folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir == -1) {
        sync();
        return true;
    }
    fsync(dir);
    close(dir);
    return true;
}

void drop_temp(place &at)
{
    hold_signals();
    unlinkat(at.folder, at.temp, 0);
    at.temp[0] = '\0';
    disarm();
    release_signals();
    close(at.fd);
    at.fd = -1;
}

void arm_in_place(place &at)
{
    at.durable = true;
    hold_signals();
    arm_for(at, put_back_armed);
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

std::FILE *open_input(const char *path)
{
    return std::fopen(path, "rb");
}

create_status create_temp(place &at, const char *name, std::FILE *&stream)
{
    const bool replacing = at.file != -1;
    // An append-only folder keeps every name made in it: a temporary file
    // could be neither renamed over the output nor removed.
    if ((replacing && !may_rename_over(at)) || has_append_only(at.folder))
        return create_status::in_place;
    // A new output's temporary file is made as fopen would make the output
    // (umask, default ACL), so no one may read it who may not read the image.
    const mode_t mode = replacing ? S_IRUSR | S_IWUSR : 0666;
    hold_signals();
    at.fd = openat(at.folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    const int err = errno;
    if (at.fd != -1) {
        std::snprintf(at.temp, sizeof at.temp, "%s", name);
        arm_for(at, remove_armed_temp);
    }
    release_signals();
    if (at.fd == -1) {
        if (err == EEXIST)
            return create_status::exists;
        // No right to add a name to the folder: the output itself may still
        // be writable.
        return err == EACCES || err == EPERM ? create_status::in_place : create_status::failed;
    }
    // Replacing another user's file, only a user who may give it to its
    // owner keeps who may read and write it; anyone else writes it where it
    // is, as fopen would, and it stays the owner's.
    if (replacing && fchown(at.fd, at.found.st_uid, static_cast<gid_t>(-1)) == -1) {
        drop_temp(at);
        return create_status::in_place;
    }
    at.durable = true;
    return open_stream(at, stream) ? create_status::ok : create_status::failed;
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
    struct stat st {};
    // Anything but what was found means the path changed meanwhile.
    if (at.fd == -1 || fstat(at.fd, &st) == -1 || st.st_dev != at.found.st_dev ||
        st.st_ino != at.found.st_ino)
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

bool commit(place &at)
{
    const bool replacing = at.temp[0] != '\0' && at.file != -1;
    bool done = !replacing || take_attributes(at);
    done = done && (!at.in_place || !at.durable || cut_to_image(at));
    done = done && (!at.durable || fsync(at.fd) == 0);
    if (done && at.temp[0] != '\0')
        done = rename_into_place(at);
    if (done && at.in_place) {
        hold_signals();
        disarm();
        release_signals();
        at.in_place = false;
    }
    return done;
}

void abandon(place &at)
{
    if (at.temp[0] != '\0') {
        drop_temp(at);
        return;
    }
    hold_signals();
    if (at.in_place && at.durable)
        put_back(at);
    at.in_place = false;
    disarm();
    release_signals();
}

void release(place &at)
{
    const int held[] = {at.fd, at.folder, at.file};
    for (const int fd : held)
        if (fd != -1)
            close(fd);
    at = place{};
}

unsigned process_id()
{
    return static_cast<unsigned>(getpid());
}

unsigned unforeseeable()
{
    unsigned number = 0;
    return getentropy(&number, sizeof number) == 0 ? number : 0;
}

} // namespace cardwrap::platform
