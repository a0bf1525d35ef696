#include "image/files.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

// Finding what an output path names: the system resolves it, once, and what
// it found is held by descriptor from then on.
namespace cardwrap::platform {
namespace {

// Linux's own bound on the links followed in one path.
constexpr int MAX_LINK_HOPS = 40;
constexpr std::size_t PATH_BUF_LEN = PATH_MAX;

// Splits `path` at its last slash: the folder ("." for a bare name) and the
// name. False if there is no name (a trailing slash) or it is too long for
// any folder. Every path split here is one the system took or gave, so no
// longer than PATH_MAX - 1.
bool split(const char *path, char (&folder)[PATH_BUF_LEN], char (&name)[NAME_BUF_LEN])
{
    const char *slash = std::strrchr(path, '/');
    const char *last = slash == nullptr ? path : slash + 1;
    const std::size_t name_len = std::strlen(last);
    const std::size_t folder_len =
        slash == nullptr || slash == path ? 1 : static_cast<std::size_t>(slash - path);
    if (name_len == 0 || name_len >= sizeof name)
        return false;
    std::memcpy(folder, slash == nullptr ? "." : path, folder_len);
    folder[folder_len] = '\0';
    std::memcpy(name, last, name_len + 1);
    return true;
}

bool open_folder(place &at, const char *folder, int from = AT_FDCWD)
{
    const int fd = openat(from, folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (at.folder != -1)
        close(at.folder);
    at.folder = fd;
    return fd != -1;
}

// What the link `name` in `folder` holds. Left empty where it cannot be read
// (no /proc; the link gone meanwhile), which splits into no name. No link
// holds more than PATH_MAX - 1 bytes, so none is cut short; a name cut short
// would not lead back to the file anyway.
void read_link(int folder, const char *name, char (&into)[PATH_BUF_LEN])
{
    const ssize_t got = readlinkat(folder, name, into, sizeof into - 1);
    into[got == -1 ? 0 : got] = '\0';
}

// True if `at.name` in `folder` is the file found itself, not a link to it.
bool names_the_file(place &at, const char *folder)
{
    struct stat st {};
    return open_folder(at, folder) && fstatat(at.folder, at.name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           st.st_dev == at.found.st_dev && st.st_ino == at.found.st_ino;
}

// The folder and name to replace the file by: the path's own when its last
// component is the file, else wherever the system says the file is (for a
// link, the file it ends at, in its own folder). Without /proc the system
// cannot say, and a file reached through a link is written in place.
bool find_name(place &at, const char *path)
{
    char folder[PATH_BUF_LEN];
    if (split(path, folder, at.name) && names_the_file(at, folder))
        return true;
    char self[32];
    char where[PATH_BUF_LEN];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", at.file);
    read_link(AT_FDCWD, self, where);
    return split(where, folder, at.name) && names_the_file(at, folder);
}

// A link in a folder that anyone may add to but only owners remove from
// (sticky and writable by all, as /tmp is) is followed only if this user or
// the folder's owner made it: anyone else may have put it there for us to
// follow. The kernel's fs.protected_symlinks holds links to the same rule;
// the kernel cannot be asked here, where a link is read to find where a file
// is yet to be made, so the rule is kept whatever the setting.
bool may_follow(int folder, const struct stat &link)
{
    constexpr mode_t OPEN_TO_ALL = S_ISVTX | S_IWOTH;
    struct stat dir {};
    return fstat(folder, &dir) == 0 && ((dir.st_mode & OPEN_TO_ALL) != OPEN_TO_ALL ||
                                        link.st_uid == geteuid() || link.st_uid == dir.st_uid);
}

// A name that holds nothing yet, in its folder. It may be a link to where a
// file is yet to be made: the system has already followed it there (and
// refused a link it may not follow for us), so what is left is to read where
// it leads, one link at a time, holding each to the same rule, since another
// may have taken its place meanwhile.
file_kind find_new(place &at, const char *path)
{
    char folder[PATH_BUF_LEN];
    if (!split(path, folder, at.name) || !open_folder(at, folder))
        return file_kind::refused;
    for (int hops = 0; hops <= MAX_LINK_HOPS; ++hops) {
        struct stat st {};
        if (fstatat(at.folder, at.name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT ? file_kind::absent : file_kind::refused;
        // Anything else appeared since the path was looked up.
        if (!S_ISLNK(st.st_mode) || !may_follow(at.folder, st))
            return file_kind::refused;
        char link[PATH_BUF_LEN];
        read_link(at.folder, at.name, link);
        if (!split(link, folder, at.name) || !open_folder(at, folder, at.folder))
            return file_kind::refused;
    }
    return file_kind::refused;
}

} // namespace

file_kind find(place &at, const char *path)
{
    at.path = path;
    // Opened for its identity alone: no watcher sees an open, no lease is
    // broken, a FIFO waits for no reader; and the system applies every rule
    // it applies to a path (folders it may not search, links it will not
    // follow for us), as it would for fopen.
    at.file = open(path, O_PATH | O_CLOEXEC);
    if (at.file == -1)
        return errno == ENOENT ? find_new(at, path) : file_kind::refused;
    if (fstat(at.file, &at.found) == -1)
        return file_kind::refused;
    // Anything else is written as it is, as fopen would write it; a folder
    // the system refuses to open for writing.
    if (!S_ISREG(at.found.st_mode))
        return file_kind::device;
    // A file with no name left (open elsewhere, named through /dev/fd) is
    // written where it is, never made again under some name.
    if (at.found.st_nlink == 0 || !find_name(at, path))
        return file_kind::unnamed;
    return faccessat(at.folder, at.name, W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0
               ? file_kind::named
               : file_kind::refused;
}

} // namespace cardwrap::platform
