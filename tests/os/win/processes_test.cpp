#include "os/os.h"
#include "wintestsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

using namespace wintest;

namespace {

std::wstring ownExecutablePath()
{
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    return std::wstring(buffer.data(), length);
}

std::wstring fileName(const std::wstring &path)
{
    return path.substr(path.find_last_of(L"\\/") + 1);
}

const os::ProcessEntry *find(const os::ProcessSnapshot &snapshot, std::uint32_t pid)
{
    const auto it = std::find_if(snapshot.entries.begin(), snapshot.entries.end(),
                                 [pid](const os::ProcessEntry &entry) { return entry.pid == pid; });
    return it == snapshot.entries.end() ? nullptr : &*it;
}

} // namespace

TEST(ProcessSnapshot, ListsTheCallingProcessByFileName)
{
    const os::ProcessSnapshot snapshot = os::processSnapshot();

    EXPECT_EQ(snapshot.error, 0u);
    const os::ProcessEntry *self = find(snapshot, GetCurrentProcessId());
    ASSERT_NE(self, nullptr);
    // The snapshot gives the bare file name; Windows does not fix its case.
    EXPECT_EQ(CompareStringOrdinal(wide(self->executableName).c_str(), -1, fileName(ownExecutablePath()).c_str(), -1, TRUE), CSTR_EQUAL);
    EXPECT_EQ(self->executableName.find(u'\\'), std::u16string::npos);
}

TEST(ProcessSnapshot, SeesASecondCopyOnlyWhileItRuns)
{
    const std::wstring executable = ownExecutablePath();
    std::wstring commandLine = L"\"" + executable + L"\" --gtest_list_tests";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION child = {};
    ASSERT_TRUE(CreateProcessW(executable.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup, &child));

    const os::ProcessSnapshot running = os::processSnapshot();
    TerminateProcess(child.hProcess, 0);
    WaitForSingleObject(child.hProcess, 10000);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    const os::ProcessSnapshot ended = os::processSnapshot();

    EXPECT_EQ(running.error, 0u);
    const os::ProcessEntry *copy = find(running, child.dwProcessId);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->executableName, find(running, GetCurrentProcessId())->executableName);

    EXPECT_EQ(ended.error, 0u);
    EXPECT_EQ(find(ended, child.dwProcessId), nullptr);
    EXPECT_NE(find(ended, GetCurrentProcessId()), nullptr);
}
