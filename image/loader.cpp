#include "image/loader.hpp"

#include "image/files.hpp"

namespace cardwrap {

load_status load_input(const char *path, unsigned char (&data)[MAX_DATA_LEN], int &size)
{
    std::FILE *in = platform::open_input(path);
    if (in == nullptr)
        return load_status::cannot_read;
    // Unbuffered: the whole input goes straight into the caller's buffer,
    // with no stdio buffer to allocate and copy through.
    std::setvbuf(in, nullptr, _IONBF, 0);
    const load_status status = load_stream(in, data, size);
    // Closing a stream we only read from cannot lose anything: every byte we
    // use is already in the buffer, so its result is not looked at.
    std::fclose(in);
    return status;
}

load_status load_stream(std::FILE *in, unsigned char (&data)[MAX_DATA_LEN], int &size)
{
    const std::size_t got = std::fread(data, 1, sizeof data, in);
    // A full buffer is only too small if one more byte follows; reading that
    // byte is as far past the limit as the input is ever read.
    const bool more = got == sizeof data && std::fgetc(in) != EOF;
    // A read error is not the end of the input: wrapping what came before it
    // would pass off a truncated file as a good one.
    if (std::ferror(in))
        return load_status::cannot_read;
    if (more)
        return load_status::too_large;
    if (got == 0)
        return load_status::cannot_read;
    size = static_cast<int>(got);
    return load_status::ok;
}

} // namespace cardwrap
