#include "backup/updatebackup.h"

#include "backuptestsupport.h"
#include "os/posix_backend.h"

namespace {

const QString Untouched = QStringLiteral("untouched");

class UpdateBackupTest : public BackupSandbox
{
protected:
    void SetUp() override
    {
        BackupSandbox::SetUp();
        installation = path("Corvatone");
        ASSERT_TRUE(QDir().mkpath(installation));
    }

    QString installed(const QString &relative) const { return installation + '/' + relative; }
    static QString saved(const UpdateBackup &backup) { return backup.backupDirectory->path(); }
    static QStringList sorted(QStringList list)
    {
        list.sort();
        return list;
    }

    QString installation;
};

TEST_F(UpdateBackupTest, SavesFilesAtTheirRelativePathsAndGoesWithTheObject)
{
    writeFile(installed("Corvatone.exe"), "program");
    writeFile(installed("empty.dat"), QByteArray());
    writeFile(installed(".hidden"), "hidden");
    writeFile(installed("plugins/деталь файла.dll"), "plugin");
    writeFile(installed("Start.LNK"), "link bytes");
    ASSERT_TRUE(QDir().mkpath(installed("plugins/nothing/here")));

    QString backupFolder;
    {
        UpdateBackup backup;
        QString message = Untouched;
        ASSERT_TRUE(backup.create(installation, message, {}));
        EXPECT_EQ(message, Untouched);
        EXPECT_TRUE(backup.complete);
        backupFolder = saved(backup);
        EXPECT_TRUE(QFileInfo(backupFolder).fileName().startsWith("Corvatone-update-backup-"));
        EXPECT_EQ(QFileInfo(backupFolder).absolutePath(), QDir::tempPath());

        const QStringList expected{ ".hidden", "Corvatone.exe", "Start.LNK", "empty.dat",
                                    "plugins/деталь файла.dll" };
        EXPECT_EQ(sorted(backup.files), expected);
        EXPECT_EQ(filesBelow(backupFolder), expected);
        EXPECT_FALSE(QFileInfo::exists(backupFolder + "/plugins/nothing"));
        EXPECT_EQ(readFile(backupFolder + "/plugins/деталь файла.dll"), "plugin");
        EXPECT_EQ(readFile(backupFolder + "/Start.LNK"), "link bytes");
        EXPECT_EQ(QFileInfo(backupFolder + "/empty.dat").size(), 0);
        // Only the shortcut goes through the system copy.
        EXPECT_EQ(fakeos::counts().copyFile, 1);
    }
    EXPECT_FALSE(QFileInfo::exists(backupFolder));
}

TEST_F(UpdateBackupTest, ExcludesTheThreeNamesInAnyCaseOnlyAtTheTopLevel)
{
    writeFile(installed("Downloads/setup.bin"), "x");
    writeFile(installed("LOG/today.txt"), "x");
    writeFile(installed("Corvatone-Web-Cache/index/entry"), "x");
    writeFile(installed("log"), "x");
    // Links below the excluded folders are skipped, not refused.
    ASSERT_TRUE(QFile::link("/nonexistent", installed("Downloads/broken-link")));
    const QStringList kept{ "data/Downloads/kept.bin", "data/corvatone-web-cache", "data/log/kept.txt",
                            "downloads-old/kept.bin", "logs/kept.txt" };
    for (const QString &file : kept)
        writeFile(installed(file), "kept");

    UpdateBackup backup;
    QString message;
    ASSERT_TRUE(backup.create(installation, message, {})) << message.toStdString();
    EXPECT_EQ(sorted(backup.files), kept);
    EXPECT_EQ(filesBelow(saved(backup)), kept);
}

TEST_F(UpdateBackupTest, ChoosesABackupFolderOutsideTheInstallation)
{
    writeFile(installed("Corvatone.exe"), "program");
    const QString outside = QFileInfo(installation).canonicalPath();
    // Inside, and inside only when case is folded: on a case-sensitive file
    // system "corvatone" is a folder of its own.
    for (const QString &temporary : { installed("tmp/deeper"), path("corvatone/tmp") }) {
        setTempPath(temporary);
        UpdateBackup backup;
        QString message;
        ASSERT_TRUE(backup.create(installation, message, {})) << message.toStdString();
        EXPECT_EQ(QFileInfo(saved(backup)).absolutePath(), outside) << temporary.toStdString();
    }

    // An installation that does not exist contains nothing.
    setTempPath(path("tmp"));
    UpdateBackup missing;
    QString message;
    ASSERT_TRUE(missing.create(path("absent"), message, {})) << message.toStdString();
    EXPECT_EQ(QFileInfo(saved(missing)).absolutePath(), QDir::tempPath());

    UpdateBackup root;
    EXPECT_FALSE(root.create("/", message, {}));
    EXPECT_EQ(message, "Не удалось выбрать каталог резервной копии вне установки.");
    EXPECT_EQ(root.backupDirectory, nullptr);
    EXPECT_TRUE(root.files.isEmpty());

    writeFile(path("tmp-file"), "not a folder");
    qputenv("TMPDIR", QFile::encodeName(path("tmp-file")));
    UpdateBackup uncreatable;
    EXPECT_FALSE(uncreatable.create(installation, message, {}));
    EXPECT_EQ(message, "Не удалось создать каталог резервной копии.");
    EXPECT_FALSE(uncreatable.complete);
}

TEST_F(UpdateBackupTest, SymbolicLinkInsideFailsNamingIt)
{
    writeFile(installed("bin/target.exe"), "x");
    ASSERT_TRUE(QFile::link(installed("bin/target.exe"), installed("bin/link %1%2.exe")));

    UpdateBackup backup;
    QString message;
    EXPECT_FALSE(backup.create(installation, message, {}));
    EXPECT_EQ(message, "Не удалось сохранить резервную копию: bin/link %1%2.exe");
    EXPECT_FALSE(backup.complete);
    EXPECT_FALSE(backup.files.contains("bin/link %1%2.exe"));
}

TEST_F(UpdateBackupTest, SavesExternalShortcutsInOrder)
{
    useTextShortcuts();
    const QByteArray target = installed("Corvatone.exe").toUtf8();
    writeFile(installed("Corvatone.exe"), "program");
    const QStringList shortcuts{ path("desktop/Corvatone.lnk"), path("menu/Programs/Corvatone.lnk"),
                                 path("extra/Test %1.lnk") };
    for (const QString &shortcut : shortcuts)
        writeFile(shortcut, target);
    writeFile(path("menu/Programs/Tool.lnk"), installed("sub/tool.exe").toUtf8());
    const QStringList folders{ path("desktop"), path("menu"), path("extra") };

    UpdateBackup backup;
    QString message;
    ASSERT_TRUE(backup.create(installation, message, folders)) << message.toStdString();
    ASSERT_EQ(backup.shortcuts.size(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(backup.shortcuts[i].first, shortcuts[i]);
        EXPECT_EQ(backup.shortcuts[i].second, saved(backup) + QStringLiteral("/external-shortcuts/%1.lnk").arg(i));
        EXPECT_EQ(readFile(backup.shortcuts[i].second), target);
    }

    // The second copy fails.
    int calls = 0;
    fakeos::hooks().copyFile = [&calls](const std::u16string &source, const std::u16string &destination) {
        return ++calls != 2 && os::posix::copyFile(source, destination);
    };
    UpdateBackup failed;
    EXPECT_FALSE(failed.create(installation, message, folders));
    EXPECT_EQ(message, "Не удалось сохранить ярлык: " + shortcuts[1]);
    EXPECT_EQ(failed.shortcuts.size(), 1);
    EXPECT_FALSE(failed.complete);

    // Nothing to restore after a failed create, nor on an object never used.
    writeFile(installed("Corvatone.exe"), "changed");
    message = Untouched;
    EXPECT_TRUE(failed.restore(message));
    EXPECT_TRUE(UpdateBackup().restore(message));
    EXPECT_EQ(message, Untouched);
    EXPECT_EQ(readFile(installed("Corvatone.exe")), "changed");
}

TEST_F(UpdateBackupTest, RestoresDeletedAndChangedFilesOnce)
{
    useTextShortcuts();
    writeFile(installed("Corvatone.exe"), "program");
    writeFile(installed("bin/tool"), "#!/bin/sh\n");
    ASSERT_TRUE(QFile::setPermissions(installed("bin/tool"), QFile::ReadOwner | QFile::WriteOwner
                                      | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeOther));
    const QFile::Permissions toolPermissions = QFile::permissions(installed("bin/tool"));
    writeFile(path("desktop/Corvatone.lnk"), installed("Corvatone.exe").toUtf8());

    UpdateBackup backup;
    QString message = Untouched;
    ASSERT_TRUE(backup.create(installation, message, { path("desktop") }));
    EXPECT_EQ(QFile::permissions(saved(backup) + "/bin/tool"), toolPermissions);

    writeFile(installed("Corvatone.exe"), "new program");
    ASSERT_TRUE(QDir(installed("bin")).removeRecursively());
    writeFile(installed("added.dll"), "added");
    ASSERT_TRUE(QDir(path("desktop")).removeRecursively());

    ASSERT_TRUE(backup.restore(message));
    EXPECT_EQ(message, Untouched);
    EXPECT_FALSE(backup.complete);
    EXPECT_EQ(readFile(installed("Corvatone.exe")), "program");
    EXPECT_EQ(readFile(installed("bin/tool")), "#!/bin/sh\n");
    EXPECT_EQ(QFile::permissions(installed("bin/tool")), toolPermissions);
    EXPECT_EQ(readFile(installed("added.dll")), "added");
    EXPECT_EQ(readFile(path("desktop/Corvatone.lnk")), installed("Corvatone.exe").toUtf8());

    writeFile(installed("Corvatone.exe"), "changed again");
    EXPECT_TRUE(backup.restore(message));
    EXPECT_EQ(readFile(installed("Corvatone.exe")), "changed again");
}

TEST_F(UpdateBackupTest, RestoreReplacesALinkInsteadOfWritingThroughIt)
{
    writeFile(installed("Corvatone.exe"), "program");
    writeFile(path("elsewhere/file"), "outside");
    UpdateBackup backup;
    QString message;
    ASSERT_TRUE(backup.create(installation, message, {}));

    ASSERT_TRUE(QFile::remove(installed("Corvatone.exe")));
    ASSERT_TRUE(QFile::link(path("elsewhere/file"), installed("Corvatone.exe")));
    ASSERT_TRUE(backup.restore(message));

    EXPECT_FALSE(QFileInfo(installed("Corvatone.exe")).isSymLink());
    EXPECT_EQ(readFile(installed("Corvatone.exe")), "program");
    EXPECT_EQ(readFile(path("elsewhere/file")), "outside");
}

TEST_F(UpdateBackupTest, FailedRestoreKeepsTheBackupDirectory)
{
    useTextShortcuts();
    writeFile(installed("a.txt"), "a");
    writeFile(installed("b%2/c%1.txt"), "c");
    const QString shortcut = path("desktop/Corvatone %1.lnk");
    writeFile(shortcut, installed("a.txt").toUtf8());
    setTempPath(path("tmp %1%2"));

    QString keptFile;
    QString keptShortcut;
    {
        UpdateBackup backup;
        QString message;
        ASSERT_TRUE(backup.create(installation, message, { path("desktop") }));
        keptFile = saved(backup);
        // The update left a folder where the file must go back.
        ASSERT_TRUE(QFile::remove(installed("b%2/c%1.txt")));
        ASSERT_TRUE(QDir().mkpath(installed("b%2/c%1.txt/inner")));
        EXPECT_FALSE(backup.restore(message));
        EXPECT_EQ(message, "Не удалось восстановить b%2/c%1.txt. Резервная копия сохранена: " + keptFile);
        EXPECT_TRUE(backup.complete);
    }
    EXPECT_EQ(filesBelow(keptFile), QStringList({ "a.txt", "b%2/c%1.txt", "external-shortcuts/0.lnk" }));
    EXPECT_EQ(readFile(keptFile + "/b%2/c%1.txt"), "c");

    ASSERT_TRUE(QDir(installed("b%2/c%1.txt")).removeRecursively());
    {
        UpdateBackup backup;
        QString message;
        ASSERT_TRUE(backup.create(installation, message, { path("desktop") }));
        keptShortcut = saved(backup);
        ASSERT_TRUE(QFile::remove(shortcut));
        ASSERT_TRUE(QDir().mkpath(shortcut));
        EXPECT_FALSE(backup.restore(message));
        EXPECT_EQ(message, "Не удалось восстановить ярлык " + shortcut + ". Резервная копия: " + keptShortcut);
    }
    EXPECT_TRUE(QFileInfo::exists(keptShortcut + "/external-shortcuts/0.lnk"));
    EXPECT_TRUE(QDir(keptFile).removeRecursively());
    EXPECT_TRUE(QDir(keptShortcut).removeRecursively());
}

TEST_F(UpdateBackupTest, RepeatedCreateForgetsTheEarlierBackup)
{
    writeFile(installed("old.txt"), "old");
    const QString other = path("Other");
    writeFile(other + "/new.txt", "new");

    UpdateBackup backup;
    QString message;
    ASSERT_TRUE(backup.create(installation, message, {}));
    const QString first = saved(backup);
    ASSERT_TRUE(backup.create(other, message, {}));
    EXPECT_FALSE(QFileInfo::exists(first));
    EXPECT_EQ(backup.files, QStringList{ "new.txt" });

    EXPECT_FALSE(backup.create("/", message, {}));
    EXPECT_FALSE(backup.complete);
    EXPECT_TRUE(backup.files.isEmpty());
    writeFile(other + "/new.txt", "changed");
    EXPECT_TRUE(backup.restore(message));
    EXPECT_EQ(readFile(other + "/new.txt"), "changed");
}

TEST_F(UpdateBackupTest, FileCopyCommitsNothingOnFailure)
{
    writeFile(path("source"), QByteArray(3 * 1048576 + 17, 'x'));
    writeFile(path("dest"), "former");

    EXPECT_FALSE(UpdateBackup::copyInstallationFile(path("missing"), path("dest")));
    EXPECT_FALSE(UpdateBackup::copyInstallationFile(path("source"), path("dest/below")));
    fakeos::hooks().copyPermissions = [](const std::u16string &, const std::u16string &) { return false; };
    EXPECT_FALSE(UpdateBackup::copyInstallationFile(path("source"), path("new")));
    fakeos::hooks().copyPermissions = nullptr;
    EXPECT_EQ(readFile(path("dest")), "former");

    EXPECT_TRUE(UpdateBackup::copyInstallationFile(path("source"), path("dest")));
    EXPECT_EQ(readFile(path("dest")), readFile(path("source")));
}

} // namespace
