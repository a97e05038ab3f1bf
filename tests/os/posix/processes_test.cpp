#include "os/posix_backend.h"
#include "temporarydirectory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace {

// A child process in a group of its own, killed with its descendants at the end.
class Child
{
public:
    explicit Child(const std::vector<std::string> &arguments)
    {
        m_pid = ::fork();
        if (m_pid == 0) {
            ::setpgid(0, 0);
            std::vector<char *> argv;
            for (const std::string &argument : arguments)
                argv.push_back(const_cast<char *>(argument.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    ~Child()
    {
        if (m_pid > 0) {
            ::kill(-m_pid, SIGKILL);
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    std::uint32_t pid() const { return std::uint32_t(m_pid); }

private:
    pid_t m_pid = -1;
};

std::u16string u16(const std::string &text)
{
    return os::posix::fromUtf8(text);
}

// The name the snapshot gives the pid, once it has one other than the test's
// own (the child needs a moment to exec); empty when it never shows.
std::u16string nameOf(std::uint32_t pid, const std::u16string &expected)
{
    std::u16string name;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        const os::ProcessSnapshot snapshot = os::posix::processSnapshot();
        name.clear();
        for (const os::ProcessEntry &entry : snapshot.entries) {
            if (entry.pid == pid)
                name = entry.executableName;
        }
        if (name == expected)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return name;
}

std::string copyOfSleep(const TemporaryDirectory &folder, const std::string &name)
{
    const std::string path = folder.path(name);
    std::filesystem::copy_file("/bin/sleep", path);
    return path;
}

TEST(ProcessSnapshot, ListsEveryProcessUnderItsFullExecutableNameInPidOrder)
{
    TemporaryDirectory folder;
    ASSERT_TRUE(folder.isValid());
    const std::vector<std::string> names = {
        "Corvatone.exe",
        "CORVATONE.EXE",
        "Corvatone.exe.bak", // longer than the kernel keeps of a command name
        "a-name-far-longer-than-fifteen-characters.exe",
        "odd) name (x)",
    };
    std::vector<std::unique_ptr<Child>> children;
    for (const std::string &name : names)
        children.push_back(std::make_unique<Child>(std::vector<std::string>{copyOfSleep(folder, name), "30"}));

    for (std::size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(nameOf(children[i]->pid(), u16(names[i])), u16(names[i])) << names[i];

    const os::ProcessSnapshot snapshot = os::posix::processSnapshot();
    EXPECT_EQ(snapshot.error, 0u);
    EXPECT_TRUE(std::is_sorted(snapshot.entries.begin(), snapshot.entries.end(),
                               [](const os::ProcessEntry &a, const os::ProcessEntry &b) { return a.pid < b.pid; }));
    const auto self = std::find_if(snapshot.entries.begin(), snapshot.entries.end(),
                                   [](const os::ProcessEntry &entry) { return entry.pid == std::uint32_t(::getpid()); });
    EXPECT_NE(self, snapshot.entries.end());
}

TEST(ProcessSnapshot, NamesAScriptAfterItsScriptNotItsInterpreter)
{
    TemporaryDirectory folder;
    ASSERT_TRUE(folder.isValid());
    const std::string script = folder.path("script-with-a-long-name.sh");
    std::ofstream(script) << "#!/bin/sh\nsleep 30\n";
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);

    // Run through its first line, the kernel starts it as "/bin/sh <script>".
    const Child child({script});
    EXPECT_EQ(nameOf(child.pid(), u"script-with-a-long-name.sh"), u"script-with-a-long-name.sh");
}

TEST(ProcessSnapshot, LeavesOutAnEndedChildThatIsNotYetReaped)
{
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
        ::_exit(0);

    // Wait until the child has ended, without reaping it.
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT), 0);

    const os::ProcessSnapshot snapshot = os::posix::processSnapshot();
    const bool listed = std::any_of(snapshot.entries.begin(), snapshot.entries.end(),
                                    [pid](const os::ProcessEntry &entry) { return entry.pid == std::uint32_t(pid); });
    ::waitpid(pid, nullptr, 0);
    EXPECT_FALSE(listed);
    EXPECT_EQ(snapshot.error, 0u);
}

} // namespace
