#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <endian.h>
#include <fcntl.h>
#include <linux/posix_acl.h>
#include <linux/posix_acl_xattr.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "image/posix/attributes.hpp"

// A file's extended attributes, its ACL among them, copied as they are: one
// mechanism for every kind, and no library beyond the C library's calls.
// And its flags. Linux's own, all of them; the web build has none.
namespace cardwrap::platform {
namespace {

// The most the system holds of one file's attribute names, and of one value.
constexpr std::size_t LIST_LEN = 65536;
constexpr std::size_t VALUE_LEN = 65536;
constexpr char ACCESS_ACL[] = "system.posix_acl_access";

// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables)
char names[LIST_LEN];
char value[VALUE_LEN];
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

// In an ACL, the group that owns the file is given nothing; the other
// entries, and the mask that the permissions' group bits stand for, stay.
void clear_owning_group(char *acl, std::size_t len)
{
    for (std::size_t at = sizeof(posix_acl_xattr_header); at + sizeof(posix_acl_xattr_entry) <= len;
         at += sizeof(posix_acl_xattr_entry)) {
        posix_acl_xattr_entry entry{};
        std::memcpy(&entry, acl + at, sizeof entry);
        if (le16toh(entry.e_tag) == ACL_GROUP_OBJ) {
            entry.e_perm = 0;
            std::memcpy(acl + at, &entry, sizeof entry);
        }
    }
}

// Attributes that only the system's policy or a privilege sets: one that
// cannot be set is left to what the system gives a new file.
bool privileged(const char *name)
{
    return std::strncmp(name, "security.", 9) == 0 || std::strncmp(name, "trusted.", 8) == 0;
}

// Where the system cannot say (no statx, or too old to know the mark), the
// file is taken to be unmarked.
bool marked(int fd, std::uint64_t attribute)
{
    struct statx st {};
    return statx(fd, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, STATX_TYPE, &st) == 0 &&
           (st.stx_attributes_mask & st.stx_attributes & attribute) != 0;
}

} // namespace

// Read through /proc, which reaches the file itself whatever its name. Where
// /proc is not mounted, the file was found under the path as given.
bool copy_extended(const place &at, bool group_kept, bool &acl)
{
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", at.file);
    const bool proc = faccessat(AT_FDCWD, self, F_OK, AT_SYMLINK_NOFOLLOW) == 0;
    const ssize_t listed =
        proc ? listxattr(self, names, sizeof names) : llistxattr(at.path, names, sizeof names);
    // A file system that keeps no extended attributes has none to copy.
    if (listed == -1)
        return errno == ENOTSUP || errno == ENOSYS;
    for (ssize_t i = 0; i < listed; i += static_cast<ssize_t>(std::strlen(names + i)) + 1) {
        const char *name = names + i;
        const ssize_t len = proc ? getxattr(self, name, value, sizeof value)
                                 : lgetxattr(at.path, name, value, sizeof value);
        // One removed meanwhile is not missed.
        if (len == -1 && errno == ENODATA)
            continue;
        if (len == -1)
            return false;
        const bool is_acl = std::strcmp(name, ACCESS_ACL) == 0;
        if (is_acl && !group_kept)
            clear_owning_group(value, static_cast<std::size_t>(len));
        if (fsetxattr(at.fd, name, value, static_cast<std::size_t>(len), 0) != 0 &&
            !privileged(name))
            return false;
        acl = acl || is_acl;
    }
    // The file had no ACL of its own, and none it may take from the folder's
    // default: only its permissions say who may use it.
    return acl || fremovexattr(at.fd, ACCESS_ACL) == 0 || errno == ENODATA || errno == ENOTSUP;
}

bool has_append_only(int fd)
{
    return marked(fd, STATX_ATTR_APPEND);
}

bool is_mount_root(int fd)
{
    return marked(fd, STATX_ATTR_MOUNT_ROOT);
}

} // namespace cardwrap::platform
