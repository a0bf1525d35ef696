#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/arguments.hpp"
#include "cli/launch.hpp"
#include "image/files.hpp"

namespace {

// A command line as the program receives it (the ANSI code page's bytes,
// converted back to UTF-16; null where that failed) and as it was typed
// (the wide command line, split by the same rules), with the arguments
// that name files: each must be what was typed in its place.
struct command_line {
    const char *what;
    std::vector<const wchar_t *> received;
    std::vector<const wchar_t *> typed;
    std::vector<std::size_t> paths;
    bool as_typed;
};

TEST(TypedAsReceived, EveryPathMustBeTheOneTypedInItsPlace)
{
    const command_line cases[] = {
        {"names the code page holds",
         {L"cardwrap", L"\u00e9.pda", L"T", L"out.mcx"},
         {L"cardwrap", L"\u00e9.pda", L"T", L"out.mcx"},
         {1, 3},
         true},
        {"a title the code page changed is no path",
         {L"cardwrap", L"pkapp.pda", L"?", L"out.mcx"},
         {L"cardwrap", L"pkapp.pda", L"\u30bb", L"out.mcx"},
         {1, 3},
         true},
        {"a fullwidth letter is not its look-alike",
         {L"cardwrap", L"a.pda"},
         {L"cardwrap", L"\uff41.pda"},
         {1},
         false},
        {"a fullwidth solidus does not climb a folder",
         {L"cardwrap", L"../x.pda"},
         {L"cardwrap", L"..\uff0fx.pda"},
         {1},
         false},
        {"an output outside the code page",
         {L"cardwrap", L"a.pda", L"T", L"???.mcx"},
         {L"cardwrap", L"a.pda", L"T", L"\u30bb\u30fc\u30d6.mcx"},
         {3},
         false},
        {"bytes that are no character in the code page",
         {L"cardwrap", nullptr},
         {L"cardwrap", L"x.pda"},
         {1},
         false},
        // A fullwidth quotation mark becomes '"' under code page 1252 before
        // the line is split: the output named is taken into the title, and
        // the input's own image would be written in its place.
        {"a fullwidth quotation mark splits the line elsewhere",
         {L"cardwrap", L"pkapp.pda", L"\" keep.mcx"},
         {L"cardwrap", L"pkapp.pda", L"\uff02", L"keep.mcx"},
         {1},
         false},
        // Under code page 932 it becomes a yen sign and '"'.
        {"the same under code page 932",
         {L"cardwrap", L"pkapp.pda", L"\u00a5\" keep.mcx"},
         {L"cardwrap", L"pkapp.pda", L"\uff02", L"keep.mcx"},
         {1},
         false},
        {"one argument fewer typed",
         {L"cardwrap", L"a.pda", L"T"},
         {L"cardwrap", L"a.pda"},
         {1},
         false},
    };
    for (const auto &c : cases) {
        bool all = true;
        for (const std::size_t i : c.paths)
            all =
                all && cardwrap::typed_as_received(static_cast<int>(c.received.size()),
                                                   c.received[i], static_cast<int>(c.typed.size()),
                                                   i < c.typed.size() ? c.typed[i] : nullptr);
        EXPECT_EQ(all, c.as_typed) << c.what;
    }
}

TEST(StartedByExplorer, OnlyExplorersChildAloneOnTheConsoleItWritesTo)
{
    const struct {
        unsigned processes;
        bool output_is_console;
        bool parent_is_explorer;
        bool explorer;
    } cases[] = {
        {1, true, true, true},    // double-clicked, or files dropped on it
        {2, true, false, false},  // typed in a console's shell
        {3, true, false, false},  // run by a script in that console
        {1, true, false, false},  // "start" in a shell, a scheduled task, a new console
        {1, false, true, false},  // alone, but its output goes to a file or a pipe
        {2, true, true, false},   // from Explorer, but onto a console it shares
        {0, false, false, false}, // no console at all: a service, a build
    };
    for (const auto &c : cases)
        EXPECT_EQ(
            cardwrap::started_by_explorer(c.processes, c.output_is_console, c.parent_is_explorer),
            c.explorer)
            << c.processes << " " << c.output_is_console << " " << c.parent_is_explorer;
}

// Stands for the system: paths that begin C:\ or \\ are full, and there.
bool full_and_there(const char *arg)
{
    return std::strncmp(arg, "C:\\", 3) == 0 || std::strncmp(arg, "\\\\", 2) == 0;
}

TEST(GivenByDrop, OnlyWhenEveryArgumentIsAFullPathOfWhatIsThere)
{
    const struct {
        std::vector<const char *> args;
        bool dropped;
    } cases[] = {
        {{}, true},                                                 // double-clicked
        {{"C:\\a.pda"}, true},                                      // one file dropped
        {{"C:\\a.pda", "\\\\host\\share\\b.pda", "C:\\dir"}, true}, // several
        {{"a.pda"}, false},                                         // a shortcut's own
        {{"C:\\a.pda", "TITLE"}, false},                            // ... with a title
        {{"TITLE", "C:\\a.pda"}, false},
        {{"C:\\a.pda", "C:\\b.pda", "out.mcx"}, false}, // ... with an output
    };
    for (const auto &c : cases) {
        std::vector<const char *> argv{"cardwrap"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        argv.push_back(nullptr);
        EXPECT_EQ(
            cardwrap::given_by_drop(static_cast<int>(argv.size()) - 1, argv.data(), full_and_there),
            c.dropped)
            << argv.size() - 2 << " arguments";
    }
}

// On Windows a run opens only what was typed on its own command line, which
// these names were not.
#ifndef _WIN32
std::string scratch(const char *name)
{
    return testing::TempDir() + "cardwrap_cli_test_" +
           std::to_string(cardwrap::platform::process_id()) + "_" + name;
}

std::string contents(const std::string &path)
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

TEST(WrapEach, EveryArgumentIsAFileWrappedUnderItsDefaultNameAndTitle)
{
    // Three files dropped at once: none is taken for a title or an output.
    const std::string names[] = {scratch("a.pda"), scratch("b.pda"), scratch("c.pda")};
    for (const auto &name : names) {
        std::FILE *f = std::fopen(name.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs("x", f);
        std::fclose(f);
    }
    const char *argv[] = {"cardwrap", names[0].c_str(), names[1].c_str(), names[2].c_str(),
                          nullptr};
    testing::internal::CaptureStdout();
    const int status = cardwrap::wrap_each(4, argv);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 0);
    // Each titled after its own name, cut to 13 bytes: "cardwrap_cli_".
    const std::string want =
        std::string("BBSSSSPCARDWRAP_CLI_") + std::string(34, '\0') + "x" + std::string(8191, '\0');
    for (const auto &name : names) {
        EXPECT_EQ(contents(name.substr(0, name.size() - 4) + ".mcx"), want) << name;
        EXPECT_EQ(contents(name), "x") << name;
        std::remove(name.c_str());
        std::remove((name.substr(0, name.size() - 4) + ".mcx").c_str());
    }
}

TEST(WrapEach, WithNoFileShowsTheUsage)
{
    const char *argv[] = {"cardwrap", nullptr};
    testing::internal::CaptureStdout();
    EXPECT_EQ(cardwrap::wrap_each(1, argv), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "cardwrap version 1.1\n"
              "Usage: cardwrap in-filename [memcard-title [out-filename]]\n"
              "   ex)cardwrap pkapp.pda BBSSSSP00000FILE01\n");
}

TEST(WrapEach, AFailedFileFailsTheWholeButNotTheOthers)
{
    const std::string good = scratch("good.pda");
    std::FILE *f = std::fopen(good.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("x", f);
    std::fclose(f);
    const std::string missing = scratch("missing.pda");
    const char *argv[] = {"cardwrap", missing.c_str(), good.c_str(), nullptr};
    testing::internal::CaptureStdout();
    const int status = cardwrap::wrap_each(3, argv);
    const std::string said = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 1);
    EXPECT_NE(said.find("Cannot read : " + missing), std::string::npos) << said;
    const std::string image = scratch("good.mcx");
    EXPECT_EQ(contents(image).size(), 54U + 8192U);
    std::remove(good.c_str());
    std::remove(image.c_str());
}
#endif

} // namespace
