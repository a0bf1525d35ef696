#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <aclapi.h>
#include <gtest/gtest.h>
#include <process.h>
#include <windows.h>

#include <sddl.h>

#include "cli/windows/launch.hpp"
#include "core/run.hpp"
#include "system/files.hpp"
#include "system/windows/shared.hpp"
#include "tests/test_files.hpp"

namespace {

using namespace std::string_literals;

// A command line as Windows hands it over, and the arguments the program
// must take from it, in code pages 1252 and 932: each split once, a
// character the code page lacks made '?', never a look-alike.
TEST(Arguments, SplitOnceAsTypedThenEachInTheCodePage)
{
    const struct {
        const wchar_t *line;
        std::vector<std::string> cp1252;
        std::vector<std::string> cp932;
    } cases[] = {
        {L"cardwrap a.pda", {"cardwrap", "a.pda"}, {}},
        {L"\"C:\\Program Files\\cardwrap.exe\" a.pda\tT  out.mcx",
         {"C:\\Program Files\\cardwrap.exe", "a.pda", "T", "out.mcx"},
         {}},
        // A fullwidth quotation mark is no quotation mark: it splits nothing.
        {L"cardwrap pkapp.pda \uff02 keep.mcx",
         {"cardwrap", "pkapp.pda", "?", "keep.mcx"},
         {"cardwrap", "pkapp.pda", "\xfa\x57", "keep.mcx"}},
        {L"cardwrap \uff41.pda", {"cardwrap", "?.pda"}, {"cardwrap", "\x82\x81.pda"}},
        {L"cardwrap ..\uff0fx.pda", {"cardwrap", "..?x.pda"}, {"cardwrap", "..\x81^x.pda"}},
        {L"cardwrap \u30bb\u30fc\u30d6.pda",
         {"cardwrap", "???.pda"},
         {"cardwrap", "\x83Z\x81[\x83u.pda"}},
        {L"cardwrap \u00e9.pda T", {"cardwrap", "\xe9.pda", "T"}, {"cardwrap", "?.pda", "T"}},
        // In neither code page.
        {L"cardwrap \u0100.pda", {"cardwrap", "?.pda"}, {"cardwrap", "?.pda"}},
        // Backslashes are themselves, but before a quotation mark.
        {L"cardwrap C:\\dir\\a.pda \"C:\\out dir\\\\\" a\\\\\\\"b",
         {"cardwrap", "C:\\dir\\a.pda", "C:\\out dir\\", "a\\\"b"},
         {}},
        // Two quotation marks within quotes give one, and end them.
        {L"cardwrap \"a b\" \"c\"\"d\" e", {"cardwrap", "a b", "c\"d e"}, {}},
        {L"cardwrap \"\" x", {"cardwrap", "", "x"}, {}},
        // The program's name takes quoted parts anywhere, with no escapes,
        // and ends at a blank outside them, as a batch file's "%~dp0" gives.
        {L"\"C:\\my tools\\\"cardwrap.exe C:\\x\\a.pda",
         {"C:\\my tools\\cardwrap.exe", "C:\\x\\a.pda"},
         {}},
        {L"C:\\\"my tools\"\\cardwrap.exe a.pda T",
         {"C:\\my tools\\cardwrap.exe", "a.pda", "T"},
         {}},
        {L"\"C:\\my tools\\cardwrap\"x y", {"C:\\my tools\\cardwrapx", "y"}, {}},
        {L"a\"\"b\" c\"\td", {"ab c", "d"}, {}},
        {L"\"a b\\\\\" c", {"a b\\\\", "c"}, {}},
    };
    const UINT page = GetACP();
    if (page != 1252 && page != 932)
        GTEST_SKIP() << "code page " << page;
    for (const auto &c : cases) {
        const auto &want = page == 932 && !c.cp932.empty() ? c.cp932 : c.cp1252;
        static const wchar_t *wide[cardwrap::windows::MAX_ARGS + 1];
        static const char *narrow[cardwrap::windows::MAX_ARGS + 1];
        const int argc = cardwrap::windows::arguments(c.line, wide, narrow);
        std::vector<std::string> got(narrow, narrow + argc);
        EXPECT_EQ(got, want) << testing::PrintToString(std::wstring(c.line));
        EXPECT_EQ(narrow[argc], nullptr);
        EXPECT_EQ(wide[argc], nullptr);
    }
}

// A drop is every argument a full path, a drive's or a share's, whatever its
// characters or length, even a name Windows would make over when it is
// opened; a name alone, a title or an output, or none at all, is a command
// line of its own.
TEST(GivenByDrop, OnlyWhenEveryArgumentIsAFullPath)
{
    wchar_t folder[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, folder), 0U);
    const std::wstring base = folder + std::to_wstring(_getpid()) + L"\u30bb";
    const std::wstring deep = L"\\\\?\\" + base + L"\\" + std::wstring(200, L'd');
    const std::wstring file = deep + L"\\" + std::wstring(100, L'n') + L".pda";
    ASSERT_NE(CreateDirectoryW((L"\\\\?\\" + base).c_str(), nullptr), 0);
    ASSERT_NE(CreateDirectoryW(deep.c_str(), nullptr), 0);
    const std::wstring odd[] = {file, L"\\\\?\\" + base + L"\\b.pda.",
                                L"\\\\?\\" + base + L"\\b.pda ", L"\\\\?\\" + base + L"\\aux.pda"};
    for (const auto &name : odd) {
        const HANDLE made =
            CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        ASSERT_NE(made, INVALID_HANDLE_VALUE);
        CloseHandle(made);
    }
    const wchar_t *there = file.c_str() + 4;
    const std::wstring none = base + L"\\none.pda";
    const struct {
        std::vector<const wchar_t *> args;
        bool dropped;
    } cases[] = {
        {{there}, true},
        {{odd[1].c_str() + 4, odd[2].c_str() + 4, odd[3].c_str() + 4, base.c_str()}, true},
        {{}, false}, // double-clicked
        // One gone meanwhile is the drop's to refuse, not a typed line's.
        {{none.c_str()}, true},
        {{L"\\\\host\\share\\a.pda"}, true},
        {{L"b.pda"}, false},
        {{L"Z:b.pda"}, false},
        {{L"\\b.pda"}, false},
        {{there, L"TITLE"}, false},
        {{L"TITLE", there}, false},
        {{there, there, L"out.mcx"}, false},
    };
    for (const auto &c : cases) {
        std::vector<const wchar_t *> argv{L"cardwrap"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        argv.push_back(nullptr);
        EXPECT_EQ(cardwrap::windows::given_by_drop(static_cast<int>(argv.size()) - 1, argv.data()),
                  c.dropped)
            << argv.size() - 2 << " arguments";
    }
    for (const auto &name : odd)
        DeleteFileW(name.c_str());
    RemoveDirectoryW(deep.c_str());
    RemoveDirectoryW((L"\\\\?\\" + base).c_str());
}

// Any path, whole and in the form that takes any length, so that a new file
// beside a deep one is named in full.
TEST(WholePath, TheFormThatTakesAnyLength)
{
    wchar_t here[MAX_PATH];
    ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, here), 0U);
    const std::wstring cwd = here;
    const std::wstring deep(240, L'd');
    const struct {
        std::wstring path;
        std::wstring whole;
    } cases[] = {
        {L"C:\\dir\\a.mcx", L"\\\\?\\C:\\dir\\a.mcx"},
        {L"C:/dir/./sub/../a.mcx", L"\\\\?\\C:\\dir\\a.mcx"},
        {L"C:\\" + deep + L"\\a.mcx", L"\\\\?\\C:\\" + deep + L"\\a.mcx"},
        {L"\\\\host\\share\\a.mcx", L"\\\\?\\UNC\\host\\share\\a.mcx"},
        {L"\\\\?\\C:\\dir\\a.mcx", L"\\\\?\\C:\\dir\\a.mcx"},
        {L"a.mcx", L"\\\\?\\" + cwd + (cwd.back() == L'\\' ? L"" : L"\\") + L"a.mcx"},
    };
    static wchar_t whole[cardwrap::windows::PATH_LEN];
    for (const auto &c : cases) {
        ASSERT_TRUE(cardwrap::windows::whole_path(c.path.c_str(), whole));
        EXPECT_EQ(std::wstring(whole), c.whole);
    }
}

// A pipe given as the input is read until its writer leaves.
TEST(ReadInput, APipeEndsWhenItsWriterLeaves)
{
    const std::string name = "\\\\.\\pipe\\cardwrap_windows_test_" + std::to_string(_getpid());
    const HANDLE server = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE, 1,
                                           4096, 4096, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    std::thread writer([server] {
        ConnectNamedPipe(server, nullptr);
        DWORD wrote = 0;
        WriteFile(server, "piped", 5, &wrote, nullptr);
        // Until the reader has it all; then the writer leaves.
        FlushFileBuffers(server);
        CloseHandle(server);
    });
    unsigned char data[16] = {};
    EXPECT_EQ(cardwrap::read_input(name.c_str(), data, sizeof data), 5);
    writer.join();
    EXPECT_EQ(std::string(reinterpret_cast<char *>(data), 5), "piped");
}

// A refusal is waited out only where it passes: another program's hold,
// or a file on its way out, which Windows refuses in the words it refuses
// a file this user may not open.
TEST(Waits, OnlyAHoldOrAFileOnItsWayOutPasses)
{
    constexpr long DELETE_PENDING = static_cast<long>(0xC0000056);
    const struct {
        DWORD error;
        long status;
        bool passes;
    } cases[] = {
        {ERROR_SHARING_VIOLATION, static_cast<long>(0xC0000043), true},
        {ERROR_ACCESS_DENIED, DELETE_PENDING, true},
        {ERROR_ACCESS_DENIED, static_cast<long>(0xC0000022), false}, // no right
        {ERROR_ACCESS_DENIED, static_cast<long>(0xC0000121), false}, // may not be deleted
        {ERROR_ACCESS_DENIED, static_cast<long>(0xC00000BA), false}, // a folder
        {ERROR_FILE_NOT_FOUND, DELETE_PENDING, false},
        {ERROR_INVALID_NAME, static_cast<long>(0xC0000033), false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(cardwrap::windows::passes(c.error, c.status), c.passes)
            << c.error << " " << c.status;
}

// The output is found, to be waited for, whatever another program's hold
// shares; a folder is refused, and a file gone meanwhile is a name to make.
TEST(Find, AHeldFileIsFoundAFolderRefused)
{
    wchar_t folder[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, folder), 0U);
    const std::wstring path = folder + std::to_wstring(_getpid()) + L"-held.mcx";
    const HANDLE made =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(made, INVALID_HANDLE_VALUE);
    CloseHandle(made);
    static wchar_t target[cardwrap::windows::PATH_LEN];
    unsigned long attributes = 0;
    bool device = false;
    for (const DWORD share : {0UL, 1UL * FILE_SHARE_READ,
                              1UL * (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)}) {
        const HANDLE other = share == 0 ? INVALID_HANDLE_VALUE
                                        : CreateFileW(path.c_str(), GENERIC_READ, share, nullptr,
                                                      OPEN_EXISTING, 0, nullptr);
        void *found = cardwrap::windows::find(path.c_str(), target, attributes, device);
        EXPECT_NE(found, INVALID_HANDLE_VALUE) << share;
        EXPECT_NE(found, nullptr) << share;
        if (found != INVALID_HANDLE_VALUE && found != nullptr)
            CloseHandle(found);
        if (other != INVALID_HANDLE_VALUE)
            CloseHandle(other);
    }
    DeleteFileW(path.c_str());
    EXPECT_EQ(cardwrap::windows::find(path.c_str(), target, attributes, device), nullptr);
    ASSERT_NE(CreateDirectoryW(path.c_str(), nullptr), 0);
    EXPECT_EQ(cardwrap::windows::find(path.c_str(), target, attributes, device),
              INVALID_HANDLE_VALUE);
    RemoveDirectoryW(path.c_str());
}

// Whether the file's DACL grants its owner, and no one else, anything. Wine
// shows the system too, as a file's owner's rights stand for root's.
bool private_to_user(HANDLE file)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                        nullptr, &sd) != ERROR_SUCCESS)
        return false;
    HANDLE token = nullptr;
    alignas(TOKEN_USER) unsigned char user[256];
    DWORD got = 0;
    bool alone = dacl != nullptr && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                 GetTokenInformation(token, TokenUser, user, sizeof user, &got);
    const PSID me = reinterpret_cast<TOKEN_USER *>(user)->User.Sid;
    for (DWORD i = 0; alone && i < dacl->AceCount; ++i) {
        void *ace = nullptr;
        alone = GetAce(dacl, i, &ace) != 0;
        PSID sid = alone ? &static_cast<ACCESS_ALLOWED_ACE *>(ace)->SidStart : nullptr;
        alone = alone && (EqualSid(sid, me) != 0 || IsWellKnownSid(sid, WinLocalSystemSid) != 0 ||
                          IsWellKnownSid(sid, WinCreatorOwnerRightsSid) != 0);
    }
    if (token != nullptr)
        CloseHandle(token);
    LocalFree(sd);
    return alone;
}

// Until its image is whole, a file that will replace another is its owner's
// alone, in a directory that gives everyone everything.
TEST(Temp, ReplacingAFileIsItsOwnersAlone)
{
    wchar_t folder[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, folder), 0U);
    const std::wstring dir = folder + std::to_wstring(_getpid()) + L"-open\\";
    PSECURITY_DESCRIPTOR everyone = nullptr;
    ASSERT_NE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
                  L"D:(A;OICI;FA;;;WD)", SDDL_REVISION_1, &everyone, nullptr),
              0);
    SECURITY_ATTRIBUTES open{sizeof open, everyone, FALSE};
    ASSERT_NE(CreateDirectoryW(dir.c_str(), &open), 0);
    static wchar_t temp[cardwrap::windows::PATH_LEN + cardwrap::TEMP_NAME_LEN];
    const struct {
        bool replacing;
        bool alone;
    } cases[] = {{true, true}, {false, false}};
    for (const auto &c : cases) {
        const HANDLE made =
            cardwrap::windows::create_temp((dir + L"out.mcx").c_str(), temp, 0, c.replacing);
        ASSERT_NE(made, INVALID_HANDLE_VALUE);
        EXPECT_EQ(private_to_user(made), c.alone) << c.replacing;
        // Wine deletes no file whose DACL grants no one it knows anything;
        // Windows goes by the handle's own right.
        SetSecurityInfo(made, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                        nullptr);
        FILE_DISPOSITION_INFO gone{TRUE};
        EXPECT_NE(SetFileInformationByHandle(made, FileDispositionInfo, &gone, sizeof gone), 0);
        CloseHandle(made);
    }
    RemoveDirectoryW(dir.c_str());
    LocalFree(everyone);
}

std::string scratch(const char *name)
{
    return testing::TempDir() + "cardwrap_windows_test_" + std::to_string(_getpid()) + "_" + name;
}

using test_files::contents;
using test_files::put_file;

TEST(WrapEach, EveryArgumentIsAFileWrappedUnderItsDefaultNameAndTitle)
{
    // Three files dropped at once: none is taken for a title or an output.
    const std::string names[] = {scratch("a.pda"), scratch("b.pda"), scratch("c.pda")};
    for (const auto &name : names)
        put_file(name, "x");
    const char *argv[] = {"cardwrap", names[0].c_str(), names[1].c_str(), names[2].c_str(),
                          nullptr};
    testing::internal::CaptureStdout();
    const int status = cardwrap::windows::wrap_each(4, argv);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 0);
    // Each titled after its own name, cut to 13 bytes: "cardwrap_wind".
    const std::string want =
        "BBSSSSPCARDWRAP_WIND"s + std::string(34, '\0') + "x" + std::string(8191, '\0');
    for (const auto &name : names) {
        const std::string image = name.substr(0, name.size() - 4) + ".mcx";
        EXPECT_EQ(contents(image), want) << name;
        EXPECT_EQ(contents(name), "x") << name;
        std::remove(name.c_str());
        std::remove(image.c_str());
    }
}

TEST(WrapEach, AFailedFileFailsTheWholeButNotTheOthers)
{
    const std::string good = scratch("good.pda");
    put_file(good, "x");
    const std::string missing = scratch("missing.pda");
    const char *argv[] = {"cardwrap", missing.c_str(), good.c_str(), nullptr};
    testing::internal::CaptureStdout();
    const int status = cardwrap::windows::wrap_each(3, argv);
    const std::string said = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 1);
    EXPECT_NE(said.find("Cannot read : " + missing), std::string::npos) << said;
    const std::string image = scratch("good.mcx");
    EXPECT_EQ(contents(image).size(), 54U + 8192U);
    std::remove(good.c_str());
    std::remove(image.c_str());
}

// Two dropped files whose images are one file, named by its long name and
// by its short alias, both refused, and that file left as it was; the
// others wrapped.
TEST(WrapEach, ImagesThatAreOneFileByItsAliasAreBothRefused)
{
    const std::string other = scratch("pkapplication-two.mcx");
    put_file(other, "another save");
    char alias[MAX_PATH];
    const DWORD len = GetShortPathNameA(other.c_str(), alias, MAX_PATH);
    ASSERT_GT(len, 4U);
    if (std::string(alias) == other)
        GTEST_SKIP() << "no short names here";
    const std::string stem(alias, len - 4);
    const std::string names[] = {scratch("pkapplication-two.pda"), stem + ".pda", scratch("c.pda")};
    for (const auto &name : names)
        put_file(name, "x");
    const char *argv[] = {"cardwrap", names[0].c_str(), names[1].c_str(), names[2].c_str(),
                          nullptr};
    testing::internal::CaptureStdout();
    const int status = cardwrap::windows::wrap_each(4, argv);
    const std::string said = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 1);
    EXPECT_EQ(said, "cardwrap version 1.1\nCannot write : " + other +
                        "\ncardwrap version 1.1\nCannot write : " + stem +
                        ".mcx\ncardwrap version 1.1\n1 => 8226 bytes [1 blocks]\n");
    EXPECT_EQ(contents(other), "another save");
    EXPECT_EQ(contents(scratch("c.mcx")).size(), 54U + 8192U);
    for (const auto &name : names)
        std::remove(name.c_str());
    std::remove(other.c_str());
    std::remove(scratch("c.mcx").c_str());
}

// A short (8.3) input name gives a default output name that may be the
// short alias of an unrelated file, here another save: it is not replaced.
TEST(Run, AShortNameLeadsTheDefaultOutputOntoNoOtherFile)
{
    const std::string other = scratch("pkapplication-two.mcx");
    put_file(other, "another save");
    char alias[MAX_PATH];
    const DWORD len = GetShortPathNameA(other.c_str(), alias, MAX_PATH);
    ASSERT_GT(len, 0U);
    const std::string stem(alias, len - 4);
    if (std::string(alias) == other)
        GTEST_SKIP() << "no short names here";
    const std::string input = stem + ".pda";
    put_file(input, "x");
    const char *argv[] = {"cardwrap", input.c_str(), nullptr};
    testing::internal::CaptureStdout();
    const int status = cardwrap::run(2, argv);
    const std::string said = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 1);
    EXPECT_NE(said.find("Cannot write : " + stem + ".mcx"), std::string::npos) << said;
    EXPECT_EQ(contents(other), "another save");
    std::remove(input.c_str());
    std::remove(other.c_str());
}

} // namespace
