#include "probes/updateinstallation.h"
#include "probes/updateprocesses.h"
#include "probes/updateshortcuts.h"

#include "fakeos.h"
#include "shelllink.h"
#include "testsupport.h"

#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <tuple>

namespace {

// The real POSIX backend, with a hook of the fake one where a test sets it.
class ProbesTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fakeos::reset();
        ASSERT_TRUE(QDir().mkpath(path("App/bin"))
                    && testsupport::writeFile(path("App/Corvatone.exe"), {}));
    }
    void TearDown() override { fakeos::reset(); }

    QString path(const QString &relative) const { return dir.filePath(relative); }
    // Writes a real shell link; with neither target given it stores none.
    QString link(const QString &relative, const std::optional<QString> &target,
                 const std::optional<std::u16string> &environmentTarget = {})
    {
        const shelllink::LinkContent content{
                target ? std::optional(target->toStdU16String()) : std::nullopt, environmentTarget};
        EXPECT_TRUE(QDir().mkpath(QFileInfo(path(relative)).absolutePath())
                    && shelllink::write(QFile::encodeName(path(relative)).toStdString(), content));
        return path(relative);
    }

    QTemporaryDir dir;
};

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

TEST_F(ProbesTest, ProcessesMatchByWholeNameInAnyLetterCaseInSnapshotOrder)
{
    fakeos::hooks().processSnapshot = [] {
        return os::ProcessSnapshot{{299},
                                   {{7, u"B.EXE"},
                                    {4, u"b.exe"},
                                    {12345, u"b.exe.x"},
                                    {31, u"b"},
                                    {4294967295u, u"b.Exe"},
                                    {10, u"КОРВАТОН.EXE"}}};
    };
    // The walk broke off: what it found is kept beside the error.
    const UpdateProcesses::Result result = UpdateProcesses::running("b.exe");
    EXPECT_EQ(result.pids, QStringList({"7", "4", "4294967295"}));
    EXPECT_EQ(result.error, 299u);
    EXPECT_EQ(UpdateProcesses::running("корватон.exe").pids, QStringList{"10"});
}

// A components.xml record (null for none), the expected version, and whether they match.
struct RecordRow
{
    const char *name;
    QByteArray record;
    const char *expected;
    bool matches;
};

// A record of the client's 2.3.2 padded to this size.
QByteArray padded(qsizetype size)
{
    const QByteArray frame = document(client("2.3.2") + "<!---->");
    return document(client("2.3.2") + "<!--" + QByteArray(size - frame.size(), 'x') + "-->");
}
QByteArray installed(const QByteArray &version)
{
    return document(client(version));
}

const RecordRow RecordRows[] = {
        {"EarlierPackageDoesNotCount", document(client("2.3.2") + client("2.3.1")), "2.3.2", false},
        // A last client package without a version wipes out the earlier one.
        {"LastClientPackageWithoutVersion",
         document(client("2.3.2") + "<Package><Name>com.quintaver.tallyroom</Name></Package>"),
         "2.3.2", false},
        {"NameInOtherCase", document(package("Com.Quintaver.Tallyroom", "2.3.2")), "2.3.2", false},
        // The name is taken whole, not trimmed and not as a prefix.
        {"NameWithBlank", document(package("com.quintaver.tallyroom ", "2.3.2")), "2.3.2", false},
        {"InGroups", document("<Group><Sub>" + client("2.3.2") + "</Sub></Group>"), "2.3.2", true},
        // Inside another package the client's entry is an unknown child, skipped whole.
        {"PackageInsideAnother",
         document("<Package><Name>com.quintaver.other</Name>" + client("2.3.2") + "</Package>"),
         "2.3.2", false},
        {"MalformedRecord", document(client("2.3.2")) + "<garbage", "2.3.2", false},
        // Records of exactly the limit, 4 MiB, and one byte over it.
        {"RecordOfTheLimit", padded(4194304), "2.3.2", true},
        {"RecordOverTheLimit", padded(4194305), "2.3.2", false},
        {"NoRecord", QByteArray(), "2.3.2", false},
        // Versions must be complete and equal.
        {"Equal", installed("2.3.2"), "2.3.2", true},
        {"LeadingZero", installed("1.09"), "1.9", true},
        {"Suffix", installed("2.3.2"), "2.3.2-rc1", false},
        {"Empty", installed(""), "", false},
        {"ExpectedLonger", installed("2.3.2"), "2.3.2.0", false},
        {"InstalledLonger", installed("2.3.2.0"), "2.3.2", false},
        {"EmptySegment", installed("2.3."), "2.3", false},
        {"Sign", installed("2.+3"), "2.3", false},
        {"LeadingBlank", installed(" 2.3.2"), "2.3.2", false},
        {"TrailingBlank", installed("2.3.2"), "2.3.2 ", false},
};

class Record : public ProbesTest, public ::testing::WithParamInterface<RecordRow>
{ };

TEST_P(Record, MatchesTheExpectedVersion)
{
    const RecordRow &row = GetParam();
    ASSERT_TRUE(row.record.isNull()
                || testsupport::writeFile(path("App/components.xml"), row.record));
    EXPECT_EQ(UpdateInstallation::matchesVersion(path("App"), row.expected), row.matches);
}

INSTANTIATE_TEST_SUITE_P(Rows, Record, ::testing::ValuesIn(RecordRows), testsupport::rowName);

TEST_F(ProbesTest, LocationsKeepOrderAndDropEmptiesAndEqualStrings)
{
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    const QString programs = QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation);
    const QString backslashed = QString(desktop).replace(u'/', u'\\');
    using Folder = std::optional<std::u16string>;
    const std::tuple<Folder, Folder, QStringList> cases[] = {
            {std::nullopt, u"", {desktop, programs}},
            {u"C:\\Users\\Public\\Desktop",
             u"C:\\Programs",
             {desktop, programs, "C:\\Users\\Public\\Desktop", "C:\\Programs"}},
            // Other spellings of one folder are not equal strings.
            {desktop.toStdU16String(),
             backslashed.toStdU16String(),
             {desktop, programs, backslashed}},
    };
    for (const auto &[commonDesktop, commonPrograms, expected] : cases) {
        fakeos::hooks().commonFolderPath = [&](os::CommonFolder folder) {
            const Folder &path =
                    folder == os::CommonFolder::Desktop ? commonDesktop : commonPrograms;
            return path ? fakeos::succeeded(*path) : fakeos::failedWith<std::u16string>(ENOENT);
        };
        EXPECT_EQ(UpdateShortcuts::locations(), expected);
    }
}

TEST_F(ProbesTest, ShortcutTargetsDirectlyInTheInstallationCount)
{
    EXPECT_EQ(UpdateShortcuts::target(link("Links/a.lnk", path("App/Corvatone.exe"))),
              path("App/Corvatone.exe"));
    const QString none = UpdateShortcuts::target(link("Links/none.lnk", std::nullopt));
    EXPECT_TRUE(none.isEmpty() && !none.isNull());
    EXPECT_TRUE(UpdateShortcuts::target(path("Links")).isNull());
    // Relative targets would lead into the installation if they were resolved against the working
    // folder.
    ASSERT_TRUE(QDir().mkpath(path("Gone")) && QFile::link(path("App"), path("Linked"))
                && QFile::link(path("App"), path("$HOME")));
    const QString workingFolder = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    // The target itself need not exist, only its folder; capitals in the extension count, hidden
    // files do not.
    const QStringList expected = {
            path("Links/a.lnk"), link("Links/missing.lnk", path("App/Uninstall.exe")),
            link("Links/folder.lnk", path("App/bin")),
            link("Links/dotdot.lnk", path("App/bin/../Corvatone.exe")),
            link("Links/Sub/Capital.LNK", "/" + path("Linked//Corvatone.exe"))};
    for (const auto &[name, target] : std::initializer_list<std::pair<const char *, QString>>{
                 {"below", path("App/bin/tool.exe")},
                 {"itself", path("App")},
                 {"beside", path("Corvatone.exe")},
                 {"gone", path("Gone/x.exe")},
                 {"relative", "App/Corvatone.exe"},
                 {"variable", "$HOME/Corvatone.exe"},
                 {".hidden", path("App/Corvatone.exe")}})
        link(QStringLiteral("Links/%1.lnk").arg(QLatin1String(name)), target);
    link("Links/environment.lnk", std::nullopt, u"%ProgramFiles%\\App\\Corvatone.exe");
    ASSERT_TRUE(QDir(path("Gone")).removeRecursively());
    // A linked folder is not followed, so its links are not seen twice.
    ASSERT_TRUE(QFile::link(path("Links/Sub"), path("Links/Again")));
    QStringList found = UpdateShortcuts::forInstallation(
            path("App"), {path("Links"), path("Links"), path("Absent")});
    const QStringList fromEmptyEntry = UpdateShortcuts::forInstallation(path("App"), {QString()});
    EXPECT_TRUE(QDir::setCurrent(workingFolder));
    QStringList sorted = expected;
    sorted.sort();
    found.sort();
    EXPECT_EQ(found, sorted);
    EXPECT_EQ(fromEmptyEntry, QStringList());
    // Folders are walked in the order given; the installation may be written another way.
    EXPECT_EQ(UpdateShortcuts::forInstallation(path("Linked/bin/.."),
                                               {path("Links/Sub"), path("Links")})
                      .first(),
              expected.last());

    fakeos::hooks().shellLinkTarget = [](const std::u16string &) {
        return fakeos::succeeded(std::u16string(u"C:\\App\\Corvatone.exe\0garbage", 28));
    };
    EXPECT_EQ(UpdateShortcuts::target("padded.lnk"), "C:\\App\\Corvatone.exe");
}

TEST_F(ProbesTest, ComIsLeftExactlyWhenItWasEntered)
{
    const QString client = link("Links/client.lnk", path("App/Corvatone.exe"));
    // (what COM says, shortcuts found, links read, COM left)
    const std::tuple<os::ComInit, QStringList, int, int> cases[] = {
            {os::ComInit::Initialised, {client}, 1, 1},
            {os::ComInit::ChangedMode, {client}, 1, 0},
            {os::ComInit::Failed, {}, 0, 0}};
    for (const auto &[comInit, expected, reads, uninitialised] : cases) {
        fakeos::reset();
        fakeos::hooks().initialiseCom = [&] { return comInit; };
        EXPECT_EQ(UpdateShortcuts::forInstallation(path("App"), {path("Links")}), expected);
        EXPECT_EQ(fakeos::counts().shellLinkTarget, reads);
        EXPECT_EQ(fakeos::counts().uninitialiseCom, uninitialised);
    }
    // A missing installation reads no shortcut.
    EXPECT_EQ(UpdateShortcuts::forInstallation(path("Gone"), {path("Links")}), QStringList());
    EXPECT_EQ(fakeos::counts().shellLinkTarget, 0);
}

} // namespace
