#include "cli/windows/launch.hpp"

#include <conio.h>
#include <cwchar>

#include <windows.h>

#include <winternl.h>

#include "core/messages.hpp"
#include "core/naming.hpp"
#include "core/run.hpp"
#include "system/files.hpp"
#include "system/windows/shared.hpp"

namespace cardwrap::windows {

static bool parent_is_explorer()
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

// A drop's files: each one's image name (none where its path is too long
// to make one, which its run refuses), what it is read from, and where its
// image would go.
// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables)
static char images[MAX_ARGS][PATH_BUF_LEN];
static file_id read_from[MAX_ARGS];
static file_id written_to[MAX_ARGS];
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

// Whether two paths end at one place as Windows resolves them: one file, or
// one name yet to be made in one folder. Where Windows cannot say which file
// either is (one on its way out, say), their names are compared.
static bool same_place(const file_id &a, const file_id &b, const char *a_path, const char *b_path)
{
    if (!a.known || !b.known)
        return same_name(a_path, b_path);
    return a == b && (!a.to_make || same_name(a_path, b_path));
}

// Whether dropped file `i` is read, and may make an image: one whose path
// names no image, or that names nothing to read, is refused before.
static bool taken(int i)
{
    return images[i][0] != '\0' && !read_from[i].to_make;
}

// Whether dropped file `i`'s image would go over another dropped file, or
// where another's image would go.
static bool collides(int argc, const char *const argv[], int i)
{
    for (int j = 1; j < argc; ++j)
        if (j != i && taken(j) &&
            (same_place(written_to[i], read_from[j], images[i], argv[j]) ||
             same_place(written_to[i], written_to[j], images[i], images[j])))
            return true;
    return false;
}

// Whether `arg` is a full path, a drive's or a share's, as Explorer gives
// what is dropped: a typed title never is one. Whether it names a file is
// the drop's own question, asked before any image is written, so that a
// dropped file gone meanwhile never turns the drop into a typed line.
static bool full_path(const wchar_t *arg)
{
    const bool unc = std::wcsncmp(arg, L"\\\\", 2) == 0;
    return unc || (arg[0] != L'\0' && arg[1] == L':' && arg[2] == L'\\');
}

bool started_by_explorer()
{
    DWORD processes[2];
    return GetConsoleProcessList(processes, 2) == 1 && output_is_console() && parent_is_explorer();
}

bool given_by_drop(int argc, const wchar_t *const wide[])
{
    for (int i = 1; i < argc; ++i)
        if (!full_path(wide[i]))
            return false;
    return argc > 1;
}

int wrap_each(int argc, const char *const argv[])
{
    for (int i = 1; i < argc; ++i) {
        const bool named = default_output_name(argv[i], images[i]);
        if (!named)
            images[i][0] = '\0';
        read_from[i] = named ? identify(argv[i]) : file_id{};
        written_to[i] = named ? identify(images[i]) : file_id{};
    }
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        const char *const one[] = {argv[0], argv[i], nullptr};
        // Said as a run says it of an input that names nothing (the image
        // another dropped file makes could be read in its place), or of an
        // output it cannot write.
        const char *refusal = nullptr;
        if (read_from[i].to_make)
            refusal = CANNOT_READ;
        else if (taken(i) && collides(argc, argv, i))
            refusal = CANNOT_WRITE;
        if (refusal != nullptr) {
            print_line(BANNER, "");
            print_line(refusal, refusal == CANNOT_READ ? argv[i] : images[i]);
        }
        if (refusal != nullptr || run(2, one) != 0)
            status = 1;
    }
    return status;
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
