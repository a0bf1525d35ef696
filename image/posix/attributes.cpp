#include "image/posix/attributes.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cardwrap::platform {

bool take_attributes(const place &at)
{
    const struct stat &like = at.found;
    // Only a privileged user may give a file away; anyone may keep the
    // group, if it is one of theirs.
    const bool group_kept = fchown(at.fd, like.st_uid, like.st_gid) == 0 ||
                            fchown(at.fd, static_cast<uid_t>(-1), like.st_gid) == 0;
    bool acl = false;
    if (!copy_extended(at, group_kept, acl))
        return false;
    // With an ACL the group bits are its mask, kept as they were; without,
    // they are the group's own.
    mode_t mode = like.st_mode & 07777;
    if (!group_kept && !acl)
        mode &= ~static_cast<mode_t>(S_IRWXG);
    struct stat now {};
    // Permissions last: a change of owner clears set-user-ID. Then a
    // truncation to the file's own length, which changes no byte, has the
    // system clear the set-ID bits (and file capabilities) exactly as it
    // would for a write of the old file in place by this user.
    return fchmod(at.fd, mode) == 0 && fstat(at.fd, &now) == 0 &&
           ftruncate(at.fd, now.st_size) == 0;
}

} // namespace cardwrap::platform
