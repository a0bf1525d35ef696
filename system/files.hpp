#pragma once

#include <cstddef>

// What a run needs of the system: its input's bytes, its image put in
// place, and its lines shown. Each platform implements them in a folder of
// its own.
namespace cardwrap {

// Reads at most `room` bytes of the file at `path` into `into`. Returns how
// many it read, or -1 if it cannot be opened or a read failed.
int read_input(const char *path, unsigned char *into, int room);

// The longest image a run puts in place: its 54-byte header and 15 blocks
// of 8,192 bytes.
inline constexpr std::size_t MAX_OUTPUT_SIZE = 54 + 15 * 8192;

// Puts the `size` bytes of `image`, at most MAX_OUTPUT_SIZE, at `path`.
// True once they are there whole and on the device. False if they cannot
// be; the path then holds what it held, but where a file had to be written
// where it is (docs/output.md says which): one whose old bytes could not be
// put back, or a new one that could not be taken back, is left empty, and a
// device or a pipe may have taken part of the image.
bool write_output(const char *path, const unsigned char *image, std::size_t size);

// Prints `text` then `arg` as one line on standard output, at once, so that
// a run a signal ends still shows what it said. Like printf, it reports
// nothing: a run has nowhere else to say that it cannot say.
void print_line(const char *text, const char *arg);

} // namespace cardwrap
