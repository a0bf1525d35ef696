#include "image/output.hpp"

#include "image/platform.hpp"
#include "image/writer.hpp"

namespace cardwrap {
namespace {

using platform::create_status;
using platform::file_kind;

// A name clash means a leftover of a run that was killed, or a run going on
// beside this one; past this many, something else is wrong.
constexpr unsigned MAX_TEMP_TRIES = 100;

create_status open_temp(output &out, bool replacing)
{
    for (unsigned attempt = 0; attempt < MAX_TEMP_TRIES; ++attempt) {
        const int len = std::snprintf(out.temp, sizeof out.temp, "%s.tmp-%u-%u", out.target,
                                      platform::process_id(), attempt);
        if (len < 0 || len >= static_cast<int>(sizeof out.temp))
            return create_status::unavailable;
        const create_status status =
            platform::create_temp(out.temp, replacing ? out.target : nullptr, out.stream);
        if (status != create_status::exists)
            return status;
    }
    return create_status::failed;
}

} // namespace

void ignore_write_signals()
{
    platform::ignore_write_signals();
}

bool open_output(output &out, const char *path)
{
    out.path = path;
    out.temp[0] = '\0';
    if (!platform::resolve_links(path, out.target, sizeof out.target))
        return false;
    const file_kind kind = platform::probe(out.target);
    if (kind == file_kind::unwritable)
        return false;
    if (kind != file_kind::other) {
        const create_status status = open_temp(out, kind == file_kind::regular);
        if (status == create_status::ok)
            return true;
        out.temp[0] = '\0';
        if (status != create_status::unavailable)
            return false;
    }
    out.regular = kind != file_kind::other;
    out.stream = std::fopen(path, "wb");
    return out.stream != nullptr;
}

bool commit_output(output &out)
{
    // A device or a pipe has nothing to make durable, and may refuse to try.
    const bool durable = out.temp[0] != '\0' || out.regular;
    bool done = durable ? platform::sync(out.stream) : std::fflush(out.stream) == 0;
    done = close_output(out.stream) && done;
    out.stream = nullptr;
    if (done && out.temp[0] != '\0') {
        done = platform::replace(out.temp, out.target);
        if (done)
            out.temp[0] = '\0';
    }
    if (!done)
        abandon_output(out);
    return done;
}

void abandon_output(output &out)
{
    // The image is being thrown away, so how the close went does not matter.
    if (out.stream != nullptr)
        std::fclose(out.stream);
    out.stream = nullptr;
    if (out.temp[0] != '\0')
        platform::discard(out.temp);
    else if (out.regular)
        std::remove(out.path);
    out.temp[0] = '\0';
    out.regular = false;
}

} // namespace cardwrap
