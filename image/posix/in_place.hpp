#pragma once

#include <cstdio>

#include "place.hpp"

// Writing an output where it is, for when no new file can replace it: what
// the image overwrites is kept, and put back should the write fail.
namespace cardwrap::platform {

// Gives the image a stream on a descriptor of its own, so that closing the
// stream leaves `at.fd` to finish with: to set attributes, sync, or put
// bytes back.
bool open_stream(place &at, std::FILE *&stream);

// Cuts a longer old file to the image, once the image is whole.
bool cut_to_image(place &at);

// Puts back what the image overwrote, or empties the file where that cannot
// be done. Only async-signal-safe calls: a signal may call it.
void put_back(const place &at);

} // namespace cardwrap::platform
