#include "system/posix/files.hpp"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

#include "system/files.hpp"

namespace cardwrap {

int read_input(const char *path, unsigned char *into, int room)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return -1;
    int got = 0;
    while (got < room) {
        const ssize_t n = read(fd, into + got, static_cast<std::size_t>(room - got));
        if (n == -1 && errno == EINTR)
            continue;
        // A read error is not the end of the input: wrapping what came
        // before it would pass off a truncated file as a good one.
        if (n == -1)
            got = -1;
        if (n <= 0)
            break;
        got += static_cast<int>(n);
    }
    close(fd);
    return got;
}

void print_line(const char *text, const char *arg)
{
    std::printf("%s%s\n", text, arg);
    std::fflush(stdout);
}

std::size_t posix::write_bytes(int fd, const unsigned char *bytes, std::size_t count)
{
    std::size_t put = 0;
    while (put < count) {
        const ssize_t n = write(fd, bytes + put, count - put);
        if (n == -1 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        put += static_cast<std::size_t>(n);
    }
    return put;
}

} // namespace cardwrap
