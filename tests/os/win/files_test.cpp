#include "os/os.h"
#include "wintestsupport.h"

#include <gtest/gtest.h>

using namespace wintest;

TEST(Files, AttributesAndCopiesAsTheSystemGivesThem)
{
    const os::ComApartment com;
    const ScratchFolder folder;
    ASSERT_TRUE(com.usable() && folder.valid());
    const auto path = [&](const wchar_t *name) { return u16(folder.file(name)); };
    // The directory and reparse point bits of a path, or all bits when it is missing.
    const auto kind = [&](const wchar_t *name) {
        const std::uint32_t attributes = os::fileAttributes(path(name));
        return attributes == os::InvalidFileAttributes ? attributes : attributes & (os::DirectoryAttribute | os::ReparsePointAttribute);
    };
    ASSERT_TRUE(CreateDirectoryW(folder.file(L"shortcuts").c_str(), nullptr));
    ASSERT_EQ(saveShellLink(folder.file(L"saved.lnk"), folder.file(L"Corvatone.exe")), S_OK);
    ASSERT_EQ(saveShellLink(folder.file(L"desktop.lnk"), folder.file(L"old\\Corvatone.exe")), S_OK);
    EXPECT_EQ(kind(L"shortcuts"), os::DirectoryAttribute);
    EXPECT_EQ(kind(L"saved.lnk"), 0u);
    EXPECT_EQ(kind(L"missing\\a.lnk"), os::InvalidFileAttributes);

    // A copy overwrites a shortcut, and fails where no file can go.
    ASSERT_TRUE(os::copyFile(path(L"saved.lnk"), path(L"desktop.lnk")));
    EXPECT_EQ(os::shellLinkTarget(path(L"desktop.lnk")), path(L"Corvatone.exe"));
    EXPECT_FALSE(os::copyFile(path(L"saved.lnk"), path(L"missing\\a.lnk")));
    EXPECT_FALSE(os::copyFile(path(L"saved.lnk"), path(L"shortcuts")));
    EXPECT_FALSE(os::copyFile(path(L"absent.lnk"), path(L"b.lnk")));
    EXPECT_EQ(kind(L"b.lnk"), os::InvalidFileAttributes);

    // Cut at a NUL inside, the path would name the saved link.
    const std::u16string withNul = path(L"saved.lnk") + std::u16string(1, u'\0') + u"x";
    EXPECT_EQ(os::fileAttributes(withNul), os::InvalidFileAttributes);
    EXPECT_FALSE(os::copyFile(path(L"desktop.lnk"), withNul));
    EXPECT_FALSE(os::copyFile(withNul, path(L"copy.lnk")));
    EXPECT_EQ(kind(L"copy.lnk"), os::InvalidFileAttributes);
}
