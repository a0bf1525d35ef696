#pragma once

#include <cstddef>

// Descriptors, as every POSIX file the tool opens is held.
namespace cardwrap::posix {

// A descriptor, closed when it goes out of scope, so that every way out of
// a step lets go of what the step opened.
struct descriptor {
    explicit descriptor(int opened = -1) noexcept : fd(opened) {}
    descriptor(const descriptor &) = delete;
    descriptor &operator=(const descriptor &) = delete;
    ~descriptor();
    // Closes what it held, saying whether that went well (where a close may
    // lose what was written), and holds `opened`.
    bool reset(int opened = -1) noexcept;

    int fd;
};

// Reads `fd` into `into` until `count` bytes or its end. Returns how many it
// read, or -1 if a read failed: what came before is no whole input.
long read_bytes(int fd, unsigned char *into, std::size_t count);

} // namespace cardwrap::posix
