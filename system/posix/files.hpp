#pragma once

#include <cstddef>

// Plain input and output on descriptors, as every POSIX output uses them.
namespace cardwrap::posix {

// Writes the `count` bytes of `bytes` to `fd`, in as many calls as short
// writes take. Returns how many it wrote: fewer where a write failed.
std::size_t write_bytes(int fd, const unsigned char *bytes, std::size_t count);

} // namespace cardwrap::posix
