#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

#include "files.hpp"
#include "posix/descriptors.hpp"

namespace cardwrap {

int read_input(const char *path, unsigned char *into, int room)
{
    const posix::descriptor fd(open(path, O_RDONLY | O_CLOEXEC));
    if (fd.fd == -1)
        return -1;
    return static_cast<int>(posix::read_bytes(fd.fd, into, static_cast<std::size_t>(room)));
}

void print_line(const char *text, const char *arg)
{
    std::printf("%s%s\n", text, arg);
    std::fflush(stdout);
}

posix::descriptor::~descriptor()
{
    reset();
}

bool posix::descriptor::reset(int opened) noexcept
{
    const bool closed = fd == -1 || close(fd) == 0;
    fd = opened;
    return closed;
}

// A read a signal interrupts fails as any other: only one that asks the run
// to stop is caught, and then the run gives up what it does.
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

} // namespace cardwrap
