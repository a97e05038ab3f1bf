#include "probes/updateshortcuts.h"

#include "shelllink.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include "probetestsupport.h"

#include <gtest/gtest.h>

namespace {

// An installation folder "App" with the client and "bin" in it; links go below "Links".
class ShortcutsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QDir().mkpath(path("App/bin")));
        ASSERT_TRUE(writeFile(path("App/Corvatone.exe"), {}));
    }

    QString path(const QString &relative) const { return dir.filePath(relative); }

    // Writes a link at a relative path; with neither target given it stores none.
    QString link(const QString &relative, const std::optional<QString> &target,
                 const std::optional<std::u16string> &environmentTarget = std::nullopt)
    {
        const QString linkPath = path(relative);
        const shelllink::LinkContent content{ target ? std::optional(target->toStdU16String()) : std::nullopt,
                                        environmentTarget };
        EXPECT_TRUE(QDir().mkpath(QFileInfo(linkPath).absolutePath())
                    && shelllink::write(QFile::encodeName(linkPath).toStdString(), content))
            << relative.toStdString();
        return linkPath;
    }

    QTemporaryDir dir;
};

TEST_F(ShortcutsTest, TargetReadsWhatTheLinkStores)
{
    const QString client = path("App/Corvatone.exe");
    EXPECT_EQ(UpdateShortcuts::target(link("Links/a.lnk", client)), client);
    EXPECT_EQ(UpdateShortcuts::target(link("Links/w.lnk", "C:\\Program Files\\x.exe")), "C:\\Program Files\\x.exe");
    const QString none = UpdateShortcuts::target(link("Links/none.lnk", std::nullopt));
    EXPECT_TRUE(none.isEmpty() && !none.isNull());

    ASSERT_TRUE(writeFile(path("Links/text.lnk"), "[InternetShortcut]\r\nURL=file:///App/Corvatone.exe\r\n"));
    for (const char *unreadable : { "Links/text.lnk", "Links/absent.lnk", "Links" })
        EXPECT_TRUE(UpdateShortcuts::target(path(unreadable)).isNull()) << unreadable;
    // A path with a NUL inside would reach the system cut short.
    EXPECT_TRUE(UpdateShortcuts::target(path("Links/a.lnk") + QChar::Null + "b").isNull());
}

TEST_F(ShortcutsTest, OnlyTargetsDirectlyInTheInstallationCount)
{
    ASSERT_TRUE(QDir().mkpath(path("Gone")));
    ASSERT_TRUE(QFile::link(path("App"), path("Linked")));
    // Relative targets would lead into the installation if they were resolved
    // against the working folder.
    ASSERT_TRUE(QDir().mkpath(path("$HOME")));
    ASSERT_TRUE(QFile::link(path("App"), path("$HOME/App")));
    const QString workingFolder = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));

    const QStringList expected = {
        link("Links/client.lnk", path("App/Corvatone.exe")),
        // The target itself need not exist, only its folder.
        link("Links/missing.lnk", path("App/Uninstall.exe")),
        link("Links/folder.lnk", path("App/bin")),
        link("Links/dotdot.lnk", path("App/bin/../Corvatone.exe")),
        link("Links/linked.lnk", path("Linked/Corvatone.exe")),
        link("Links/slashes.lnk", "/" + path("App//Corvatone.exe")),
    };
    link("Links/below.lnk", path("App/bin/tool.exe"));
    link("Links/itself.lnk", path("App"));
    link("Links/beside.lnk", path("Corvatone.exe"));
    link("Links/gone.lnk", path("Gone/Corvatone.exe"));
    link("Links/relative.lnk", "App/Corvatone.exe");
    link("Links/variable.lnk", "$HOME/App/Corvatone.exe");
    link("Links/envblock.lnk", std::nullopt, u"%ProgramFiles%\\App\\Corvatone.exe");
    link("Links/notarget.lnk", std::nullopt);
    ASSERT_TRUE(QDir(path("Gone")).removeRecursively());

    const QStringList found = UpdateShortcuts::forInstallation(path("App"), { path("Links") });
    const QStringList fromEmptyEntry = UpdateShortcuts::forInstallation(path("App"), { QString() });
    EXPECT_TRUE(QDir::setCurrent(workingFolder));
    EXPECT_EQ(fromEmptyEntry, QStringList());
    EXPECT_EQ(sorted(found), sorted(expected));
}

TEST_F(ShortcutsTest, InstallationMayBeWrittenAnotherWay)
{
    const QString client = link("Links/client.lnk", path("App/Corvatone.exe"));
    ASSERT_TRUE(QFile::link(path("App"), path("Linked")));
    for (const char *written : { "App/", "App/bin/..", "Links/../App", "Linked", "./App//" })
        EXPECT_EQ(UpdateShortcuts::forInstallation(path(written), { path("Links") }), QStringList{ client }) << written;
    EXPECT_EQ(UpdateShortcuts::forInstallation(path("Absent"), { path("Links") }), QStringList());
}

TEST_F(ShortcutsTest, WalkFindsLinkFilesBelowEachFolderOnce)
{
    const QString target = path("App/Corvatone.exe");
    const QStringList expected = { link("Links/top.lnk", target), link("Links/Capital.LNK", target),
                                   link("Links/Programs/Corvatone/deep/deeper.lnk", target) };
    for (const char *ignored : { "Links/.hidden.lnk", "Links/other.lnk.bak", "Links/lnk" })
        link(ignored, target);
    ASSERT_TRUE(QDir().mkpath(path("Links/folder.lnk")));
    // A linked folder is not followed, so its links are not seen twice.
    ASSERT_TRUE(QFile::link(path("Links/Programs"), path("Links/Again")));

    EXPECT_EQ(sorted(UpdateShortcuts::forInstallation(path("App"), { path("Links"), path("Links"), path("Absent") })),
              sorted(expected));
    // Folders are walked in the order given.
    const QString second = link("Second/first.lnk", target);
    EXPECT_EQ(UpdateShortcuts::forInstallation(path("App"), { path("Second"), path("Links/Programs") }),
              QStringList({ second, expected.last() }));
}

} // namespace
