#include "cli/arguments.hpp"

#include <cstdlib>
#include <cstring>

#include <windows.h>

// The C runtime's own split of the wide command line, made by the same rules
// as the narrow arguments that main receives.
struct crt_startup_info {
    int new_mode; // cppcheck-suppress unusedStructMember ; read by the runtime
};
extern "C" int __wgetmainargs(int *argc, wchar_t ***argv, wchar_t ***env, int expand_wildcards,
                              crt_startup_info *info);

namespace cardwrap::platform {
namespace {

// The longest path the wide file functions take.
constexpr int WIDE_LEN = 32768;

bool argument_as_typed(const char *arg)
{
    int typed_argc = 0;
    wchar_t **typed = nullptr;
    wchar_t **env = nullptr;
    crt_startup_info info{};
    if (__wgetmainargs(&typed_argc, &typed, &env, 0, &info) < 0)
        return false;
    // Converted back strictly: a byte sequence that is no character in the
    // code page cannot stand for what was typed.
    static wchar_t wide[WIDE_LEN];
    const bool converted =
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, arg, -1, wide, WIDE_LEN) > 0;
    // Which of the program's arguments this is, it cannot say: the run may
    // be one of several made from them, and main is handed a copy of them.
    // Every argument that reads as this one must be what was typed in its
    // place; one typed as a look-alike of another makes both doubtful.
    bool found = false;
    for (int i = 0; i < __argc; ++i) {
        if (std::strcmp(__argv[i], arg) != 0)
            continue;
        found = true;
        if (!typed_as_received(__argc, converted ? wide : nullptr, typed_argc,
                               i < typed_argc ? typed[i] : nullptr))
            return false;
    }
    return found;
}

} // namespace

int untyped_path(int argc, const char *const argv[])
{
    if (!argument_as_typed(argv[1]))
        return 1;
    return argc >= 4 && !argument_as_typed(argv[3]) ? 3 : 0;
}

} // namespace cardwrap::platform
