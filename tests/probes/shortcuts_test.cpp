#include "probes/updateshortcuts.h"

#include "fakeos.h"
#include "shelllink.h"
#include "testsupport.h"

#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <tuple>

namespace {

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

// An installation folder "App" with the client and "bin" in it; links go below "Links".
class ShortcutsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fakeos::reset();
        ASSERT_TRUE(QDir().mkpath(path("App/bin")) && testsupport::writeFile(path("App/Corvatone.exe"), {}));
    }
    void TearDown() override { fakeos::reset(); }

    QString path(const QString &relative) const { return dir.filePath(relative); }

    // Writes a real link at a relative path; with neither target given it stores none.
    QString link(const QString &relative, const std::optional<QString> &target, const std::optional<std::u16string> &environmentTarget = {})
    {
        const QString linkPath = path(relative);
        const shelllink::LinkContent content{target ? std::optional(target->toStdU16String()) : std::nullopt, environmentTarget};
        EXPECT_TRUE(QDir().mkpath(QFileInfo(linkPath).absolutePath()) && shelllink::write(QFile::encodeName(linkPath).toStdString(), content));
        return linkPath;
    }

    QTemporaryDir dir;
};

TEST_F(ShortcutsTest, LocationsKeepOrderAndDropEmptiesAndEqualStrings)
{
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    const QString programs = QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation);
    ASSERT_NE(desktop, programs);
    const QString backslashed = QString(desktop).replace(u'/', u'\\');
    using Folder = std::optional<std::u16string>;
    const std::tuple<Folder, Folder, QStringList> cases[] = {
        {std::nullopt, u"C:\\Programs", {desktop, programs, "C:\\Programs"}},
        {u"", u"C:\\Users\\Public\\Desktop", {desktop, programs, "C:\\Users\\Public\\Desktop"}},
        // Other spellings of one folder are not equal strings.
        {desktop.toStdU16String(), backslashed.toStdU16String(), {desktop, programs, backslashed}},
        {programs.toStdU16String(), desktop.toStdU16String(), {desktop, programs}},
    };
    for (const auto &[commonDesktop, commonPrograms, expected] : cases) {
        fakeos::hooks().commonFolderPath = [desktop = commonDesktop, programs = commonPrograms](os::CommonFolder folder) {
            return folder == os::CommonFolder::Desktop ? desktop : programs;
        };
        EXPECT_EQ(UpdateShortcuts::locations(), expected);
    }
}

TEST_F(ShortcutsTest, TargetReadsWhatTheLinkStores)
{
    const QString client = path("App/Corvatone.exe");
    EXPECT_EQ(UpdateShortcuts::target(link("Links/a.lnk", client)), client);
    const QString none = UpdateShortcuts::target(link("Links/none.lnk", std::nullopt));
    EXPECT_TRUE(none.isEmpty() && !none.isNull());
    ASSERT_TRUE(testsupport::writeFile(path("Links/text.lnk"), "[InternetShortcut]\r\nURL=file:///App/Corvatone.exe\r\n"));
    for (const char *unreadable : {"Links/text.lnk", "Links/absent.lnk", "Links"})
        EXPECT_TRUE(UpdateShortcuts::target(path(unreadable)).isNull()) << unreadable;

    fakeos::hooks().shellLinkTarget = [](const std::u16string &) { return std::optional(std::u16string(u"C:\\App\\Corvatone.exe\0garbage", 28)); };
    EXPECT_EQ(UpdateShortcuts::target("padded.lnk"), "C:\\App\\Corvatone.exe");
}

TEST_F(ShortcutsTest, OnlyTargetsDirectlyInTheInstallationCount)
{
    ASSERT_TRUE(QDir().mkpath(path("Gone")) && QFile::link(path("App"), path("Linked")));
    // Relative targets would lead into the installation if they were resolved
    // against the working folder.
    ASSERT_TRUE(QDir().mkpath(path("$HOME")) && QFile::link(path("App"), path("$HOME/App")));
    const QString workingFolder = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));

    const QStringList expected = {
        link("Links/client.lnk", path("App/Corvatone.exe")),
        // The target itself need not exist, only its folder.
        link("Links/missing.lnk", path("App/Uninstall.exe")),
        link("Links/folder.lnk", path("App/bin")),
        link("Links/dotdot.lnk", path("App/bin/../Corvatone.exe")),
        link("Links/slashes.lnk", "/" + path("App//Corvatone.exe")),
        link("Links/Sub/Capital.LNK", path("Linked/Corvatone.exe")),
    };
    for (const auto &[name, target] : std::initializer_list<std::pair<const char *, QString>>{
             {"Links/below.lnk", path("App/bin/tool.exe")}, {"Links/itself.lnk", path("App")}, {"Links/beside.lnk", path("Corvatone.exe")},
             {"Links/gone.lnk", path("Gone/Corvatone.exe")}, {"Links/relative.lnk", "App/Corvatone.exe"},
             {"Links/variable.lnk", "$HOME/App/Corvatone.exe"}, {"Links/.hidden.lnk", path("App/Corvatone.exe")},
             {"Links/other.lnk.bak", path("App/Corvatone.exe")}})
        link(name, target);
    link("Links/envblock.lnk", std::nullopt, u"%ProgramFiles%\\App\\Corvatone.exe");
    ASSERT_TRUE(QDir(path("Gone")).removeRecursively());
    // A linked folder is not followed, so its links are not seen twice.
    ASSERT_TRUE(QFile::link(path("Links/Sub"), path("Links/Again")));

    const QStringList found = UpdateShortcuts::forInstallation(path("App"), {path("Links"), path("Links"), path("Absent")});
    const QStringList fromEmptyEntry = UpdateShortcuts::forInstallation(path("App"), {QString()});
    EXPECT_TRUE(QDir::setCurrent(workingFolder));
    EXPECT_EQ(sorted(found), sorted(expected));
    EXPECT_EQ(fromEmptyEntry, QStringList());
    // Folders are walked in the order given; the installation may be written another way.
    const QString second = link("Second/first.lnk", path("App/Corvatone.exe"));
    EXPECT_EQ(UpdateShortcuts::forInstallation(path("Linked/bin/.."), {path("Second"), path("Links/Sub")}), QStringList({second, expected.last()}));
}

TEST_F(ShortcutsTest, ComIsLeftExactlyWhenItWasEntered)
{
    const QString client = link("Links/client.lnk", path("App/Corvatone.exe"));
    // (what COM says, shortcuts found, links read, COM left)
    const std::tuple<os::ComInit, QStringList, int, int> cases[] = {
        {os::ComInit::Initialised, {client}, 1, 1},
        {os::ComInit::ChangedMode, {client}, 1, 0},
        {os::ComInit::Failed, {}, 0, 0},
    };
    for (const auto &[comInit, expected, reads, uninitialised] : cases) {
        fakeos::reset();
        fakeos::hooks().initialiseCom = [comInit = comInit] { return comInit; };
        EXPECT_EQ(UpdateShortcuts::forInstallation(path("App"), {path("Links")}), expected);
        EXPECT_EQ(fakeos::counts().shellLinkTarget, reads);
        EXPECT_EQ(fakeos::counts().uninitialiseCom, uninitialised);
    }

    // A missing installation reads no shortcut.
    fakeos::reset();
    EXPECT_EQ(UpdateShortcuts::forInstallation(path("Gone"), {path("Links")}), QStringList());
    EXPECT_EQ(fakeos::counts().shellLinkTarget, 0);
}

} // namespace
