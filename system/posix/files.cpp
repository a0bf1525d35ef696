#include "posix/descriptors.hpp"

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

#include "files.hpp"

namespace cardwrap {

int read_input(const char *path, unsigned char *into, int room)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return -1;
    const long got = posix::read_bytes(fd, into, static_cast<std::size_t>(room));
    close(fd);
    return static_cast<int>(got);
}

void print_line(const char *text, const char *arg)
{
    std::printf("%s%s\n", text, arg);
    std::fflush(stdout);
}

long posix::read_bytes(int fd, unsigned char *into, std::size_t count)
{
    std::size_t got = 0;
    while (got < count) {
        const ssize_t n = read(fd, into + got, count - got);
        if (n <= 0)
            return n == 0 ? static_cast<long>(got) : -1;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<long>(got);
}

std::size_t posix::write_bytes(int fd, const unsigned char *bytes, std::size_t count)
{
    std::size_t put = 0;
    while (put < count) {
        const ssize_t n = write(fd, bytes + put, count - put);
        if (n <= 0)
            break;
        put += static_cast<std::size_t>(n);
    }
    return put;
}

} // namespace cardwrap
