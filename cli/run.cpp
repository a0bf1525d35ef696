#include "cli/run.hpp"

#include <cstdio>
#include <cstring>

#include "cli/arguments.hpp"
#include "cli/messages.hpp"
#include "cli/naming.hpp"
#include "image/blocks.hpp"
#include "image/format.hpp"
#include "image/loader.hpp"
#include "image/output.hpp"
#include "image/writer.hpp"

namespace cardwrap {
namespace {

bool is_help_word(const char *arg)
{
    return std::strcmp(arg, "/?") == 0 || std::strcmp(arg, "-?") == 0;
}

} // namespace

int run(int argc, const char *const argv[])
{
    char stem[PATH_BUF_LEN] = {};
    char default_out[PATH_BUF_LEN] = {};
    char title[TITLE_BUF_LEN] = {};
    // Static, not on the stack: a small stack limit must not end the run
    // before it has said anything.
    static unsigned char data[MAX_DATA_LEN];
    int size = 0;
    output out{};

    banner();
    if (argc < 2 || (argc < 3 && is_help_word(argv[1])))
        return usage();

    // Too long a path is refused before any file is opened: cutting it to
    // fit would name some other file.
    const char *in_path = argv[1];
    const std::size_t in_len = std::strlen(in_path);
    if (in_len > MAX_PATH_CHARS)
        return path_too_long(in_path);
    std::memcpy(stem, in_path, in_len + 1);
    strip_extension(stem);

    const char *out_path = default_out;
    if (argc >= 4) {
        out_path = argv[3];
    } else {
        if (std::strlen(stem) > MAX_STEM_CHARS)
            return path_too_long(in_path);
        make_output_name(stem, default_out);
    }

    // Deriving the title cuts the stem down, so it comes after the output name.
    if (argc >= 3)
        take_title(argv[2], title);
    else
        derive_title(stem, title);

    // A name that is not what the user typed names some other file: it is
    // refused before any file is opened. A derived output name comes from
    // the input's.
    switch (platform::untyped_path(argc, argv)) {
    case 1:
        return cannot_read(in_path);
    case 3:
        return cannot_write(out_path);
    default:
        break;
    }
    switch (load_input(in_path, data, size)) {
    case load_status::ok:
        break;
    case load_status::cannot_read:
        return cannot_read(in_path);
    case load_status::too_large:
        return size_too_large(in_path);
    }
    const int blocks = count_blocks(size);

    // Opened only now that the input is whole and accepted, so no failure
    // before this point touches a file at the output path, even the input.
    if (!open_output(out, out_path))
        return cannot_write(out_path);
    if (!write_image(out.stream, title, data, size, blocks * BLOCK_SIZE - size)) {
        abandon_output(out);
        return cannot_write(out_path);
    }
    if (!commit_output(out))
        return cannot_write(out_path);
    return summary(size, blocks);
}

} // namespace cardwrap
