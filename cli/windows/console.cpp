#include "cli/launch.hpp"

#include <windows.h>

namespace cardwrap::platform {

unsigned console_processes()
{
    DWORD list[2];
    const DWORD count = GetConsoleProcessList(list, 2);
    // Wine gives a program started from a Unix terminal a console of its
    // own, alone and with a window, just as Explorer would; the shell that
    // typed its command line shares it all the same, uncounted.
    const HMODULE system = GetModuleHandleW(L"ntdll.dll");
    const bool wine = system != nullptr && GetProcAddress(system, "wine_get_version") != nullptr;
    return count + (wine && count > 0 ? 1 : 0);
}

bool output_is_console()
{
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return out != INVALID_HANDLE_VALUE && out != nullptr && GetFileType(out) == FILE_TYPE_CHAR &&
           GetConsoleMode(out, &mode) != 0;
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
