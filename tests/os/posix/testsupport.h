// Helpers of the POSIX backend's tests: a fresh folder per test and file I/O.
#pragma once

#include "os/posix_backend.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

// Gives each test a fresh folder, removed with its contents afterwards.
class FolderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "os-posix-test-XXXXXX").string();
        ASSERT_TRUE(::mkdtemp(pattern.data()));
        m_root = pattern;
    }
    void TearDown() override
    {
        std::error_code ignored;
        if (!m_root.empty())
            std::filesystem::remove_all(m_root, ignored);
    }

    std::string path(const std::string &name = {}) const { return name.empty() ? m_root : m_root + "/" + name; }
    // The number of entries directly inside, hidden ones included.
    long entryCount() const { return std::distance(std::filesystem::directory_iterator(m_root), {}); }

private:
    std::string m_root;
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
