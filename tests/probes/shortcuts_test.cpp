#include "probes/updateshortcuts.h"

#include "shelllink.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include "qtprinters.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

bool writeLink(const QString &path, std::optional<QString> localPath,
               std::optional<QString> environmentTarget = std::nullopt)
{
    shelllink::LinkSpec spec;
    if (localPath)
        spec.localPath = localPath->toStdU16String();
    if (environmentTarget)
        spec.environmentTarget = environmentTarget->toStdU16String();
    return QDir().mkpath(QFileInfo(path).absolutePath()) && shelllink::write(QFile::encodeName(path).toStdString(), spec);
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

// An installation folder "App" with the client in it, and a folder of links.
class ShortcutsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(QDir().mkpath(app(QStringLiteral("bin"))));
        QFile client(app(QStringLiteral("Corvatone.exe")));
        ASSERT_TRUE(client.open(QIODevice::WriteOnly));
    }

    QString path(const QString &relative) const { return dir.path() + QLatin1Char('/') + relative; }
    QString app(const QString &relative = QString()) const
    {
        return relative.isEmpty() ? path(QStringLiteral("App")) : path(QStringLiteral("App/") + relative);
    }
    QString links(const QString &relative = QString()) const
    {
        return relative.isEmpty() ? path(QStringLiteral("Links")) : path(QStringLiteral("Links/") + relative);
    }

    // Writes a link below the links folder and gives its path.
    QString link(const QString &name, const QString &target)
    {
        const QString linkPath = links(name);
        EXPECT_TRUE(writeLink(linkPath, target)) << name.toStdString();
        return linkPath;
    }

    QTemporaryDir dir;
};

TEST_F(ShortcutsTest, TargetReadsWhatTheLinkStores)
{
    EXPECT_EQ(UpdateShortcuts::target(link(QStringLiteral("a.lnk"), app(QStringLiteral("Corvatone.exe")))),
              app(QStringLiteral("Corvatone.exe")));
    EXPECT_EQ(UpdateShortcuts::target(link(QStringLiteral("w.lnk"), QStringLiteral("C:\\Program Files\\App\\x.exe"))),
              QStringLiteral("C:\\Program Files\\App\\x.exe"));

    ASSERT_TRUE(writeLink(links(QStringLiteral("none.lnk")), std::nullopt));
    const QString none = UpdateShortcuts::target(links(QStringLiteral("none.lnk")));
    EXPECT_TRUE(none.isEmpty());
    EXPECT_FALSE(none.isNull());

    QFile text(links(QStringLiteral("text.lnk")));
    ASSERT_TRUE(text.open(QIODevice::WriteOnly));
    ASSERT_GT(text.write("[InternetShortcut]\r\nURL=file:///App/Corvatone.exe\r\n"), 0);
    text.close();
    EXPECT_TRUE(UpdateShortcuts::target(text.fileName()).isNull());
    EXPECT_TRUE(UpdateShortcuts::target(links(QStringLiteral("absent.lnk"))).isNull());
    EXPECT_TRUE(UpdateShortcuts::target(links()).isNull());
}

TEST_F(ShortcutsTest, OnlyTargetsDirectlyInTheInstallationCount)
{
    ASSERT_TRUE(QDir().mkpath(path(QStringLiteral("Gone"))));
    ASSERT_TRUE(QFile::link(app(), path(QStringLiteral("Linked"))));
    // Relative targets would lead into the installation if they were resolved
    // against the working folder.
    ASSERT_TRUE(QDir().mkpath(path(QStringLiteral("$HOME"))));
    ASSERT_TRUE(QFile::link(app(), path(QStringLiteral("$HOME/App"))));
    const QString workingFolder = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));

    const QStringList expected = {
        link(QStringLiteral("client.lnk"), app(QStringLiteral("Corvatone.exe"))),
        // The target itself need not exist, only its folder.
        link(QStringLiteral("missing.lnk"), app(QStringLiteral("Uninstall.exe"))),
        link(QStringLiteral("folder.lnk"), app(QStringLiteral("bin"))),
        link(QStringLiteral("dotdot.lnk"), app(QStringLiteral("bin/../Corvatone.exe"))),
        link(QStringLiteral("linked.lnk"), path(QStringLiteral("Linked/Corvatone.exe"))),
        link(QStringLiteral("slashes.lnk"), QStringLiteral("/") + app(QStringLiteral("/Corvatone.exe"))),
    };
    link(QStringLiteral("below.lnk"), app(QStringLiteral("bin/tool.exe")));
    link(QStringLiteral("itself.lnk"), app());
    link(QStringLiteral("beside.lnk"), path(QStringLiteral("Corvatone.exe")));
    link(QStringLiteral("gone.lnk"), path(QStringLiteral("Gone/Corvatone.exe")));
    link(QStringLiteral("relative.lnk"), QStringLiteral("App/Corvatone.exe"));
    link(QStringLiteral("variable.lnk"), QStringLiteral("$HOME/App/Corvatone.exe"));
    link(QStringLiteral("windows.lnk"), QStringLiteral("C:\\App\\Corvatone.exe"));
    ASSERT_TRUE(writeLink(links(QStringLiteral("envblock.lnk")), std::nullopt,
                          QStringLiteral("%ProgramFiles%\\App\\Corvatone.exe")));
    ASSERT_TRUE(writeLink(links(QStringLiteral("notarget.lnk")), std::nullopt));
    ASSERT_TRUE(QDir(path(QStringLiteral("Gone"))).removeRecursively());

    const QStringList found = UpdateShortcuts::forInstallation(app(), { links() });
    const QStringList fromEmptyEntry = UpdateShortcuts::forInstallation(app(), { QString() });
    EXPECT_TRUE(QDir::setCurrent(workingFolder));
    EXPECT_TRUE(fromEmptyEntry.isEmpty()) << fromEmptyEntry.join(u' ').toStdString();
    EXPECT_EQ(sorted(found), sorted(expected));
}

TEST_F(ShortcutsTest, InstallationMayBeWrittenAnotherWay)
{
    const QString client = link(QStringLiteral("client.lnk"), app(QStringLiteral("Corvatone.exe")));
    ASSERT_TRUE(QFile::link(app(), path(QStringLiteral("Linked"))));

    for (const QString &written : { app() + QLatin1Char('/'), app(QStringLiteral("bin/..")),
                                    path(QStringLiteral("Links/../App")), path(QStringLiteral("Linked")),
                                    path(QStringLiteral("./App//")) }) {
        SCOPED_TRACE(written.toStdString());
        EXPECT_EQ(UpdateShortcuts::forInstallation(written, { links() }), QStringList{ client });
    }
    EXPECT_TRUE(UpdateShortcuts::forInstallation(path(QStringLiteral("Absent")), { links() }).isEmpty());
}

TEST_F(ShortcutsTest, WalkFindsLinkFilesBelowEachFolderOnce)
{
    const QString target = app(QStringLiteral("Corvatone.exe"));
    const QStringList expected = {
        link(QStringLiteral("top.lnk"), target),
        link(QStringLiteral("Capital.LNK"), target),
        link(QStringLiteral("Programs/Corvatone/deep/deeper.lnk"), target),
    };
    link(QStringLiteral(".hidden.lnk"), target);
    link(QStringLiteral("other.lnk.bak"), target);
    link(QStringLiteral("lnk"), target);
    ASSERT_TRUE(QDir().mkpath(links(QStringLiteral("folder.lnk"))));
    // A linked folder is not followed, so its links are not seen twice.
    ASSERT_TRUE(QFile::link(links(QStringLiteral("Programs")), links(QStringLiteral("Again"))));

    EXPECT_EQ(sorted(UpdateShortcuts::forInstallation(app(), { links(), links(), path(QStringLiteral("Absent")) })),
              sorted(expected));

    const QString second = path(QStringLiteral("Second/first.lnk"));
    ASSERT_TRUE(writeLink(second, target));
    EXPECT_EQ(UpdateShortcuts::forInstallation(app(), { path(QStringLiteral("Second")), links(QStringLiteral("Programs")) }),
              QStringList({ second, expected.last() }));
}

// Qt reads the user's folders from HOME and the XDG variables on each call.
class LocationsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(home.isValid());
        for (const char *name : { "HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME" })
            saved.append({ name, qgetenv(name), qEnvironmentVariableIsSet(name) });
        qputenv("HOME", QFile::encodeName(home.path()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + QLatin1String("/config")));
        qputenv("XDG_DATA_HOME", QFile::encodeName(home.path() + QLatin1String("/data")));
    }

    void TearDown() override
    {
        for (const Saved &variable : saved) {
            if (variable.set)
                qputenv(variable.name, variable.value);
            else
                qunsetenv(variable.name);
        }
    }

    void setDesktop(const QByteArray &value)
    {
        ASSERT_TRUE(QDir().mkpath(home.path() + QLatin1String("/config")));
        QFile file(home.path() + QLatin1String("/config/user-dirs.dirs"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_GT(file.write("XDG_DESKTOP_DIR=\"" + value + "\"\n"), 0);
    }

    struct Saved
    {
        const char *name;
        QByteArray value;
        bool set;
    };
    QList<Saved> saved;
    QTemporaryDir home;
};

TEST_F(LocationsTest, UserDesktopThenUserProgramsEachOnce)
{
    const QString applications = home.path() + QLatin1String("/data/applications");
    setDesktop("$HOME/Рабочий стол");
    EXPECT_EQ(UpdateShortcuts::locations(),
              QStringList({ home.path() + QStringLiteral("/Рабочий стол"), applications }));

    setDesktop("$HOME/data/applications");
    EXPECT_EQ(UpdateShortcuts::locations(), QStringList{ applications });
}

} // namespace
