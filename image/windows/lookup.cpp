#include "image/files.hpp"

#include <fcntl.h>
#include <windows.h>

#include "image/windows/paths.hpp"

// Finding what an output path names, and opening the input: the system
// resolves the path, and what it found is held by handle from then on.
namespace cardwrap::platform {
namespace {

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opened for its identity and attributes only, following links as any open
// does; a folder too, so that it can be told apart. Without the right to
// read its permissions, it is opened without: copying them then fails.
HANDLE open_to_look(const wchar_t *path)
{
    const HANDLE file = CreateFileW(path, READ_CONTROL | FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED)
        return file;
    return CreateFileW(path, FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// True if `path`, not followed if it is a link, is the file `found`.
bool names_the_file(const wchar_t *path, const BY_HANDLE_FILE_INFORMATION &found)
{
    const HANDLE name =
        CreateFileW(path, FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (name == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool same = GetFileInformationByHandle(name, &info) != 0 &&
                      info.dwVolumeSerialNumber == found.dwVolumeSerialNumber &&
                      info.nFileIndexHigh == found.nFileIndexHigh &&
                      info.nFileIndexLow == found.nFileIndexLow;
    CloseHandle(name);
    return same;
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

std::FILE *open_input(const char *path)
{
    static wchar_t wide[PATH_BUF_LEN]; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
    if (!to_wide(path, wide))
        return nullptr;
    // Shared as fopen shares it.
    const HANDLE file = CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    // A disk file or a pipe comes to an end; a console or a serial or
    // printer port gives whatever comes, for as long as anyone waits.
    const DWORD type = GetFileType(file);
    if (type != FILE_TYPE_DISK && type != FILE_TYPE_PIPE) {
        CloseHandle(file);
        return nullptr;
    }
    return stream_of(file, _O_RDONLY | _O_BINARY, "rb");
}

file_kind find(place &at, const char *path)
{
    at.path = path;
    if (!to_wide(path, at.target))
        return file_kind::refused;
    const HANDLE file = open_to_look(at.target);
    if (file == INVALID_HANDLE_VALUE) {
        // Nothing under that name, not even a link that leads nowhere.
        const bool absent = GetLastError() == ERROR_FILE_NOT_FOUND &&
                            GetFileAttributesW(at.target) == INVALID_FILE_ATTRIBUTES;
        return absent ? file_kind::absent : file_kind::refused;
    }
    // A port admits one open at a time, and a pipe's server one client per
    // instance: let go of the device before it is opened to be written.
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return file_kind::device;
    }
    at.file = file;
    BY_HANDLE_FILE_INFORMATION info{};
    // Windows refuses to write a read-only file even to an administrator;
    // said here, so that no way of writing it differs.
    if (GetFileInformationByHandle(file, &info) == 0 ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0 ||
        !may_write(at.target))
        return file_kind::refused;
    at.attributes = info.dwFileAttributes;
    // The file itself, where links lead, to be replaced in its own folder.
    const DWORD len = GetFinalPathNameByHandleW(file, at.target, PATH_BUF_LEN,
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (len > 0 && len < PATH_BUF_LEN)
        return file_kind::named;
    // Wine cannot say where a path longer than MAX_PATH leads. Where the
    // name typed is the file itself, no link, that is its name.
    return to_wide(path, at.target) && names_the_file(at.target, info) ? file_kind::named
                                                                       : file_kind::refused;
}

} // namespace cardwrap::platform
