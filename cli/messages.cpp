#include "cli/messages.hpp"

#include <cstdio>

#include "image/format.hpp"

namespace cardwrap {

void banner()
{
    std::printf("cardwrap version 1.1\n");
}

int usage()
{
    std::printf("Usage: cardwrap in-filename [memcard-title [out-filename]]\n"
                "   ex)cardwrap pkapp.pda BBSSSSP00000FILE01\n");
    return 0;
}

int path_too_long(const char *in_path)
{
    std::printf("Path too long : %s\n", in_path);
    return 1;
}

int cannot_read(const char *in_path)
{
    std::printf("Cannot read : %s\n", in_path);
    return 1;
}

int size_too_large(const char *in_path)
{
    std::printf("File size too large : %s\n", in_path);
    return 1;
}

int cannot_write(const char *out_path)
{
    std::printf("Cannot write : %s\n", out_path);
    return 1;
}

// The second figure is the data area plus the header fill, without the
// title: 20 short of the file's length, as scripts that read this line expect.
int summary(int size, int blocks)
{
    std::printf("%d => %d bytes [%d blocks]\n", size, blocks * BLOCK_SIZE + HEADER_FILL_LEN,
                blocks);
    return 0;
}

} // namespace cardwrap
