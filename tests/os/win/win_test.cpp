// The Windows backend against the system's own calls, run under Wine: every
// call of it once, on what the updater gives it.
#include "os/os.h"
#include "shelllink.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

std::u16string u16(const std::wstring &text)
{
    return std::u16string(text.begin(), text.end());
}

TEST(WindowsBackend, ProcessSnapshotListsRunningProcessesByFileName)
{
    wchar_t executable[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(nullptr, executable, MAX_PATH), 0u);
    const os::ProcessSnapshot snapshot = os::processSnapshot();
    EXPECT_EQ(snapshot.error, 0u);
    const auto self = std::find_if(
            snapshot.entries.begin(), snapshot.entries.end(),
            [](const os::ProcessEntry &entry) { return entry.pid == GetCurrentProcessId(); });
    ASSERT_NE(self, snapshot.entries.end());
    // The bare file name, in whatever letter case Windows keeps it.
    EXPECT_EQ(CompareStringOrdinal(reinterpret_cast<const wchar_t *>(self->executableName.c_str()),
                                   -1, std::wcsrchr(executable, L'\\') + 1, -1, TRUE),
              CSTR_EQUAL);
}

TEST(WindowsBackend, CommonFoldersAreTheSharedShellFolders)
{
    for (const auto &[folder, id] :
         {std::pair(os::CommonFolder::Desktop, FOLDERID_PublicDesktop),
          std::pair(os::CommonFolder::Programs, FOLDERID_CommonPrograms)}) {
        PWSTR known = nullptr;
        ASSERT_EQ(SHGetKnownFolderPath(id, KF_FLAG_DONT_VERIFY, nullptr, &known), S_OK);
        EXPECT_EQ(os::commonFolderPath(folder).value, u16(known));
        CoTaskMemFree(known);
    }
}

// On a thread of its own, which starts outside any apartment.
TEST(WindowsBackend, ComEntersASingleThreadedApartmentOrWorksInTheOneThere)
{
    std::thread([] {
        EXPECT_EQ(os::ComApartment().state(), os::ComInit::Initialised);
        // Left completely: any model can be chosen now, and the apartment object keeps it.
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        EXPECT_EQ(os::ComApartment().state(), os::ComInit::ChangedMode);
        APTTYPE type = APTTYPE_CURRENT;
        APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
        EXPECT_TRUE(SUCCEEDED(CoGetApartmentType(&type, &qualifier)) && type == APTTYPE_MTA);
        CoUninitialize();
    }).join();
}

TEST(WindowsBackend, LinksAreReadUnexpandedAndWholeAndCopiedOver)
{
    const os::ComApartment com;
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / L"os-win-test";
    std::filesystem::remove_all(folder);
    ASSERT_TRUE(com.usable() && std::filesystem::create_directories(folder / L"sub"));
    const auto path = [&](const wchar_t *name) { return u16((folder / name).wstring()); };
    // As the shell stores them: an unexpanded target in both places, one
    // longer than MAX_PATH, and none at all.
    std::u16string longTarget = u"C:\\Corvatone";
    while (longTarget.size() < 600)
        longTarget += u"\\a-rather-long-folder-name";
    const std::u16string environment = u"%SystemRoot%\\system32\\notepad.exe";
    const shelllink::LinkContent links[] = {{u"C:\\Corvatone\\Corvatone.exe", std::nullopt},
                                            {environment, environment},
                                            {longTarget, std::nullopt},
                                            {}};
    const std::u16string targets[] = {u"C:\\Corvatone\\Corvatone.exe", environment, longTarget,
                                      u""};
    for (int i = 0; i < 4; ++i) {
        const std::vector<std::uint8_t> bytes = shelllink::build(links[i]);
        std::ofstream(folder / L"written.lnk", std::ios::binary)
                .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
        ASSERT_TRUE(os::copyFile(path(L"written.lnk"),
                                 path(std::to_wstring(i).append(L".lnk").c_str())));
        EXPECT_EQ(os::shellLinkTarget(path(std::to_wstring(i).append(L".lnk").c_str())).value,
                  targets[i]);
    }
    // Nothing for what is no readable link or no file; cut at the NUL, the last path would name a
    // link.
    std::ofstream(folder / L"text.lnk") << "not a shell link\r\n";
    const std::u16string withNul = path(L"0.lnk") + std::u16string(1, u'\0') + u"x";
    for (const std::u16string &unreadable :
         {path(L"text.lnk"), path(L"missing.lnk"), std::u16string(), withNul})
        EXPECT_FALSE(os::shellLinkTarget(unreadable));
    for (const std::u16string &destination : {path(L"missing\\a.lnk"), path(L"sub"), withNul})
        EXPECT_FALSE(os::copyFile(path(L"text.lnk"), destination));
    // A copy replaces a shortcut that is there.
    ASSERT_TRUE(os::copyFile(path(L"0.lnk"), path(L"1.lnk")));
    EXPECT_EQ(os::shellLinkTarget(path(L"1.lnk")).value, targets[0]);
    // The directory bit, or the system's error for what cannot be read.
    EXPECT_EQ(os::fileAttributes(path(L"sub")).value & os::DirectoryAttribute,
              os::DirectoryAttribute);
    EXPECT_EQ(os::fileAttributes(withNul).error, DWORD(ERROR_INVALID_NAME));
    EXPECT_EQ(os::fileAttributes(path(L"missing\\a.lnk")).error, DWORD(ERROR_PATH_NOT_FOUND));
    ASSERT_TRUE(os::setFileAttributes(path(L"1.lnk"), os::ReadOnlyAttribute | os::HiddenAttribute));
    EXPECT_EQ(os::fileAttributes(path(L"1.lnk")).value & os::ProtectingAttributes,
              os::ReadOnlyAttribute | os::HiddenAttribute);
    ASSERT_TRUE(os::setFileAttributes(path(L"1.lnk"), 0));
    // Past MAX_PATH, and held by another program at either end: a copy fails as held until it lets
    // go.
    std::u16string deep = path(L"sub");
    while (deep.size() < 300) {
        deep += u"\\" + std::u16string(40, u'd');
        ASSERT_TRUE(CreateDirectoryW(reinterpret_cast<const wchar_t *>((u"\\\\?\\" + deep).c_str()),
                                     nullptr));
    }
    const std::u16string deepFile = deep + u"\\Corvatone-core.dll";
    ASSERT_TRUE(os::copyFileContent(path(L"0.lnk"), deepFile, {}));
    for (const std::u16string &heldFile : {path(L"0.lnk"), u"\\\\?\\" + deepFile}) {
        const HANDLE held = CreateFileW(reinterpret_cast<const wchar_t *>(heldFile.c_str()),
                                        GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        const os::Status refused = os::copyFileContent(path(L"0.lnk"), deepFile, {});
        EXPECT_TRUE(!refused && refused.fileHeld) << refused.error;
        CloseHandle(held);
    }
    EXPECT_TRUE(os::copyFileContent(path(L"0.lnk"), deepFile, {}));
    // Past MAX_PATH, only the extended form reaches the file to remove it.
    DeleteFileW(reinterpret_cast<const wchar_t *>((u"\\\\?\\" + deepFile).c_str()));
    for (; deep.size() > path(L"sub").size(); deep.resize(deep.rfind(u'\\')))
        RemoveDirectoryW(reinterpret_cast<const wchar_t *>((u"\\\\?\\" + deep).c_str()));
    std::filesystem::remove_all(folder);
}

} // namespace
