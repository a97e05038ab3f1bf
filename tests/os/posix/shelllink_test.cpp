#include "os/posix_backend.h"
#include "shelllink.h"
#include "temporarydirectory.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

namespace {

std::u16string u16(const std::string &text)
{
    return os::posix::fromUtf8(text);
}

void writeBytes(const std::string &path, const std::vector<std::uint8_t> &bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

TEST(ShellLinkTarget, ReadsTheStoredTargetPreferringTheUnexpandedOne)
{
    TemporaryDirectory folder;
    ASSERT_TRUE(folder.isValid());
    const std::u16string local = u"C:\\Users\\Иван\\AppData\\Local\\Corvatone\\Corvatone.exe";
    const std::u16string environment = u"%LOCALAPPDATA%\\Corvatone\\Corvatone.exe";

    struct Case
    {
        const char *name;
        shelllink::LinkSpec spec;
        std::u16string expected;
    };
    const Case cases[] = {
        {"local.lnk", {local, std::nullopt}, local},
        {"environment.lnk", {std::nullopt, environment}, environment},
        {"both.lnk", {local, environment}, environment},
        {"neither.lnk", {}, u""},
        {"unix.lnk", {u"/opt/Corvatone/Corvatone.exe", std::nullopt}, u"/opt/Corvatone/Corvatone.exe"},
    };
    for (const Case &c : cases) {
        ASSERT_TRUE(shelllink::write(folder.path(c.name), c.spec)) << c.name;
        const auto target = os::posix::shellLinkTarget(u16(folder.path(c.name)));
        ASSERT_TRUE(target) << c.name;
        EXPECT_EQ(*target, c.expected) << c.name;
    }
    // A link named in Cyrillic is found as well.
    ASSERT_TRUE(shelllink::write(folder.path("Корвато́н.lnk"), {local, std::nullopt}));
    EXPECT_EQ(os::posix::shellLinkTarget(u16(folder.path("Корвато́н.lnk"))), local);
}

TEST(ShellLinkTarget, GivesNothingForWhatIsNoReadableLink)
{
    TemporaryDirectory folder;
    ASSERT_TRUE(folder.isValid());
    const std::vector<std::uint8_t> link = shelllink::build({u"C:\\Corvatone\\Corvatone.exe", std::nullopt});
    ASSERT_FALSE(link.empty());

    writeBytes(folder.path("empty.lnk"), {});
    writeBytes(folder.path("header-only.lnk"), {link.begin(), link.begin() + 40});
    writeBytes(folder.path("cut-in-link-info.lnk"), {link.begin(), link.begin() + 0x60});
    std::mt19937 random(7);
    std::vector<std::uint8_t> noise(1024);
    for (auto &byte : noise)
        byte = std::uint8_t(random());
    writeBytes(folder.path("random.lnk"), noise);

    for (const char *name : {"empty.lnk", "header-only.lnk", "cut-in-link-info.lnk", "random.lnk", "missing.lnk"})
        EXPECT_FALSE(os::posix::shellLinkTarget(u16(folder.path(name)))) << name;
    EXPECT_FALSE(os::posix::shellLinkTarget(u16(folder.path(""))));
    EXPECT_FALSE(os::posix::shellLinkTarget(u""));
}

// Links damaged at random must each give an answer, never bring the reader down.
TEST(ShellLinkTarget, SurvivesDamagedLinks)
{
    TemporaryDirectory folder;
    ASSERT_TRUE(folder.isValid());
    const std::vector<std::uint8_t> seeds[] = {
        shelllink::build({u"C:\\Corvatone\\Corvatone.exe", std::nullopt}),
        shelllink::build({u"C:\\Corvatone\\Corvatone.exe", u"%ProgramFiles%\\Corvatone\\Corvatone.exe"}),
        shelllink::build({}),
    };
    std::mt19937 random(20240601);
    const std::string path = folder.path("damaged.lnk");
    for (int round = 0; round < 1000; ++round) {
        std::vector<std::uint8_t> bytes = seeds[std::size_t(round) % std::size(seeds)];
        const int changes = 1 + int(random() % 8);
        for (int i = 0; i < changes; ++i) {
            const std::size_t at = random() % bytes.size();
            switch (random() % 4) {
            case 0:
                bytes[at] = std::uint8_t(random());
                break;
            case 1:
                bytes[at] ^= std::uint8_t(1u << (random() % 8));
                break;
            case 2:
                bytes.resize(std::max<std::size_t>(1, at));
                break;
            default:
                bytes.insert(bytes.begin() + std::ptrdiff_t(at), std::uint8_t(random()));
                break;
            }
        }
        writeBytes(path, bytes);
        (void)os::posix::shellLinkTarget(u16(path));
    }
}

TEST(ShellLinkWriter, RefusesWhatTheFormatCannotHold)
{
    EXPECT_TRUE(shelllink::build({std::nullopt, std::u16string(259, u'x')}).size() > 0);
    EXPECT_TRUE(shelllink::build({std::nullopt, std::u16string(260, u'x')}).empty());
    EXPECT_TRUE(shelllink::build({std::u16string(u"C:\\a\0b", 6), std::nullopt}).empty());
    EXPECT_FALSE(shelllink::write("", {u"C:\\a.exe", std::nullopt}));
}

} // namespace
