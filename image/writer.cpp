#include "image/writer.hpp"

namespace cardwrap {
namespace {

// Both zero runs of an image, the header fill and the block fill, are
// shorter than a block.
constexpr unsigned char zeros[BLOCK_SIZE] = {};

bool write_zeros(std::FILE *stream, int count)
{
    return write_bytes(stream, zeros, count);
}

} // namespace

bool write_bytes(std::FILE *stream, const unsigned char *bytes, int count)
{
    const auto want = static_cast<std::size_t>(count);
    return std::fwrite(bytes, 1, want, stream) == want;
}

bool write_image(std::FILE *stream, const char (&title)[TITLE_BUF_LEN], const unsigned char *data,
                 int size, int fill)
{
    const auto *title_bytes = reinterpret_cast<const unsigned char *>(title);
    return write_bytes(stream, title_bytes, TITLE_LEN) && write_zeros(stream, HEADER_FILL_LEN) &&
           write_bytes(stream, data, size) && write_zeros(stream, fill);
}

bool close_output(std::FILE *stream)
{
    const bool flushed = std::fflush(stream) == 0 && std::ferror(stream) == 0;
    const bool closed = std::fclose(stream) == 0;
    return flushed && closed;
}

} // namespace cardwrap
