// A fresh folder for each test of the POSIX backend, removed afterwards.
#pragma once

#include "os/posix_backend.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

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
        std::filesystem::remove_all(m_root, ignored);
    }

    std::string path(const std::string &name) const { return m_root + "/" + name; }
    // The path as the OS layer takes it.
    std::u16string at(const std::string &name) const { return os::posix::fromUtf8(path(name)); }
    static void write(const std::string &path, const std::string &content) { std::ofstream(path, std::ios::binary) << content; }
    static std::string read(const std::string &path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // The number of entries directly inside, hidden ones included.
    long entryCount() const { return long(std::distance(std::filesystem::directory_iterator(m_root), {})); }

    std::string m_root;
};
