#include "testsupport.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using ProcessSnapshot = FolderTest;

// Programs run in process groups of their own, killed with their children at the end.
struct Children
{
    ~Children()
    {
        for (const pid_t pid : pids) {
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    void start(const std::string &program)
    {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setpgid(0, 0);
            ::execl(program.c_str(), program.c_str(), "30", static_cast<char *>(nullptr));
            ::_exit(127);
        }
        pids.push_back(pid);
    }
    std::vector<pid_t> pids;
};

// The name the snapshot gives pid; empty when it does not list it.
std::u16string nameIn(const os::ProcessSnapshot &snapshot, pid_t pid)
{
    const auto it = std::find_if(snapshot.entries.begin(), snapshot.entries.end(),
                                 [pid](const os::ProcessEntry &entry) { return entry.pid == std::uint32_t(pid); });
    return it == snapshot.entries.end() ? std::u16string() : it->executableName;
}

TEST_F(ProcessSnapshot, ListsRunningProcessesUnderTheirFullNamesInPidOrder)
{
    // The kernel keeps only 15 characters of a command name, and one name has
    // parentheses in it. The last is a script, run as "/bin/sh <script> 30":
    // it must be named after the script, not its interpreter.
    const std::string names[] = {"Corvatone.exe", "CORVATONE.EXE", "Corvatone.exe.bak", "a-name-far-longer-than-fifteen-characters.exe",
                                 "odd) name (x)", "script-with-a-long-name.sh"};
    Children children;
    for (const std::string &name : names)
        std::filesystem::copy_file("/bin/sleep", path(name));
    writeFile(path(std::end(names)[-1]), std::string("#!/bin/sh\nsleep \"$1\"\n"));
    for (const std::string &name : names)
        children.start(path(name));

    // An ended child that is not yet reaped no longer runs.
    const pid_t ended = ::fork();
    ASSERT_GE(ended, 0);
    if (ended == 0)
        ::_exit(0);
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, id_t(ended), &info, WEXITED | WNOWAIT), 0);

    const auto childNames = [&](const os::ProcessSnapshot &snapshot) {
        std::vector<std::u16string> found;
        for (const pid_t pid : children.pids)
            found.push_back(nameIn(snapshot, pid));
        return found;
    };
    std::vector<std::u16string> expected;
    for (const std::string &name : names)
        expected.push_back(u16(name));
    // The children need a moment to exec.
    os::ProcessSnapshot snapshot;
    for (int attempt = 0; attempt < 1000 && childNames(snapshot = os::posix::processSnapshot()) != expected; ++attempt)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ::waitpid(ended, nullptr, 0);

    EXPECT_EQ(snapshot.error, 0u);
    EXPECT_EQ(childNames(snapshot), expected);
    EXPECT_NE(nameIn(snapshot, ::getpid()), u"");
    EXPECT_EQ(nameIn(snapshot, ended), u"");
    EXPECT_TRUE(std::is_sorted(snapshot.entries.begin(), snapshot.entries.end(),
                               [](const os::ProcessEntry &a, const os::ProcessEntry &b) { return a.pid < b.pid; }));
}

} // namespace
