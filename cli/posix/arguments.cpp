#include "cli/arguments.hpp"

namespace cardwrap::platform {

// The bytes typed are the bytes received.
int untyped_path(int /*argc*/, const char *const /*argv*/[])
{
    return 0;
}

} // namespace cardwrap::platform
