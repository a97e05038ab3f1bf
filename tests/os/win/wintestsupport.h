// Helpers of the Windows backend tests: a scratch folder, files and links.
#pragma once

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace wintest {

// A fresh folder under the system's temporary folder, removed with its
// contents on destruction.
class ScratchFolder
{
public:
    ScratchFolder()
    {
        std::error_code error;
        const std::filesystem::path base = std::filesystem::temp_directory_path(error);
        for (unsigned attempt = 0; !error && m_path.empty() && attempt < 100; ++attempt) {
            const auto candidate = base / (L"os-win-test-" + std::to_wstring(GetCurrentProcessId()) + L'-' + std::to_wstring(attempt));
            if (std::filesystem::create_directory(candidate, error))
                m_path = candidate.wstring();
        }
    }
    ~ScratchFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    ScratchFolder(const ScratchFolder &) = delete;
    ScratchFolder &operator=(const ScratchFolder &) = delete;

    bool valid() const { return !m_path.empty(); }
    std::wstring file(const std::wstring &name) const { return m_path + L'\\' + name; }

private:
    std::wstring m_path;
};

// The OS layer's string type.
inline std::u16string u16(const std::wstring &text) { return std::u16string(text.begin(), text.end()); }

inline bool writeFile(const std::wstring &path, const std::string &bytes)
{
    return bool(std::ofstream(std::filesystem::path(path), std::ios::binary).write(bytes.data(), std::streamsize(bytes.size())));
}

inline std::string readFile(const std::wstring &path)
{
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Saves a shell link through IShellLinkW::SetPath; needs COM on the thread.
HRESULT saveShellLink(const std::wstring &linkPath, const std::wstring &target);

} // namespace wintest
