#include "os/os.h"
#include "wintestsupport.h"

#include <shlobj.h>

#include <gtest/gtest.h>

using namespace wintest;

namespace {

// Each test runs in a single-threaded apartment of its own.
class ShellLinkTarget : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(folder.valid());
        ASSERT_EQ(com.state(), os::ComInit::Initialised);
    }

    os::ComApartment com;
    ScratchFolder folder;
};

} // namespace

TEST_F(ShellLinkTarget, ReadsTheTargetTheShellSaved)
{
    const std::wstring target = folder.file(L"Corvatone.exe");
    ASSERT_TRUE(writeFile(target, "MZ"));
    const std::wstring link = folder.file(L"Corvatone.lnk");
    ASSERT_EQ(saveShellLink(link, target), S_OK);

    EXPECT_EQ(os::shellLinkTarget(u16(link)), u16(target));
}

TEST_F(ShellLinkTarget, KeepsEnvironmentReferencesUnexpanded)
{
    const std::wstring stored = L"%SystemRoot%\\system32\\notepad.exe";
    const std::wstring link = folder.file(L"notepad.lnk");
    ASSERT_TRUE(writeFile(link, shellLinkBytes(stored)));

    EXPECT_EQ(os::shellLinkTarget(u16(link)), u16(stored));
}

TEST_F(ShellLinkTarget, ReadsTargetsLongerThanMaxPath)
{
    std::wstring stored = L"C:\\Corvatone";
    while (stored.size() < 600)
        stored += L"\\a-rather-long-folder-name";
    stored += L"\\Corvatone.exe";
    const std::wstring link = folder.file(L"long.lnk");
    ASSERT_TRUE(writeFile(link, shellLinkBytes(stored)));

    EXPECT_EQ(os::shellLinkTarget(u16(link)), u16(stored));
}

TEST_F(ShellLinkTarget, LinkWithoutFileSystemTargetGivesEmptyText)
{
    const std::wstring link = folder.file(L"computer.lnk");
    ASSERT_EQ(saveShellLinkToFolder(link, CSIDL_DRIVES), S_OK);

    const auto target = os::shellLinkTarget(u16(link));
    ASSERT_TRUE(target.has_value());
    EXPECT_TRUE(target->empty());
}

TEST_F(ShellLinkTarget, FilesThatAreNoLinksGiveNothing)
{
    const std::wstring valid = folder.file(L"valid.lnk");
    ASSERT_EQ(saveShellLink(valid, folder.file(L"Corvatone.exe")), S_OK);
    const std::string bytes = readFile(valid);
    ASSERT_GT(bytes.size(), 76u);

    const std::wstring text = folder.file(L"text.lnk");
    ASSERT_TRUE(writeFile(text, "not a shell link\r\n"));
    const std::wstring truncated = folder.file(L"truncated.lnk");
    ASSERT_TRUE(writeFile(truncated, bytes.substr(0, 40)));
    const std::wstring empty = folder.file(L"empty.lnk");
    ASSERT_TRUE(writeFile(empty, std::string()));

    EXPECT_EQ(os::shellLinkTarget(u16(text)), std::nullopt);
    EXPECT_EQ(os::shellLinkTarget(u16(truncated)), std::nullopt);
    EXPECT_EQ(os::shellLinkTarget(u16(empty)), std::nullopt);
    EXPECT_EQ(os::shellLinkTarget(u16(folder.file(L"missing.lnk"))), std::nullopt);
    EXPECT_EQ(os::shellLinkTarget(u16(folder.path())), std::nullopt);
    EXPECT_EQ(os::shellLinkTarget(u""), std::nullopt);
}

TEST_F(ShellLinkTarget, PathWithEmbeddedNulIsNotCutShort)
{
    // Cut at the NUL, the path would name a readable link.
    const std::wstring link = folder.file(L"valid.lnk");
    ASSERT_EQ(saveShellLink(link, folder.file(L"Corvatone.exe")), S_OK);
    std::u16string path = u16(link);
    path += u'\0';
    path += u"other.lnk";

    EXPECT_EQ(os::shellLinkTarget(path), std::nullopt);
}
