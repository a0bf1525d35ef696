#include "windows/shared.hpp"

#include <cwchar>

#include <windows.h>

#include <aclapi.h>

namespace cardwrap::windows {

// The new content makes it one a backup should take again: archive is set,
// whatever it was.
constexpr DWORD KEPT_ATTRIBUTES =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

static bool take_basic(HANDLE file, HANDLE temp)
{
    FILE_BASIC_INFO old{};
    if (GetFileInformationByHandleEx(file, FileBasicInfo, &old, sizeof old) == 0)
        return false;
    // Times of zero are left as they are.
    FILE_BASIC_INFO now{};
    now.CreationTime = old.CreationTime;
    now.FileAttributes = (old.FileAttributes & KEPT_ATTRIBUTES) | FILE_ATTRIBUTE_ARCHIVE;
    return SetFileInformationByHandle(temp, FileBasicInfo, &now, sizeof now) != 0;
}

// An ACL that inherits from its folder goes on inheriting; one cut off from
// it stays cut off. Only a privileged user may give a file away: where this
// user may not, the new file stays theirs.
static bool take_security(HANDLE file, HANDLE temp)
{
    constexpr SECURITY_INFORMATION WHOSE = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;
    PSID owner = nullptr;
    PSID group = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, WHOSE | DACL_SECURITY_INFORMATION, &owner, &group,
                        &dacl, nullptr, &sd) != ERROR_SUCCESS)
        return false;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    const bool cut_off = GetSecurityDescriptorControl(sd, &control, &revision) != 0 &&
                         (control & SE_DACL_PROTECTED) != 0;
    const SECURITY_INFORMATION kind =
        DACL_SECURITY_INFORMATION |
        (cut_off ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
    const bool done = SetSecurityInfo(temp, SE_FILE_OBJECT, kind | WHOSE, owner, group, dacl,
                                      nullptr) == ERROR_SUCCESS ||
                      SetSecurityInfo(temp, SE_FILE_OBJECT, kind, nullptr, nullptr, dacl,
                                      nullptr) == ERROR_SUCCESS;
    LocalFree(sd);
    return done;
}

static bool copy_stream(const wchar_t *path, const wchar_t *temp_path, const wchar_t *stream)
{
    static wchar_t stream_from[PATH_LEN];
    static wchar_t stream_to[PATH_LEN];
    static unsigned char chunk[65536];
    if (std::swprintf(stream_from, PATH_LEN, L"%ls%ls", path, stream) < 0 ||
        std::swprintf(stream_to, PATH_LEN, L"%ls%ls", temp_path, stream) < 0)
        return false;
    const HANDLE from = CreateFileW(stream_from, GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (from == INVALID_HANDLE_VALUE)
        return false;
    const HANDLE to = CreateFileW(stream_to, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    bool done = to != INVALID_HANDLE_VALUE;
    for (DWORD got = 1; done && got > 0;)
        done =
            ReadFile(from, chunk, sizeof chunk, &got, nullptr) != 0 && write_bytes(to, chunk, got);
    done = to != INVALID_HANDLE_VALUE && CloseHandle(to) != 0 && done;
    CloseHandle(from);
    return done;
}

// Every named stream; the file's own, "::$DATA", is the image.
static bool take_streams(const wchar_t *path, const wchar_t *temp_path)
{
    WIN32_FIND_STREAM_DATA found{};
    const HANDLE search = FindFirstStreamW(path, FindStreamInfoStandard, &found, 0);
    if (search == INVALID_HANDLE_VALUE) {
        // None, or a file system that keeps none.
        const DWORD err = GetLastError();
        return err == ERROR_HANDLE_EOF || err == ERROR_INVALID_PARAMETER ||
               err == ERROR_INVALID_FUNCTION || err == ERROR_NOT_SUPPORTED;
    }
    bool done = true;
    do
        done = std::wcscmp(found.cStreamName, L"::$DATA") == 0 ||
               copy_stream(path, temp_path, found.cStreamName);
    while (done && FindNextStreamW(search, &found) != 0);
    done = done && GetLastError() == ERROR_HANDLE_EOF;
    FindClose(search);
    return done;
}

bool take_attributes(void *file, const wchar_t *path, void *temp, const wchar_t *temp_path)
{
    return take_streams(path, temp_path) && take_security(file, temp) && take_basic(file, temp);
}

} // namespace cardwrap::windows
