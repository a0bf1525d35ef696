#pragma once

// Files the unit tests make and read back.
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

namespace test_files {

inline void put_file(const std::string &path, const std::string &bytes)
{
    std::FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    ASSERT_EQ(std::fclose(f), 0);
}

// The file's bytes, or "(none)" where there is no file.
inline std::string contents(const std::string &path)
{
    std::string bytes;
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return "(none)";
    for (int c; (c = std::fgetc(f)) != EOF;)
        bytes += static_cast<char>(c);
    std::fclose(f);
    return bytes;
}

} // namespace test_files
