#pragma once

namespace cardwrap {

// True if the program was started from Explorer, double-clicked or with
// files dropped on it: the only process on its console, which its standard
// output is. Started from a shell, a script or a build, it shares its
// console, or writes elsewhere.
bool started_by_explorer(unsigned console_processes, bool output_is_console);

// Runs the tool once for each argument, as `cardwrap FILE`, so that a drop of
// several files wraps each and no path is ever taken for a title or an
// output; with none, once, for the usage text. The status is 1 if any run
// failed.
int wrap_each(int argc, const char *const argv[]);

} // namespace cardwrap

// What the decision needs to know of the console; one file per platform.
namespace cardwrap::platform {

// How many processes share this one's console; 0 where it has none.
unsigned console_processes();
bool output_is_console();
// Asks, on the console and not on standard output, for a key before the
// window closes, and waits for it.
void wait_for_key();

} // namespace cardwrap::platform
