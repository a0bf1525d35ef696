#include "image/posix/attributes.hpp"

namespace cardwrap::platform {

// The browser's in-memory file system keeps no extended attributes.
bool copy_extended(const place & /*at*/, bool /*group_kept*/, bool &acl)
{
    acl = false;
    return true;
}

} // namespace cardwrap::platform
