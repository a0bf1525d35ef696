#include <cstring>
#include <cwchar>

#include <windows.h>

#include "system/windows/files.hpp"

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

// Opened for its identity and attributes only, following links as any open
// does (unless `flags` say not to); a folder too, so that it can be told
// apart. Its permissions are read too, to be passed on.
HANDLE open_to_look(const wchar_t *path, DWORD flags)
{
    return CreateFileW(path, READ_CONTROL | FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
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

// True if the name given, not followed if it is a link, is the file found.
bool names_the_file(const BY_HANDLE_FILE_INFORMATION &found)
{
    const HANDLE name = open_to_look(named, FILE_FLAG_OPEN_REPARSE_POINT);
    BY_HANDLE_FILE_INFORMATION info{};
    const bool same =
        name != INVALID_HANDLE_VALUE && GetFileInformationByHandle(name, &info) != 0 &&
        info.dwVolumeSerialNumber == found.dwVolumeSerialNumber &&
        info.nFileIndexHigh == found.nFileIndexHigh && info.nFileIndexLow == found.nFileIndexLow;
    if (name != INVALID_HANDLE_VALUE)
        CloseHandle(name);
    return same;
}

// The file itself, where links lead, to be replaced in its own folder.
// Named by its short (8.3) alias, it is refused: a default output name made
// from a short input name could be some other file's alias. Wine cannot say
// where a path longer than MAX_PATH leads; where the name given is the file
// itself, no link, that is its name.
bool find_target(HANDLE file, const BY_HANDLE_FILE_INFORMATION &found, wchar_t (&target)[PATH_LEN])
{
    static wchar_t alias[PATH_LEN];
    const DWORD len =
        GetFinalPathNameByHandleW(file, target, PATH_LEN, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (len == 0 || len >= PATH_LEN)
        return names_the_file(found) && std::wcscpy(target, named) == target;
    const DWORD alias_len = GetShortPathNameW(target, alias, PATH_LEN);
    return alias_len == 0 || alias_len >= PATH_LEN || !same_name(named, alias) ||
           same_name(named, target);
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
    const HANDLE file = open_to_look(given, 0);
    // Nothing under that name, not even a link that leads nowhere.
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND &&
                       GetFileAttributesW(given) == INVALID_FILE_ATTRIBUTES &&
                       std::wcscpy(target, named) == target
                   ? nullptr
                   : INVALID_HANDLE_VALUE;
    // A port admits one open at a time, and a pipe's server one client per
    // instance: the device is let go of before it is opened to be written.
    BY_HANDLE_FILE_INFORMATION info{};
    device = GetFileType(file) != FILE_TYPE_DISK;
    // Windows refuses to write a read-only file even to an administrator;
    // said here, so that no way of writing it differs.
    if (device || GetFileInformationByHandle(file, &info) == 0 ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0 ||
        !may_write(given) || !find_target(file, info, target)) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    attributes = info.dwFileAttributes;
    return file;
}

} // namespace cardwrap::windows
