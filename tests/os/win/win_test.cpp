// The Windows backend against the system's own calls, run under Wine.
#include "os/os.h"
#include "shelllink.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

std::u16string u16(const std::wstring &text) { return std::u16string(text.begin(), text.end()); }

APTTYPE apartmentType()
{
    APTTYPE type = APTTYPE_CURRENT;
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
    return SUCCEEDED(CoGetApartmentType(&type, &qualifier)) ? type : APTTYPE_CURRENT;
}

// A fresh folder per test, removed afterwards, where shell links are saved through IShellLinkW.
class Shell : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(std::filesystem::create_directories(m_folder)); }
    void TearDown() override { std::filesystem::remove_all(m_folder); }

    std::u16string path(const std::wstring &name) const { return u16((m_folder / name).wstring()); }
    void write(const std::wstring &name, const std::string &bytes) const { std::ofstream(m_folder / name, std::ios::binary) << bytes; }
    std::string read(const std::wstring &name) const
    {
        std::ifstream in(m_folder / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Needs COM on the calling thread.
    HRESULT saveLink(const std::wstring &name, const std::u16string &target) const
    {
        IShellLinkW *link = nullptr;
        IPersistFile *file = nullptr;
        HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, reinterpret_cast<void **>(&link));
        if (SUCCEEDED(result) && SUCCEEDED(result = link->SetPath(reinterpret_cast<const wchar_t *>(target.c_str()))))
            result = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file));
        if (SUCCEEDED(result))
            result = file->Save((m_folder / name).c_str(), TRUE);
        if (file)
            file->Release();
        if (link)
            link->Release();
        return result;
    }

    std::filesystem::path m_folder = std::filesystem::temp_directory_path() / (L"os-win-test-" + std::to_wstring(GetCurrentProcessId()));
};

TEST(ProcessSnapshot, ListsProcessesByFileNameOnlyWhileTheyRun)
{
    const auto find = [](const os::ProcessSnapshot &snapshot, DWORD pid) {
        const auto it = std::find_if(snapshot.entries.begin(), snapshot.entries.end(), [pid](const os::ProcessEntry &entry) { return entry.pid == pid; });
        return it == snapshot.entries.end() ? nullptr : &*it;
    };
    wchar_t executable[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(nullptr, executable, MAX_PATH), 0u);
    std::wstring commandLine = L"\"" + std::wstring(executable) + L"\" --gtest_list_tests";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION child = {};
    ASSERT_TRUE(CreateProcessW(executable, commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup, &child));
    const os::ProcessSnapshot running = os::processSnapshot();
    TerminateProcess(child.hProcess, 0);
    WaitForSingleObject(child.hProcess, 10000);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    const os::ProcessSnapshot ended = os::processSnapshot();

    EXPECT_EQ(running.error, 0u);
    const os::ProcessEntry *self = find(running, GetCurrentProcessId());
    const os::ProcessEntry *copy = find(running, child.dwProcessId);
    ASSERT_TRUE(self && copy);
    // The bare file name, in whatever letter case Windows keeps it.
    EXPECT_EQ(CompareStringOrdinal(reinterpret_cast<const wchar_t *>(self->executableName.c_str()), -1, std::wcsrchr(executable, L'\\') + 1, -1, TRUE), CSTR_EQUAL);
    EXPECT_EQ(copy->executableName, self->executableName);
    EXPECT_EQ(ended.error, 0u);
    EXPECT_EQ(find(ended, child.dwProcessId), nullptr);
}

TEST(CommonFolders, DesktopAndProgramsAreTheSharedShellFolders)
{
    for (const auto &[folder, id] : {std::pair(os::CommonFolder::Desktop, FOLDERID_PublicDesktop), std::pair(os::CommonFolder::Programs, FOLDERID_CommonPrograms)}) {
        // The same folder through the newer known-folder interface.
        PWSTR known = nullptr;
        ASSERT_EQ(SHGetKnownFolderPath(id, KF_FLAG_DONT_VERIFY, nullptr, &known), S_OK);
        EXPECT_EQ(os::commonFolderPath(folder), u16(known));
        CoTaskMemFree(known);
    }
}

// Each COM case runs on a thread of its own, which starts outside any apartment.
TEST(Com, EntersASingleThreadedApartmentOrWorksInTheOneThere)
{
    std::thread([] {
        {
            const os::ComApartment apartment;
            EXPECT_EQ(apartment.state(), os::ComInit::Initialised);
            EXPECT_EQ(apartmentType(), APTTYPE_MAINSTA);
        }
        // Left completely: any model can be chosen now.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        {
            const os::ComApartment apartment;
            EXPECT_EQ(apartment.state(), os::ComInit::ChangedMode);
        }
        // The apartment object must not have left the thread's apartment, which stays usable.
        EXPECT_EQ(apartmentType(), APTTYPE_MTA);
        CoUninitialize();
    }).join();
}

TEST_F(Shell, LinksAreReadUnexpandedAndWholeAndCopiedOver)
{
    const os::ComApartment com;
    ASSERT_TRUE(com.usable());
    ASSERT_EQ(saveLink(L"saved.lnk", path(L"Corvatone.exe")), S_OK);
    ASSERT_EQ(saveLink(L"desktop.lnk", path(L"old.exe")), S_OK);
    EXPECT_EQ(os::shellLinkTarget(path(L"saved.lnk")), path(L"Corvatone.exe"));
    // As the shell stores them: an unexpanded target in both places, a target
    // longer than MAX_PATH, and none at all.
    std::u16string longTarget = u"C:\\Corvatone";
    while (longTarget.size() < 600)
        longTarget += u"\\a-rather-long-folder-name";
    const std::u16string environment = u"%SystemRoot%\\system32\\notepad.exe";
    for (const auto &[content, expected] : {std::pair(shelllink::LinkContent{environment, environment}, environment),
                                            std::pair(shelllink::LinkContent{longTarget, std::nullopt}, longTarget), std::pair(shelllink::LinkContent{}, std::u16string())}) {
        const std::vector<std::uint8_t> bytes = shelllink::build(content);
        write(L"written.lnk", std::string(bytes.begin(), bytes.end()));
        EXPECT_EQ(os::shellLinkTarget(path(L"written.lnk")), expected);
    }
    // Nothing for what is no readable link; cut at the NUL, the last path would name the saved link.
    write(L"text.lnk", "not a shell link\r\n");
    write(L"truncated.lnk", read(L"saved.lnk").substr(0, 40));
    const std::u16string withNul = path(L"saved.lnk") + std::u16string(1, u'\0') + u"x";
    for (const std::u16string &unreadable : {path(L"text.lnk"), path(L"truncated.lnk"), path(L"missing.lnk"), std::u16string(), withNul})
        EXPECT_EQ(os::shellLinkTarget(unreadable), std::nullopt);

    // A copy overwrites a shortcut, and fails where no file can go.
    ASSERT_TRUE(CreateDirectoryW(reinterpret_cast<const wchar_t *>(path(L"folder").c_str()), nullptr));
    ASSERT_TRUE(os::copyFile(path(L"saved.lnk"), path(L"desktop.lnk")));
    EXPECT_EQ(os::shellLinkTarget(path(L"desktop.lnk")), path(L"Corvatone.exe"));
    for (const std::u16string &destination : {path(L"missing\\a.lnk"), path(L"folder"), withNul})
        EXPECT_FALSE(os::copyFile(path(L"text.lnk"), destination));
    EXPECT_FALSE(os::copyFile(withNul, path(L"copy.lnk")));
    EXPECT_EQ(read(L"saved.lnk").size(), read(L"desktop.lnk").size());
    // The directory and reparse point bits, or all bits for what is missing.
    for (const auto &[name, kind] : {std::pair(path(L"folder"), os::DirectoryAttribute), std::pair(path(L"saved.lnk"), 0u),
                                     std::pair(path(L"copy.lnk"), os::InvalidFileAttributes), std::pair(withNul, os::InvalidFileAttributes)}) {
        const std::uint32_t attributes = os::fileAttributes(name);
        EXPECT_EQ(attributes == os::InvalidFileAttributes ? attributes : attributes & (os::DirectoryAttribute | os::ReparsePointAttribute), kind);
    }
}

} // namespace
