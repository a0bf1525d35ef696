#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "core/naming.hpp"

namespace {

using namespace std::string_literals;
using cardwrap::PATH_BUF_LEN;
using cardwrap::TITLE_BUF_LEN;

struct rewrite_case {
    std::string in;
    std::string out;
};

// Runs an in-place operation on a copy of `in` in a path buffer that has
// guard bytes after it, and checks nothing past the buffer was touched.
template <typename Op>
std::string rewrite(const std::string &in, Op op)
{
    struct {
        char buf[PATH_BUF_LEN];
        char guard[16];
    } b;
    std::memset(&b, '#', sizeof b);
    std::memcpy(b.buf, in.c_str(), in.size() + 1);
    op(b.buf);
    EXPECT_EQ(std::string(b.guard, sizeof b.guard), std::string(16, '#'));
    return b.buf;
}

// A title buffer's whole 21 bytes, from the title text.
std::string field(std::string text)
{
    text.resize(TITLE_BUF_LEN, '\0');
    return text;
}

TEST(StripExtension, CutsOnlyTheLastComponentsExtension)
{
    // Kept as laid out: a hex escape ends where a literal is split.
    // clang-format off
    const rewrite_case cases[] = {
        {"pkapp.pda", "pkapp"},
        {"dir/pkapp.pda", "dir/pkapp"},
        {"C:\\work\\pkapp.pda", "C:\\work\\pkapp"},
        {"a.b.c", "a.b"},
        {"dir/a.b.c", "dir/a.b"},
        {"pkapp.", "pkapp"},
        {".pda", ""},
        {"dir/.pda", "dir/"},
        {"pkapp", "pkapp"},
        {"", ""},
        // No '.' in the last component: never cut inside a directory.
        {"dir/pkapp", "dir/pkapp"},
        {"dir.d/pkapp", "dir.d/pkapp"},
        {"dir.d\\pkapp", "dir.d\\pkapp"},
        {"a.b/c.d\\e", "a.b/c.d\\e"},
        {"dir.d/", "dir.d/"},
        // The dots of "." and ".." are folders', not extensions.
        {"./pkapp", "./pkapp"},
        {"../pkapp", "../pkapp"},
        {"dir./pkapp", "dir./pkapp"},
        // A Shift_JIS trail byte 0x5C ends a component: the scan knows no
        // code page.
        {"a.b\x83\x5C" "c", "a.b\x83\x5C" "c"},
        {"\x83\x5C.pda", "\x83\x5C"},
    };
    // clang-format on
    for (const auto &c : cases)
        EXPECT_EQ(rewrite(c.in, cardwrap::strip_extension), c.out) << c.in;
}

TEST(StripDirectory, KeepsWhatFollowsTheLastSeparator)
{
    const rewrite_case cases[] = {
        {"C:\\work\\pkapp", "pkapp"},
        {"dir/sub/pkapp", "pkapp"},
        {"a/b\\c", "c"},
        {"a\\b/c", "c"},
        {"pkapp", "pkapp"},
        {"dir/", ""},
        {"/", ""},
        {"C:pkapp", "C:pkapp"},
        {"\x83\x5Cname", "name"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(rewrite(c.in, cardwrap::strip_directory), c.out) << c.in;
}

TEST(StripDirectory, MovesTheNameAndItsTerminatorAndNothingMore)
{
    // What follows the terminator is not the name's: it stays as it was.
    char path[] = "dir/ab\0XY";
    cardwrap::strip_directory(path);
    EXPECT_EQ(std::string(path, sizeof path), std::string("ab\0/ab\0XY", sizeof path));
}

TEST(UpcaseName, UpcasesAsciiLettersAndKeepsDoubleByteCharactersWhole)
{
    // Kept as laid out: a hex escape ends where a literal is split.
    // clang-format off
    const rewrite_case cases[] = {
        {"pkapp", "PKAPP"},
        {"MiXeD_09.a-z", "MIXED_09.A-Z"},
        {"", ""},
        // Lead bytes 0x81-0x9F and 0xE0-0xFC take the next byte with them.
        {"a\x82\x61" "b", "A\x82\x61" "B"},
        {"\x81\x81" "a", "\x81\x81" "A"},
        {"\x9F" "a" "b", "\x9F" "a" "B"},
        {"\xE0" "a" "b", "\xE0" "a" "B"},
        {"\xFC" "z", "\xFC" "z"},
        // A lead byte last of all ends the name.
        {"ab\x81", "AB\x81"},
        // Neither a lead byte: single-byte katakana and the bytes on either side.
        {"\x80" "a", "\x80" "A"},
        {"\xA0" "a", "\xA0" "A"},
        {"\xB1" "a", "\xB1" "A"},
        {"\xDF" "a", "\xDF" "A"},
        {"\xFD" "a", "\xFD" "A"},
        {"\xFF" "a", "\xFF" "A"},
    };
    // clang-format on
    for (const auto &c : cases)
        EXPECT_EQ(rewrite(c.in, cardwrap::upcase_name), c.out) << c.in;
}

struct derive_case {
    std::string input_path;
    std::string output_name;
    std::string title;
};

// The names a run derives from its input path: the output name from the path
// stem, then the title from what is left of it.
TEST(DerivedNames, OutputNameAndTitleFromTheInputPath)
{
    // Kept as laid out: a hex escape ends where a literal is split.
    // clang-format off
    const derive_case cases[] = {
        {"pkapp.pda", "pkapp.mcx", "BBSSSSPPKAPP"},
        {"C:\\work\\pkapp.pda", "C:\\work\\pkapp.mcx", "BBSSSSPPKAPP"},
        {"Dir\\PkApp.pda", "Dir\\PkApp.mcx", "BBSSSSPPKAPP"},
        {"dir/a.b.c", "dir/a.b.mcx", "BBSSSSPA.B"},
        {".pda", ".mcx", "BBSSSSP"},
        {"C:pkapp.pda", "C:pkapp.mcx", "BBSSSSPC:PKAPP"},
        {"dir.d/pkapp", "dir.d/pkapp.mcx", "BBSSSSPPKAPP"},
        {"pkapp.mcx", "pkapp.mcx", "BBSSSSPPKAPP"},
        {"dir/", "dir/.mcx", "BBSSSSP"},
        {"abcdefghijklm.pda", "abcdefghijklm.mcx", "BBSSSSPABCDEFGHIJKLM"},
        {"abcdefghijklmn.pda", "abcdefghijklmn.mcx", "BBSSSSPABCDEFGHIJKLM"},
        {"a\x82\x61" "b.pda", "a\x82\x61" "b.mcx", "BBSSSSPA\x82\x61" "B"},
        {"\x81" "ab.pda", "\x81" "ab.mcx", "BBSSSSP\x81" "aB"},
        // Cut by bytes, even between the two bytes of a character.
        {"abcdefghijkl\x82\xA0.pda", "abcdefghijkl\x82\xA0.mcx", "BBSSSSPABCDEFGHIJKL\x82"},
    };
    // clang-format on
    for (const auto &c : cases) {
        char stem[PATH_BUF_LEN] = {};
        char out[PATH_BUF_LEN];
        char title[TITLE_BUF_LEN];
        std::memset(title, '#', sizeof title);
        std::memcpy(stem, c.input_path.data(), c.input_path.size());
        cardwrap::strip_extension(stem);
        cardwrap::make_output_name(stem, out);
        cardwrap::derive_title(stem, title);
        EXPECT_EQ(std::string(out), c.output_name) << c.input_path;
        EXPECT_EQ(std::string(title, sizeof title), field(c.title)) << c.input_path;
    }
}

TEST(GivenTitle, TakesTheFirstTwentyBytesUnchanged)
{
    const rewrite_case cases[] = {
        {"BBSSSSP00000FILE01", "BBSSSSP00000FILE01"},
        {"lower case", "lower case"},
        {"", ""},
        {"12345678901234567890", "12345678901234567890"},
        {"123456789012345678901", "12345678901234567890"},
        {"\x82\xA0\x82\xA2 kana", "\x82\xA0\x82\xA2 kana"},
    };
    for (const auto &c : cases) {
        char title[TITLE_BUF_LEN];
        std::memset(title, '#', sizeof title);
        cardwrap::take_title(c.in.c_str(), title);
        EXPECT_EQ(std::string(title, sizeof title), field(c.out)) << c.in;
    }
}

TEST(OutputName, TheLongestStemFillsThePathBufferExactly)
{
    const std::string stem(cardwrap::MAX_STEM_CHARS, 's');
    struct {
        char out[PATH_BUF_LEN];
        char guard[16];
    } b;
    std::memset(&b, '#', sizeof b);
    cardwrap::make_output_name(stem.c_str(), b.out);
    EXPECT_EQ(std::string(b.out, sizeof b.out), stem + ".mcx"s + '\0');
    EXPECT_EQ(std::string(b.guard, sizeof b.guard), std::string(16, '#'));
}

} // namespace
