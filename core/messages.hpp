#pragma once

// Every line the tool prints. All go to standard output, errors included,
// each followed by the path it is about where it is about one.
namespace cardwrap {

inline constexpr char BANNER[] = "cardwrap version 1.1";
inline constexpr char USAGE[] = "Usage: cardwrap in-filename [memcard-title [out-filename]]\n"
                                "   ex)cardwrap pkapp.pda BBSSSSP00000FILE01";
inline constexpr char PATH_TOO_LONG[] = "Path too long : ";
inline constexpr char CANNOT_READ[] = "Cannot read : ";
inline constexpr char SIZE_TOO_LARGE[] = "File size too large : ";
inline constexpr char CANNOT_WRITE[] = "Cannot write : ";

} // namespace cardwrap
