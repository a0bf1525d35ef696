#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "linux/target.hpp"

// Finding what an output path names: the kernel resolves the path, and what
// it found is held by descriptor from then on. The tool walks the path's
// last links itself only to learn the name the file goes by in its folder.
namespace cardwrap::on_linux {

// Linux's own bound on the links followed in one path.
constexpr int MAX_LINK_HOPS = 40;

// Opens the folder part of `path`, from `from`, and takes its last component
// as the name. False if there is no name (a trailing slash), or a longer one
// than any folder takes. Every path split here is one the kernel took or
// gave, so it fits PATH_MAX.
static bool split(target &at, int from, const char *path)
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
    at.folder.reset(openat(from, folder, O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::memcpy(at.name, last, len + 1);
    return at.folder.fd != -1;
}

// A link the path ends in, in a sticky folder that anyone may write (/tmp),
// is followed only if this user or the folder's owner made it: anyone else
// may have put it there for this run to follow. The kernel holds links to
// that rule for an open (fs.protected_symlinks), but cannot be asked where a
// file is yet to be made, and may be set not to: so it holds here whatever
// the setting. Links earlier in the path are the kernel's to follow.
static bool may_follow(int folder, const struct stat &link)
{
    struct stat dir {};
    return fstat(folder, &dir) == 0 &&
           ((dir.st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH) ||
            link.st_uid == geteuid() || link.st_uid == dir.st_uid);
}

// Follows the last component of `path` through links to the folder and name
// it ends at; `there` is what that name holds. False, with errno set, where
// a step fails: ENOENT where nothing is there, which is where a new file goes.
static bool walk(target &at, const char *path, struct stat &there)
{
    char link[PATH_MAX];
    for (int hops = 0; hops <= MAX_LINK_HOPS; ++hops) {
        if (!split(at, at.folder.fd == -1 ? AT_FDCWD : at.folder.fd, path) ||
            fstatat(at.folder.fd, at.name, &there, AT_SYMLINK_NOFOLLOW) != 0)
            return false;
        if (!S_ISLNK(there.st_mode))
            return true;
        if (!may_follow(at.folder.fd, there)) {
            errno = EACCES;
            return false;
        }
        const ssize_t len = readlinkat(at.folder.fd, at.name, link, sizeof link - 1);
        if (len == -1)
            return false;
        link[len] = '\0';
        path = link;
    }
    errno = ELOOP;
    return false;
}

// Whether `path` still leads to the file found.
static bool still_names(const char *path, const struct stat &found)
{
    const descriptor now(open(path, O_PATH | O_CLOEXEC));
    struct stat there {};
    return now.fd != -1 && fstat(now.fd, &there) == 0 && same_file(there, found);
}

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

outcome find(target &at, const char *path)
{
    struct stat there {};
    at.file.reset(open(path, O_PATH | O_CLOEXEC));
    // Nothing there yet, or a link to where a file is yet to be made: the
    // kernel has followed it as far as it goes, refusing any link it may
    // not follow for this user. Something there now was made meanwhile.
    if (at.file.fd == -1) {
        if (errno != ENOENT)
            return outcome::failed;
        if (walk(at, path, there))
            return outcome::again;
        return errno == ENOENT && at.folder.fd != -1 ? outcome::done : outcome::failed;
    }
    if (fstat(at.file.fd, &at.found) != 0)
        return outcome::failed;
    if (walk(at, path, there))
        return same_file(there, at.found) ? outcome::done : outcome::again;
    // A walk that fails for any reason but a name with nothing at it (a
    // link not followed, no descriptor, no memory) names no file to write.
    if (errno != ENOENT)
        return outcome::failed;
    if (!still_names(path, at.found))
        return outcome::again;
    // No name leads to it: an open file with no name left, or a pipe, named
    // through /dev/fd. It is written through its descriptor.
    at.name[0] = '\0';
    const bool nameless = at.found.st_nlink == 0 || !S_ISREG(at.found.st_mode);
    return nameless ? outcome::in_place : outcome::failed;
}

} // namespace cardwrap::on_linux
