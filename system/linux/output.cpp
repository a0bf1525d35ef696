#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "files.hpp"
#include "life_cycle.hpp"
#include "linux/target.hpp"
#include "posix/descriptors.hpp"

// An output's life cycle. A regular file, or a name that holds nothing yet,
// gets the image in a new file beside it that takes its place only once whole
// and on the device, so the path holds its old content or the whole image at
// every instant. Where no new file may take the old one's place, the file is
// written where it is, what it held kept to be put back; a device or a pipe
// is written as it is.
namespace cardwrap::posix {
namespace {

// Another run may replace the output between its lookup and its use; it is
// then looked up again, this many times at most.
constexpr int MAX_LOOKUPS = 10;
// A name clash means a leftover of a killed run, or a run beside this one;
// past this many, something else is wrong.
constexpr unsigned MAX_TEMP_TRIES = 100;

// Where no new file may take the old one's place: a folder that keeps every
// name made in it (append-only), a file mounted over its name (as containers
// are given files), and in a sticky folder (/tmp) someone else's file, which
// only its owner may rename and fs.protected_regular may forbid opening.
// Opened where it is, as fopen would open it, the system rules on it.
bool no_new_file(const target &at)
{
    struct stat dir {};
    return marked(at.folder, STATX_ATTR_APPEND) ||
           (at.file != -1 &&
            (marked(at.file, STATX_ATTR_MOUNT_ROOT) || fstat(at.folder, &dir) != 0 ||
             ((dir.st_mode & S_ISVTX) != 0 && at.found.st_uid != geteuid())));
}

// The temporary file's last part cannot be foreseen, so that no one can
// take the names a run will try beforehand (in /tmp, say) and keep it from
// writing.
int create_temp(const target &at, mode_t mode, char (&name)[TEMP_NAME_LEN])
{
    for (unsigned attempt = 0; attempt < MAX_TEMP_TRIES; ++attempt) {
        unsigned number = 0;
        getentropy(&number, sizeof number);
        temp_name(name, static_cast<unsigned long>(getpid()), number ^ attempt);
        const int fd =
            openat(at.folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd != -1 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// The name must still hold the file found, or one this user could replace
// as well, another run's image say: anything else put there meanwhile is
// looked up again. A new output never goes over a file made meanwhile.
// Where the file system has no such rename (NFS), a second name for the
// image is refused just the same, and the temporary name then let go of.
bool rename_into_place(target &at, const char *temp)
{
    struct stat now {};
    if (at.file != -1) {
        at.again = fstatat(at.folder, at.name, &now, AT_SYMLINK_NOFOLLOW) != 0 ||
                   (!same_file(now, at.found) &&
                    (now.st_uid != at.found.st_uid || now.st_gid != at.found.st_gid ||
                     faccessat(at.folder, at.name, W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0));
        return !at.again && renameat(at.folder, temp, at.folder, at.name) == 0;
    }
    const bool done = renameat2(at.folder, temp, at.folder, at.name, RENAME_NOREPLACE) == 0 ||
                      (errno == EINVAL && linkat(at.folder, temp, at.folder, at.name, 0) == 0);
    at.again = !done && errno == EEXIST;
    return done;
}

// The rename reaches the device with its folder. A folder this user may not
// read cannot be opened to sync it, so then everything is synced. Some file
// systems cannot sync a folder, and the image is whole and in place either
// way, so a failure here does not fail the run.
void sync_folder(int folder)
{
    const int fd = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd == -1) {
        sync();
        return;
    }
    fsync(fd);
    close(fd);
}

// The image goes to a new file beside the output, made as fopen would make a
// new output (umask, default ACL) or, replacing a file, this user's alone
// until it is whole. False, with `in_place` set, where the file must be
// written where it is instead: its folder takes no name from this user, or
// this user may not give the new file the old one's owner and group (only a
// privileged user may give a file away, or to a group not theirs), which
// would hand the old group's rights to another.
bool replace(target &at, const char *path, const unsigned char *image, std::size_t size,
             bool &in_place)
{
    const bool existing = at.file != -1;
    char temp[TEMP_NAME_LEN];
    const sigset_t held = hold_signals();
    const int fd = create_temp(at, existing ? S_IRUSR | S_IWUSR : 0666, temp);
    in_place = existing && (fd == -1 ? errno == EACCES || errno == EPERM
                                     : fchown(fd, at.found.st_uid, at.found.st_gid) != 0);
    bool done = fd != -1 && !in_place && write_bytes(fd, image, size) == size &&
                (!existing || take_attributes(fd, at, path)) && fsync(fd) == 0;
    done = (fd == -1 || close(fd) == 0) && done && rename_into_place(at, temp);
    if (fd != -1)
        unlinkat(at.folder, temp, 0);
    release_signals(held);
    if (done)
        sync_folder(at.folder);
    return done;
}

// One try at putting the image where `path` leads.
bool put(target &at, const char *path, const unsigned char *image, std::size_t size)
{
    if (!find(at, path))
        return false;
    const bool named = at.name[0] != '\0' && (at.file == -1 || S_ISREG(at.found.st_mode));
    // One this user may not write is refused, as the system answers for it.
    if (named && at.file != -1 &&
        faccessat(at.folder, at.name, W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    bool in_place = !named || no_new_file(at);
    return (!in_place && replace(at, path, image, size, in_place)) ||
           (in_place && write_in_place(at, image, size));
}

} // namespace

// The kernel's own call: the C library would not hold the two signals it
// keeps for its threads, and this process starts no thread.
sigset_t hold_signals()
{
    sigset_t all;
    sigset_t held;
    std::memset(&all, 0xFF, sizeof all);
    syscall(SYS_rt_sigprocmask, SIG_BLOCK, &all, &held, _NSIG / 8);
    return held;
}

void release_signals(const sigset_t &held)
{
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, &held, nullptr, _NSIG / 8);
}

} // namespace cardwrap::posix

bool cardwrap::write_output(const char *path, const unsigned char *image, std::size_t size)
{
    for (int lookup = 0; lookup < posix::MAX_LOOKUPS; ++lookup) {
        posix::target at;
        const bool done = posix::put(at, path, image, size);
        posix::release(at);
        if (done || !at.again)
            return done;
    }
    return false;
}
