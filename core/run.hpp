#pragma once

namespace cardwrap {

// One whole run of the tool on its command line (argv[0] is the program's
// name); the result is the process exit status, 0 or 1.
int run(int argc, const char *const argv[]);

} // namespace cardwrap
