#include "os/os.h"
#include "wintestsupport.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace wintest;

TEST(ProcessSnapshot, ListsProcessesByFileNameOnlyWhileTheyRun)
{
    const auto find = [](const os::ProcessSnapshot &snapshot, DWORD pid) {
        const auto it = std::find_if(snapshot.entries.begin(), snapshot.entries.end(), [pid](const os::ProcessEntry &entry) { return entry.pid == pid; });
        return it == snapshot.entries.end() ? nullptr : &*it;
    };
    wchar_t executable[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(nullptr, executable, MAX_PATH), 0u);
    std::wstring commandLine = L"\"" + std::wstring(executable) + L"\" --gtest_list_tests";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION child = {};
    ASSERT_TRUE(CreateProcessW(executable, commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup, &child));
    const os::ProcessSnapshot running = os::processSnapshot();
    TerminateProcess(child.hProcess, 0);
    WaitForSingleObject(child.hProcess, 10000);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    const os::ProcessSnapshot ended = os::processSnapshot();

    EXPECT_EQ(running.error, 0u);
    const os::ProcessEntry *self = find(running, GetCurrentProcessId());
    const os::ProcessEntry *copy = find(running, child.dwProcessId);
    ASSERT_TRUE(self && copy);
    // The bare file name, in whatever letter case Windows keeps it.
    const std::u16string fileName = u16(std::wcsrchr(executable, L'\\') + 1);
    EXPECT_EQ(CompareStringOrdinal(reinterpret_cast<const wchar_t *>(self->executableName.c_str()), -1,
                                   reinterpret_cast<const wchar_t *>(fileName.c_str()), -1, TRUE), CSTR_EQUAL);
    EXPECT_EQ(copy->executableName, self->executableName);
    EXPECT_EQ(ended.error, 0u);
    EXPECT_EQ(find(ended, child.dwProcessId), nullptr);
}
