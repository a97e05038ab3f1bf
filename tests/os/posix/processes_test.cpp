#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace {

// A program run in a process group of its own, killed with its children at the end.
struct Child
{
    explicit Child(std::string program, std::string argument = "30")
    {
        pid = ::fork();
        if (pid == 0) {
            ::setpgid(0, 0);
            ::execl(program.c_str(), program.c_str(), argument.c_str(), static_cast<char *>(nullptr));
            ::_exit(127);
        }
    }
    ~Child()
    {
        if (pid <= 0)
            return;
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    pid_t pid;
};

// The name under which the snapshot lists the pid, polled until it is the
// expected one (the child needs a moment to exec) or five seconds are up.
std::u16string nameOf(pid_t pid, const std::u16string &expected)
{
    std::u16string name;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (name != expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        name.clear();
        for (const os::ProcessEntry &entry : os::posix::processSnapshot().entries) {
            if (entry.pid == std::uint32_t(pid))
                name = entry.executableName;
        }
    }
    return name;
}

bool lists(const os::ProcessSnapshot &snapshot, pid_t pid)
{
    return std::any_of(snapshot.entries.begin(), snapshot.entries.end(),
                       [pid](const os::ProcessEntry &entry) { return entry.pid == std::uint32_t(pid); });
}

TEST(ProcessSnapshot, ListsEveryProcessUnderItsFullExecutableNameInPidOrder)
{
    TemporaryDirectory folder;
    ASSERT_TRUE(folder.isValid());
    // The kernel keeps only 15 characters of a command name; the last one has parentheses in it.
    const std::string names[] = {"Corvatone.exe", "CORVATONE.EXE", "Corvatone.exe.bak",
                                 "a-name-far-longer-than-fifteen-characters.exe", "odd) name (x)"};
    std::vector<std::unique_ptr<Child>> children;
    for (const std::string &name : names) {
        std::filesystem::copy_file("/bin/sleep", folder.path(name));
        children.push_back(std::make_unique<Child>(folder.path(name)));
    }
    for (std::size_t i = 0; i < std::size(names); ++i)
        EXPECT_EQ(nameOf(children[i]->pid, u16(names[i])), u16(names[i]));

    const os::ProcessSnapshot snapshot = os::posix::processSnapshot();
    EXPECT_EQ(snapshot.error, 0u);
    EXPECT_TRUE(lists(snapshot, ::getpid()));
    EXPECT_TRUE(std::is_sorted(snapshot.entries.begin(), snapshot.entries.end(),
                               [](const os::ProcessEntry &a, const os::ProcessEntry &b) { return a.pid < b.pid; }));
}

TEST(ProcessSnapshot, NamesAScriptAfterItsScriptNotItsInterpreter)
{
    TemporaryDirectory folder;
    ASSERT_TRUE(folder.isValid());
    const std::string script = folder.path("script-with-a-long-name.sh");
    writeFile(script, std::string("#!/bin/sh\nsleep \"$1\"\n"));
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);

    // Started through its first line, it runs as "/bin/sh <script> 30".
    const Child child(script);
    EXPECT_EQ(nameOf(child.pid, u"script-with-a-long-name.sh"), u"script-with-a-long-name.sh");
}

TEST(ProcessSnapshot, LeavesOutAnEndedChildThatIsNotYetReaped)
{
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
        ::_exit(0);
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT), 0); // ended, not reaped

    const os::ProcessSnapshot snapshot = os::posix::processSnapshot();
    ::waitpid(pid, nullptr, 0);
    EXPECT_FALSE(lists(snapshot, pid));
    EXPECT_EQ(snapshot.error, 0u);
}

} // namespace
