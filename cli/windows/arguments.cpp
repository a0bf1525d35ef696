#include "cli/arguments.hpp"

#include <cwchar>

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

// The longest path the narrow file functions take, and more.
constexpr int WIDE_PATH_LEN = 4096;

} // namespace

bool argument_as_typed(int index, const char *arg)
{
    int argc = 0;
    wchar_t **argv = nullptr;
    wchar_t **env = nullptr;
    crt_startup_info info{};
    if (__wgetmainargs(&argc, &argv, &env, 0, &info) < 0 || index >= argc)
        return false;
    // Converted back strictly: a byte sequence that is no character in the
    // code page cannot stand for what was typed.
    // A path too long for this buffer is too long for the narrow file
    // functions too, and is refused either way.
    wchar_t wide[WIDE_PATH_LEN];
    const int len = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, arg, -1, wide, WIDE_PATH_LEN);
    return len > 0 && std::wcscmp(wide, argv[index]) == 0;
}

} // namespace cardwrap::platform
