#include "cli/launch.hpp"

// Nothing starts a program here as Explorer does: it always has the command
// line it was given.
namespace cardwrap::platform {

unsigned console_processes()
{
    return 0;
}

bool output_is_console()
{
    return false;
}

bool parent_is_explorer()
{
    return false;
}

bool names_by_full_path(const char * /*arg*/)
{
    return false;
}

void wait_for_key() {}

} // namespace cardwrap::platform
