#include "image/files.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include "image/signals.hpp"

namespace cardwrap::platform {
namespace {

// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
place *volatile armed_place = nullptr;

void remove_armed_temp()
{
    DeleteFileA(armed_place->temp);
}

bool open_stream(place &at, std::FILE *&stream)
{
    const int fd = _dup(at.fd);
    stream = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (stream == nullptr && fd >= 0)
        _close(fd);
    return stream != nullptr;
}

} // namespace

file_kind find(place &at, const char *path)
{
    at.path = path;
    // Windows refuses to write a read-only file even to an administrator;
    // said here, so that no way of opening it differs.
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        return file_kind::refused;
    // Opened, not truncated, to learn what it is and whether this user may
    // write it. A folder cannot be opened this way at all.
    const HANDLE file =
        CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? file_kind::absent : file_kind::refused;
    const DWORD type = GetFileType(file);
    CloseHandle(file);
    return type == FILE_TYPE_DISK ? file_kind::named : file_kind::device;
}

create_status create_temp(place &at, const char *name, std::FILE *&stream)
{
    const char *slash = at.path;
    for (const char *p = at.path; *p != '\0'; ++p)
        if (*p == '/' || *p == '\\')
            slash = p + 1;
    const auto folder_len = static_cast<int>(slash - at.path);
    const int len = std::snprintf(at.temp, sizeof at.temp, "%.*s%s", folder_len, at.path, name);
    if (len < 0 || len >= static_cast<int>(sizeof at.temp)) {
        at.temp[0] = '\0';
        return create_status::in_place;
    }
    // The new file takes the folder's inherited permissions, as a file that
    // fopen creates does. Shared for deletion, so that the console's handler
    // may remove it while it is open.
    hold_signals();
    const HANDLE file = CreateFileA(at.temp, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD err = GetLastError();
    if (file != INVALID_HANDLE_VALUE) {
        armed_place = &at;
        arm(remove_armed_temp);
    }
    release_signals();
    if (file == INVALID_HANDLE_VALUE) {
        at.temp[0] = '\0';
        if (err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS)
            return create_status::exists;
        return err == ERROR_ACCESS_DENIED ? create_status::in_place : create_status::failed;
    }
    at.fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(file), _O_WRONLY | _O_BINARY);
    if (at.fd < 0)
        CloseHandle(file);
    at.durable = true;
    return at.fd >= 0 && open_stream(at, stream) ? create_status::ok : create_status::failed;
}

bool open_in_place(place &at, const char *path, std::FILE *&stream)
{
    at.in_place = true;
    at.fd = _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
    return at.fd >= 0 && open_stream(at, stream);
}

bool commit(place &at)
{
    if (at.durable && _commit(at.fd) != 0)
        return false;
    if (at.temp[0] == '\0')
        return true;
    _close(at.fd);
    at.fd = -1;
    // msvcrt's rename refuses a target that exists; deleting it first
    // would leave a moment with no file at all.
    hold_signals();
    const bool renamed =
        MoveFileExA(at.temp, at.path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (renamed) {
        at.temp[0] = '\0';
        disarm();
    }
    release_signals();
    return renamed;
}

void abandon(place &at)
{
    if (at.fd >= 0)
        _close(at.fd);
    at.fd = -1;
    hold_signals();
    if (at.temp[0] != '\0')
        DeleteFileA(at.temp);
    at.temp[0] = '\0';
    disarm();
    release_signals();
}

void release(place &at)
{
    if (at.fd >= 0)
        _close(at.fd);
    at = place{};
}

unsigned process_id()
{
    return static_cast<unsigned>(GetCurrentProcessId());
}

} // namespace cardwrap::platform
