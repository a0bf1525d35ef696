#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include <fcntl.h>
#include <unistd.h>

#include "linux/target.hpp"

// Finding what an output path names: the kernel resolves the path, and what
// it found is held by descriptor from then on.
namespace cardwrap::posix {
namespace {

// Linux's own bound on the links followed in one path.
constexpr int MAX_LINK_HOPS = 40;

// Opens the folder part of `path`, from `from`, and takes its last component
// as the name. False if there is no name (a trailing slash), or a longer one
// than any folder takes. Every path split here is one the kernel took or
// gave, so it fits PATH_MAX.
bool split(target &at, int from, const char *path)
{
    const char *slash = std::strrchr(path, '/');
    const char *last = slash == nullptr ? path : slash + 1;
    const std::size_t len = std::strlen(last);
    if (len == 0 || len >= sizeof at.name) {
        errno = ENAMETOOLONG;
        return false;
    }
    char folder[PATH_MAX] = ".";
    if (slash != nullptr)
        std::snprintf(folder, sizeof folder, "%.*s",
                      static_cast<int>(slash == path ? 1 : slash - path), path);
    const int fd = openat(from, folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (at.folder != -1)
        close(at.folder);
    at.folder = fd;
    std::memcpy(at.name, last, len + 1);
    return fd != -1;
}

// A link in a directory open to all but sticky (/tmp) is followed only if
// this user or the directory's owner made it: anyone else may have put it
// there for this run to follow. The kernel holds links to that rule for an
// open (fs.protected_symlinks), but cannot be asked where a file is yet to
// be made, so it holds here whatever the setting.
bool may_follow(int folder, const struct stat &link)
{
    struct stat dir {};
    return fstat(folder, &dir) == 0 &&
           ((dir.st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH) ||
            link.st_uid == geteuid() || link.st_uid == dir.st_uid);
}

// Follows the last component of `path` through links to the folder and name
// it ends at; `there` is what that name holds. False, with errno set, where
// a step fails: ENOENT where nothing is there, which is where a new file goes.
bool walk(target &at, const char *path, struct stat &there)
{
    char link[PATH_MAX];
    for (int hops = 0; hops <= MAX_LINK_HOPS; ++hops) {
        if (!split(at, at.folder == -1 ? AT_FDCWD : at.folder, path) ||
            fstatat(at.folder, at.name, &there, AT_SYMLINK_NOFOLLOW) != 0)
            return false;
        if (!S_ISLNK(there.st_mode))
            return true;
        const ssize_t len = may_follow(at.folder, there)
                                ? readlinkat(at.folder, at.name, link, sizeof link - 1)
                                : (errno = EACCES, -1);
        if (len == -1)
            return false;
        link[len] = '\0';
        path = link;
    }
    errno = ELOOP;
    return false;
}

} // namespace

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void release(const target &at)
{
    for (const int fd : {at.file, at.folder})
        if (fd != -1)
            close(fd);
}

bool find(target &at, const char *path)
{
    struct stat there {};
    at.file = open(path, O_PATH | O_CLOEXEC);
    // Nothing there yet, or a link to where a file is yet to be made: the
    // kernel has followed it as far as it goes, refusing any link it may
    // not follow for this user.
    if (at.file == -1) {
        // Something there now was made meanwhile.
        at.again = errno == ENOENT && walk(at, path, there);
        return !at.again && errno == ENOENT && at.folder != -1;
    }
    if (fstat(at.file, &at.found) != 0)
        return false;
    if (walk(at, path, there) && same_file(there, at.found))
        return true;
    // No name leads to it (an open file with no name left, a pipe named
    // through /dev/fd), unless the path names another file now: then it
    // changed meanwhile.
    at.name[0] = '\0';
    const int now = open(path, O_PATH | O_CLOEXEC);
    at.again = now == -1 || fstat(now, &there) != 0 || !same_file(there, at.found);
    if (now != -1)
        close(now);
    return !at.again;
}

} // namespace cardwrap::posix
