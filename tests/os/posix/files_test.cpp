#include "testsupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/time.h>

namespace {

namespace fs = std::filesystem;

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
    writeFile(folder.path("file"), std::string("x"));
    fs::create_directory_symlink(folder.path("dir"), folder.path("dirlink"));
    fs::create_symlink(folder.path("file"), folder.path("filelink"));
    fs::create_symlink(folder.path("gone"), folder.path("dangling"));
    ASSERT_EQ(::mkfifo(folder.path("fifo").c_str(), 0600), 0);

    const auto attributes = [&](const std::string &name) { return os::posix::fileAttributes(u16(folder.path(name))); };
    constexpr auto directory = os::DirectoryAttribute;
    constexpr auto reparse = os::ReparsePointAttribute;
    EXPECT_EQ(attributes("dir"), directory);
    EXPECT_EQ(attributes("file") & (directory | reparse), 0u);
    EXPECT_NE(attributes("file"), os::InvalidFileAttributes);
    EXPECT_EQ(attributes("dirlink"), directory | reparse);
    // A trailing slash must not make the link look like its target.
    EXPECT_EQ(attributes("dirlink/"), directory | reparse);
    EXPECT_EQ(attributes("filelink"), reparse);
    EXPECT_EQ(attributes("dangling"), reparse);
    // Not a plain file: callers must not try to copy it.
    EXPECT_EQ(attributes("fifo"), reparse);
    EXPECT_EQ(attributes("missing"), os::InvalidFileAttributes);
    EXPECT_EQ(os::posix::fileAttributes(u""), os::InvalidFileAttributes);
    EXPECT_EQ(os::posix::fileAttributes(u16(folder.path("file")) + u"\xD800"), os::InvalidFileAttributes);
}

TEST(CopyFile, ReplacesTheDestinationWithContentModeAndModificationTime)
{
    TemporaryDirectory folder;
    ASSERT_TRUE(folder.isValid());
    const std::string content("binary\0content", 14);
    const std::string source = folder.path("Корвато́н.lnk");
    const std::string destination = folder.path("copy.lnk");
    writeFile(source, content);
    ::chmod(source.c_str(), 0751);
    const struct timeval times[2] = {{1000000000, 0}, {1200000000, 500000}};
    ::utimes(source.c_str(), times);
    writeFile(destination, std::string("a much longer former content that must not survive"));

    ASSERT_TRUE(os::posix::copyFile(u16(source), u16(destination)));
    EXPECT_EQ(readFile(destination), content);
    EXPECT_EQ(statOf(destination).st_mode & 07777, 0751u);
    EXPECT_EQ(statOf(destination).st_mtim.tv_sec, 1200000000);
    EXPECT_EQ(statOf(destination).st_mtim.tv_nsec, 500000000);

    // Through a link, the link's target is copied as a plain file.
    fs::create_symlink(source, folder.path("link"));
    ASSERT_TRUE(os::posix::copyFile(u16(folder.path("link")), u16(folder.path("fromlink"))));
    EXPECT_FALSE(fs::is_symlink(folder.path("fromlink")));
    EXPECT_EQ(readFile(folder.path("fromlink")), content);
    // Nothing else is left beside them.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 4);
}

TEST(CopyFile, FailsWithoutTouchingAnythingWhereNoCopyCanBeMade)
{
    TemporaryDirectory folder;
    ASSERT_TRUE(folder.isValid());
    const std::u16string source = u16(folder.path("source"));
    writeFile(folder.path("source"), std::string("content"));
    writeFile(folder.path("destination"), std::string("former"));
    fs::create_directories(folder.path("full"));
    writeFile(folder.path("full/inside"), std::string("kept"));
    fs::create_directory(folder.path("empty"));
    ASSERT_EQ(::mkfifo(folder.path("fifo").c_str(), 0600), 0);

    EXPECT_FALSE(os::posix::copyFile(source, u16(folder.path("missing/target"))));
    EXPECT_FALSE(os::posix::copyFile(source, u16(folder.path("full"))));
    EXPECT_FALSE(os::posix::copyFile(source, u16(folder.path("empty"))));
    for (const char *name : {"nothing", "full", "fifo"})
        EXPECT_FALSE(os::posix::copyFile(u16(folder.path(name)), u16(folder.path("destination")))) << name;

    EXPECT_FALSE(fs::exists(folder.path("missing")));
    EXPECT_EQ(readFile(folder.path("full/inside")), "kept");
    EXPECT_TRUE(fs::is_directory(folder.path("empty")) && fs::is_empty(folder.path("empty")));
    EXPECT_EQ(readFile(folder.path("destination")), "former");
    // No temporary copy is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 5);
}

TEST(CopyPermissions, GivesTheDestinationTheSourcesBits)
{
    TemporaryDirectory folder;
    ASSERT_TRUE(folder.isValid());
    writeFile(folder.path("source"), std::string());
    writeFile(folder.path("destination"), std::string());
    ::chmod(folder.path("source").c_str(), 04710);

    EXPECT_TRUE(os::posix::copyPermissions(u16(folder.path("source")), u16(folder.path("destination"))));
    EXPECT_EQ(statOf(folder.path("destination")).st_mode & 07777, 04710u);
    EXPECT_FALSE(os::posix::copyPermissions(u16(folder.path("missing")), u16(folder.path("destination"))));
    EXPECT_FALSE(os::posix::copyPermissions(u16(folder.path("source")), u16(folder.path("missing"))));
}

TEST(PathConversion, RoundTripsEveryPlaneAndRefusesWhatNoFileNameHolds)
{
    const std::u16string text = u"C:/Пути/日本/\U0001F600.lnk";
    ASSERT_EQ(os::posix::systemPath(text), "C:/Пути/日本/\xF0\x9F\x98\x80.lnk");
    EXPECT_EQ(os::posix::fromUtf8(*os::posix::systemPath(text)), text);
    EXPECT_FALSE(os::posix::systemPath(std::u16string(u"a\0b", 3)));
    EXPECT_FALSE(os::posix::systemPath(u"\xDC00"));
    EXPECT_FALSE(os::posix::systemPath(u"a\xD800"));
    // A stray continuation, an overlong form, an encoded surrogate and a cut
    // sequence: each byte becomes one replacement character.
    EXPECT_EQ(os::posix::fromUtf8("a\x80" "b\xC0\xAF" "c\xED\xA0\x80" "d\xE2\x82"),
              u"a\xFFFD" u"b\xFFFD\xFFFD" u"c\xFFFD\xFFFD\xFFFD" u"d\xFFFD\xFFFD");
}

} // namespace
