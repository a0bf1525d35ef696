// Ctrl-C, Ctrl-Break and closing the window, driven through the tool's own
// handler: the process ends only once an image being put in place is whole
// there or gone. A binary of its own: the handler keeps the process from
// putting any image in place after it.
#include <cstdio>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <process.h>
#include <windows.h>

#include "system/files.hpp"
#include "system/windows/shared.hpp"

namespace {

// The first temporary file that appears in `folder`, by its whole path.
std::wstring temp_in(const std::wstring &folder)
{
    WIN32_FIND_DATAW found{};
    for (int wait = 0; wait < 30000; ++wait) {
        const HANDLE search = FindFirstFileW((folder + L"cardwrap-*.tmp").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            FindClose(search);
            return folder + found.cFileName;
        }
        Sleep(1);
    }
    return L"";
}

TEST(ConsoleEvent, EndsTheProcessOnlyOnceTheNewFileIsGone)
{
    wchar_t folder[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, folder), 0U);
    const std::wstring dir = folder + std::to_wstring(_getpid()) + L"\\";
    ASSERT_NE(CreateDirectoryW(dir.c_str(), nullptr), 0);
    const std::wstring out = dir + L"out.mcx";
    const HANDLE old = CreateFileW(out.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(old, INVALID_HANDLE_VALUE);
    DWORD wrote = 0;
    ASSERT_NE(WriteFile(old, "old", 3, &wrote, nullptr), 0);
    CloseHandle(old);
    // Held, as an emulator holds it: the run tries its rename for a while.
    const HANDLE held =
        CreateFileW(out.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    char path[MAX_PATH];
    ASSERT_GT(WideCharToMultiByte(CP_ACP, 0, out.c_str(), -1, path, MAX_PATH, nullptr, nullptr), 0);
    const unsigned char image[] = {'n', 'e', 'w'};
    bool written = true;
    std::thread run([&] { written = cardwrap::write_output(path, image, sizeof image); });
    const std::wstring temp = temp_in(dir);
    ASSERT_FALSE(temp.empty());
    EXPECT_EQ(cardwrap::windows::on_console_event(CTRL_C_EVENT), FALSE);
    EXPECT_EQ(GetFileAttributesW(temp.c_str()), INVALID_FILE_ATTRIBUTES);
    run.join();
    EXPECT_FALSE(written);
    CloseHandle(held);
    const HANDLE now =
        CreateFileW(out.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    char bytes[8] = {};
    DWORD got = 0;
    EXPECT_NE(ReadFile(now, bytes, sizeof bytes, &got, nullptr), 0);
    CloseHandle(now);
    EXPECT_EQ(std::string(bytes, got), "old");
    DeleteFileW(out.c_str());
    RemoveDirectoryW(dir.c_str());
}

} // namespace
