#include "image/output.hpp"

#include "image/signals.hpp"
#include "image/writer.hpp"

namespace cardwrap {
namespace {

using platform::create_status;
using platform::file_kind;

// A name clash means a leftover of a run that was killed, or a run going on
// beside this one; past this many, something else is wrong.
constexpr unsigned MAX_TEMP_TRIES = 100;

// The temporary file's name is short and of a fixed form whatever the
// output's, so any name the folder takes can be replaced, and it says what
// it is to whoever finds one left by a killed run. Its last part cannot be
// foreseen, so that no one can take the names a run will try beforehand
// (in /tmp, say) and keep it from writing.
create_status open_temp(output &out)
{
    for (unsigned attempt = 0; attempt < MAX_TEMP_TRIES; ++attempt) {
        char name[platform::TEMP_NAME_LEN];
        std::snprintf(name, sizeof name, "cardwrap-%u-%08x.tmp", platform::process_id(),
                      platform::unforeseeable() ^ attempt);
        const create_status status = platform::create_temp(out.at, name, out.stream);
        if (status != create_status::exists)
            return status;
    }
    return create_status::failed;
}

bool opened(output &out, const char *path, file_kind kind)
{
    switch (kind) {
    case file_kind::refused:
        return false;
    case file_kind::absent:
    case file_kind::named:
        switch (open_temp(out)) {
        case create_status::ok:
            return true;
        case create_status::in_place:
            return platform::open_in_place(out.at, path, out.stream);
        case create_status::exists:
        case create_status::failed:
            return false;
        }
        return false;
    case file_kind::unnamed:
    case file_kind::device:
        return platform::open_in_place(out.at, path, out.stream);
    }
    return false;
}

} // namespace

void ignore_write_signals()
{
    platform::ignore_write_signals();
}

bool open_output(output &out, const char *path)
{
    out.stream = nullptr;
    if (opened(out, path, platform::find(out.at, path)))
        return true;
    platform::abandon(out.at);
    platform::release(out.at);
    return false;
}

bool commit_output(output &out)
{
    // Every byte handed to the system first: only then does the image take
    // the replaced file's attributes and go to the device.
    bool done = close_output(out.stream);
    out.stream = nullptr;
    done = done && platform::commit(out.at);
    if (!done)
        platform::abandon(out.at);
    platform::release(out.at);
    return done;
}

void abandon_output(output &out)
{
    // The image is being thrown away, so how the close went does not matter.
    std::fclose(out.stream);
    out.stream = nullptr;
    platform::abandon(out.at);
    platform::release(out.at);
}

} // namespace cardwrap
