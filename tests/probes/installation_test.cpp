#include "probes/updateinstallation.h"

#include "testsupport.h"

#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <random>
#include <tuple>

namespace {

QByteArray package(const QByteArray &name, const QByteArray &version)
{
    return "<Package><Name>" + name + "</Name><Version>" + version + "</Version></Package>";
}
QByteArray client(const QByteArray &version) { return package("com.quintaver.tallyroom", version); }
QByteArray document(const QByteArray &packages) { return "<?xml version=\"1.0\"?>\n<Packages>\n" + packages + "\n</Packages>\n"; }

class InstallationTest : public ::testing::Test
{
protected:
    bool matches(const QByteArray &record, const char *expected = "2.3.2")
    {
        EXPECT_TRUE(testsupport::writeFile(dir.filePath(QStringLiteral("components.xml")), record));
        return UpdateInstallation::matchesVersion(dir.path(), QString::fromUtf8(expected));
    }

    QTemporaryDir dir;
};

TEST_F(InstallationTest, LastClientPackageAtAnyDepthDecides)
{
    const QByteArray name = "<Name>com.quintaver.tallyroom</Name>";
    // Records of exactly the limit, 4 MiB, and one byte over it.
    const qsizetype frame = document(client("2.3.2") + "<!---->").size();
    const auto padded = [frame](qsizetype size) { return document(client("2.3.2") + "<!--" + QByteArray(size - frame, 'x') + "-->"); };
    const std::pair<QByteArray, bool> cases[] = {
        {document(client("2.3.1") + client("2.3.2")), true},
        {document(client("2.3.2") + client("2.3.1")), false},
        {document(client("2.3.2") + package("com.quintaver.other", "9.9")), true},
        // A last client package without a version wipes out the earlier one.
        {document(client("2.3.2") + "<Package>" + name + "</Package>"), false},
        {document(package("Com.Quintaver.Tallyroom", "2.3.2")), false},
        {document("<package>" + name + "<Version>2.3.2</Version></package>"), false},
        {document("<Group><Sub>" + client("2.3.2") + "</Sub></Group>"), true},
        // Inside another package the client's entry is an unknown child, skipped whole.
        {document("<Package><Name>com.quintaver.other</Name>" + client("2.3.2") + "</Package>"), false},
        {document(client("2.3.2")) + "<garbage", false},
        {document(client("2.3.<b>2</b>")), false},
        {QByteArray(), false},
        {padded(4194304), true},
        {padded(4194305), false},
    };
    ASSERT_EQ(padded(4194304).size(), 4194304);
    for (const auto &[record, result] : cases)
        EXPECT_EQ(matches(record), result) << record.left(200).toStdString();
}

TEST_F(InstallationTest, VersionsMustBeCompleteAndEqual)
{
    const std::tuple<const char *, const char *, bool> cases[] = {
        {"2.3.2", "2.3.2", true},       {"1.02", "1.2", true},         {"2.3.2", "2.3.2-rc1", false},
        {"2.3.2-rc1", "2.3.2", false},  {"2.3.2", "2.3.2.0", false},   {"2.3.2.0", "2.3.2", false},
        {"2.3.", "2.3", false},         {" 2.3.2", "2.3.2", false},    {"2.+3.2", "2.3.2", false},
        {"2.3.2", "+2.3.2", false},     {"", "2.3.2", false},          {"2.3.2", "", false},
        {"beta", "beta", false},
    };
    for (const auto &[installed, expected, result] : cases)
        EXPECT_EQ(matches(document(client(installed)), expected), result) << "installed '" << installed << "', expected '" << expected << "'";
    EXPECT_FALSE(UpdateInstallation::matchesVersion(dir.filePath(QStringLiteral("absent")), QStringLiteral("2.3.2")));
}

// Broken records, fed with a fixed seed: nothing may crash, and only a
// well-formed record that names the client may match.
TEST_F(InstallationTest, BrokenRecordsNeverMatch)
{
    const QByteArray valid = document(package("com.quintaver.other", "1.0.0") + client("2.3.2"));
    ASSERT_TRUE(matches(valid));
    const QList<QByteArray> tokens = {"<Package>", "</Package>", "<Name>", "</Version>", "com.quintaver.tallyroom", "2.3.2.0",
                                      "<!--", "<![CDATA[", "&#0;", "&undefined;", "<!DOCTYPE Packages [<!ENTITY v \"2.3.2\">]>",
                                      "&v;", QByteArray(1, '\0'), "\xFF\xFE", "<Package/>"};
    std::mt19937 random(0x5eed2);
    const auto below = [&](qsizetype bound) { return qsizetype(random() % std::uint32_t(bound)); };
    for (int round = 0; round < 1000; ++round) {
        QByteArray data = valid;
        const bool cut = round % 4 == 0;
        if (cut)
            data.truncate(below(valid.lastIndexOf("</Packages>")));
        for (int n = round % 3; n >= 0 && !cut; --n) {
            const qsizetype at = below(data.size() + 1);
            data = data.left(at) + tokens[below(tokens.size())] + data.mid(at + below(12));
        }
        QXmlStreamReader reader(data);
        while (!reader.atEnd())
            reader.readNext();
        const bool matched = matches(data);
        EXPECT_TRUE(!matched || (!cut && !reader.hasError() && data.contains("com.quintaver.tallyroom"))) << data.toStdString();
    }
}

} // namespace
