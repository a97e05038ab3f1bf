#include "wintestsupport.h"

#include <objbase.h>
#include <shlobj.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace wintest {

ScratchFolder::ScratchFolder()
{
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    for (unsigned attempt = 0; !error && attempt < 100; ++attempt) {
        const std::filesystem::path candidate = base / (L"os-win-test-" + std::to_wstring(GetCurrentProcessId()) + L'-' + std::to_wstring(attempt));
        if (std::filesystem::create_directory(candidate, error)) {
            m_path = candidate.wstring();
            return;
        }
    }
}

ScratchFolder::~ScratchFolder()
{
    // Folder links inside are gone by now: each FolderLink lives shorter than its folder.
    std::error_code ignored;
    if (valid())
        std::filesystem::remove_all(m_path, ignored);
}

std::u16string u16(const std::wstring &text)
{
    return std::u16string(text.begin(), text.end());
}

bool writeFile(const std::wstring &path, const std::string &bytes)
{
    std::ofstream out(std::filesystem::path(path), std::ios::binary);
    return bool(out.write(bytes.data(), std::streamsize(bytes.size())).flush());
}

std::string readFile(const std::wstring &path)
{
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

HRESULT saveShellLink(const std::wstring &linkPath, const std::wstring &target)
{
    IShellLinkW *link = nullptr;
    HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, reinterpret_cast<void **>(&link));
    if (FAILED(result))
        return result;
    IPersistFile *file = nullptr;
    result = link->SetPath(target.c_str());
    if (SUCCEEDED(result))
        result = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file));
    if (SUCCEEDED(result))
        result = file->Save(linkPath.c_str(), TRUE);
    if (file)
        file->Release();
    link->Release();
    return result;
}

namespace {

bool isReparsePoint(const std::wstring &path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Runs a Unix program from /bin in folder, the way Wine offers, and waits
// until done() holds: Wine gives no handle to wait on for such a child.
template<typename Done>
bool runUnix(const std::wstring &folder, const std::wstring &program, const std::wstring &arguments, Done done)
{
    const std::wstring executable = L"Z:\\bin\\" + program;
    std::wstring commandLine = program + L' ' + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (GetFileAttributesW(executable.c_str()) == INVALID_FILE_ATTRIBUTES
        || !CreateProcessW(executable.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup, &process))
        return false;
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    for (int attempt = 0; attempt < 200 && !done(); ++attempt)
        Sleep(25);
    return done();
}

} // namespace

FolderLink::FolderLink(const ScratchFolder &folder, const std::wstring &linkName, const std::wstring &targetName)
    : m_folder(folder.path())
    , m_name(linkName)
{
    const std::wstring linkPath = folder.file(linkName);
    // Wine accepts this call without making anything, but shows a Unix link to
    // a folder as a directory reparse point.
    if (CreateSymbolicLinkW(linkPath.c_str(), targetName.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)
        && isReparsePoint(linkPath))
        m_kind = Kind::Windows;
    else if (runUnix(m_folder, L"ln", L"-s " + targetName + L' ' + linkName, [&] { return isReparsePoint(linkPath); }))
        m_kind = Kind::Unix;
}

FolderLink::~FolderLink()
{
    const std::wstring linkPath = m_folder + L'\\' + m_name;
    if (m_kind == Kind::Windows)
        RemoveDirectoryW(linkPath.c_str());
    // Under Wine, RemoveDirectoryW on the link removes the folder it points to.
    else if (m_kind == Kind::Unix)
        (void)runUnix(m_folder, L"rm", m_name, [&] { return GetFileAttributesW(linkPath.c_str()) == INVALID_FILE_ATTRIBUTES; });
}

} // namespace wintest
