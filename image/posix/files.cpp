#include "image/files.hpp"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

#include "image/posix/attributes.hpp"
#include "image/posix/in_place.hpp"
#include "image/signals.hpp"

namespace cardwrap::platform {
namespace {

// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables)
// The temporary file a signal must remove, while it is armed.
const place *volatile armed_temp = nullptr;
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

void remove_armed_temp()
{
    unlinkat(armed_temp->folder, armed_temp->temp, 0);
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
    // not read cannot be opened to sync it, so then everything is. Some file
    // systems cannot sync a folder, and the image is whole and in place
    // either way, so a failure here is no reason to call the write failed.
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

} // namespace

std::FILE *open_input(const char *path)
{
    return std::fopen(path, "rb");
}

create_status create_temp(place &at, const char *name, std::FILE *&stream)
{
    const bool replacing = at.file != -1;
    // An append-only folder keeps every name made in it: a temporary file
    // could be neither renamed over the output nor removed. Nor can a file
    // mounted over its name (a bind mount, as containers are given files)
    // be renamed over.
    if ((replacing && (!may_rename_over(at) || is_mount_root(at.file))) ||
        has_append_only(at.folder))
        return create_status::in_place;
    // A new output's temporary file is made as fopen would make the output
    // (umask, default ACL), so no one may read it who may not read the image.
    const mode_t mode = replacing ? S_IRUSR | S_IWUSR : 0666;
    hold_signals();
    at.fd = openat(at.folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    const int err = errno;
    if (at.fd != -1) {
        std::snprintf(at.temp, sizeof at.temp, "%s", name);
        armed_temp = &at;
        arm(remove_armed_temp);
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
    }
    return done;
}

void abandon(place &at)
{
    if (at.temp[0] != '\0') {
        drop_temp(at);
        return;
    }
    // No temporary file: written in place, and a regular file's old bytes
    // go back.
    hold_signals();
    if (at.durable)
        put_back(at);
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
