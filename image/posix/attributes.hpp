#pragma once

#include "place.hpp"

// Attributes of files, as the POSIX half of the output needs them.
namespace cardwrap::platform {

// True if the system marks `fd`'s file (or folder) append-only: it may be
// added to, but not emptied, renamed over or removed from.
bool has_append_only(int fd);

// True if a file system is mounted at `fd`'s file: the name it is mounted
// over can be neither renamed over nor removed.
bool is_mount_root(int fd);

// Gives the temporary file `at.fd` the attributes of the file it replaces,
// `at.file`: its owner and group where this user may set them, its extended
// attributes (its ACL among them) and its permissions, with the set-ID bits
// as an in-place write by this user would leave them. Where the group cannot
// be kept, the group is given nothing rather than another group the old
// group's rights. False if the file would end with more or less access.
bool take_attributes(const place &at);

// Copies the extended attributes of `at.file` to `at.fd`, the ACL among
// them, giving the group that owns the file nothing in the ACL unless
// `group_kept`. Sets `acl` if an ACL was copied. False if one that this user
// may set could not be copied. Where files keep none, there is none to copy.
bool copy_extended(const place &at, bool group_kept, bool &acl);

} // namespace cardwrap::platform
