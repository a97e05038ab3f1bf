#include "shelllink.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <random>

#include <sys/stat.h>

namespace {

TEST(ShellLinkTarget, ReadsTheStoredTargetPreferringTheUnexpandedOne)
{
    TemporaryDirectory folder;
    ASSERT_TRUE(folder.isValid());
    const std::u16string local = u"C:\\Users\\Иван\\AppData\\Local\\Corvatone\\Corvatone.exe";
    const std::u16string environment = u"%LOCALAPPDATA%\\Corvatone\\Corvatone.exe";
    const struct
    {
        const char *name;
        shelllink::LinkSpec spec;
        std::u16string expected;
    } cases[] = {
        {"local.lnk", {local, std::nullopt}, local},
        {"environment.lnk", {std::nullopt, environment}, environment},
        {"both.lnk", {local, environment}, environment},
        {"neither.lnk", {}, u""},
        {"Ярлык.lnk", {u"/opt/Corvatone/Corvatone.exe", std::nullopt}, u"/opt/Corvatone/Corvatone.exe"},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(shelllink::write(folder.path(c.name), c.spec)) << c.name;
        EXPECT_EQ(os::posix::shellLinkTarget(u16(folder.path(c.name))), c.expected) << c.name;
    }
}

TEST(ShellLinkTarget, GivesNothingForWhatIsNoReadableLink)
{
    TemporaryDirectory folder;
    ASSERT_TRUE(folder.isValid());
    const std::vector<std::uint8_t> link = shelllink::build({u"C:\\Corvatone\\Corvatone.exe", std::nullopt});
    ASSERT_FALSE(link.empty());
    std::mt19937 random(7);
    std::vector<std::uint8_t> noise(1024);
    for (auto &byte : noise)
        byte = std::uint8_t(random());

    writeFile(folder.path("empty.lnk"), std::string());
    writeFile(folder.path("header-only.lnk"), std::vector<std::uint8_t>(link.begin(), link.begin() + 40));
    writeFile(folder.path("cut-in-link-info.lnk"), std::vector<std::uint8_t>(link.begin(), link.begin() + 0x60));
    writeFile(folder.path("random.lnk"), noise);
    ASSERT_EQ(::mkfifo(folder.path("fifo.lnk").c_str(), 0600), 0);
    for (const char *name : {"empty.lnk", "header-only.lnk", "cut-in-link-info.lnk", "random.lnk", "fifo.lnk", "missing.lnk", ""})
        EXPECT_FALSE(os::posix::shellLinkTarget(u16(folder.path(name)))) << name;
    EXPECT_FALSE(os::posix::shellLinkTarget(u""));
}

// Each damaged link must get an answer; none may bring the reader down.
TEST(ShellLinkTarget, SurvivesDamagedLinks)
{
    TemporaryDirectory folder;
    ASSERT_TRUE(folder.isValid());
    const std::vector<std::uint8_t> seeds[] = {
        shelllink::build({u"C:\\Corvatone\\Corvatone.exe", u"%ProgramFiles%\\Corvatone\\Corvatone.exe"}),
        shelllink::build({u"C:\\Corvatone\\Corvatone.exe", std::nullopt}),
    };
    std::mt19937 random(20240601);
    for (int round = 0; round < 1000; ++round) {
        std::vector<std::uint8_t> bytes = seeds[round % 2];
        for (int changes = 1 + int(random() % 8); changes > 0; --changes) {
            const std::size_t at = random() % bytes.size();
            if (random() % 4 == 0)
                bytes.resize(std::max<std::size_t>(1, at));
            else
                bytes[at] = random() % 2 ? std::uint8_t(random()) : std::uint8_t(bytes[at] ^ (1u << (random() % 8)));
        }
        writeFile(folder.path("damaged.lnk"), bytes);
        (void)os::posix::shellLinkTarget(u16(folder.path("damaged.lnk")));
    }
}

} // namespace
