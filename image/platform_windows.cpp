#include "image/platform.hpp"

#include <cstdint>
#include <cstring>
#include <cwchar>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "image/output.hpp"

// The C runtime's own split of the wide command line, made by the same rules
// as the narrow arguments that main receives.
struct crt_startup_info {
    int new_mode; // cppcheck-suppress unusedStructMember ; read by the runtime
};
extern "C" int __wgetmainargs(int *argc, wchar_t ***argv, wchar_t ***env, int expand_wildcards,
                              crt_startup_info *info);

namespace cardwrap::platform {
namespace {

// The temporary file a Ctrl-C must remove, and the lock that keeps the
// console's handler thread from removing it while the run renames it.
const char *armed_temp = nullptr;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
SRWLOCK armed_lock = SRWLOCK_INIT; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
bool catching = false;             // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

BOOL WINAPI on_console_event(DWORD event)
{
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
        // Kept locked: the process is ending, and nothing may be renamed
        // after the file is gone.
        AcquireSRWLockExclusive(&armed_lock);
        if (armed_temp != nullptr)
            DeleteFileA(armed_temp);
        armed_temp = nullptr;
    }
    // The default handler then ends the process as it always did.
    return FALSE;
}

create_status refusal(DWORD err)
{
    if (err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS)
        return create_status::exists;
    // No right to add a name to the folder, or a name too long once the
    // suffix is added: the output itself may still be writable.
    if (err == ERROR_ACCESS_DENIED || err == ERROR_FILENAME_EXCED_RANGE ||
        err == ERROR_INVALID_NAME || err == ERROR_PATH_NOT_FOUND)
        return create_status::unavailable;
    return create_status::failed;
}

} // namespace

// Windows has no signals for a closed pipe or a file-size limit: such a
// write simply fails.
void ignore_write_signals() {}

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
    wchar_t wide[OUTPUT_PATH_LEN];
    const int len =
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, arg, -1, wide, OUTPUT_PATH_LEN);
    return len > 0 && std::wcscmp(wide, argv[index]) == 0;
}

bool resolve_links(const char *path, char *target, int target_len)
{
    const std::size_t len = std::strlen(path);
    if (len >= static_cast<std::size_t>(target_len))
        return false;
    std::memcpy(target, path, len + 1);
    return true;
}

file_kind probe(const char *path)
{
    // Windows refuses to write a read-only file even to an administrator;
    // said here, so that no way of opening it differs.
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        return file_kind::unwritable;
    // Opened, not truncated, to learn what it is and whether this user may
    // write it: replacing a read-only file must not get round its
    // protection. A folder cannot be opened this way at all.
    const HANDLE file =
        CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? file_kind::absent : file_kind::unwritable;
    const DWORD type = GetFileType(file);
    CloseHandle(file);
    return type == FILE_TYPE_DISK ? file_kind::regular : file_kind::other;
}

unsigned process_id()
{
    return static_cast<unsigned>(GetCurrentProcessId());
}

create_status create_temp(const char *temp, const char * /*like*/, std::FILE *&stream)
{
    // The new file takes the folder's inherited permissions, as a file that
    // fopen creates does.
    if (!catching)
        catching = SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
    AcquireSRWLockExclusive(&armed_lock);
    // CreateFile rather than _open: the handler must be able to delete the
    // file while it is open, which only FILE_SHARE_DELETE allows.
    const HANDLE file = CreateFileA(temp, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD err = GetLastError();
    if (file != INVALID_HANDLE_VALUE)
        armed_temp = temp;
    ReleaseSRWLockExclusive(&armed_lock);
    if (file == INVALID_HANDLE_VALUE)
        return refusal(err);

    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(file), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(file);
        discard(temp);
        return create_status::failed;
    }
    stream = _fdopen(fd, "wb");
    if (stream == nullptr) {
        _close(fd);
        discard(temp);
        return create_status::failed;
    }
    return create_status::ok;
}

bool sync(std::FILE *stream)
{
    return std::fflush(stream) == 0 && _commit(_fileno(stream)) == 0;
}

bool replace(const char *temp, const char *target)
{
    // msvcrt's rename refuses a target that exists; deleting it first
    // would leave a moment with no file at all.
    AcquireSRWLockExclusive(&armed_lock);
    const bool renamed =
        MoveFileExA(temp, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (renamed)
        armed_temp = nullptr;
    ReleaseSRWLockExclusive(&armed_lock);
    return renamed;
}

void discard(const char *temp)
{
    AcquireSRWLockExclusive(&armed_lock);
    DeleteFileA(temp);
    armed_temp = nullptr;
    ReleaseSRWLockExclusive(&armed_lock);
}

} // namespace cardwrap::platform
