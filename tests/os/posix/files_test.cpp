#include "os/posix_backend.h"
#include "temporarydirectory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <sys/stat.h>
#include <sys/time.h>

namespace {

namespace fs = std::filesystem;

std::u16string u16(const std::string &text)
{
    return os::posix::fromUtf8(text);
}

void writeFile(const std::string &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary) << content;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct stat statOf(const std::string &path)
{
    struct stat info{};
    ::stat(path.c_str(), &info);
    return info;
}

TEST(FileAttributes, TellFoldersFilesLinksAndMissingPathsApart)
{
    TemporaryDirectory folder;
    ASSERT_TRUE(folder.isValid());
    fs::create_directory(folder.path("dir"));
    writeFile(folder.path("file"), "x");
    fs::create_directory_symlink(folder.path("dir"), folder.path("dirlink"));
    fs::create_symlink(folder.path("file"), folder.path("filelink"));
    fs::create_symlink(folder.path("gone"), folder.path("dangling"));

    const auto attributes = [&](const std::string &name) { return os::posix::fileAttributes(u16(folder.path(name))); };
    EXPECT_EQ(attributes("dir"), os::DirectoryAttribute);
    EXPECT_EQ(attributes("dir/"), os::DirectoryAttribute);
    EXPECT_EQ(attributes("file") & (os::DirectoryAttribute | os::ReparsePointAttribute), 0u);
    EXPECT_NE(attributes("file"), os::InvalidFileAttributes);
    EXPECT_EQ(attributes("dirlink"), os::DirectoryAttribute | os::ReparsePointAttribute);
    // A trailing slash must not make the link look like its target.
    EXPECT_EQ(attributes("dirlink/"), os::DirectoryAttribute | os::ReparsePointAttribute);
    EXPECT_EQ(attributes("filelink"), os::ReparsePointAttribute);
    EXPECT_EQ(attributes("dangling"), os::ReparsePointAttribute);
    EXPECT_EQ(attributes("missing"), os::InvalidFileAttributes);
    EXPECT_EQ(os::posix::fileAttributes(u""), os::InvalidFileAttributes);
    // An unpaired surrogate names no file.
    EXPECT_EQ(os::posix::fileAttributes(u16(folder.path("file")) + u"\xD800"), os::InvalidFileAttributes);
}

TEST(CopyFile, ReplacesTheDestinationWithContentModeAndModificationTime)
{
    TemporaryDirectory folder;
    ASSERT_TRUE(folder.isValid());
    const std::string source = folder.path("Corvatone.lnk");
    const std::string destination = folder.path("copy.lnk");
    writeFile(source, std::string("binary\0content", 14));
    ::chmod(source.c_str(), 0751);
    const struct timeval times[2] = {{1000000000, 0}, {1200000000, 500000}};
    ::utimes(source.c_str(), times);
    writeFile(destination, "a much longer former content that must not survive");

    ASSERT_TRUE(os::posix::copyFile(u16(source), u16(destination)));
    EXPECT_EQ(readFile(destination), std::string("binary\0content", 14));
    EXPECT_EQ(statOf(destination).st_mode & 07777, 0751u);
    EXPECT_EQ(statOf(destination).st_mtim.tv_sec, 1200000000);
    EXPECT_EQ(statOf(destination).st_mtim.tv_nsec, 500000000);
    // Nothing but the two files is left beside them.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 2);

    // Through a link the source's target is copied, as a plain file.
    fs::create_symlink(source, folder.path("link"));
    ASSERT_TRUE(os::posix::copyFile(u16(folder.path("link")), u16(folder.path("fromlink"))));
    EXPECT_FALSE(fs::is_symlink(folder.path("fromlink")));
    EXPECT_EQ(readFile(folder.path("fromlink")), readFile(source));

    // Non-ASCII names and an empty file.
    writeFile(folder.path("пустой"), "");
    ASSERT_TRUE(os::posix::copyFile(u16(folder.path("пустой")), u16(folder.path("ярлык"))));
    EXPECT_TRUE(fs::exists(folder.path("ярлык")));
    EXPECT_EQ(fs::file_size(folder.path("ярлык")), 0u);
}

TEST(CopyFile, FailsWithoutTouchingAnythingWhereNoCopyCanBeMade)
{
    TemporaryDirectory folder;
    ASSERT_TRUE(folder.isValid());
    const std::string source = folder.path("source");
    writeFile(source, "content");
    fs::create_directory(folder.path("dir"));
    writeFile(folder.path("dir/inside"), "kept");

    EXPECT_FALSE(os::posix::copyFile(u16(source), u16(folder.path("missing/target"))));
    EXPECT_FALSE(fs::exists(folder.path("missing")));
    // Onto a folder, empty or not.
    EXPECT_FALSE(os::posix::copyFile(u16(source), u16(folder.path("dir"))));
    EXPECT_EQ(readFile(folder.path("dir/inside")), "kept");
    fs::create_directory(folder.path("empty"));
    EXPECT_FALSE(os::posix::copyFile(u16(source), u16(folder.path("empty"))));
    EXPECT_TRUE(fs::is_directory(folder.path("empty")));
    EXPECT_TRUE(fs::is_empty(folder.path("empty")));

    writeFile(folder.path("destination"), "former");
    EXPECT_FALSE(os::posix::copyFile(u16(folder.path("nothing")), u16(folder.path("destination"))));
    EXPECT_FALSE(os::posix::copyFile(u16(folder.path("dir")), u16(folder.path("destination"))));
    ASSERT_EQ(::mkfifo(folder.path("fifo").c_str(), 0600), 0);
    EXPECT_FALSE(os::posix::copyFile(u16(folder.path("fifo")), u16(folder.path("destination"))));
    EXPECT_EQ(readFile(folder.path("destination")), "former");
    EXPECT_EQ(os::posix::fileAttributes(u16(folder.path("fifo"))), os::ReparsePointAttribute);

    // No temporary copy is left behind by any of these.
    for (const auto &entry : fs::directory_iterator(folder.path()))
        EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
}

TEST(CopyPermissions, GivesTheDestinationTheSourcesBits)
{
    TemporaryDirectory folder;
    ASSERT_TRUE(folder.isValid());
    writeFile(folder.path("source"), "");
    writeFile(folder.path("destination"), "");
    ::chmod(folder.path("source").c_str(), 04710);
    ::chmod(folder.path("destination").c_str(), 0644);

    EXPECT_TRUE(os::posix::copyPermissions(u16(folder.path("source")), u16(folder.path("destination"))));
    EXPECT_EQ(statOf(folder.path("destination")).st_mode & 07777, 04710u);
    EXPECT_FALSE(os::posix::copyPermissions(u16(folder.path("missing")), u16(folder.path("destination"))));
    EXPECT_FALSE(os::posix::copyPermissions(u16(folder.path("source")), u16(folder.path("missing"))));
}

TEST(PathConversion, RoundTripsEveryPlaneAndRefusesWhatNoFileNameHolds)
{
    const std::u16string text = u"C:/Пути/日本/\U0001F600.lnk";
    const auto utf8 = os::posix::systemPath(text);
    ASSERT_TRUE(utf8);
    EXPECT_EQ(*utf8, "C:/Пути/日本/\xF0\x9F\x98\x80.lnk");
    EXPECT_EQ(os::posix::fromUtf8(*utf8), text);

    EXPECT_FALSE(os::posix::systemPath(std::u16string(u"a\0b", 3)));
    EXPECT_FALSE(os::posix::systemPath(u"\xDC00"));
    EXPECT_FALSE(os::posix::systemPath(u"a\xD800"));
    // Bytes that are no UTF-8 (a stray continuation, an overlong form, an
    // encoded surrogate, a cut sequence) each become one replacement character.
    EXPECT_EQ(os::posix::fromUtf8("a\x80" "b\xC0\xAF" "c\xED\xA0\x80" "d\xE2\x82"),
              u"a\xFFFD" u"b\xFFFD\xFFFD" u"c\xFFFD\xFFFD\xFFFD" u"d\xFFFD\xFFFD");
}

} // namespace
