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

    ScratchFolder folder;
};

bool isDirectory(std::uint32_t attributes)
{
    return attributes != os::InvalidFileAttributes && (attributes & os::DirectoryAttribute);
}

bool isReparsePoint(std::uint32_t attributes)
{
    return attributes != os::InvalidFileAttributes && (attributes & os::ReparsePointAttribute);
}

} // namespace

TEST_F(Files, AttributesTellFoldersFromFilesAndMissingPaths)
{
    ASSERT_TRUE(CreateDirectoryW(folder.file(L"bin").c_str(), nullptr));
    ASSERT_TRUE(writeFile(folder.file(L"Corvatone.exe"), "MZ"));

    const std::uint32_t directory = os::fileAttributes(path(L"bin"));
    EXPECT_TRUE(isDirectory(directory));
    EXPECT_FALSE(isReparsePoint(directory));

    const std::uint32_t file = os::fileAttributes(path(L"Corvatone.exe"));
    EXPECT_NE(file, os::InvalidFileAttributes);
    EXPECT_FALSE(isDirectory(file));
    EXPECT_FALSE(isReparsePoint(file));

    EXPECT_EQ(os::fileAttributes(path(L"missing")), os::InvalidFileAttributes);
    EXPECT_EQ(os::fileAttributes(path(L"missing\\Corvatone.exe")), os::InvalidFileAttributes);
}

TEST_F(Files, LinkedFolderIsADirectoryAndAReparsePoint)
{
    ASSERT_TRUE(CreateDirectoryW(folder.file(L"plugins").c_str(), nullptr));
    const FolderLink link(folder, L"linked", L"plugins");
    if (!link.valid())
        GTEST_SKIP() << "this system cannot make a symbolic link to a folder";

    const std::uint32_t attributes = os::fileAttributes(path(L"linked"));
    EXPECT_TRUE(isDirectory(attributes));
    EXPECT_TRUE(isReparsePoint(attributes));
}

TEST_F(Files, PathsWithEmbeddedNulAreRefused)
{
    ASSERT_TRUE(writeFile(folder.file(L"Corvatone.exe"), "installed"));
    ASSERT_TRUE(writeFile(folder.file(L"new.exe"), "downloaded"));
    std::u16string withNul = path(L"Corvatone.exe");
    withNul += u'\0';
    withNul += u"x";

    EXPECT_EQ(os::fileAttributes(withNul), os::InvalidFileAttributes);
    // Cut at the NUL, the destination would be the installed file.
    EXPECT_FALSE(os::copyFile(path(L"new.exe"), withNul));
    EXPECT_EQ(readFile(folder.file(L"Corvatone.exe")), "installed");
    EXPECT_FALSE(os::copyFile(withNul, path(L"copy.exe")));
    EXPECT_EQ(os::fileAttributes(path(L"copy.exe")), os::InvalidFileAttributes);
}

TEST_F(Files, CopyOverwritesAnExistingShortcut)
{
    const os::ComApartment com;
    ASSERT_TRUE(com.usable());
    const std::wstring newTarget = folder.file(L"Corvatone.exe");
    ASSERT_EQ(saveShellLink(folder.file(L"saved.lnk"), newTarget), S_OK);
    ASSERT_EQ(saveShellLink(folder.file(L"desktop.lnk"), folder.file(L"old\\Corvatone.exe")), S_OK);

    ASSERT_TRUE(os::copyFile(path(L"saved.lnk"), path(L"desktop.lnk")));

    EXPECT_EQ(readFile(folder.file(L"desktop.lnk")), readFile(folder.file(L"saved.lnk")));
    EXPECT_EQ(os::shellLinkTarget(path(L"desktop.lnk")), u16(newTarget));
}

TEST_F(Files, CopyFailsWhereTheDestinationCannotBeAFile)
{
    ASSERT_TRUE(writeFile(folder.file(L"a.lnk"), "link"));
    ASSERT_TRUE(CreateDirectoryW(folder.file(L"shortcuts").c_str(), nullptr));

    EXPECT_FALSE(os::copyFile(path(L"a.lnk"), path(L"missing\\a.lnk")));
    EXPECT_EQ(os::fileAttributes(path(L"missing")), os::InvalidFileAttributes);

    EXPECT_FALSE(os::copyFile(path(L"a.lnk"), path(L"shortcuts")));
    EXPECT_TRUE(isDirectory(os::fileAttributes(path(L"shortcuts"))));

    EXPECT_FALSE(os::copyFile(path(L"absent.lnk"), path(L"b.lnk")));
    EXPECT_EQ(os::fileAttributes(path(L"b.lnk")), os::InvalidFileAttributes);
}
