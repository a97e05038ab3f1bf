#include "probes/updateinstallation.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class InstallationTest : public ::testing::Test
{
protected:
    void writeRecord(const QByteArray &content)
    {
        QFile file(dir.path() + QLatin1String("/components.xml"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(file.write(content), content.size());
    }

    bool matches(const QByteArray &content, const char *expected)
    {
        writeRecord(content);
        return UpdateInstallation::matchesVersion(dir.path(), QString::fromUtf8(expected));
    }

    static QByteArray package(const QByteArray &name, const QByteArray &version)
    {
        return "<Package><Name>" + name + "</Name><Version>" + version + "</Version></Package>";
    }

    static QByteArray document(const QByteArray &packages)
    {
        return "<?xml version=\"1.0\"?>\n<Packages>\n" + packages + "\n</Packages>\n";
    }

    static QByteArray client(const QByteArray &version)
    {
        return package("com.quintaver.tallyroom", version);
    }

    QTemporaryDir dir;
};

TEST_F(InstallationTest, LastClientPackageDecides)
{
    EXPECT_TRUE(matches(document(client("2.3.1") + client("2.3.2")), "2.3.2"));
    EXPECT_FALSE(matches(document(client("2.3.2") + client("2.3.1")), "2.3.2"));
    EXPECT_TRUE(matches(document(client("2.3.2") + package("com.quintaver.other", "9.9")), "2.3.2"));
    // A last client package without a version wipes out the earlier one.
    EXPECT_FALSE(matches(document(client("2.3.2") + "<Package><Name>com.quintaver.tallyroom</Name></Package>"),
                         "2.3.2"));
    // A repeated child replaces the earlier text.
    EXPECT_TRUE(matches(document("<Package><Version>1.0</Version><Name>com.quintaver.tallyroom</Name>"
                                 "<Version>2.3.2</Version></Package>"),
                        "2.3.2"));
}

TEST_F(InstallationTest, VersionsMustBeCompleteAndEqual)
{
    struct Case
    {
        const char *installed;
        const char *expected;
        bool result;
    };
    const Case cases[] = {
        { "2.3.2", "2.3.2", true },
        { "1.02", "1.2", true },
        { "2.3.2", "2.3.2-rc1", false },
        { "2.3.2-rc1", "2.3.2", false },
        { "2.3.2", "2.3.2.0", false },
        { "2.3.2.0", "2.3.2", false },
        { "2.3.", "2.3", false },
        { "2..3", "2", false },
        { " 2.3.2", "2.3.2", false },
        { "\n2.3.2\n", "2.3.2", false },
        { "2. 3.2", "2.3.2", false },
        { "2.+3.2", "2.3.2", false },
        { "2.3.2", " 2.3.2", false },
        { "2.3.2", "+2.3.2", false },
        { "2.3.2 ", "2.3.2", false },
        { "", "2.3.2", false },
        { "2.3.2", "", false },
        { "beta", "beta", false },
        { "99999999999", "99999999999", false },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("installed '") + c.installed + "', expected '" + c.expected + "'");
        EXPECT_EQ(matches(document(client(c.installed)), c.expected), c.result);
    }
}

TEST_F(InstallationTest, PackageNameIsExactAndCaseSensitive)
{
    EXPECT_FALSE(matches(document(package("Com.Quintaver.Tallyroom", "2.3.2")), "2.3.2"));
    EXPECT_FALSE(matches(document(package(" com.quintaver.tallyroom", "2.3.2")), "2.3.2"));
    EXPECT_FALSE(matches(document(package("com.quintaver.tallyroom\n", "2.3.2")), "2.3.2"));
    EXPECT_FALSE(matches(document("<package><Name>com.quintaver.tallyroom</Name><Version>2.3.2</Version></package>"),
                         "2.3.2"));
    EXPECT_FALSE(matches(document("<Package><Name>com.quintaver.tallyroom</Name><version>2.3.2</version></Package>"),
                         "2.3.2"));
    EXPECT_FALSE(matches(document(""), "2.3.2"));
}

TEST_F(InstallationTest, BrokenDocumentsAreRefused)
{
    EXPECT_FALSE(matches(document(client("2.3.2")) + "<garbage", "2.3.2"));
    EXPECT_FALSE(matches(document(client("2.3.2") + "<Other></Mismatch>"), "2.3.2"));
    EXPECT_FALSE(matches(document(client("2.3.<b>2</b>")), "2.3.2"));
    EXPECT_FALSE(matches(document(package("com.quintaver.<i/>tallyroom", "2.3.2")), "2.3.2"));
    EXPECT_FALSE(matches(document(client("2.3.2")).left(60), "2.3.2"));
    EXPECT_FALSE(matches(QByteArray(), "2.3.2"));
}

TEST_F(InstallationTest, PackagesAreFoundAtAnyDepthButNotInsideOtherPackages)
{
    EXPECT_TRUE(matches(document("<Group><Sub>" + client("2.3.2") + "</Sub></Group>"), "2.3.2"));
    // Inside another package the client's entry is just an unknown child.
    EXPECT_FALSE(matches(document("<Package><Name>com.quintaver.other</Name>" + client("2.3.2") + "</Package>"),
                         "2.3.2"));
    EXPECT_TRUE(matches(document("<Package><Name>com.quintaver.tallyroom</Name><Version>2.3.2</Version>"
                                 + client("1.0") + "</Package>"),
                        "2.3.2"));
    // Name and Version deeper inside an unknown child do not count.
    EXPECT_TRUE(matches(document("<Package><Name>com.quintaver.tallyroom</Name><Version>2.3.2</Version>"
                                 "<Dependencies><Name>x</Name><Version>1.0</Version></Dependencies></Package>"),
                        "2.3.2"));
}

TEST_F(InstallationTest, MissingOrUnreadableRecordIsFalse)
{
    EXPECT_FALSE(UpdateInstallation::matchesVersion(dir.path(), QStringLiteral("2.3.2")));
    EXPECT_FALSE(UpdateInstallation::matchesVersion(dir.path() + QLatin1String("/absent"), QStringLiteral("2.3.2")));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("components.xml")));
    EXPECT_FALSE(UpdateInstallation::matchesVersion(dir.path(), QStringLiteral("2.3.2")));
}

TEST_F(InstallationTest, SizeLimitIsFourMebibytesInclusive)
{
    const qsizetype limit = 4194304;
    const auto padded = [](qsizetype size) {
        const qsizetype frame = document(client("2.3.2") + "<!---->").size();
        return document(client("2.3.2") + "<!--" + QByteArray(size - frame, 'x') + "-->");
    };
    const QByteArray exact = padded(limit);
    ASSERT_EQ(exact.size(), limit);
    EXPECT_TRUE(matches(exact, "2.3.2"));

    const QByteArray over = padded(limit + 1);
    ASSERT_EQ(over.size(), limit + 1);
    EXPECT_FALSE(matches(over, "2.3.2"));
}

} // namespace
