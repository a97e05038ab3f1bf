#include "probes/updateinstallation.h"

#include <QDir>
#include <QTemporaryDir>

#include "probetestsupport.h"

#include <gtest/gtest.h>

#include <tuple>
#include <utility>

namespace {

QByteArray package(const QByteArray &name, const QByteArray &version)
{
    return "<Package><Name>" + name + "</Name><Version>" + version + "</Version></Package>";
}

QByteArray client(const QByteArray &version)
{
    return package("com.quintaver.tallyroom", version);
}

QByteArray document(const QByteArray &packages)
{
    return "<?xml version=\"1.0\"?>\n<Packages>\n" + packages + "\n</Packages>\n";
}

class InstallationTest : public ::testing::Test
{
protected:
    bool matches(const QByteArray &record, const char *expected)
    {
        EXPECT_TRUE(writeFile(dir.filePath(QStringLiteral("components.xml")), record));
        return UpdateInstallation::matchesVersion(dir.path(), QString::fromUtf8(expected));
    }

    QTemporaryDir dir;
};

TEST_F(InstallationTest, LastClientPackageAtAnyDepthDecides)
{
    const QByteArray name = "<Name>com.quintaver.tallyroom</Name>";
    // Records of exactly the limit, 4 MiB, and one byte over it.
    const qsizetype frame = document(client("2.3.2") + "<!---->").size();
    const auto padded = [frame](qsizetype size) {
        return document(client("2.3.2") + "<!--" + QByteArray(size - frame, 'x') + "-->");
    };
    const std::pair<QByteArray, bool> cases[] = {
        { document(client("2.3.1") + client("2.3.2")), true },
        { document(client("2.3.2") + client("2.3.1")), false },
        { document(client("2.3.2") + package("com.quintaver.other", "9.9")), true },
        // A last client package without a version wipes out the earlier one.
        { document(client("2.3.2") + "<Package>" + name + "</Package>"), false },
        // A repeated child replaces the earlier text.
        { document("<Package><Version>1.0</Version>" + name + "<Version>2.3.2</Version></Package>"), true },
        { document(package("Com.Quintaver.Tallyroom", "2.3.2")), false },
        { document(package(" com.quintaver.tallyroom", "2.3.2")), false },
        { document("<package>" + name + "<Version>2.3.2</Version></package>"), false },
        { document("<Package>" + name + "<version>2.3.2</version></Package>"), false },
        { document(""), false },
        { document("<Group><Sub>" + client("2.3.2") + "</Sub></Group>"), true },
        // Inside another package the client's entry is an unknown child, skipped whole.
        { document("<Package><Name>com.quintaver.other</Name>" + client("2.3.2") + "</Package>"), false },
        { document("<Package>" + name + "<Version>2.3.2</Version>" + client("1.0") + "</Package>"), true },
        { document("<Package>" + name + "<Version>2.3.2</Version><Dependencies><Name>x</Name><Version>1.0</Version>"
                   "</Dependencies></Package>"), true },
        // Broken documents.
        { document(client("2.3.2")) + "<garbage", false },
        { document(client("2.3.2") + "<Other></Mismatch>"), false },
        { document(client("2.3.<b>2</b>")), false },
        { document(package("com.quintaver.<i/>tallyroom", "2.3.2")), false },
        { document(client("2.3.2")).left(60), false },
        { QByteArray(), false },
        { padded(4194304), true },
        { padded(4194305), false },
    };
    ASSERT_EQ(padded(4194304).size(), 4194304);
    for (const auto &[record, result] : cases) {
        SCOPED_TRACE(record.left(200).toStdString());
        EXPECT_EQ(matches(record, "2.3.2"), result);
    }
}

TEST_F(InstallationTest, VersionsMustBeCompleteAndEqual)
{
    const std::tuple<const char *, const char *, bool> cases[] = {
        { "2.3.2", "2.3.2", true },       { "1.02", "1.2", true },          { "2.3.2", "2.3.2-rc1", false },
        { "2.3.2-rc1", "2.3.2", false },  { "2.3.2", "2.3.2.0", false },    { "2.3.2.0", "2.3.2", false },
        { "2.3.", "2.3", false },         { "2..3", "2", false },           { " 2.3.2", "2.3.2", false },
        { "\n2.3.2\n", "2.3.2", false },  { "2. 3.2", "2.3.2", false },     { "2.+3.2", "2.3.2", false },
        { "2.3.2", " 2.3.2", false },     { "2.3.2", "+2.3.2", false },     { "2.3.2 ", "2.3.2", false },
        { "", "2.3.2", false },           { "2.3.2", "", false },           { "beta", "beta", false },
        { "99999999999", "99999999999", false },
    };
    for (const auto &[installed, expected, result] : cases) {
        SCOPED_TRACE(std::string("installed '") + installed + "', expected '" + expected + "'");
        EXPECT_EQ(matches(document(client(installed)), expected), result);
    }
}

TEST_F(InstallationTest, MissingOrUnreadableRecordIsFalse)
{
    EXPECT_FALSE(UpdateInstallation::matchesVersion(dir.path(), QStringLiteral("2.3.2")));
    EXPECT_FALSE(UpdateInstallation::matchesVersion(dir.filePath(QStringLiteral("absent")), QStringLiteral("2.3.2")));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("components.xml")));
    EXPECT_FALSE(UpdateInstallation::matchesVersion(dir.path(), QStringLiteral("2.3.2")));
}

} // namespace
