#include "cli/arguments.hpp"

namespace cardwrap::platform {

// The bytes typed are the bytes received.
bool argument_as_typed(const char * /*arg*/)
{
    return true;
}

} // namespace cardwrap::platform
