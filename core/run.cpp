#include "core/run.hpp"

#include <cstdio>
#include <cstring>

#include "core/image.hpp"
#include "core/messages.hpp"
#include "core/naming.hpp"
#include "system/files.hpp"

namespace cardwrap {

static_assert(MAX_IMAGE_LEN == MAX_OUTPUT_SIZE, "the system is told the longest image");

// Prints one line; returns the run's exit status.
static int say(int status, const char *text, const char *arg = "")
{
    print_line(text, arg);
    return status;
}

int run(int argc, const char *const argv[])
{
    char stem[PATH_BUF_LEN] = {};
    char default_out[PATH_BUF_LEN] = {};
    char title[TITLE_BUF_LEN] = {};
    // Static, not on the stack: a small stack limit must not end the run
    // before it has said anything. The input is read straight into its
    // place in the image, with room for one byte more than it may hold, to
    // tell a full input from a longer one.
    static unsigned char image[MAX_IMAGE_LEN + 1];

    say(0, BANNER);
    if (argc < 2 ||
        (argc < 3 && (std::strcmp(argv[1], "/?") == 0 || std::strcmp(argv[1], "-?") == 0)))
        return say(0, USAGE);

    // Too long a path is refused before any file is opened: cutting it to
    // fit would name some other file.
    const char *in_path = argv[1];
    const std::size_t in_len = std::strlen(in_path);
    if (in_len > MAX_PATH_CHARS)
        return say(1, PATH_TOO_LONG, in_path);
    std::memcpy(stem, in_path, in_len + 1);
    strip_extension(stem);

    const char *out_path = argc >= 4 ? argv[3] : default_out;
    if (argc < 4 && !default_output_name(in_path, default_out))
        return say(1, PATH_TOO_LONG, in_path);

    // Deriving the title cuts the stem down, so it comes after the output name.
    if (argc >= 3)
        take_title(argv[2], title);
    else
        derive_title(stem, title);

    const int size = read_input(in_path, image + HEADER_LEN, MAX_DATA_LEN + 1);
    if (size < 1)
        return say(1, CANNOT_READ, in_path);
    if (size > MAX_DATA_LEN)
        return say(1, SIZE_TOO_LARGE, in_path);

    // Written only now that the input is whole and accepted, so no failure
    // before this point touches a file at the output path, even the input.
    if (!write_output(out_path, image, frame_image(image, title, size)))
        return say(1, CANNOT_WRITE, out_path);
    // The second figure is the data area plus the header fill, without the
    // title: 20 short of the file's length, as scripts that read it expect.
    const int blocks = count_blocks(size);
    char line[64];
    std::snprintf(line, sizeof line, "%d => %d bytes [%d blocks]", size,
                  blocks * BLOCK_SIZE + HEADER_FILL_LEN, blocks);
    return say(0, line);
}

} // namespace cardwrap
