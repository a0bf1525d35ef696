#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/limits.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "linux/target.hpp"

// A file's attributes: the append-only mark, and those a replacement carries
// on. Extended attributes, the ACL among them, are copied as they are: one
// mechanism for every kind, and no library beyond the C library's calls.
// Inode flags (chattr) are not carried: reading them would open the file.
namespace cardwrap::on_linux {

constexpr char ACCESS_ACL[] = "system.posix_acl_access";

// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables)
// As much as the system holds of one file's attribute names, and of one value.
static char names[XATTR_LIST_MAX];
static char value[XATTR_SIZE_MAX];
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

static bool copy_extended(int fd, const char *from)
{
    const ssize_t listed = listxattr(from, names, sizeof names);
    // A file system that keeps no extended attributes has none to copy.
    if (listed == -1)
        return errno == ENOTSUP || errno == ENOSYS;
    bool acl = false;
    for (ssize_t i = 0; i < listed; i += static_cast<ssize_t>(std::strlen(names + i)) + 1) {
        const char *name = names + i;
        const ssize_t len = getxattr(from, name, value, sizeof value);
        // One removed meanwhile is not missed.
        if (len == -1 && errno == ENODATA)
            continue;
        // What only the system's policy or a privilege sets is left, where
        // it cannot be set, to what the system gives a new file.
        const bool privileged =
            std::strncmp(name, "security.", 9) == 0 || std::strncmp(name, "trusted.", 8) == 0;
        if (len == -1 ||
            (fsetxattr(fd, name, value, static_cast<std::size_t>(len), 0) != 0 && !privileged))
            return false;
        acl = acl || std::strcmp(name, ACCESS_ACL) == 0;
    }
    // The file had no ACL of its own, and takes none from the folder's
    // default: only its permissions say who may use it.
    return acl || fremovexattr(fd, ACCESS_ACL) == 0 || errno == ENODATA || errno == ENOTSUP;
}

// Asked of statx, or where it cannot answer (an old kernel, whose C library
// then says nothing of the mark; a filter that refuses the call), of the
// folder's inode flags. A file system that keeps no such flags has no mark.
bool append_only(int folder)
{
    struct statx st {};
    if (statx(folder, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, STATX_TYPE, &st) == 0 &&
        (st.stx_attributes_mask & STATX_ATTR_APPEND) != 0)
        return (st.stx_attributes & STATX_ATTR_APPEND) != 0;
    // A folder that cannot be opened to read answers EBADF: it cannot say.
    const descriptor dir(openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    int flags = 0;
    if (ioctl(dir.fd, FS_IOC_GETFLAGS, &flags) == 0)
        return (flags & FS_APPEND_FL) != 0;
    return errno != ENOTTY && errno != ENOTSUP && errno != EINVAL;
}

bool take_attributes(int fd, const target &at, const char *path)
{
    // Read through /proc, which reaches the file itself whatever its name.
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", at.file.fd);
    const bool proc = faccessat(AT_FDCWD, self, F_OK, AT_SYMLINK_NOFOLLOW) == 0;
    if (!copy_extended(fd, proc ? self : path) || fchmod(fd, at.found.st_mode & 07777) != 0)
        return false;
    // Permissions last, then a truncation to the file's own length, which
    // changes no byte, has the system clear the set-ID bits (and file
    // capabilities) exactly as a write of the old file in place would.
    struct stat now {};
    return fstat(fd, &now) == 0 && ftruncate(fd, now.st_size) == 0;
}

} // namespace cardwrap::on_linux
