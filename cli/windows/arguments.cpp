#include <algorithm>

#include <windows.h>

#include "cli/windows/launch.hpp"

namespace cardwrap::windows {

// A command line holds at most 32,767 characters, each copied once, plus
// an end to each argument; in the code page each takes at most 4 bytes.
constexpr int LINE_LEN = 32768;
// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables)
static wchar_t chars[LINE_LEN + MAX_ARGS];
static char bytes[4 * LINE_LEN + MAX_ARGS];
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

// One argument, ended by a space or tab outside quotes; a quotation mark
// starts or ends the quoted part. With escapes, as in all but the program's
// name (a path, split without), 2n backslashes and a quotation mark give n
// backslashes and start or end the quoted part, 2n + 1 give n and a
// quotation mark, and two quotation marks within quotes give one, and end
// them.
static const wchar_t *argument(const wchar_t *p, wchar_t *&out, bool escapes)
{
    for (bool quoted = false;; ++p) {
        int slashes = 0;
        for (; escapes && *p == L'\\'; ++p)
            ++slashes;
        bool copy = true;
        if (*p == L'"') {
            if (slashes % 2 == 0) {
                copy = escapes && quoted && p[1] == L'"';
                p += copy ? 1 : 0;
                quoted = !quoted;
            }
            slashes /= 2;
        }
        for (; slashes > 0; --slashes)
            *out++ = L'\\';
        if (*p == L'\0' || (!quoted && (*p == L' ' || *p == L'\t')))
            return p;
        if (copy)
            *out++ = *p;
    }
}

// In the code page, a character it lacks becomes '?'. UTF-8 lacks none; what
// is no character at all (a lone surrogate) gives an empty argument, which
// names no file either.
static char *to_code_page(const wchar_t *wide, char *out)
{
    const UINT page = GetACP();
    const bool utf8 = page == CP_UTF8;
    const int len = WideCharToMultiByte(page, utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS,
                                        wide, -1, out, static_cast<int>(bytes + sizeof bytes - out),
                                        utf8 ? nullptr : "?", nullptr);
    *out = len > 0 ? *out : '\0';
    return out + std::max(len, 1);
}

int arguments(const wchar_t *line, const wchar_t **wide, const char **narrow)
{
    wchar_t *out = chars;
    char *converted = bytes;
    int argc = 0;
    for (const wchar_t *p = line; argc < MAX_ARGS; ++argc) {
        if (argc > 0) {
            while (*p == L' ' || *p == L'\t')
                ++p;
            if (*p == L'\0')
                break;
        }
        wide[argc] = out;
        p = argument(p, out, argc > 0);
        *out++ = L'\0';
        narrow[argc] = converted;
        converted = to_code_page(wide[argc], converted);
    }
    wide[argc] = nullptr;
    narrow[argc] = nullptr;
    return argc;
}

} // namespace cardwrap::windows
