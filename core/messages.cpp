#include "core/messages.hpp"

#include <cstdio>

#include "core/image.hpp"
#include "system/files.hpp"

namespace cardwrap {

void banner()
{
    print_line("cardwrap version 1.1", "");
}

int usage()
{
    print_line("Usage: cardwrap in-filename [memcard-title [out-filename]]\n"
               "   ex)cardwrap pkapp.pda BBSSSSP00000FILE01",
               "");
    return 0;
}

int path_too_long(const char *in_path)
{
    print_line("Path too long : ", in_path);
    return 1;
}

int cannot_read(const char *in_path)
{
    print_line("Cannot read : ", in_path);
    return 1;
}

int size_too_large(const char *in_path)
{
    print_line("File size too large : ", in_path);
    return 1;
}

int cannot_write(const char *out_path)
{
    print_line("Cannot write : ", out_path);
    return 1;
}

// The second figure is the data area plus the header fill, without the
// title: 20 short of the file's length, as scripts that read this line expect.
int summary(int size, int blocks)
{
    char line[64];
    std::snprintf(line, sizeof line, "%d => %d bytes [%d blocks]", size,
                  blocks * BLOCK_SIZE + HEADER_FILL_LEN, blocks);
    print_line(line, "");
    return 0;
}

} // namespace cardwrap
