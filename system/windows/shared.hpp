#pragma once

#include <cstddef>

#include "../life_cycle.hpp"

// What the Windows half's files share. Handles are kept as Windows keeps
// them, as pointers, so that this header needs no system header.
namespace cardwrap::windows {

// The longest path the wide file functions take, and room for it.
inline constexpr int PATH_LEN = 32768;

// `path`, from the ANSI code page, strictly: false for a byte sequence that
// is no character there, or a path too long.
bool to_wide(const char *path, wchar_t (&wide)[PATH_LEN]);

// `path` as a whole path in the form that takes any length, \\?\C:\... or
// \\?\UNC\...: from the folder a relative one names now, and its drive's
// for "Z:name". False if that is too long.
bool whole_path(const wchar_t *path, wchar_t (&whole)[PATH_LEN]);

// True if standard output is a console.
bool output_is_console();

// The last component of a whole path.
const wchar_t *name_of(const wchar_t *path);

// Finds what the output path `given` names, as Windows resolves it: returns
// a handle on the file, opened for its attributes alone, with `attributes`
// its own and `target` the whole path of the file itself, where links lead;
// null where the path names nothing yet, `target` then the name to make;
// INVALID_HANDLE_VALUE if refused, or (`device` set) a device, let go of.
void *find(const wchar_t *given, wchar_t (&target)[PATH_LEN], unsigned long &attributes,
           bool &device);

// Which file a path names, as Windows resolves it (links followed, a name in
// any letter case or by its short alias): its volume and number there; or,
// where it names none yet, its folder's, `to_make` set. Not `known` where
// Windows cannot say.
struct file_id {
    bool known = false;
    bool to_make = false;
    unsigned long volume = 0;
    unsigned long long number = 0;
    bool operator==(const file_id &) const = default;
};
file_id identify(const char *path);

// Whether two paths end in one name, as Windows compares names.
bool same_name(const char *path, const char *other);

// Writes the `count` bytes of `bytes` to `file` in one call. False if any
// was not written.
bool write_bytes(void *file, const unsigned char *bytes, std::size_t count);

// Creates the new file beside the file at `beside`, its whole path put in
// `path`: shared with no one, and if `replacing`, its owner's alone until
// given the replaced file's security. INVALID_HANDLE_VALUE if refused.
void *create_temp(const wchar_t *beside, wchar_t (&path)[PATH_LEN + TEMP_NAME_LEN],
                  unsigned long attributes, bool replacing);

// Whether a refusal, as the system gave it (`error`, and `status`, the
// reason beneath), passes: another program's hold, or a file on its way out
// (deleted while open elsewhere, it keeps its name until the last handle
// closes, unless deleted the POSIX way). Such are waited out; any other
// refusal is for good.
bool passes(unsigned long error, long status);

// Gives the temporary file `temp` (at `temp_path`) what the file it replaces
// (`file`, at `path`) carries beyond its bytes, as ReplaceFile would pass it
// on: alternate data streams, ACL, owner and group where this user may set
// them, hidden, system and not-indexed attributes, creation time. False if
// any of it but the owner could not be passed on.
bool take_attributes(void *file, const wchar_t *path, void *temp, const wchar_t *temp_path);

// Ends the process once no image is being put in place: what Ctrl-C,
// Ctrl-Break and closing the window do.
int on_console_event(unsigned long event);

} // namespace cardwrap::windows
