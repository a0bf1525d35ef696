#include <climits>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "files.hpp"
#include "posix/descriptors.hpp"

namespace cardwrap {

// The page's file system lives in its own memory: no other program sees a
// file there half-written, and nothing there outlives a crash, so the image
// is written straight to the output, in one call that it takes whole.
bool write_output(const char *path, const unsigned char *image, std::size_t size)
{
    // It takes names of any length; the disks the downloads go to take 255
    // bytes at most, and so does the tool everywhere else.
    const char *slash = std::strrchr(path, '/');
    if (std::strlen(slash == nullptr ? path : slash + 1) > NAME_MAX)
        return false;
    posix::descriptor fd(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (fd.fd == -1)
        return false;
    const bool written = write(fd.fd, image, size) == static_cast<ssize_t>(size);
    return fd.reset() && written;
}

} // namespace cardwrap
