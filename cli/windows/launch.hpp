#pragma once

namespace cardwrap {

// True if the program was started from Explorer, double-clicked or with
// files dropped on it: the only process on a console of its own, which its
// standard output is, and Explorer's child. Started from a shell, a script
// or a build, it shares its console, writes elsewhere, or has another
// parent: `start` in a shell, a scheduled task and a script's new console
// give it a console of its own too, and a command line typed as ever.
bool started_by_explorer(unsigned console_processes, bool output_is_console,
                         bool parent_is_explorer);

// True if every argument is the full path of a file or folder that is
// there, as `names_by_full_path` (the system) tells, as Explorer gives what
// is dropped on a program or opened with it. A shortcut or the Run box
// starts the tool from Explorer too, with a command line of its own, to be
// taken as typed.
bool given_by_drop(int argc, const char *const argv[], bool (*names_by_full_path)(const char *));

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
bool parent_is_explorer();
// True if `arg` is the full path, as the system would make it, of a file or
// folder that is there.
bool names_by_full_path(const char *arg);
// Asks, on the console and not on standard output, for a key before the
// window closes, and waits for it.
void wait_for_key();

} // namespace cardwrap::platform
