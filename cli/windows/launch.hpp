#pragma once

// Starting on Windows: the command line as typed, and a start from Explorer.
namespace cardwrap::windows {

// The most arguments a command line of 32,767 characters can hold.
inline constexpr int MAX_ARGS = 16384;

// The program's arguments from its wide command line `line`, split once as
// the C runtime splits one (quoted parts anywhere in the program's name;
// quotes and runs of backslashes in the others), each also in the ANSI code
// page with no best fit: a character the code page lacks becomes '?', never
// a look-alike, and no file name holds a '?'. Fills `wide` and `narrow` from
// buffers of its own, each list ended by a null; returns the count.
int arguments(const wchar_t *line, const wchar_t **wide, const char **narrow);

// True if the program was started from Explorer, double-clicked or with
// files dropped on it: the only process on a console of its own, which its
// standard output is, and Explorer's child. Started from a shell, a script
// or a build, it shares its console, writes elsewhere, or has another
// parent: `start` in a shell, a scheduled task and a script's new console
// give it a console of its own too, and a command line typed as ever.
bool started_by_explorer();

// True if there are arguments and each is a full path, a drive's or a
// share's, as Explorer gives what is dropped on a program or opened with
// it. Otherwise the command line is taken as typed: a shortcut's or the Run
// box's own, which start the tool from Explorer too, or none at all,
// double-clicked, for the usage text.
bool given_by_drop(int argc, const wchar_t *const wide[]);

// Runs the tool once for each argument, as `cardwrap FILE`, so that a drop of
// several files wraps each and no path is ever taken for a title or an
// output. Worked out before any image is written, a name that names nothing
// is refused instead, "Cannot read", and a file whose image would go over
// another dropped file, or where another's would go, "Cannot write" and its
// image's name. The status is 1 if any run failed or any file was refused.
int wrap_each(int argc, const char *const argv[]);

// Asks for a key before the window closes, and waits for it.
void wait_for_key();

} // namespace cardwrap::windows
