// Helpers of the POSIX backend's tests: a fresh folder per test and file I/O.
#pragma once

#include "os/posix_backend.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

class TemporaryDirectory
{
public:
    TemporaryDirectory()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "os-posix-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()))
            m_path = pattern;
    }
    ~TemporaryDirectory()
    {
        std::error_code ignored;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory &) = delete;
    TemporaryDirectory &operator=(const TemporaryDirectory &) = delete;

    bool isValid() const { return !m_path.empty(); }
    std::string path(const std::string &name = {}) const { return name.empty() ? m_path : m_path + "/" + name; }

private:
    std::string m_path;
};

inline std::u16string u16(const std::string &text)
{
    return os::posix::fromUtf8(text);
}

template<typename Bytes>
void writeFile(const std::string &path, const Bytes &content)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(content.data()), std::streamsize(content.size()));
}

inline std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
