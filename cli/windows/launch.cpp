#include "cli/windows/launch.hpp"

#include <conio.h>
#include <cwchar>

#include <windows.h>

#include <winternl.h>

#include "core/run.hpp"
#include "system/windows/shared.hpp"

namespace cardwrap::windows {
namespace {

bool parent_is_explorer()
{
    PROCESS_BASIC_INFORMATION self{};
    if (NtQueryInformationProcess(GetCurrentProcess(), ProcessBasicInformation, &self, sizeof self,
                                  nullptr) != 0)
        return false;
    const HANDLE parent = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                      static_cast<DWORD>(self.InheritedFromUniqueProcessId));
    wchar_t name[MAX_PATH] = {};
    DWORD len = MAX_PATH;
    const bool known = parent != nullptr && QueryFullProcessImageNameW(parent, 0, name, &len) != 0;
    if (parent != nullptr)
        CloseHandle(parent);
    return known && _wcsicmp(name_of(name), L"explorer.exe") == 0;
}

} // namespace

bool started_by_explorer()
{
    DWORD processes[2];
    return GetConsoleProcessList(processes, 2) == 1 && output_is_console() && parent_is_explorer();
}

bool given_by_drop(int argc, const wchar_t *const wide[],
                   bool (*names_by_full_path)(const wchar_t *))
{
    for (int i = 1; i < argc; ++i)
        if (!names_by_full_path(wide[i]))
            return false;
    return true;
}

int wrap_each(int argc, const char *const argv[])
{
    if (argc < 2)
        return run(argc, argv);
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        const char *const one[] = {argv[0], argv[i], nullptr};
        if (run(2, one) != 0)
            status = 1;
    }
    return status;
}

// Taken as given, not as Windows would make it over (a trailing dot or
// space dropped, aux.pda a port): a drive's or a share's whole path, looked
// for in the form that takes any length and any name.
bool names_by_full_path(const wchar_t *arg)
{
    static wchar_t whole[PATH_LEN];
    const bool unc = std::wcsncmp(arg, L"\\\\", 2) == 0;
    const bool drive = arg[0] != L'\0' && arg[1] == L':' && arg[2] == L'\\';
    return (unc || drive) &&
           std::swprintf(whole, PATH_LEN, L"%ls%ls", unc ? L"\\\\?\\UNC" : L"\\\\?\\",
                         unc ? arg + 1 : arg) > 0 &&
           GetFileAttributesW(whole) != INVALID_FILE_ATTRIBUTES;
}

// On the console itself, not on standard output.
void wait_for_key()
{
    _cputws(L"\r\nPress any key to close this window.");
    // Keys pressed while the files were wrapped do not count.
    while (_kbhit() != 0)
        _getwch();
    _getwch();
}

} // namespace cardwrap::windows
