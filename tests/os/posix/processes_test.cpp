#include "testsupport.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using ProcessSnapshot = FolderTest;

// The name the snapshot gives pid; empty when it does not list it.
std::u16string nameIn(const os::ProcessSnapshot &snapshot, pid_t pid)
{
    const auto it = std::find_if(snapshot.entries.begin(), snapshot.entries.end(), [pid](const os::ProcessEntry &entry) { return entry.pid == std::uint32_t(pid); });
    return it == snapshot.entries.end() ? std::u16string() : it->executableName;
}

TEST_F(ProcessSnapshot, ListsRunningProcessesUnderTheirFullNamesInPidOrder)
{
    // The kernel keeps only 15 characters of a command name, and one name has
    // parentheses in it. The last is a script, run as "/bin/sh <script> 30":
    // it must be named after the script, not its interpreter.
    const std::string names[] = {"Corvatone.exe", "a-name-far-longer-than-fifteen-characters.exe", "odd) name (x)", "script-with-a-long-name.sh"};
    std::vector<pid_t> children;
    for (const std::string &name : names) {
        if (name.size() > 3 && name.compare(name.size() - 3, 3, ".sh") == 0)
            write(path(name), "#!/bin/sh\nsleep \"$1\"\n");
        else
            std::filesystem::copy_file("/bin/sleep", path(name));
        std::filesystem::permissions(path(name), std::filesystem::perms::owner_all);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::execl(path(name).c_str(), path(name).c_str(), "30", static_cast<char *>(nullptr));
            ::_exit(127);
        }
        children.push_back(pid);
    }
    // An ended child that is not yet reaped no longer runs.
    const pid_t ended = ::fork();
    if (ended == 0)
        ::_exit(0);
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, id_t(ended), &info, WEXITED | WNOWAIT), 0);

    const auto childNames = [&](const os::ProcessSnapshot &snapshot) {
        std::vector<std::u16string> found;
        for (const pid_t pid : children)
            found.push_back(nameIn(snapshot, pid));
        return found;
    };
    std::vector<std::u16string> expected;
    for (const std::string &name : names)
        expected.push_back(os::posix::fromUtf8(name));
    // The children need a moment to exec.
    os::ProcessSnapshot snapshot;
    for (int attempt = 0; attempt < 1000 && childNames(snapshot = os::posix::processSnapshot()) != expected; ++attempt)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    for (const pid_t pid : children) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    ::waitpid(ended, nullptr, 0);

    EXPECT_EQ(snapshot.error, 0u);
    EXPECT_EQ(childNames(snapshot), expected);
    EXPECT_EQ(nameIn(snapshot, ended), u"");
    EXPECT_TRUE(std::is_sorted(snapshot.entries.begin(), snapshot.entries.end(),
                               [](const os::ProcessEntry &a, const os::ProcessEntry &b) { return a.pid < b.pid; }));
}

} // namespace
