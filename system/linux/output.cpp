#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

#include "files.hpp"
#include "life_cycle.hpp"
#include "linux/target.hpp"

// An output's life cycle on Linux, one try at a time:
//   find      what the path names, held by descriptor (lookup.cpp);
//   replace   a regular file, or a name that holds nothing yet: the image
//             goes to a new file beside it, which takes the old file's
//             attributes (attributes.cpp), is synced, and is renamed into
//             its place (commit); the new file's name goes, whatever the
//             end (discard);
//   in place  where no new file may take its place, and a device or a pipe
//             (in_place.cpp): the image written over what it held, which is
//             put back should that fail.
// A try is done, failed, made again (the output changed meanwhile), or made
// in place. Signals that ask the run to stop are caught throughout
// (signals.cpp): they give up what waits, and end the run once the try is
// done or undone. Only committing and undoing make them wait.
namespace cardwrap::on_linux {

// Another run may replace the output between its lookup and its use; it is
// then looked up again, this many times at most.
constexpr int MAX_LOOKUPS = 10;

// Where no new file may take the old one's place: a folder that keeps every
// name made in it (append-only), where a new file could never go again; and
// in a sticky folder (/tmp) someone else's file, which the folder may keep
// this user from removing, and fs.protected_regular from opening. Opened
// where it is, as fopen would open it, the system rules on it.
static bool no_new_file(const target &at, const struct stat &folder)
{
    return append_only(at.folder.fd) ||
           (at.file.fd != -1 && (folder.st_mode & S_ISVTX) != 0 && at.found.st_uid != geteuid());
}

// Whether this user may write the file at the name found, as the system
// answers for it.
static bool may_write(const target &at)
{
    return faccessat(at.folder.fd, at.name, W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0;
}

// A file put in the old one's place that this user could replace as well.
static bool replaceable(const target &at, const struct stat &now)
{
    return now.st_uid == at.found.st_uid && now.st_gid == at.found.st_gid && may_write(at);
}

static void discard(int folder, const char *temp)
{
    const signals_held waiting;
    const int why = errno;
    unlinkat(folder, temp, 0);
    errno = why;
}

// The temporary file's last part, `random`, cannot be foreseen, so that no
// one can take the name beforehand (in /tmp, say) and keep the run from
// writing. An interrupted create may have made its file all the same.
static int create_temp(const target &at, mode_t mode, unsigned random, char (&name)[TEMP_NAME_LEN])
{
    temp_name(name, static_cast<unsigned long>(getpid()), random);
    const int fd =
        openat(at.folder.fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd == -1 && errno == EINTR)
        discard(at.folder.fd, name);
    return fd;
}

// The whole image, and what the file it replaces carries, on the device.
static bool fill(int fd, const target &at, const char *path, const unsigned char *image,
                 std::size_t size)
{
    if (write_bytes(fd, image, size) != size)
        return false;
    if (at.file.fd != -1 && !take_attributes(fd, at, path))
        return false;
    return fsync(fd) == 0;
}

// A new output never goes over a file made meanwhile: renamed so that it
// keeps from replacing, or where the file system has no such rename (NFS),
// given a second name just the same.
static outcome make_new(const target &at, const char *temp)
{
    const int folder = at.folder.fd;
    if (renameat2(folder, temp, folder, at.name, RENAME_NOREPLACE) == 0)
        return outcome::done;
    if (errno == EINVAL && linkat(folder, temp, folder, at.name, 0) == 0)
        return outcome::done;
    return errno == EEXIST ? outcome::again : outcome::failed;
}

// Puts the image in the output's place, unless the run was asked to stop
// meanwhile. The name must still hold the file found, or one this user
// could replace as well (another run's image, say): anything else put there
// meanwhile is looked up again. A name another file is mounted over is
// written in place.
static outcome commit(const target &at, const char *temp)
{
    const signals_held waiting;
    if (stop_asked())
        return outcome::failed;
    if (at.file.fd == -1)
        return make_new(at, temp);
    struct stat now {};
    if (fstatat(at.folder.fd, at.name, &now, AT_SYMLINK_NOFOLLOW) != 0)
        return outcome::again;
    if (!same_file(now, at.found) && !replaceable(at, now))
        return outcome::again;
    if (renameat(at.folder.fd, temp, at.folder.fd, at.name) == 0)
        return outcome::done;
    return errno == EBUSY ? outcome::in_place : outcome::failed;
}

// The rename reaches the device with its folder. A folder this user may not
// read cannot be opened to sync it, so then everything is synced. Some file
// systems cannot sync a folder, and the image is whole and in place either
// way, so a failure here does not fail the run.
static void sync_folder(int folder)
{
    const descriptor fd(openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.fd == -1)
        sync();
    else
        fsync(fd.fd);
}

// The image goes to a new file beside the output, made as fopen would make
// a new output (umask, default ACL) or, replacing a file, this user's alone
// until it is whole, and given the old one's owner and group at once. Where
// the folder takes no new name from this user, or this user may not give
// the new file that owner and group (only a privileged user may give a file
// away, or to a group not theirs), the file is written in place instead: so
// it stays theirs, and no other group gains its group's rights.
static outcome replace(const target &at, const char *path, const unsigned char *image,
                       std::size_t size)
{
    const bool existing = at.file.fd != -1;
    struct stat folder {};
    unsigned random = 0;
    if (existing && !S_ISREG(at.found.st_mode))
        return outcome::in_place;
    if ((existing && !may_write(at)) || fstat(at.folder.fd, &folder) != 0)
        return outcome::failed;
    if (no_new_file(at, folder))
        return outcome::in_place;
    char temp[TEMP_NAME_LEN];
    if (getentropy(&random, sizeof random) != 0)
        return outcome::failed;
    const descriptor fd(create_temp(at, existing ? S_IRUSR | S_IWUSR : 0666, random, temp));
    if (fd.fd == -1)
        return existing && (errno == EACCES || errno == EPERM) ? outcome::in_place
                                                               : outcome::failed;
    outcome result = outcome::failed;
    if (existing && fchown(fd.fd, at.found.st_uid, at.found.st_gid) != 0)
        result = errno == EPERM ? outcome::in_place : outcome::failed;
    else if (fill(fd.fd, at, path, image, size))
        result = commit(at, temp);
    discard(at.folder.fd, temp);
    if (result == outcome::done)
        sync_folder(at.folder.fd);
    return result;
}

// One try at putting the image where `path` leads.
static outcome put(const char *path, const unsigned char *image, std::size_t size)
{
    target at;
    outcome result = find(at, path);
    if (result == outcome::done)
        result = replace(at, path, image, size);
    if (result == outcome::in_place)
        result = write_in_place(at, image, size);
    return result;
}

} // namespace cardwrap::on_linux

bool cardwrap::write_output(const char *path, const unsigned char *image, std::size_t size)
{
    using namespace on_linux;
    catch_stops();
    outcome result = outcome::again;
    for (int lookup = 0; lookup < MAX_LOOKUPS && result == outcome::again && !stop_asked();
         ++lookup)
        result = put(path, image, size);
    release_stops();
    return result == outcome::done;
}
