#include "life_cycle.hpp"

#include <cstdio>

namespace cardwrap {

void temp_name(char (&name)[TEMP_NAME_LEN], unsigned long pid, unsigned random)
{
    std::snprintf(name, sizeof name, "cardwrap-%lu-%08x.tmp", pid, random);
}

} // namespace cardwrap
