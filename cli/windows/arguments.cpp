#include <algorithm>

#include <windows.h>

#include "cli/windows/launch.hpp"

namespace cardwrap::windows {
namespace {

// A command line holds at most 32,767 characters, each copied once, plus
// an end to each argument; in the code page each takes at most 4 bytes.
constexpr int LINE_LEN = 32768;
wchar_t chars[LINE_LEN + MAX_ARGS];
char bytes[4 * LINE_LEN + MAX_ARGS];

// The program's name runs to the next quotation mark if it starts with one,
// else to the first blank or control character, which ends it; backslashes
// are only themselves.
const wchar_t *program_name(const wchar_t *p, wchar_t *&out)
{
    if (*p == L'"') {
        while (*++p != L'"' && *p != L'\0')
            *out++ = *p;
        return *p == L'"' ? p + 1 : p;
    }
    for (; *p > L' '; ++p)
        *out++ = *p;
    return *p == L'\0' ? p : p + 1;
}

// One argument: blanks end it outside quotes; 2n backslashes and a
// quotation mark give n backslashes and start or end the quoted part, 2n + 1
// give n and a quotation mark; two quotation marks within the quoted part
// give one, and end it.
const wchar_t *argument(const wchar_t *p, wchar_t *&out)
{
    for (bool quoted = false;; ++p) {
        int slashes = 0;
        for (; *p == L'\\'; ++p)
            ++slashes;
        bool copy = true;
        if (*p == L'"') {
            if (slashes % 2 == 0) {
                copy = quoted && p[1] == L'"';
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
char *to_code_page(const wchar_t *wide, char *out)
{
    const UINT page = GetACP();
    const bool utf8 = page == CP_UTF8;
    const int len = WideCharToMultiByte(page, utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS,
                                        wide, -1, out, static_cast<int>(bytes + sizeof bytes - out),
                                        utf8 ? nullptr : "?", nullptr);
    *out = len > 0 ? *out : '\0';
    return out + std::max(len, 1);
}

} // namespace

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
        p = argc == 0 ? program_name(p, out) : argument(p, out);
        *out++ = L'\0';
        narrow[argc] = converted;
        converted = to_code_page(wide[argc], converted);
    }
    wide[argc] = nullptr;
    narrow[argc] = nullptr;
    return argc;
}

} // namespace cardwrap::windows
