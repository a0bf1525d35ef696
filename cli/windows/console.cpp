#include "cli/launch.hpp"

#include <cstring>
#include <cwchar>

#include <windows.h>

#include <tlhelp32.h>

namespace cardwrap::platform {

unsigned console_processes()
{
    DWORD list[2];
    return GetConsoleProcessList(list, 2);
}

bool output_is_console()
{
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return out != INVALID_HANDLE_VALUE && out != nullptr && GetFileType(out) == FILE_TYPE_CHAR &&
           GetConsoleMode(out, &mode) != 0;
}

bool parent_is_explorer()
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    const DWORD self = GetCurrentProcessId();
    DWORD parent = 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more != 0 && parent == 0;
         more = Process32NextW(snapshot, &entry))
        if (entry.th32ProcessID == self)
            parent = entry.th32ParentProcessID;
    bool explorer = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more != 0 && parent != 0;
         more = Process32NextW(snapshot, &entry))
        if (entry.th32ProcessID == parent) {
            explorer = _wcsicmp(entry.szExeFile, L"explorer.exe") == 0;
            break;
        }
    CloseHandle(snapshot);
    return explorer;
}

bool names_by_full_path(const char *arg)
{
    // The longest path a long-path-aware program may be given.
    static char full[32768];
    const DWORD len = GetFullPathNameA(arg, sizeof full, full, nullptr);
    return len > 0 && len < sizeof full && std::strcmp(full, arg) == 0 &&
           GetFileAttributesA(arg) != INVALID_FILE_ATTRIBUTES;
}

void wait_for_key()
{
    const HANDLE out =
        CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    const HANDLE in =
        CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE || in == INVALID_HANDLE_VALUE)
        return;
    static const wchar_t prompt[] = L"\r\nPress any key to close this window.";
    DWORD written = 0;
    WriteConsoleW(out, prompt, static_cast<DWORD>(sizeof prompt / sizeof prompt[0] - 1), &written,
                  nullptr);
    // Keys pressed while the files were wrapped do not count.
    FlushConsoleInputBuffer(in);
    INPUT_RECORD event{};
    DWORD got = 0;
    while (ReadConsoleInputW(in, &event, 1, &got) != 0 && got == 1)
        if (event.EventType == KEY_EVENT && event.Event.KeyEvent.bKeyDown) // NOLINT
            break;
    CloseHandle(in);
    CloseHandle(out);
}

} // namespace cardwrap::platform
