#include "shelllink.h"
#include "testsupport.h"

#include <sys/stat.h>

namespace {

using ShellLinkTarget = FolderTest;

TEST_F(ShellLinkTarget, ReadsTheStoredTargetPreferringTheUnexpandedOne)
{
    const std::u16string local = u"C:\\Users\\Иван\\AppData\\Local\\Corvatone\\Corvatone.exe";
    const std::u16string environment = u"%LOCALAPPDATA%\\Corvatone\\Corvatone.exe";
    const std::tuple<const char *, shelllink::LinkContent, std::u16string> cases[] = {
        {"local.lnk", {local, std::nullopt}, local},
        {"environment.lnk", {std::nullopt, environment}, environment},
        {"both.lnk", {local, environment}, environment},
        {"neither.lnk", {}, u""},
    };
    for (const auto &[name, content, expected] : cases) {
        ASSERT_TRUE(shelllink::write(path(name), content)) << name;
        EXPECT_EQ(os::posix::shellLinkTarget(at(name)), expected) << name;
    }

    // Nothing for what is no readable link; the empty name stands for the folder itself.
    const std::vector<std::uint8_t> link = shelllink::build({local, std::nullopt});
    write(path("cut.lnk"), std::string(link.begin(), link.begin() + 0x60));
    write(path("text.lnk"), "[InternetShortcut]\r\nURL=file:///C:/Corvatone.exe\r\n");
    ASSERT_EQ(::mkfifo(path("fifo.lnk").c_str(), 0600), 0);
    for (const char *name : {"cut.lnk", "text.lnk", "fifo.lnk", "missing.lnk", ""})
        EXPECT_FALSE(os::posix::shellLinkTarget(at(name))) << name;
}

} // namespace
