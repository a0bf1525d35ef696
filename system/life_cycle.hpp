#pragma once

#include <cstdio>

// What every platform's output life cycle shares: how long a hold on the
// output is waited out, and the name of the new file beside it.
namespace cardwrap {

// A hold by another program (a lock, an open that shares nothing, a file on
// its way out) is waited out for about two seconds in all, at growing
// intervals: one that lasts longer is no brief hold.
inline constexpr int WAITS_MS[] = {10, 20, 40, 80, 160, 320, 500, 500, 500};

inline constexpr int TEMP_NAME_LEN = 40;

// "cardwrap-PID-XXXXXXXX.tmp": short and of a fixed form whatever the
// output's name, so any folder takes it, and it says what it is to whoever
// finds one a killed run left. `random` is its part that no one can foresee.
inline void temp_name(char (&name)[TEMP_NAME_LEN], unsigned long pid, unsigned random)
{
    std::snprintf(name, sizeof name, "cardwrap-%lu-%08x.tmp", pid, random);
}

} // namespace cardwrap
