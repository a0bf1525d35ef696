#include "windows/shared.hpp"

#include <algorithm>
#include <cstdio>
#include <cwchar>

#include <windows.h>

#include "files.hpp"

namespace cardwrap {

// Only a console has a console mode: a file, a pipe and NUL have none.
bool windows::output_is_console()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

bool windows::to_wide(const char *path, wchar_t (&wide)[PATH_LEN])
{
    return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, wide, PATH_LEN) > 0;
}

// A write that waits, as each here does (to a file, a pipe, a device),
// returns once all is written or fails; one that says it wrote less (a
// port's write timeout) is no whole write.
bool windows::write_bytes(void *file, const unsigned char *bytes, std::size_t count)
{
    DWORD wrote = 0;
    return WriteFile(file, bytes, static_cast<DWORD>(count), &wrote, nullptr) != 0 &&
           wrote == count;
}

// `path` in the form that takes any length, \\?\C:\... or \\?\UNC\...,
// from the folder a relative one names now, and its drive's for "Z:name".
bool windows::whole_path(const wchar_t *path, wchar_t (&whole)[PATH_LEN])
{
    static wchar_t full[PATH_LEN];
    const DWORD len = GetFullPathNameW(path, PATH_LEN, full, nullptr);
    if (len == 0 || len >= PATH_LEN - 8)
        return false;
    // Already so (\\?\, or a device's \\.\), or a share's \\server\share.
    const bool unc = std::wcsncmp(full, L"\\\\", 2) == 0;
    const bool prefixed = unc && (full[2] == L'?' || full[2] == L'.');
    const wchar_t *form = unc ? L"\\\\?\\UNC" : L"\\\\?\\";
    std::swprintf(whole, PATH_LEN, L"%ls%ls", prefixed ? L"" : form,
                  unc && !prefixed ? full + 1 : full);
    return true;
}

int read_input(const char *path, unsigned char *into, int room)
{
    static wchar_t wide[windows::PATH_LEN];
    if (!windows::to_wide(path, wide))
        return -1;
    // Shared as fopen shares it.
    const HANDLE file = CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    // A disk file or a pipe comes to an end; a console or a serial or
    // printer port gives whatever comes, for as long as anyone waits.
    const DWORD type = GetFileType(file);
    const bool pipe = type == FILE_TYPE_PIPE;
    int got = type == FILE_TYPE_DISK || pipe ? 0 : -1;
    // A disk file ends at a read of nothing. A pipe ends only where its
    // writer has gone, a failed read: a read of nothing from one passes on
    // a write of nothing.
    for (DWORD n = 1; got >= 0 && got < room && (n > 0 || pipe);) {
        if (ReadFile(file, into + got, static_cast<DWORD>(room - got), &n, nullptr) != 0)
            got += static_cast<int>(n);
        else if (GetLastError() == ERROR_BROKEN_PIPE)
            break;
        else
            got = -1;
    }
    CloseHandle(file);
    return got;
}

// A console shows the user's characters, as Windows holds them, in UTF-16,
// and each line's end as CR LF, which it is not given for a bare LF; a file
// or a pipe gets the code page's bytes, each line ended as ever.
void print_line(const char *text, const char *arg)
{
    if (!windows::output_is_console()) {
        std::printf("%s%s\n", text, arg);
        std::fflush(stdout);
        return;
    }
    static wchar_t line[2 * windows::PATH_LEN];
    int len = 0;
    for (const char *part : {text, arg, "\n"})
        len += std::max(0, MultiByteToWideChar(CP_ACP, 0, part, -1, line + len, windows::PATH_LEN) -
                               1);
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    for (const wchar_t *p = line; p < line + len;) {
        const wchar_t *end = std::wcschr(p, L'\n');
        DWORD wrote = 0;
        WriteConsoleW(out, p, static_cast<DWORD>(end - p), &wrote, nullptr);
        WriteConsoleW(out, L"\r\n", 2, &wrote, nullptr);
        p = end + 1;
    }
}

} // namespace cardwrap
