#include "shelllink.h"
#include "testsupport.h"

#include <algorithm>
#include <random>

#include <sys/stat.h>

namespace {

using ShellLinkTarget = FolderTest;

TEST_F(ShellLinkTarget, ReadsTheStoredTargetPreferringTheUnexpandedOne)
{
    const std::u16string local = u"C:\\Users\\Иван\\AppData\\Local\\Corvatone\\Corvatone.exe";
    const std::u16string environment = u"%LOCALAPPDATA%\\Corvatone\\Corvatone.exe";
    const struct
    {
        const char *name;
        shelllink::LinkContent content;
        std::u16string expected;
    } cases[] = {
        {"local.lnk", {local, std::nullopt}, local},
        {"environment.lnk", {std::nullopt, environment}, environment},
        {"both.lnk", {local, environment}, environment},
        {"neither.lnk", {}, u""},
        {"Ярлык.lnk", {u"/opt/Corvatone/Corvatone.exe", std::nullopt}, u"/opt/Corvatone/Corvatone.exe"},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(shelllink::write(path(c.name), c.content)) << c.name;
        EXPECT_EQ(os::posix::shellLinkTarget(u16(path(c.name))), c.expected) << c.name;
    }
}

TEST_F(ShellLinkTarget, GivesNothingForWhatIsNoReadableLink)
{
    const std::vector<std::uint8_t> link = shelllink::build({u"C:\\Corvatone\\Corvatone.exe", std::nullopt});
    ASSERT_GT(link.size(), 0x60u);
    std::vector<std::uint8_t> noise(1024);
    std::generate(noise.begin(), noise.end(), std::mt19937(7));

    const std::pair<const char *, std::vector<std::uint8_t>> files[] = {
        {"empty.lnk", {}}, {"header-only.lnk", {link.begin(), link.begin() + 40}}, {"cut-in-link-info.lnk", {link.begin(), link.begin() + 0x60}}, {"random.lnk", noise}};
    for (const auto &[name, bytes] : files)
        writeFile(path(name), bytes);
    ASSERT_EQ(::mkfifo(path("fifo.lnk").c_str(), 0600), 0);
    // The empty name stands for the folder itself.
    for (const char *name : {"empty.lnk", "header-only.lnk", "cut-in-link-info.lnk", "random.lnk", "fifo.lnk", "missing.lnk", ""})
        EXPECT_FALSE(os::posix::shellLinkTarget(u16(path(name)))) << name;
    EXPECT_FALSE(os::posix::shellLinkTarget(u""));
}

} // namespace
