#include <cstring>
#include <cwchar>

#include <windows.h>

#include "windows/shared.hpp"

// Finding what an output path names: Windows resolves the path, and what it
// found is held by handle from then on.
namespace cardwrap::windows {
namespace {

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

wchar_t named[PATH_LEN]; // the output path, whole

bool same_name(const wchar_t *path, const wchar_t *other)
{
    return CompareStringOrdinal(name_of(path), -1, name_of(other), -1, TRUE) == CSTR_EQUAL;
}

// Whether this user may write the file, asked of Windows: the rename needs
// only the right to delete it, which a file's ACL may grant without the
// right to write. A program holding it open without sharing writes refuses
// the open too, which says nothing of the right, and the rename waits such
// holds out.
bool may_write(const wchar_t *path)
{
    const HANDLE file = CreateFileW(path, FILE_WRITE_DATA, SHARE_ALL, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() != ERROR_ACCESS_DENIED;
    CloseHandle(file);
    return true;
}

} // namespace

const wchar_t *name_of(const wchar_t *path)
{
    const wchar_t *slash = std::wcsrchr(path, L'\\');
    return slash == nullptr ? path : slash + 1;
}

void *find(const wchar_t *given, wchar_t (&target)[PATH_LEN], unsigned long &attributes,
           bool &device)
{
    if (!whole_path(given, named))
        return INVALID_HANDLE_VALUE;
    // Opened for its identity and attributes alone, following links as any
    // open does; a folder too, so that it can be told apart. Its permissions
    // are read too, to be passed on.
    const HANDLE file = CreateFileW(given, READ_CONTROL | FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    // Nothing under that name, not even a link that leads nowhere: it is
    // the name to make.
    std::wcscpy(target, named);
    const bool nothing = file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND &&
                         GetFileAttributesW(given) == INVALID_FILE_ATTRIBUTES;
    if (file == INVALID_HANDLE_VALUE)
        return nothing ? nullptr : INVALID_HANDLE_VALUE;
    // A port admits one open at a time, and a pipe's server one client per
    // instance: the device is let go of before it is opened to be written.
    device = GetFileType(file) != FILE_TYPE_DISK;
    // The file itself, where links lead, is replaced in its own directory.
    // Named by its short (8.3) alias, it is refused: a default output name
    // made from a short input name could be some other file's alias.
    static wchar_t alias[PATH_LEN];
    const DWORD len = device ? 0
                             : GetFinalPathNameByHandleW(file, target, PATH_LEN,
                                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    const DWORD alias_len =
        len > 0 && len < PATH_LEN ? GetShortPathNameW(target, alias, PATH_LEN) : 0;
    const bool aliased = alias_len > 0 && alias_len < PATH_LEN && same_name(named, alias) &&
                         !same_name(named, target);
    // Windows refuses to write a read-only file even to an administrator;
    // said here, so that no way of writing it differs.
    BY_HANDLE_FILE_INFORMATION info{};
    if (len == 0 || len >= PATH_LEN || aliased || GetFileInformationByHandle(file, &info) == 0 ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0 ||
        !may_write(given)) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    attributes = info.dwFileAttributes;
    return file;
}

} // namespace cardwrap::windows
