#define _CRT_RAND_S // rand_s, from the C runtime that every Windows ships
#include "image/files.hpp"

#include <cstring>
#include <cwchar>
#include <iterator>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "image/signals.hpp"
#include "image/windows/attributes.hpp"
#include "image/windows/paths.hpp"

namespace cardwrap::platform {
namespace {

// Another process holding the output (an emulator, a virus scanner, an
// indexer) keeps it from being replaced, and such holds are brief: the
// rename is tried again for about two seconds in all, with growing waits.
constexpr DWORD WAITS_MS[] = {10, 20, 40, 80, 160, 320, 500, 500, 500};

// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
place *volatile armed_place = nullptr;

bool brief_hold(DWORD err)
{
    return err == ERROR_SHARING_VIOLATION || err == ERROR_ACCESS_DENIED ||
           err == ERROR_LOCK_VIOLATION;
}

bool dispose(HANDLE file)
{
    FILE_DISPOSITION_INFO info{};
    info.DeleteFile = TRUE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &info, sizeof info) != 0;
}

// Through the tool's own handle, which shares nothing: no other process can
// have it open to keep it from going. Called from the console's handler too.
void remove_armed_temp()
{
    dispose(armed_place->temp_file);
}

// The temporary file is renamed by its own handle over the file it replaces,
// named by its whole path.
bool rename_over(const place &at)
{
    // NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
    alignas(FILE_RENAME_INFO) static unsigned char
        buffer[sizeof(FILE_RENAME_INFO) + PATH_BUF_LEN * sizeof(wchar_t)];
    const wchar_t *name = at.target;
    const std::size_t bytes = std::wcslen(name) * sizeof(wchar_t);
    auto *info = reinterpret_cast<FILE_RENAME_INFO *>(buffer);
    info->ReplaceIfExists = TRUE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(bytes);
    std::memcpy(info->FileName, name, bytes + sizeof(wchar_t));
    return SetFileInformationByHandle(at.temp_file, FileRenameInfo, info,
                                      static_cast<DWORD>(sizeof(FILE_RENAME_INFO) + bytes)) != 0;
}

bool rename_into_place(place &at)
{
    for (std::size_t attempt = 0;; ++attempt) {
        hold_signals();
        const bool renamed = rename_over(at);
        const DWORD err = GetLastError();
        if (renamed) {
            at.temp[0] = L'\0';
            disarm();
        }
        release_signals();
        if (renamed)
            return true;
        if (!brief_hold(err) || attempt == std::size(WAITS_MS))
            return false;
        Sleep(WAITS_MS[attempt]);
    }
}

// The rename, and the file's new name in its folder, reach the device too.
// The image is whole and in place either way, so a failure here is no
// reason to call the write failed; a folder opens for this only to some.
void sync_names(place &at)
{
    FlushFileBuffers(at.temp_file);
    wchar_t *folder_end = at.target + folder_len(at.target);
    const wchar_t kept = *folder_end;
    *folder_end = L'\0';
    const HANDLE folder = CreateFileW(at.target, GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    *folder_end = kept;
    if (folder != INVALID_HANDLE_VALUE) {
        FlushFileBuffers(folder);
        CloseHandle(folder);
    }
}

void close_handle(void *&handle)
{
    if (handle != nullptr)
        CloseHandle(handle);
    handle = nullptr;
}

bool exists(const wchar_t *path)
{
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

HANDLE create(const wchar_t *path, DWORD access, DWORD attributes)
{
    return CreateFileW(path, access, 0, nullptr, CREATE_NEW, attributes, nullptr);
}

} // namespace

create_status create_temp(place &at, const char *name, std::FILE *&stream)
{
    // A whole path, to be renamed to from wherever: the folder that a
    // relative one names now, and its drive's for "Z:name".
    const DWORD full = GetFullPathNameW(at.target, PATH_BUF_LEN, at.temp, nullptr);
    if (full == 0 || full >= PATH_BUF_LEN)
        return create_status::failed;
    std::wcscpy(at.target, at.temp);
    const int folder = folder_len(at.target);
    int len = 0;
    for (; len < folder; ++len)
        at.temp[len] = at.target[len];
    for (const char *p = name; *p != '\0' && len < PATH_BUF_LEN - 1; ++p)
        at.temp[len++] = static_cast<wchar_t>(*p);
    at.temp[len] = L'\0';
    // Its own, shared with no one, with the right to rename and remove it.
    // The right to give it away is asked for too, where the folder grants
    // it, to pass on the replaced file's owner.
    constexpr DWORD ACCESS = GENERIC_READ | GENERIC_WRITE | DELETE | WRITE_DAC;
    // An encrypted file is never replaced by a plain one: the new one is
    // made encrypted, or not at all.
    const DWORD made = (at.attributes & FILE_ATTRIBUTE_ENCRYPTED) != 0 ? FILE_ATTRIBUTE_ENCRYPTED
                                                                       : FILE_ATTRIBUTE_NORMAL;
    hold_signals();
    HANDLE file = create(at.temp, ACCESS | WRITE_OWNER, made);
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED && !exists(at.temp))
        file = create(at.temp, ACCESS, made);
    const DWORD err = GetLastError();
    if (file != INVALID_HANDLE_VALUE) {
        at.temp_file = file;
        armed_place = &at;
        arm(remove_armed_temp);
    }
    release_signals();
    if (file == INVALID_HANDLE_VALUE) {
        // Refused access to a name that is there: one being deleted, or a
        // leftover of a killed run that someone else owns. Another name.
        const bool taken = err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS ||
                           (err == ERROR_ACCESS_DENIED && exists(at.temp));
        at.temp[0] = L'\0';
        return taken ? create_status::exists : create_status::failed;
    }
    if (!take_storage(at.attributes, at.temp_file)) {
        abandon(at);
        return create_status::failed;
    }
    // The stream has a handle of its own, so that closing it leaves this
    // one to finish with.
    HANDLE copy = nullptr;
    const HANDLE self = GetCurrentProcess();
    stream = DuplicateHandle(self, file, self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS) != 0
                 ? stream_of(copy, _O_WRONLY | _O_BINARY, "wb")
                 : nullptr;
    return stream != nullptr ? create_status::ok : create_status::failed;
}

bool open_in_place(place &at, const char * /*path*/, std::FILE *&stream)
{
    at.in_place = true;
    const int fd = _wopen(at.target, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0666);
    stream = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (stream == nullptr && fd >= 0)
        _close(fd);
    return stream != nullptr;
}

bool commit(place &at)
{
    // A device has nothing to make durable, and may refuse to try.
    if (at.temp_file == nullptr)
        return at.in_place;
    const bool replacing = at.file != nullptr;
    if ((replacing && !take_attributes(at.file, at.target, at.temp_file, at.temp)) ||
        FlushFileBuffers(at.temp_file) == 0)
        return false;
    // Even an open that shares everything keeps a file from being replaced.
    close_handle(at.file);
    if (!rename_into_place(at))
        return false;
    sync_names(at);
    return true;
}

void abandon(place &at)
{
    // Nothing made, or already renamed into place.
    if (at.temp_file == nullptr || at.temp[0] == L'\0')
        return;
    hold_signals();
    bool gone = dispose(at.temp_file);
    close_handle(at.temp_file);
    // Should the handle not do it, by name, for as long as anyone holds it.
    for (std::size_t attempt = 0; !gone; ++attempt) {
        gone = DeleteFileW(at.temp) != 0 || GetLastError() == ERROR_FILE_NOT_FOUND;
        if (gone || attempt == std::size(WAITS_MS))
            break;
        Sleep(WAITS_MS[attempt]);
    }
    at.temp[0] = L'\0';
    disarm();
    release_signals();
}

void release(place &at)
{
    close_handle(at.file);
    close_handle(at.temp_file);
    at.temp[0] = L'\0';
    at.in_place = false;
}

unsigned process_id()
{
    return static_cast<unsigned>(GetCurrentProcessId());
}

unsigned unforeseeable()
{
    unsigned number = 0;
    return rand_s(&number) == 0 ? number : 0;
}

} // namespace cardwrap::platform
