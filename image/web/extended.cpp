#include "image/posix/attributes.hpp"

namespace cardwrap::platform {

// The browser's in-memory file system keeps no extended attributes, and
// marks no file or folder append-only; nothing is mounted over a file.
bool copy_extended(const place & /*at*/, bool /*group_kept*/, bool &acl)
{
    acl = false;
    return true;
}

bool has_append_only(int /*fd*/)
{
    return false;
}

bool is_mount_root(int /*fd*/)
{
    return false;
}

} // namespace cardwrap::platform
