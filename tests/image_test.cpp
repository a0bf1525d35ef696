#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <dirent.h>
#include <unistd.h>
#endif

#include "image/blocks.hpp"
#include "image/files.hpp"
#include "image/loader.hpp"
#include "image/output.hpp"
#include "image/writer.hpp"

namespace {

using namespace std::string_literals;
using cardwrap::load_status;
using cardwrap::MAX_DATA_LEN;
using cardwrap::TITLE_BUF_LEN;

// Named after this process too: CTest may run several tests, or several
// builds' tests, at once in the same temporary folder.
std::string temp_path(const char *name)
{
    return testing::TempDir() + "cardwrap_image_test_" +
           std::to_string(cardwrap::platform::process_id()) + "_" + name;
}

void put_file(const std::string &path, const std::string &bytes)
{
    std::FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    ASSERT_EQ(std::fclose(f), 0);
}

// Everything written to `f` so far, read back from its start.
std::string contents(std::FILE *f)
{
    std::string bytes;
    std::rewind(f);
    for (int c; (c = std::fgetc(f)) != EOF;)
        bytes += static_cast<char>(c);
    return bytes;
}

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

TEST(WriteImage, TitleFieldHeaderFillDataThenZeroFill)
{
    const struct {
        std::string title;
        std::string data;
        int fill;
        std::string image;
    } cases[] = {
        {"AB", "\x00\x0A\x0D\x1A\xFF"s, 3,
         "AB"s + std::string(18, '\0') + std::string(34, '\0') + "\x00\x0A\x0D\x1A\xFF"s +
             "\0\0\0"s},
        // A full title runs to the end of its field; the buffer's last,
        // always-zero byte is not part of the image.
        {"12345678901234567890", "x", 0, "12345678901234567890"s + std::string(34, '\0') + "x"},
        {"", "\xFF", 8191, std::string(54, '\0') + "\xFF" + std::string(8191, '\0')},
    };
    for (const auto &c : cases) {
        char title[TITLE_BUF_LEN] = {};
        std::memcpy(title, c.title.data(), c.title.size());
        std::FILE *f = std::tmpfile();
        ASSERT_NE(f, nullptr);
        const auto *data = reinterpret_cast<const unsigned char *>(c.data.data());
        EXPECT_TRUE(cardwrap::write_image(f, title, data, static_cast<int>(c.data.size()), c.fill));
        EXPECT_EQ(contents(f), c.image) << c.title;
        std::fclose(f);
    }
}

TEST(CloseOutput, FailsWhenAnEarlierWriteFailed)
{
    // A stream opened for reading refuses writes and sets its error flag.
    const std::string path = temp_path("read_only");
    put_file(path, "x");
    std::FILE *f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    const unsigned char byte = 'y';
    EXPECT_FALSE(cardwrap::write_bytes(f, &byte, 1));
    EXPECT_FALSE(cardwrap::close_output(f));
    std::remove(path.c_str());
}

TEST(CloseOutput, SucceedsAfterGoodWrites)
{
    const std::string path = temp_path("good");
    std::FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const unsigned char bytes[] = {1, 2, 3};
    EXPECT_TRUE(cardwrap::write_bytes(f, bytes, 3));
    EXPECT_TRUE(cardwrap::close_output(f));
    std::remove(path.c_str());
}

#ifndef _WIN32
TEST(CloseOutput, FailsOnAFullDevice)
{
    std::FILE *f = std::fopen("/dev/full", "wb");
    if (f == nullptr)
        GTEST_SKIP() << "no /dev/full";
    const unsigned char bytes[] = {1, 2, 3};
    cardwrap::write_bytes(f, bytes, 3); // may only be buffered yet
    EXPECT_FALSE(cardwrap::close_output(f));
}
#endif

#ifndef _WIN32
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

TEST(Output, LetsGoOfEveryDescriptor)
{
    const std::string path = temp_path("released.mcx");
    put_file(path, "old");
    const std::string link = temp_path("released-link.mcx");
    std::remove(link.c_str());
    ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
    const int before = open_descriptors();
    ASSERT_NE(before, -1);
    // Made new, replaced, replaced through a link, given up, refused.
    const struct {
        const char *path;
        bool commit;
        bool opens;
    } runs[] = {{path.c_str(), true, true},
                {path.c_str(), true, true},
                {link.c_str(), true, true},
                {path.c_str(), false, true},
                {"/no/such/folder/x", false, false}};
    for (const auto &r : runs) {
        cardwrap::output out{};
        ASSERT_EQ(cardwrap::open_output(out, r.path), r.opens) << r.path;
        if (r.opens && r.commit)
            EXPECT_TRUE(cardwrap::commit_output(out)) << r.path;
        else if (r.opens)
            cardwrap::abandon_output(out);
        EXPECT_EQ(open_descriptors(), before) << r.path;
    }
    std::remove(link.c_str());
    std::remove(path.c_str());
}

// A program running the tool within it may handle a signal that would end
// the tool alone, and go on (a fuzzer's timer does): the run goes on whole.
TEST(Output, ASignalTheProgramHandlesLeavesTheRunWhole)
{
    struct sigaction handled {};
    struct sigaction before {};
    handled.sa_handler = [](int) {}; // NOLINT(cppcoreguidelines-pro-type-union-access)
    ASSERT_EQ(sigaction(SIGALRM, &handled, &before), 0);
    const std::string path = temp_path("handled.mcx");
    std::remove(path.c_str());
    cardwrap::output out{};
    ASSERT_TRUE(cardwrap::open_output(out, path.c_str()));
    ASSERT_EQ(raise(SIGALRM), 0);
    ASSERT_GE(std::fputs("image", out.stream), 0);
    EXPECT_TRUE(cardwrap::commit_output(out));
    std::FILE *f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(contents(f), "image");
    std::fclose(f);
    std::remove(path.c_str());
    sigaction(SIGALRM, &before, nullptr);
}
#endif

TEST(LoadInput, AcceptsOneToFifteenBlocks)
{
    static unsigned char data[MAX_DATA_LEN];
    for (const int size : {1, 8192, 8193, MAX_DATA_LEN - 1, MAX_DATA_LEN}) {
        std::string bytes(static_cast<std::size_t>(size), '\xA5');
        bytes.back() = '\x1A';
        const std::string path = temp_path("accepted");
        put_file(path, bytes);
        int got = 0;
        std::memset(data, 0, sizeof data);
        EXPECT_EQ(cardwrap::load_input(path.c_str(), data, got), load_status::ok) << size;
        EXPECT_EQ(got, size);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(data), static_cast<std::size_t>(got)),
                  bytes);
        std::remove(path.c_str());
    }
}

TEST(LoadInput, RefusesEmptyMissingAndOversizedInputs)
{
    static unsigned char data[MAX_DATA_LEN];
    const struct {
        const char *name;
        int size; // -1: no such file
        load_status status;
    } cases[] = {
        {"empty", 0, load_status::cannot_read},
        {"missing", -1, load_status::cannot_read},
        {"one_over", MAX_DATA_LEN + 1, load_status::too_large},
        {"far_over", 3 * MAX_DATA_LEN, load_status::too_large},
    };
    for (const auto &c : cases) {
        const std::string path = temp_path(c.name);
        std::remove(path.c_str());
        if (c.size >= 0)
            put_file(path, std::string(static_cast<std::size_t>(c.size), 'x'));
        int got = -7;
        EXPECT_EQ(cardwrap::load_input(path.c_str(), data, got), c.status) << c.name;
        EXPECT_EQ(got, -7) << c.name;
        std::remove(path.c_str());
    }
}

#ifdef __GLIBC__
// A stream that yields some bytes and then fails, as a failing disk or a
// dropped network share does.
ssize_t read_then_fail(void *cookie, char *buf, size_t size)
{
    auto &left = *static_cast<int *>(cookie);
    if (left == 0)
        return -1;
    const int n = size < static_cast<size_t>(left) ? static_cast<int>(size) : left;
    std::memset(buf, 'r', static_cast<size_t>(n));
    left -= n;
    return n;
}

int close_fails(void * /*cookie*/)
{
    return -1;
}

ssize_t write_all(void * /*cookie*/, const char * /*buf*/, size_t size)
{
    return static_cast<ssize_t>(size);
}

TEST(CloseOutput, FailsWhenTheCloseFails)
{
    // Every write and the flush go through; only the close reports an error,
    // as a network file system may when it first hears of a full disk.
    cookie_io_functions_t io{};
    io.write = write_all;
    io.close = close_fails;
    std::FILE *f = fopencookie(nullptr, "wb", io);
    ASSERT_NE(f, nullptr);
    const unsigned char bytes[] = {1, 2, 3};
    EXPECT_TRUE(cardwrap::write_bytes(f, bytes, 3));
    EXPECT_FALSE(cardwrap::close_output(f));
}

TEST(LoadStream, AReadErrorIsNotTheEndOfTheInput)
{
    static unsigned char data[MAX_DATA_LEN];
    for (int before : {0, 100, 8192, MAX_DATA_LEN}) {
        cookie_io_functions_t io{};
        io.read = read_then_fail;
        std::FILE *f = fopencookie(&before, "rb", io);
        ASSERT_NE(f, nullptr);
        int got = -7;
        EXPECT_EQ(cardwrap::load_stream(f, data, got), load_status::cannot_read) << before;
        EXPECT_EQ(got, -7);
        std::fclose(f);
    }
}
#endif

} // namespace
