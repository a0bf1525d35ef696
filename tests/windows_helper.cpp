// What other Windows programs do to the files the tool works on, for the
// end-to-end tests under Wine. Each mode reports on standard output once it
// is in place, and lasts until its standard input is closed:
//   windows_helper hold PATH        holds PATH open, sharing only reading, as
//                                   an emulator or a scanner holds a file
//   windows_helper scan FOLDER FILE opens every cardwrap-*.tmp that appears in
//                                   FOLDER as soon as it can, sharing reading
//                                   and writing but not deletion, as virus
//                                   scanners and indexers do, holding FILE
//                                   meanwhile until it has seen one, so that
//                                   one is there to be seen; says how many
//                                   it saw and how many it opened
//   windows_helper attributes PATH [hs]
//                                   sets PATH hidden and system, or says which
//                                   of the two it is ("hs", "h", "s" or "-")
//   windows_helper start PROGRAM [ARGUMENTS]
//                                   starts PROGRAM as Explorer does, alone on
//                                   a console (this one lets go of it before
//                                   PROGRAM runs); copied as explorer.exe, it
//                                   is PROGRAM's parent by that name too.
//                                   Ends with PROGRAM's status
//   windows_helper plain PROGRAM [ARGUMENTS]
//                                   starts PROGRAM on this console with its
//                                   output shown as written, each control
//                                   character a glyph, not obeyed, so that how
//                                   each line ends shows. Ends with its status
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

namespace {

std::atomic<bool> closed{false};

void until_stdin_closes()
{
    char byte = 0;
    DWORD got = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &got, nullptr) != 0 && got > 0) {
    }
    closed = true;
}

int hold(const char *path)
{
    const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    std::printf("held\n");
    std::fflush(stdout);
    until_stdin_closes();
    CloseHandle(file);
    return 0;
}

int scan(const std::string &folder, const char *path)
{
    HANDLE held = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE)
        return 1;
    std::thread waiter(until_stdin_closes);
    std::printf("scanning\n");
    std::fflush(stdout);
    std::vector<HANDLE> opened;
    std::size_t seen = 0;
    while (!closed) {
        WIN32_FIND_DATAA found{};
        const HANDLE search = FindFirstFileA((folder + "\\cardwrap-*.tmp").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            ++seen;
            if (held != INVALID_HANDLE_VALUE)
                CloseHandle(held);
            held = INVALID_HANDLE_VALUE;
            do {
                const HANDLE file = CreateFileA((folder + "\\" + found.cFileName).c_str(),
                                                GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                nullptr, OPEN_EXISTING, 0, nullptr);
                if (file != INVALID_HANDLE_VALUE)
                    opened.push_back(file);
            } while (FindNextFileA(search, &found) != 0);
            FindClose(search);
        }
        Sleep(1);
    }
    waiter.join();
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);
    for (const HANDLE file : opened)
        CloseHandle(file);
    std::printf("seen %s opened %zu\n", seen > 0 ? "some" : "none", opened.size());
    return 0;
}

int attributes(const char *path, const char *set)
{
    if (set != nullptr)
        return SetFileAttributesA(path, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM) != 0 ? 0 : 1;
    const DWORD now = GetFileAttributesA(path);
    if (now == INVALID_FILE_ATTRIBUTES)
        return 1;
    const bool hidden = (now & FILE_ATTRIBUTE_HIDDEN) != 0;
    const bool system = (now & FILE_ATTRIBUTE_SYSTEM) != 0;
    std::printf("%s%s%s\n", hidden ? "h" : "", system ? "s" : "", hidden || system ? "" : "-");
    return 0;
}

// The command line past its first `words` words, as Windows quotes them.
wchar_t *past_words(wchar_t *line, int words)
{
    for (; words > 0; --words) {
        bool quoted = false;
        while (*line != L'\0' && (quoted || (*line != L' ' && *line != L'\t'))) {
            quoted = *line == L'"' ? !quoted : quoted;
            ++line;
        }
        while (*line == L' ' || *line == L'\t')
            ++line;
    }
    return line;
}

int start(wchar_t *command, bool alone)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                       nullptr, &startup, &started) == 0)
        return 2;
    // Held until this process has let go of the console, so that the
    // program is alone on it from its first instruction.
    if (alone)
        FreeConsole();
    ResumeThread(started.hThread);
    WaitForSingleObject(started.hProcess, INFINITE);
    DWORD status = 2;
    GetExitCodeProcess(started.hProcess, &status);
    return static_cast<int>(status);
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc >= 3 && std::strcmp(argv[1], "hold") == 0)
        return hold(argv[2]);
    if (argc >= 4 && std::strcmp(argv[1], "scan") == 0)
        return scan(argv[2], argv[3]);
    if (argc >= 3 && std::strcmp(argv[1], "attributes") == 0)
        return attributes(argv[2], argc >= 4 ? argv[3] : nullptr);
    if (argc >= 3 && std::strcmp(argv[1], "start") == 0)
        return start(past_words(GetCommandLineW(), 2), true);
    if (argc >= 3 && std::strcmp(argv[1], "plain") == 0) {
        const HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
        DWORD mode = 0;
        if (GetConsoleMode(console, &mode) == 0 ||
            SetConsoleMode(console, ENABLE_WRAP_AT_EOL_OUTPUT) == 0)
            return 2;
        const int status = start(past_words(GetCommandLineW(), 2), false);
        SetConsoleMode(console, mode);
        return status;
    }
    return 2;
}
