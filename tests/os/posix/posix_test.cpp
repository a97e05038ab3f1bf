#include "os/posix_backend.h"
#include "os/utf8_posix.h"
#include "shelllink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// A fresh folder for each test, removed afterwards.
class PosixBackend : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(::mkdtemp(m_root.data())); }
    void TearDown() override { fs::remove_all(m_root); }

    std::string path(const std::string &name) const { return m_root + "/" + name; }
    // The path as the OS layer takes it.
    std::u16string at(const std::string &name) const { return os::posix::fromUtf8(path(name)); }
    void write(const std::string &name, const std::string &content) const
    {
        std::ofstream(path(name), std::ios::binary) << content;
    }
    std::string read(const std::string &name) const
    {
        std::ifstream in(path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    long entryCount() const { return long(std::distance(fs::directory_iterator(m_root), {})); }

    std::string m_root = (fs::temp_directory_path() / "os-posix-test-XXXXXX").string();
};

TEST_F(PosixBackend, AttributesTellFoldersFilesLinksAndMissingPathsApart)
{
    fs::create_directory(path("dir"));
    write("file", "x");
    fs::create_directory_symlink(path("dir"), path("dirlink"));
    fs::create_symlink(path("gone"), path("dangling"));
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    // The directory and reparse point bits, or the error for what is missing.
    const auto kind = [&](const std::string &name) {
        const auto attributes = os::posix::fileAttributes(at(name));
        return attributes ? attributes.value & (os::DirectoryAttribute | os::ReparsePointAttribute)
                          : attributes.error;
    };
    EXPECT_EQ(kind("dir"), os::DirectoryAttribute);
    EXPECT_EQ(kind("file"), 0u);
    // A trailing slash must not make the link look like its target.
    EXPECT_EQ(kind("dirlink/"), os::DirectoryAttribute | os::ReparsePointAttribute);
    EXPECT_EQ(kind("dangling"), os::ReparsePointAttribute);
    // Not a plain file: callers must not try to copy it.
    EXPECT_EQ(kind("fifo"), os::ReparsePointAttribute);
    EXPECT_EQ(kind("missing"), std::uint32_t(ENOENT));
}

TEST_F(PosixBackend, CopyReplacesTheDestinationWholeOrNotAtAll)
{
    const std::string content("binary\0content", 14);
    write("Корвато́н.lnk", content);
    ::chmod(path("Корвато́н.lnk").c_str(), 0751);
    const struct timeval times[2] = {{1000000000, 0}, {1200000000, 500000}};
    ::utimes(path("Корвато́н.lnk").c_str(), times);
    write("copy.lnk", "a much longer former content that must not survive");
    fs::create_symlink(path("Корвато́н.lnk"), path("link"));
    ASSERT_TRUE(os::posix::copyFile(at("Корвато́н.lnk"), at("copy.lnk")));
    EXPECT_EQ(read("copy.lnk"), content);
    EXPECT_EQ(fs::status(path("copy.lnk")).permissions(), fs::perms(0751));
    EXPECT_EQ(fs::last_write_time(path("copy.lnk")), fs::last_write_time(path("Корвато́н.lnk")));
    // Through a link, the link's target is copied as a plain file.
    ASSERT_TRUE(os::posix::copyFile(at("link"), at("fromlink")));
    EXPECT_FALSE(fs::is_symlink(path("fromlink")));
    // The read-only attribute is the absence of every write bit; clearing it lets the owner write.
    ::chmod(path("fromlink").c_str(), 04732);
    ASSERT_TRUE(os::posix::setFileAttributes(at("fromlink"),
                                             os::ReadOnlyAttribute | os::HiddenAttribute));
    EXPECT_EQ(fs::status(path("fromlink")).permissions(), fs::perms(04510));
    EXPECT_EQ(os::posix::fileAttributes(at("fromlink")).value, os::ReadOnlyAttribute);
    ASSERT_TRUE(os::posix::setFileAttributes(at("fromlink"), 0));
    EXPECT_EQ(fs::status(path("fromlink")).permissions(), fs::perms(04710));

    // Where no copy can be made nothing is touched, and no temporary copy is left.
    fs::create_directories(path("full/inside"));
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    for (const char *name : {"missing/target", "full"})
        EXPECT_FALSE(os::posix::copyFile(at("link"), at(name))) << name;
    for (const char *name : {"nothing", "full", "fifo"})
        EXPECT_FALSE(os::posix::copyFile(at(name), at("copy.lnk"))) << name;
    EXPECT_EQ(os::posix::copyFile(at("nothing"), at("copy.lnk")).error, std::uint32_t(ENOENT));
    // A file size limit cuts the last chunk short, as a disk that fills up does.
    write("big", std::string(100000, 'b'));
    const pid_t child = ::fork();
    if (child == 0) {
        const struct rlimit limit = {80000, 80000};
        ::signal(SIGXFSZ, SIG_IGN);
        ::_exit(::setrlimit(RLIMIT_FSIZE, &limit) == 0
                                && !os::posix::copyFile(at("big"), at("copy.lnk"))
                        ? 0
                        : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0) << "a cut copy was reported as made";
    EXPECT_EQ(read("copy.lnk"), content);
    EXPECT_EQ(entryCount(), 7);
}

TEST(PathConversion, RoundTripsEveryPlaneAndRefusesWhatNoFileNameHolds)
{
    const std::u16string text = u"C:/Пути/日本/\U0001F600.lnk";
    ASSERT_EQ(os::posix::systemPath(text), "C:/Пути/日本/\xF0\x9F\x98\x80.lnk");
    EXPECT_EQ(os::posix::fromUtf8(*os::posix::systemPath(text)), text);
    for (const std::u16string &refused :
         {std::u16string(u"a\0b", 3), std::u16string(u"\xDC00"), std::u16string(u"a\xD800")})
        EXPECT_FALSE(os::posix::systemPath(refused));
    // Each byte that begins no valid sequence becomes one replacement character.
    EXPECT_EQ(os::posix::fromUtf8("a\x80"
                                  "b\xC0\xAF"
                                  "c\xED\xA0\x80"
                                  "d\xE2\x82"),
              u"a\xFFFD"
              u"b\xFFFD\xFFFD"
              u"c\xFFFD\xFFFD\xFFFD"
              u"d\xFFFD\xFFFD");
}

TEST(PathConversion, LongPathsTakeTheirExtendedForm)
{
    const std::u16string tail(256, u'a');
    const std::pair<std::u16string, std::u16string> cases[] = {
            {u"C:\\" + tail, u"C:\\" + tail},                       // 259 characters: as it is
            {u"C:\\" + tail + u"/", u"\\\\?\\C:\\" + tail + u"\\"}, // 260
            {u"\\\\server\\share\\" + tail, u"\\\\?\\UNC\\server\\share\\" + tail},
            {u"\\\\?\\C:\\" + tail, u"\\\\?\\C:\\" + tail},
            {u"relative\\" + tail, u"relative\\" + tail},
    };
    for (const auto &[path, expected] : cases)
        EXPECT_EQ(os::extendedLengthPath(path), expected) << path.size();
}

TEST_F(PosixBackend, ShellLinkTargetPrefersTheUnexpandedOne)
{
    const std::u16string local = u"C:\\Users\\Иван\\Corvatone\\Corvatone.exe";
    const std::u16string environment = u"%LOCALAPPDATA%\\Corvatone\\Corvatone.exe";
    const std::tuple<const char *, shelllink::LinkContent, std::u16string> cases[] = {
            {"local.lnk", {local, std::nullopt}, local},
            {"both.lnk", {local, environment}, environment},
            {"neither.lnk", {}, u""}};
    for (const auto &[name, content, expected] : cases) {
        ASSERT_TRUE(shelllink::write(path(name), content));
        EXPECT_EQ(os::posix::shellLinkTarget(at(name)).value, expected) << name;
    }
    // Nothing for what is no readable link; the empty name stands for the folder itself.
    const std::vector<std::uint8_t> link = shelllink::build({local, std::nullopt});
    write("cut.lnk", std::string(link.begin(), link.begin() + 0x60));
    ASSERT_EQ(::mkfifo(path("fifo.lnk").c_str(), 0600), 0);
    for (const char *name : {"cut.lnk", "fifo.lnk", "missing.lnk", ""})
        EXPECT_FALSE(os::posix::shellLinkTarget(at(name))) << name;
}

TEST_F(PosixBackend, ProcessSnapshotNamesRunningProcessesInFull)
{
    // The kernel keeps only 15 characters of a command name, and one name has
    // parentheses in it. The script runs as "/bin/sh <script> 30": it must be
    // named after the script, not its interpreter.
    const std::string names[] = {"Corvatone.exe", "a-name-far-longer-than-fifteen-characters.exe",
                                 "odd) name (x)", "script-with-a-long-name.sh"};
    std::vector<pid_t> children;
    for (const std::string &name : names) {
        if (name.size() > 3 && name.compare(name.size() - 3, 3, ".sh") == 0)
            write(name, "#!/bin/sh\nsleep \"$1\"\n");
        else
            fs::copy_file("/bin/sleep", path(name));
        fs::permissions(path(name), fs::perms::owner_all);
        children.push_back(::fork());
        ::setpgid(children.back(), children.back());
        if (children.back() == 0) {
            // A group of its own, so that the script's sleep ends with it.
            ::setpgid(0, 0);
            ::execl(path(name).c_str(), path(name).c_str(), "30", static_cast<char *>(nullptr));
            ::_exit(127);
        }
    }
    // An ended child that is not yet reaped no longer runs.
    const pid_t ended = ::fork();
    if (ended == 0)
        ::_exit(0);
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, id_t(ended), &info, WEXITED | WNOWAIT), 0);
    const auto nameIn = [](const os::ProcessSnapshot &snapshot, pid_t pid) {
        const auto it = std::find_if(
                snapshot.entries.begin(), snapshot.entries.end(),
                [pid](const os::ProcessEntry &entry) { return entry.pid == std::uint32_t(pid); });
        return it == snapshot.entries.end() ? std::u16string() : it->executableName;
    };
    std::vector<std::u16string> expected, found;
    for (const std::string &name : names)
        expected.push_back(os::posix::fromUtf8(name));
    // The children need a moment to exec.
    os::ProcessSnapshot snapshot;
    for (int attempt = 0; attempt < 1000 && found != expected; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        snapshot = os::posix::processSnapshot();
        found.clear();
        for (const pid_t pid : children)
            found.push_back(nameIn(snapshot, pid));
    }
    for (const pid_t pid : children) {
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    ::waitpid(ended, nullptr, 0);
    EXPECT_EQ(snapshot.error, 0u);
    EXPECT_EQ(found, expected);
    EXPECT_EQ(nameIn(snapshot, ended), u"");
}

} // namespace
