#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "core/image.hpp"
#include "system/files.hpp"
#include "tests/test_files.hpp"

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <dirent.h>
#include <unistd.h>
#endif

namespace {

using namespace std::string_literals;
using cardwrap::HEADER_LEN;
using cardwrap::MAX_DATA_LEN;
using cardwrap::MAX_IMAGE_LEN;
using cardwrap::TITLE_BUF_LEN;

// Named after this process too: CTest may run several tests, or several
// builds' tests, at once in the same temporary folder.
std::string temp_path(const char *name)
{
    return testing::TempDir() + "cardwrap_image_test_" + std::to_string(getpid()) + "_" + name;
}

using test_files::contents;
using test_files::put_file;

TEST(CountBlocks, SmallestNumberOfWholeBlocks)
{
    const struct {
        int size;
        int blocks;
    } cases[] = {
        {1, 1},     {8191, 1},  {8192, 1},    {8193, 2},    {16384, 2},
        {16385, 3}, {57344, 7}, {122879, 15}, {122880, 15},
    };
    for (const auto &c : cases)
        EXPECT_EQ(cardwrap::count_blocks(c.size), c.blocks) << c.size;
}

// The buffer is dirty, as a process that runs the tool again leaves it: the
// header fill and the block fill are zeros all the same, and nothing past
// the image is touched.
TEST(FrameImage, TitleFieldHeaderFillDataThenZeroFill)
{
    const struct {
        std::string title;
        std::string data;
        std::string image;
    } cases[] = {
        {"AB", "\x00\x0A\x0D\x1A\xFF"s,
         "AB"s + std::string(18, '\0') + std::string(34, '\0') + "\x00\x0A\x0D\x1A\xFF"s +
             std::string(8187, '\0')},
        // A full title runs to the end of its field; the buffer's last,
        // always-zero byte is not part of the image.
        {"12345678901234567890", std::string(8192, 'x'),
         "12345678901234567890"s + std::string(34, '\0') + std::string(8192, 'x')},
        {"", std::string(8193, '\xFF'),
         std::string(54, '\0') + std::string(8193, '\xFF') + std::string(8191, '\0')},
    };
    static unsigned char image[MAX_IMAGE_LEN + 1];
    for (const auto &c : cases) {
        char title[TITLE_BUF_LEN] = {};
        std::memcpy(title, c.title.data(), c.title.size());
        std::memset(image, 0x5A, sizeof image);
        std::memcpy(image + HEADER_LEN, c.data.data(), c.data.size());
        const std::size_t length =
            cardwrap::frame_image(image, title, static_cast<int>(c.data.size()));
        EXPECT_EQ(std::string(reinterpret_cast<char *>(image), length), c.image) << c.title;
        EXPECT_EQ(image[c.image.size()], 0x5A) << c.title;
    }
}

TEST(ReadInput, ReadsAtMostItsRoom)
{
    static unsigned char data[MAX_DATA_LEN + 2];
    const int room = MAX_DATA_LEN + 1;
    const struct {
        const char *name;
        int size; // -1: no such file
        int got;
    } cases[] = {
        {"one", 1, 1},
        {"full", MAX_DATA_LEN, MAX_DATA_LEN},
        {"one_over", MAX_DATA_LEN + 1, MAX_DATA_LEN + 1},
        {"far_over", 3 * MAX_DATA_LEN, MAX_DATA_LEN + 1},
        {"empty", 0, 0},
        {"missing", -1, -1},
    };
    for (const auto &c : cases) {
        const std::string path = temp_path(c.name);
        std::remove(path.c_str());
        std::string bytes(c.size > 0 ? static_cast<std::size_t>(c.size) : 0, '\xA5');
        if (!bytes.empty())
            bytes.front() = '\x1A';
        if (c.size >= 0)
            put_file(path, bytes);
        std::memset(data, '#', sizeof data);
        EXPECT_EQ(cardwrap::read_input(path.c_str(), data, room), c.got) << c.name;
        const auto got = static_cast<std::size_t>(c.got > 0 ? c.got : 0);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(data), got), bytes.substr(0, got)) << c.name;
        EXPECT_EQ(data[room], '#') << c.name;
        std::remove(path.c_str());
    }
}

// A shorter image over a longer file leaves the image alone, nothing after.
TEST(WriteOutput, MakesANewFileAndReplacesAnOldOneWhole)
{
    const std::string path = temp_path("made.mcx");
    std::remove(path.c_str());
    const unsigned char longer[] = {'o', 'l', 'd', ' ', 'o', 'n', 'e'};
    const unsigned char image[] = {'n', 'e', 'w'};
    EXPECT_TRUE(cardwrap::write_output(path.c_str(), longer, sizeof longer));
    EXPECT_EQ(contents(path), "old one");
    EXPECT_TRUE(cardwrap::write_output(path.c_str(), image, sizeof image));
    EXPECT_EQ(contents(path), "new");
    std::remove(path.c_str());
}

#ifndef _WIN32
TEST(ReadInput, AFailedReadIsNoInput)
{
    unsigned char data[16];
    EXPECT_EQ(cardwrap::read_input(testing::TempDir().c_str(), data, sizeof data), -1);
}

// How many descriptors this process holds, as /proc lists them: one held back
// by a run shows. The web page runs the tool many times in one process.
int open_descriptors()
{
    int count = 0;
    DIR *fds = opendir("/proc/self/fd");
    if (fds == nullptr)
        return -1;
    while (readdir(fds) != nullptr)
        ++count;
    closedir(fds);
    return count;
}

TEST(WriteOutput, LetsGoOfEveryDescriptor)
{
    const std::string path = temp_path("released.mcx");
    std::remove(path.c_str());
    const std::string link = temp_path("released-link.mcx");
    std::remove(link.c_str());
    ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
    const int before = open_descriptors();
    ASSERT_NE(before, -1);
    const unsigned char image[] = {'n', 'e', 'w'};
    // Made new through a dangling link, replaced, replaced through the
    // link, written in place (a device), refused.
    const struct {
        const char *path;
        bool written;
    } runs[] = {{link.c_str(), true},
                {path.c_str(), true},
                {link.c_str(), true},
                {"/dev/null", true},
                {"/no/such/folder/x", false}};
    for (const auto &r : runs) {
        EXPECT_EQ(cardwrap::write_output(r.path, image, sizeof image), r.written) << r.path;
        EXPECT_EQ(open_descriptors(), before) << r.path;
    }
    EXPECT_EQ(contents(path), "new");
    std::remove(link.c_str());
    std::remove(path.c_str());
}
#endif

} // namespace
