#include "wintestsupport.h"

#include <objidl.h>
#include <shlobj.h>

#include <filesystem>
#include <system_error>

namespace wintest {

namespace {

void append32(std::string &bytes, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(static_cast<char>((value >> shift) & 0xFF));
}

void put32(std::string &bytes, std::size_t offset, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        bytes[offset + shift / 8] = static_cast<char>((value >> shift) & 0xFF);
}

// The test paths are plain ASCII.
std::string ascii(const std::wstring &text)
{
    return std::string(text.begin(), text.end());
}

bool hasReparsePoint(const std::wstring &path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

} // namespace

ScratchFolder::ScratchFolder()
{
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    if (error)
        return;
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::wstring name = L"os-win-test-" + std::to_wstring(GetCurrentProcessId()) + L'-'
            + std::to_wstring(GetTickCount64()) + L'-' + std::to_wstring(attempt);
        const std::filesystem::path candidate = base / name;
        if (CreateDirectoryW(candidate.c_str(), nullptr)) {
            m_path = candidate.wstring();
            return;
        }
    }
}

namespace {

// Deletes a folder tree without entering linked folders.
void removeTree(const std::wstring &path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileW(path.c_str());
        return;
    }
    // Links are left to their owners (see FolderLink): removing one here
    // could remove what it points to.
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return;
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name != L"." && name != L"..")
                removeTree(path + L'\\' + name);
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

} // namespace

ScratchFolder::~ScratchFolder()
{
    if (!m_path.empty())
        removeTree(m_path);
}

std::u16string u16(const std::wstring &text)
{
    return std::u16string(text.begin(), text.end());
}

std::wstring wide(const std::u16string &text)
{
    return std::wstring(text.begin(), text.end());
}

bool writeFile(const std::wstring &path, const std::string &bytes)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

std::string readFile(const std::wstring &path)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return {};
    std::string content;
    char chunk[4096];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0)
        content.append(chunk, read);
    CloseHandle(file);
    return content;
}

namespace {

// Creates a link object, lets configure set it up and saves it.
template<typename Configure>
HRESULT saveLink(const std::wstring &linkPath, Configure configure)
{
    IShellLinkW *link = nullptr;
    HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, reinterpret_cast<void **>(&link));
    if (FAILED(result))
        return result;
    IPersistFile *file = nullptr;
    result = configure(link);
    if (SUCCEEDED(result))
        result = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file));
    if (SUCCEEDED(result))
        result = file->Save(linkPath.c_str(), TRUE);
    if (file)
        file->Release();
    link->Release();
    return result;
}

} // namespace

HRESULT saveShellLink(const std::wstring &linkPath, const std::wstring &target)
{
    return saveLink(linkPath, [&](IShellLinkW *link) { return link->SetPath(target.c_str()); });
}

HRESULT saveShellLinkToFolder(const std::wstring &linkPath, int csidl)
{
    return saveLink(linkPath, [&](IShellLinkW *link) {
        LPITEMIDLIST items = nullptr;
        HRESULT result = SHGetSpecialFolderLocation(nullptr, csidl, &items);
        if (SUCCEEDED(result))
            result = link->SetIDList(items);
        CoTaskMemFree(items);
        return result;
    });
}

std::string shellLinkBytes(const std::wstring &storedPath)
{
    constexpr std::uint32_t HasLinkInfo = 0x2;
    constexpr std::uint32_t IsUnicode = 0x80;
    constexpr std::uint32_t HasExpString = 0x200;
    const bool expandable = storedPath.find(L'%') != std::wstring::npos;

    // Header: size, the shell link class id, flags; times, sizes and the
    // rest stay zero.
    std::string bytes;
    append32(bytes, 0x4C);
    const unsigned char classId[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                       0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
    bytes.append(reinterpret_cast<const char *>(classId), sizeof(classId));
    append32(bytes, HasLinkInfo | IsUnicode | (expandable ? HasExpString : 0));
    bytes.resize(0x4C, '\0');

    // Link info: a local volume and the local base path.
    const std::size_t infoStart = bytes.size();
    constexpr std::uint32_t InfoHeaderSize = 0x1C;
    constexpr std::uint32_t VolumeSize = 0x11;
    append32(bytes, 0); // total size, set below
    append32(bytes, InfoHeaderSize);
    append32(bytes, 1); // volume id and local base path
    append32(bytes, InfoHeaderSize); // volume id offset
    append32(bytes, InfoHeaderSize + VolumeSize); // local base path offset
    append32(bytes, 0); // no network location
    append32(bytes, 0); // common path suffix offset, set below
    append32(bytes, VolumeSize);
    append32(bytes, DRIVE_FIXED);
    append32(bytes, 0x12345678); // serial number
    append32(bytes, 0x10); // volume label offset
    bytes.push_back('\0'); // empty volume label
    bytes += ascii(storedPath);
    bytes.push_back('\0');
    put32(bytes, infoStart + 0x18, static_cast<std::uint32_t>(bytes.size() - infoStart));
    bytes.push_back('\0'); // empty common path suffix
    put32(bytes, infoStart, static_cast<std::uint32_t>(bytes.size() - infoStart));

    if (expandable) {
        // Environment block: ANSI and UTF-16 copies in fixed-size fields.
        std::string block(0x314, '\0');
        put32(block, 0, 0x314);
        put32(block, 4, 0xA0000001);
        for (std::size_t i = 0; i < storedPath.size() && i < 259; ++i) {
            block[8 + i] = static_cast<char>(storedPath[i]);
            block[268 + 2 * i] = static_cast<char>(storedPath[i] & 0xFF);
            block[268 + 2 * i + 1] = static_cast<char>(storedPath[i] >> 8);
        }
        bytes += block;
    }
    append32(bytes, 0); // end of the extra data
    return bytes;
}

namespace {

// Wine runs Unix programs too, and shows a Unix symbolic link to a folder as
// a directory reparse point, which its own calls cannot make.
const wchar_t UnixBin[] = L"Z:\\bin\\";

// Runs a Unix program in folder and waits until done() holds. Wine gives no
// handle for such a child, so the effect is watched instead.
template<typename Done>
bool runUnix(const std::wstring &folder, const std::wstring &program, const std::wstring &arguments, Done done)
{
    const std::wstring executable = UnixBin + program;
    if (GetFileAttributesW(executable.c_str()) == INVALID_FILE_ATTRIBUTES)
        return false;
    std::wstring commandLine = program + L' ' + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(executable.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup, &process))
        return false;
    if (process.hProcess)
        CloseHandle(process.hProcess);
    if (process.hThread)
        CloseHandle(process.hThread);
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (done())
            return true;
        Sleep(25);
    }
    return false;
}

} // namespace

FolderLink::FolderLink(const ScratchFolder &folder, const std::wstring &linkName, const std::wstring &targetName)
    : m_folder(folder.path())
    , m_name(linkName)
{
    const std::wstring linkPath = folder.file(linkName);
    // Wine accepts this call without making anything, hence the check.
    if (CreateSymbolicLinkW(linkPath.c_str(), targetName.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)
        && hasReparsePoint(linkPath)) {
        m_kind = Kind::Windows;
        return;
    }
    if (runUnix(m_folder, L"ln", L"-s " + targetName + L' ' + linkName, [&] { return hasReparsePoint(linkPath); }))
        m_kind = Kind::Unix;
}

FolderLink::~FolderLink()
{
    const std::wstring linkPath = m_folder + L'\\' + m_name;
    switch (m_kind) {
    case Kind::None:
        break;
    case Kind::Windows:
        RemoveDirectoryW(linkPath.c_str());
        break;
    case Kind::Unix:
        // Under Wine, RemoveDirectoryW on the link removes the folder it
        // points to; the Unix side removes the link itself.
        (void)runUnix(m_folder, L"rm", m_name, [&] { return GetFileAttributesW(linkPath.c_str()) == INVALID_FILE_ATTRIBUTES; });
        break;
    }
}

} // namespace wintest
