#include "image/windows/paths.hpp"

#include <cstdint>

#include <io.h>
#include <windows.h>

namespace cardwrap::platform {

bool to_wide(const char *path, wchar_t (&wide)[PATH_BUF_LEN])
{
    return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path, -1, wide, PATH_BUF_LEN) > 0;
}

int folder_len(const wchar_t *path)
{
    int len = path[0] != L'\0' && path[1] == L':' ? 2 : 0;
    for (int i = 0; path[i] != L'\0'; ++i)
        if (path[i] == L'\\' || path[i] == L'/')
            len = i + 1;
    return len;
}

std::FILE *stream_of(void *handle, int flags, const char *mode)
{
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), flags);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE *stream = _fdopen(fd, mode);
    if (stream == nullptr)
        _close(fd);
    return stream;
}

} // namespace cardwrap::platform
