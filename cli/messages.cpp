#include "cli/messages.hpp"

#include <cstdio>

#include "image/format.hpp"

namespace cardwrap {
namespace {

// Each line reaches standard output as it is printed, in one write, whether
// that is a terminal, a pipe or a file: a run that a signal ends still shows
// what it said. Like the printf before it, its result is not looked at: a
// run has nowhere else to report that it cannot report.
void flush_line()
{
    std::fflush(stdout);
}

} // namespace

void banner()
{
    std::printf("cardwrap version 1.1\n");
    flush_line();
}

int usage()
{
    std::printf("Usage: cardwrap in-filename [memcard-title [out-filename]]\n"
                "   ex)cardwrap pkapp.pda BBSSSSP00000FILE01\n");
    flush_line();
    return 0;
}

int path_too_long(const char *in_path)
{
    std::printf("Path too long : %s\n", in_path);
    flush_line();
    return 1;
}

int cannot_read(const char *in_path)
{
    std::printf("Cannot read : %s\n", in_path);
    flush_line();
    return 1;
}

int size_too_large(const char *in_path)
{
    std::printf("File size too large : %s\n", in_path);
    flush_line();
    return 1;
}

int cannot_write(const char *out_path)
{
    std::printf("Cannot write : %s\n", out_path);
    flush_line();
    return 1;
}

// The second figure is the data area plus the header fill, without the
// title: 20 short of the file's length, as scripts that read this line expect.
int summary(int size, int blocks)
{
    std::printf("%d => %d bytes [%d blocks]\n", size, blocks * BLOCK_SIZE + HEADER_FILL_LEN,
                blocks);
    flush_line();
    return 0;
}

} // namespace cardwrap
