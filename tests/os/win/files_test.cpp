#include "os/os.h"
#include "wintestsupport.h"

#include <gtest/gtest.h>

using namespace wintest;

namespace {

class Files : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(folder.valid()); }

    std::u16string path(const std::wstring &name) const { return u16(folder.file(name)); }
    // The directory and reparse point bits of a path, or all bits when it is missing.
    std::uint32_t kind(const std::wstring &name) const
    {
        const std::uint32_t attributes = os::fileAttributes(path(name));
        return attributes == os::InvalidFileAttributes ? attributes : attributes & (os::DirectoryAttribute | os::ReparsePointAttribute);
    }

    ScratchFolder folder;
};

} // namespace

TEST_F(Files, AttributesTellFoldersFilesLinkedFoldersAndMissingPathsApart)
{
    ASSERT_TRUE(CreateDirectoryW(folder.file(L"bin").c_str(), nullptr));
    ASSERT_TRUE(writeFile(folder.file(L"Corvatone.exe"), "MZ"));

    EXPECT_EQ(kind(L"bin"), os::DirectoryAttribute);
    EXPECT_EQ(kind(L"Corvatone.exe"), 0u);
    EXPECT_EQ(kind(L"missing"), os::InvalidFileAttributes);
    EXPECT_EQ(kind(L"missing\\Corvatone.exe"), os::InvalidFileAttributes);

    const FolderLink link(folder, L"linked", L"bin");
    if (!link.valid())
        GTEST_SKIP() << "this system cannot make a symbolic link to a folder";
    EXPECT_EQ(kind(L"linked"), os::DirectoryAttribute | os::ReparsePointAttribute);
}

TEST_F(Files, CopyOverwritesAShortcutAndFailsWhereNoFileCanGo)
{
    const os::ComApartment com;
    ASSERT_TRUE(com.usable());
    const std::wstring newTarget = folder.file(L"Corvatone.exe");
    ASSERT_EQ(saveShellLink(folder.file(L"saved.lnk"), newTarget), S_OK);
    ASSERT_EQ(saveShellLink(folder.file(L"desktop.lnk"), folder.file(L"old\\Corvatone.exe")), S_OK);
    ASSERT_TRUE(CreateDirectoryW(folder.file(L"shortcuts").c_str(), nullptr));

    ASSERT_TRUE(os::copyFile(path(L"saved.lnk"), path(L"desktop.lnk")));
    EXPECT_EQ(readFile(folder.file(L"desktop.lnk")), readFile(folder.file(L"saved.lnk")));
    EXPECT_EQ(os::shellLinkTarget(path(L"desktop.lnk")), u16(newTarget));

    EXPECT_FALSE(os::copyFile(path(L"saved.lnk"), path(L"missing\\a.lnk")));
    EXPECT_EQ(kind(L"missing"), os::InvalidFileAttributes);
    EXPECT_FALSE(os::copyFile(path(L"saved.lnk"), path(L"shortcuts")));
    EXPECT_EQ(kind(L"shortcuts"), os::DirectoryAttribute);
    EXPECT_FALSE(os::copyFile(path(L"absent.lnk"), path(L"b.lnk")));
    EXPECT_EQ(kind(L"b.lnk"), os::InvalidFileAttributes);
}

TEST_F(Files, PathsWithEmbeddedNulAreRefused)
{
    ASSERT_TRUE(writeFile(folder.file(L"Corvatone.exe"), "installed"));
    ASSERT_TRUE(writeFile(folder.file(L"new.exe"), "downloaded"));
    const std::u16string withNul = path(L"Corvatone.exe") + std::u16string(1, u'\0') + u"x";

    EXPECT_EQ(os::fileAttributes(withNul), os::InvalidFileAttributes);
    // Cut at the NUL, the destination would be the installed file.
    EXPECT_FALSE(os::copyFile(path(L"new.exe"), withNul));
    EXPECT_EQ(readFile(folder.file(L"Corvatone.exe")), "installed");
    EXPECT_FALSE(os::copyFile(withNul, path(L"copy.exe")));
    EXPECT_EQ(kind(L"copy.exe"), os::InvalidFileAttributes);
}
