#include "testsupport.h"

#include <sys/stat.h>
#include <sys/time.h>

namespace {

namespace fs = std::filesystem;
using Files = FolderTest;

TEST_F(Files, AttributesTellFoldersFilesLinksAndMissingPathsApart)
{
    fs::create_directory(path("dir"));
    write(path("file"), "x");
    fs::create_directory_symlink(path("dir"), path("dirlink"));
    fs::create_symlink(path("file"), path("filelink"));
    fs::create_symlink(path("gone"), path("dangling"));
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);

    // The directory and reparse point bits, or all bits for what is missing.
    const auto kind = [&](const std::string &name) {
        const std::uint32_t attributes = os::posix::fileAttributes(at(name));
        return attributes == os::InvalidFileAttributes ? attributes : attributes & (os::DirectoryAttribute | os::ReparsePointAttribute);
    };
    EXPECT_EQ(kind("dir"), os::DirectoryAttribute);
    EXPECT_EQ(kind("file"), 0u);
    // A trailing slash must not make the link look like its target.
    for (const char *link : {"dirlink", "dirlink/"})
        EXPECT_EQ(kind(link), os::DirectoryAttribute | os::ReparsePointAttribute) << link;
    EXPECT_EQ(kind("filelink"), os::ReparsePointAttribute);
    EXPECT_EQ(kind("dangling"), os::ReparsePointAttribute);
    // Not a plain file: callers must not try to copy it.
    EXPECT_EQ(kind("fifo"), os::ReparsePointAttribute);
    EXPECT_EQ(kind("missing"), os::InvalidFileAttributes);
}

TEST_F(Files, CopyReplacesTheDestinationWithContentModeAndTime)
{
    const std::string content("binary\0content", 14);
    write(path("Корвато́н.lnk"), content);
    ::chmod(path("Корвато́н.lnk").c_str(), 0751);
    const struct timeval times[2] = {{1000000000, 0}, {1200000000, 500000}};
    ::utimes(path("Корвато́н.lnk").c_str(), times);
    write(path("copy.lnk"), "a much longer former content that must not survive");

    ASSERT_TRUE(os::posix::copyFile(at("Корвато́н.lnk"), at("copy.lnk")));
    EXPECT_EQ(read(path("copy.lnk")), content);
    EXPECT_EQ(fs::status(path("copy.lnk")).permissions(), fs::perms(0751));
    EXPECT_EQ(fs::last_write_time(path("copy.lnk")), fs::last_write_time(path("Корвато́н.lnk")));
    // Through a link, the link's target is copied as a plain file.
    fs::create_symlink(path("Корвато́н.lnk"), path("link"));
    ASSERT_TRUE(os::posix::copyFile(at("link"), at("fromlink")));
    EXPECT_FALSE(fs::is_symlink(path("fromlink")));
    EXPECT_EQ(read(path("fromlink")), content);
    // No temporary copy is left beside them.
    EXPECT_EQ(entryCount(), 4);

    EXPECT_TRUE(os::posix::copyPermissions(at("Корвато́н.lnk"), at("link")));
    EXPECT_FALSE(os::posix::copyPermissions(at("missing"), at("copy.lnk")));
}

TEST_F(Files, CopyFailsWithoutTouchingAnythingWhereNoCopyCanBeMade)
{
    write(path("source"), "content");
    write(path("destination"), "former");
    fs::create_directories(path("full"));
    write(path("full/inside"), "kept");
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);

    for (const char *name : {"missing/target", "full"})
        EXPECT_FALSE(os::posix::copyFile(at("source"), at(name))) << name;
    for (const char *name : {"nothing", "full", "fifo"})
        EXPECT_FALSE(os::posix::copyFile(at(name), at("destination"))) << name;
    EXPECT_EQ(read(path("full/inside")), "kept");
    EXPECT_EQ(read(path("destination")), "former");
    // Nothing new: no temporary copy, no "missing" folder.
    EXPECT_EQ(entryCount(), 4);
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
