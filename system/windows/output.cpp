// rand_s, from the C runtime that every Windows ships, by the switch it names.
#define _CRT_RAND_S // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <iterator>

#include <windows.h>

#include <sddl.h>

#include "files.hpp"
#include "windows/shared.hpp"

// An output's life cycle. The output path is opened for its attributes
// alone and followed through any links by Windows itself; the file it ends
// at, or the name that holds nothing yet, gets the image in a new file beside
// it that takes its place only once whole and on the device. A device is
// written as it is.
namespace cardwrap {

using windows::PATH_LEN;

// Windows 10's class for a rename with POSIX semantics, by its number: the
// compiler's headers name it only for later targets.
constexpr auto FILE_RENAME_INFO_EX = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables)
static wchar_t given[PATH_LEN];                // the output path as typed
static wchar_t target[PATH_LEN];               // the whole path of the file it leads to
static wchar_t temp[PATH_LEN + TEMP_NAME_LEN]; // the whole path of the new file beside it
// Held while an image is put in place: Ctrl-C and the like wait for it.
static SRWLOCK putting = SRWLOCK_INIT;
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

// Renamed by its own handle over the file it replaces: with POSIX semantics
// where Windows offers them, so that a file another program holds open,
// sharing deletion (a preview pane, an indexer, a sync client), is replaced
// all the same; else the plain way, asked whatever the first refused: it
// replaces in fewer cases, never in more. A new output never replaces a
// file made meanwhile.
static bool rename_over(HANDLE file, bool replacing)
{
    alignas(FILE_RENAME_INFO) static unsigned char
        buffer[sizeof(FILE_RENAME_INFO) + PATH_LEN * sizeof(wchar_t)];
    auto *info = reinterpret_cast<FILE_RENAME_INFO *>(buffer);
    const std::size_t bytes = std::wcslen(target) * sizeof(wchar_t);
    // The flags and the older class's one choice share a union, as Windows
    // defines the structure.
    // NOLINTBEGIN(cppcoreguidelines-pro-type-union-access)
    info->Flags =
        FILE_RENAME_FLAG_POSIX_SEMANTICS | (replacing ? FILE_RENAME_FLAG_REPLACE_IF_EXISTS : 0);
    info->FileNameLength = static_cast<DWORD>(bytes);
    std::memcpy(info->FileName, target, bytes + sizeof(wchar_t));
    if (SetFileInformationByHandle(file, FILE_RENAME_INFO_EX, info, sizeof buffer) != 0)
        return true;
    info->Flags = 0;
    info->ReplaceIfExists = replacing ? TRUE : FALSE;
    // NOLINTEND(cppcoreguidelines-pro-type-union-access)
    return SetFileInformationByHandle(file, FileRenameInfo, info, sizeof buffer) != 0;
}

// A program holding the output (an emulator, a virus scanner, an indexer)
// keeps it from being replaced, and such holds are brief: they are waited
// out as WAITS_MS says. Windows refuses a file any program holds open in
// the words it refuses one this user may not replace, whose rights were
// asked before the image was written.
static bool rename_into_place(HANDLE file, bool replacing)
{
    for (std::size_t attempt = 0;; ++attempt) {
        if (rename_over(file, replacing))
            return true;
        const DWORD err = GetLastError();
        if ((err != ERROR_ACCESS_DENIED && err != ERROR_SHARING_VIOLATION) ||
            attempt == std::size(WAITS_MS))
            return false;
        Sleep(static_cast<DWORD>(WAITS_MS[attempt]));
    }
}

// False if the new file `made` should be encrypted, the file it replaces
// having `attributes` saying so, and is not: an encrypted file is never
// replaced by a plain one. Compressed or not, it is as its folder makes new
// files.
static bool take_storage(DWORD attributes, HANDLE made)
{
    BY_HANDLE_FILE_INFORMATION info{};
    return (attributes & FILE_ATTRIBUTE_ENCRYPTED) == 0 ||
           (GetFileInformationByHandle(made, &info) != 0 &&
            (info.dwFileAttributes & FILE_ATTRIBUTE_ENCRYPTED) != 0);
}

// Written to a new file beside `target`, flushed, given what the replaced
// file (`file`, if any, which this closes) carries, and renamed over it. A
// failed or interrupted run removes it through that same handle.
static bool replace(HANDLE file, DWORD attributes, const unsigned char *image, std::size_t size)
{
    AcquireSRWLockExclusive(&putting);
    const HANDLE made = windows::create_temp(target, temp, attributes, file != nullptr);
    bool done = made != INVALID_HANDLE_VALUE && take_storage(attributes, made) &&
                windows::write_bytes(made, image, size) &&
                (file == nullptr || windows::take_attributes(file, target, made, temp)) &&
                FlushFileBuffers(made) != 0;
    // Even an open that shares everything keeps a file from being replaced.
    if (file != nullptr)
        CloseHandle(file);
    done = done && rename_into_place(made, file != nullptr);
    if (made != INVALID_HANDLE_VALUE) {
        FILE_DISPOSITION_INFO gone{TRUE};
        if (!done)
            SetFileInformationByHandle(made, FileDispositionInfo, &gone, sizeof gone);
        CloseHandle(made);
    }
    ReleaseSRWLockExclusive(&putting);
    return done;
}

// The new file beside the output: its own, shared with no one, with the
// right to rename and remove it, so that no scanner or indexer can keep it
// from either. Replacing a file, it is its owner's alone until it is whole
// (a DACL of its own, cut off from the folder's), and may be given away.
// Its name is short and of a fixed form whatever the output's; its last
// part cannot be foreseen, so no one can take it beforehand.
void *windows::create_temp(const wchar_t *beside, wchar_t (&path)[PATH_LEN + TEMP_NAME_LEN],
                           unsigned long attributes, bool replacing)
{
    static PSECURITY_DESCRIPTOR own = nullptr;
    if (replacing && own == nullptr &&
        ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;OW)", SDDL_REVISION_1,
                                                             &own, nullptr) == 0)
        return INVALID_HANDLE_VALUE;
    SECURITY_ATTRIBUTES security{sizeof security, own, FALSE};
    const DWORD access =
        GENERIC_READ | GENERIC_WRITE | DELETE | (replacing ? WRITE_DAC | WRITE_OWNER : 0);
    // An encrypted file is never replaced by a plain one.
    const DWORD made = attributes & FILE_ATTRIBUTE_ENCRYPTED;
    wchar_t *name = path + (windows::name_of(beside) - beside);
    std::wmemcpy(path, beside, static_cast<std::size_t>(name - path));
    unsigned number = 0;
    char narrow[TEMP_NAME_LEN];
    if (rand_s(&number) != 0)
        return INVALID_HANDLE_VALUE;
    temp_name(narrow, GetCurrentProcessId(), number);
    MultiByteToWideChar(CP_ACP, 0, narrow, -1, name, TEMP_NAME_LEN);
    return CreateFileW(path, access, 0, replacing ? &security : nullptr, CREATE_NEW, made, nullptr);
}

// Kept held: the process is ending, and no image may be put in place after.
int windows::on_console_event(unsigned long /*event*/)
{
    AcquireSRWLockExclusive(&putting);
    return FALSE;
}

bool write_output(const char *path, const unsigned char *image, std::size_t size)
{
    DWORD attributes = 0;
    bool device = false;
    if (!windows::to_wide(path, given))
        return false;
    const HANDLE file = windows::find(given, target, attributes, device);
    if (!device)
        return file != INVALID_HANDLE_VALUE && replace(file, attributes, image, size);
    // A device (NUL, a port) is written as it is: it has nothing to make
    // durable, and may refuse to try.
    const HANDLE opened = CreateFileW(given, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    const bool done = opened != INVALID_HANDLE_VALUE && windows::write_bytes(opened, image, size);
    return opened != INVALID_HANDLE_VALUE && CloseHandle(opened) != 0 && done;
}

} // namespace cardwrap
