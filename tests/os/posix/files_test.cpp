#include "testsupport.h"

#include <sys/stat.h>
#include <sys/time.h>

namespace {

namespace fs = std::filesystem;
using FileAttributes = FolderTest;
using CopyFile = FolderTest;
using CopyPermissions = FolderTest;

TEST_F(FileAttributes, TellFoldersFilesLinksAndMissingPathsApart)
{
    fs::create_directory(path("dir"));
    writeFile(path("file"), std::string("x"));
    fs::create_directory_symlink(path("dir"), path("dirlink"));
    fs::create_symlink(path("file"), path("filelink"));
    fs::create_symlink(path("gone"), path("dangling"));
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);

    // The directory and reparse point bits, or all bits for what is missing.
    const auto kind = [&](const std::string &name) {
        const std::uint32_t attributes = os::posix::fileAttributes(u16(path(name)));
        return attributes == os::InvalidFileAttributes ? attributes : attributes & (os::DirectoryAttribute | os::ReparsePointAttribute);
    };
    EXPECT_EQ(kind("dir"), os::DirectoryAttribute);
    EXPECT_EQ(kind("file"), 0u);
    EXPECT_EQ(kind("dirlink"), os::DirectoryAttribute | os::ReparsePointAttribute);
    // A trailing slash must not make the link look like its target.
    EXPECT_EQ(kind("dirlink/"), os::DirectoryAttribute | os::ReparsePointAttribute);
    EXPECT_EQ(kind("filelink"), os::ReparsePointAttribute);
    EXPECT_EQ(kind("dangling"), os::ReparsePointAttribute);
    // Not a plain file: callers must not try to copy it.
    EXPECT_EQ(kind("fifo"), os::ReparsePointAttribute);
    EXPECT_EQ(kind("missing"), os::InvalidFileAttributes);
}

TEST_F(CopyFile, ReplacesTheDestinationWithContentModeAndModificationTime)
{
    const std::string content("binary\0content", 14);
    const std::string source = path("Корвато́н.lnk");
    writeFile(source, content);
    ::chmod(source.c_str(), 0751);
    const struct timeval times[2] = {{1000000000, 0}, {1200000000, 500000}};
    ::utimes(source.c_str(), times);
    writeFile(path("copy.lnk"), std::string("a much longer former content that must not survive"));

    ASSERT_TRUE(os::posix::copyFile(u16(source), u16(path("copy.lnk"))));
    EXPECT_EQ(readFile(path("copy.lnk")), content);
    EXPECT_EQ(fs::status(path("copy.lnk")).permissions(), fs::perms(0751));
    // To the nanosecond: the source's time has a fraction of a second.
    EXPECT_EQ(fs::last_write_time(path("copy.lnk")), fs::last_write_time(source));

    // Through a link, the link's target is copied as a plain file.
    fs::create_symlink(source, path("link"));
    ASSERT_TRUE(os::posix::copyFile(u16(path("link")), u16(path("fromlink"))));
    EXPECT_FALSE(fs::is_symlink(path("fromlink")));
    EXPECT_EQ(readFile(path("fromlink")), content);
    // No temporary copy is left beside them.
    EXPECT_EQ(entryCount(), 4);
}

TEST_F(CopyFile, FailsWithoutTouchingAnythingWhereNoCopyCanBeMade)
{
    writeFile(path("source"), std::string("content"));
    writeFile(path("destination"), std::string("former"));
    fs::create_directories(path("full"));
    writeFile(path("full/inside"), std::string("kept"));
    fs::create_directory(path("empty"));
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);

    for (const char *name : {"missing/target", "full", "empty"})
        EXPECT_FALSE(os::posix::copyFile(u16(path("source")), u16(path(name)))) << name;
    for (const char *name : {"nothing", "full", "fifo"})
        EXPECT_FALSE(os::posix::copyFile(u16(path(name)), u16(path("destination")))) << name;

    EXPECT_EQ(readFile(path("full/inside")), "kept");
    EXPECT_TRUE(fs::is_empty(path("empty")));
    EXPECT_EQ(readFile(path("destination")), "former");
    // Nothing new: no temporary copy, no "missing" folder.
    EXPECT_EQ(entryCount(), 5);
}

TEST_F(CopyPermissions, GivesTheDestinationTheSourcesBits)
{
    writeFile(path("source"), std::string());
    writeFile(path("destination"), std::string());
    ::chmod(path("source").c_str(), 04710);

    EXPECT_TRUE(os::posix::copyPermissions(u16(path("source")), u16(path("destination"))));
    EXPECT_EQ(fs::status(path("destination")).permissions(), fs::perms(04710));
    EXPECT_FALSE(os::posix::copyPermissions(u16(path("missing")), u16(path("destination"))));
    EXPECT_FALSE(os::posix::copyPermissions(u16(path("source")), u16(path("missing"))));
}

TEST(PathConversion, RoundTripsEveryPlaneAndRefusesWhatNoFileNameHolds)
{
    const std::u16string text = u"C:/Пути/日本/\U0001F600.lnk";
    ASSERT_EQ(os::posix::systemPath(text), "C:/Пути/日本/\xF0\x9F\x98\x80.lnk");
    EXPECT_EQ(os::posix::fromUtf8(*os::posix::systemPath(text)), text);
    for (const std::u16string &refused : {std::u16string(u"a\0b", 3), std::u16string(u"\xDC00"), std::u16string(u"a\xD800")})
        EXPECT_FALSE(os::posix::systemPath(refused));
    // A stray continuation, an overlong form, an encoded surrogate and a cut
    // sequence: each byte becomes one replacement character.
    EXPECT_EQ(os::posix::fromUtf8("a\x80" "b\xC0\xAF" "c\xED\xA0\x80" "d\xE2\x82"),
              u"a\xFFFD" u"b\xFFFD\xFFFD" u"c\xFFFD\xFFFD\xFFFD" u"d\xFFFD\xFFFD");
}

} // namespace
