#pragma once

#include <cstddef>

// Plain input and output on descriptors, as every POSIX output uses them.
// The tool sets no signal handler, so no call is interrupted (EINTR): a
// failed call is a failure.
namespace cardwrap::posix {

// Reads `fd` into `into` until `count` bytes or its end. Returns how many it
// read, or -1 if a read failed: what came before is no whole input.
long read_bytes(int fd, unsigned char *into, std::size_t count);

// Writes the `count` bytes of `bytes` to `fd`, in as many calls as short
// writes take. Returns how many it wrote: fewer where a write failed.
std::size_t write_bytes(int fd, const unsigned char *bytes, std::size_t count);

} // namespace cardwrap::posix
