#include "os/os.h"
#include "wintestsupport.h"

#include <shlobj.h>

#include <gtest/gtest.h>

using namespace wintest;

namespace {

// The same folder through the newer known-folder interface.
std::u16string knownFolder(REFKNOWNFOLDERID id)
{
    PWSTR path = nullptr;
    std::u16string result;
    if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_DONT_VERIFY, nullptr, &path)))
        result = u16(path);
    CoTaskMemFree(path);
    return result;
}

void expectNativeAbsolute(const std::u16string &path)
{
    ASSERT_GE(path.size(), 3u);
    EXPECT_EQ(path[1], u':');
    EXPECT_EQ(path[2], u'\\');
    EXPECT_EQ(path.find(u'/'), std::u16string::npos);
}

} // namespace

TEST(CommonFolders, DesktopAndProgramsAreTheSharedShellFolders)
{
    const auto desktop = os::commonFolderPath(os::CommonFolder::Desktop);
    const auto programs = os::commonFolderPath(os::CommonFolder::Programs);
    ASSERT_TRUE(desktop.has_value());
    ASSERT_TRUE(programs.has_value());

    expectNativeAbsolute(*desktop);
    expectNativeAbsolute(*programs);
    EXPECT_NE(*desktop, *programs);
    EXPECT_EQ(*desktop, knownFolder(FOLDERID_PublicDesktop));
    EXPECT_EQ(*programs, knownFolder(FOLDERID_CommonPrograms));
}
