#include "os/os.h"
#include "shelllink.h"
#include "wintestsupport.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <thread>

using namespace wintest;

namespace {

APTTYPE apartmentType()
{
    APTTYPE type = APTTYPE_CURRENT;
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
    return SUCCEEDED(CoGetApartmentType(&type, &qualifier)) ? type : APTTYPE_CURRENT;
}

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

} // namespace

// Each COM case runs on a thread of its own, which starts outside any apartment.
TEST(Com, EntersASingleThreadedApartmentAndLeavesItWhole)
{
    std::thread([] {
        {
            const os::ComApartment apartment;
            EXPECT_EQ(apartment.state(), os::ComInit::Initialised);
            EXPECT_EQ(apartmentType(), APTTYPE_MAINSTA);
            // A second, compatible entry is balanced on its own.
            ASSERT_EQ(os::initialiseCom(), os::ComInit::Initialised);
            os::uninitialiseCom();
            EXPECT_EQ(apartmentType(), APTTYPE_MAINSTA);
        }
        // Left completely: any model can be chosen now.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
    }).join();
}

TEST(Com, MultithreadedThreadReportsChangedModeAndStaysUsable)
{
    ScratchFolder folder;
    ASSERT_TRUE(folder.valid());
    std::thread([&folder] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        {
            const os::ComApartment apartment;
            EXPECT_EQ(apartment.state(), os::ComInit::ChangedMode);
            EXPECT_TRUE(apartment.usable());
        }
        // The apartment object must not have left the thread's apartment.
        EXPECT_EQ(apartmentType(), APTTYPE_MTA);
        const std::wstring target = folder.file(L"Corvatone.exe");
        ASSERT_EQ(saveShellLink(folder.file(L"Corvatone.lnk"), target), S_OK);
        EXPECT_EQ(os::shellLinkTarget(u16(folder.file(L"Corvatone.lnk"))), u16(target));
        CoUninitialize();
    }).join();
}

TEST(CommonFolders, DesktopAndProgramsAreTheSharedShellFolders)
{
    const auto desktop = os::commonFolderPath(os::CommonFolder::Desktop);
    const auto programs = os::commonFolderPath(os::CommonFolder::Programs);
    ASSERT_TRUE(desktop && programs);
    EXPECT_EQ(*desktop, knownFolder(FOLDERID_PublicDesktop));
    EXPECT_EQ(*programs, knownFolder(FOLDERID_CommonPrograms));
}

TEST(ShellLinkTarget, ReadsTheStoredTargetUnexpandedAndWhole)
{
    const os::ComApartment com;
    const ScratchFolder folder;
    ASSERT_TRUE(com.usable() && folder.valid());
    const std::wstring saved = folder.file(L"Corvatone.exe");
    ASSERT_EQ(saveShellLink(folder.file(L"saved.lnk"), saved), S_OK);
    EXPECT_EQ(os::shellLinkTarget(u16(folder.file(L"saved.lnk"))), u16(saved));

    std::u16string longTarget = u"C:\\Corvatone";
    while (longTarget.size() < 600)
        longTarget += u"\\a-rather-long-folder-name";
    const std::u16string environment = u"%SystemRoot%\\system32\\notepad.exe";
    const struct
    {
        shelllink::LinkContent content;
        std::u16string expected;
    } cases[] = {
        // As the shell stores it: the unexpanded text in both places.
        {{environment, environment}, environment},
        {{longTarget, std::nullopt}, longTarget},
        {{}, u""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        const std::vector<std::uint8_t> bytes = shelllink::build(c.content);
        ASSERT_TRUE(writeFile(folder.file(L"written.lnk"), std::string(bytes.begin(), bytes.end())));
        EXPECT_EQ(os::shellLinkTarget(u16(folder.file(L"written.lnk"))), c.expected);
    }

    // Nothing for what is no readable link; cut at the NUL, the last path would name the saved link.
    ASSERT_TRUE(writeFile(folder.file(L"text.lnk"), "not a shell link\r\n"));
    ASSERT_TRUE(writeFile(folder.file(L"truncated.lnk"), readFile(folder.file(L"saved.lnk")).substr(0, 40)));
    for (const std::u16string &path : {u16(folder.file(L"text.lnk")), u16(folder.file(L"truncated.lnk")), u16(folder.file(L"missing.lnk")),
                                       std::u16string(), u16(folder.file(L"saved.lnk")) + std::u16string(1, u'\0') + u"other.lnk"})
        EXPECT_EQ(os::shellLinkTarget(path), std::nullopt) << std::string(path.begin(), path.end());
}

