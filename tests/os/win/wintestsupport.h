// Helpers for the Windows backend tests: scratch folders, files and shell
// links made with the system's own calls.
#pragma once

#include <windows.h>
#include <objbase.h>

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
    // A path below the folder, in native form.
    std::wstring file(const std::wstring &name) const { return m_path + L'\\' + name; }

private:
    std::wstring m_path;
};

// Conversions to and from the OS layer's string type.
std::u16string u16(const std::wstring &text);
std::wstring wide(const std::u16string &text);

// Writes bytes into a file, replacing it.
[[nodiscard]] bool writeFile(const std::wstring &path, const std::string &bytes);
// The whole content of a file; empty when it cannot be read.
std::string readFile(const std::wstring &path);

// Saves a shell link to a file-system target through IShellLinkW::SetPath.
// Needs COM on the calling thread.
[[nodiscard]] HRESULT saveShellLink(const std::wstring &linkPath, const std::wstring &target);
// Saves a shell link to a shell object that has no file-system path.
[[nodiscard]] HRESULT saveShellLinkToFolder(const std::wstring &linkPath, int csidl);

// The bytes of a minimal shell link file that stores the path as written:
// as the local base path and, with an environment-variable reference, also as
// the expandable target, the way the shell saves such links.
std::string shellLinkBytes(const std::wstring &storedPath);

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
