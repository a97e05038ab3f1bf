// Helpers of the Windows backend tests: scratch folders, files and links.
#pragma once

#include <windows.h>

#include <string>

namespace wintest {

// A fresh folder under the system's temporary folder, removed with its
// contents on destruction.
class ScratchFolder
{
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder &) = delete;
    ScratchFolder &operator=(const ScratchFolder &) = delete;

    bool valid() const { return !m_path.empty(); }
    const std::wstring &path() const { return m_path; }
    std::wstring file(const std::wstring &name) const { return m_path + L'\\' + name; }

private:
    std::wstring m_path;
};

// The OS layer's string type.
std::u16string u16(const std::wstring &text);

// Writes bytes into a file, replacing it.
[[nodiscard]] bool writeFile(const std::wstring &path, const std::string &bytes);
// The whole content of a file; empty when it cannot be read.
std::string readFile(const std::wstring &path);

// Saves a shell link through IShellLinkW::SetPath; needs COM on the thread.
[[nodiscard]] HRESULT saveShellLink(const std::wstring &linkPath, const std::wstring &target);

// A symbolic link to a folder. Only the link is removed on destruction, also
// where the system's own calls would remove the folder it points to.
class FolderLink
{
public:
    // Makes linkName point to targetName, both plain names inside folder.
    FolderLink(const ScratchFolder &folder, const std::wstring &linkName, const std::wstring &targetName);
    ~FolderLink();
    FolderLink(const FolderLink &) = delete;
    FolderLink &operator=(const FolderLink &) = delete;

    // False when the system cannot make such a link.
    bool valid() const { return m_kind != Kind::None; }

private:
    enum class Kind { None, Windows, Unix };
    std::wstring m_folder;
    std::wstring m_name;
    Kind m_kind = Kind::None;
};

} // namespace wintest
