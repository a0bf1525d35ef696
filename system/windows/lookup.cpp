#include <cwchar>
#include <iterator>

#include <windows.h>

#include "windows/shared.hpp"

extern "C" LONG NTAPI RtlGetLastNtStatus();

// Finding what an output path names: Windows resolves the path, and what it
// found is held by handle from then on.
namespace cardwrap::windows {

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

static bool same_name(const wchar_t *path, const wchar_t *other)
{
    return CompareStringOrdinal(name_of(path), -1, name_of(other), -1, TRUE) == CSTR_EQUAL;
}

// Whether this user may replace the file at `path`, asked of Windows: write
// it, and delete it as the rename does, a right an ACL grants or withholds
// on its own; a link planted there meanwhile is not followed. A refusal
// that passes says nothing of the rights, and the rename waits it out.
static bool may_replace(const wchar_t *path)
{
    const HANDLE file = CreateFileW(path, FILE_WRITE_DATA | DELETE, SHARE_ALL, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return passes(GetLastError(), RtlGetLastNtStatus());
    CloseHandle(file);
    return true;
}

// Opened for its identity and attributes alone, following links as any open
// does; a folder too, so that it can be told apart. Its permissions are read
// too, to be passed on. A file on its way out refuses every open until its
// last handle closes, and is then gone: that is waited out as a hold is.
static HANDLE open_attributes(const wchar_t *path)
{
    for (std::size_t attempt = 0;; ++attempt) {
        const HANDLE file =
            CreateFileW(path, READ_CONTROL | FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr,
                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (file != INVALID_HANDLE_VALUE || !passes(GetLastError(), RtlGetLastNtStatus()) ||
            attempt == std::size(WAITS_MS))
            return file;
        Sleep(static_cast<DWORD>(WAITS_MS[attempt]));
    }
}

// The reason beneath ERROR_ACCESS_DENIED that says a file is on its way out.
bool passes(unsigned long error, long status)
{
    constexpr LONG DELETE_PENDING = static_cast<LONG>(0xC0000056);
    return error == ERROR_SHARING_VIOLATION ||
           (error == ERROR_ACCESS_DENIED && status == DELETE_PENDING);
}

const wchar_t *name_of(const wchar_t *path)
{
    const wchar_t *slash = std::wcsrchr(path, L'\\');
    return slash == nullptr ? path : slash + 1;
}

file_id identify(const char *path)
{
    static wchar_t wide[PATH_LEN];
    file_id id{};
    HANDLE file = to_wide(path, wide) ? open_attributes(wide) : INVALID_HANDLE_VALUE;
    id.to_make = file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND;
    if (id.to_make) {
        wide[name_of(wide) - wide] = L'\0';
        file = open_attributes(wide);
    }
    BY_HANDLE_FILE_INFORMATION info{};
    id.known = file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &info) != 0;
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    id.volume = info.dwVolumeSerialNumber;
    id.number = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return id;
}

bool same_name(const char *path, const char *other)
{
    static wchar_t wide[PATH_LEN];
    static wchar_t other_wide[PATH_LEN];
    return to_wide(path, wide) && to_wide(other, other_wide) && same_name(wide, other_wide);
}

void *find(const wchar_t *given, wchar_t (&target)[PATH_LEN], unsigned long &attributes,
           bool &device)
{
    if (!whole_path(given, target))
        return INVALID_HANDLE_VALUE;
    const HANDLE file = open_attributes(given);
    // Nothing under that name, not even a link that leads nowhere: it is
    // the name to make.
    const bool nothing = file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND &&
                         GetFileAttributesW(given) == INVALID_FILE_ATTRIBUTES;
    if (file == INVALID_HANDLE_VALUE)
        return nothing ? nullptr : INVALID_HANDLE_VALUE;
    // A port admits one open at a time, and a pipe's server one client per
    // instance: the device is let go of before it is opened to be written.
    device = GetFileType(file) != FILE_TYPE_DISK;
    // Named by its short (8.3) alias, which its folder lists under another
    // name, it is refused: a default output name made from a short input
    // name could be some other file's alias.
    WIN32_FIND_DATAW entry{};
    const HANDLE listed = device ? INVALID_HANDLE_VALUE : FindFirstFileW(target, &entry);
    const bool aliased = listed != INVALID_HANDLE_VALUE && !same_name(target, entry.cFileName);
    if (listed != INVALID_HANDLE_VALUE)
        FindClose(listed);
    // The file itself, where links lead, is replaced in its own directory.
    const DWORD len = device ? 0
                             : GetFinalPathNameByHandleW(file, target, PATH_LEN,
                                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    // Windows refuses to write a read-only file even to an administrator;
    // said here, so that no way of writing it differs.
    BY_HANDLE_FILE_INFORMATION info{};
    if (len == 0 || len >= PATH_LEN || aliased || GetFileInformationByHandle(file, &info) == 0 ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0 ||
        !may_replace(target)) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    attributes = info.dwFileAttributes;
    return file;
}

} // namespace cardwrap::windows
