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
        ASSERT_TRUE(QDir().mkpath(installation));
    }

    QString installed(const QString &relative) const { return installation + '/' + relative; }
    static QString saved(const UpdateBackup &backup) { return backup.backupDirectory->path(); }

    const QString installation = path("Corvatone");
};

TEST_F(UpdateBackupTest, SavesFilesAtTheirRelativePathsAndGoesWithTheObject)
{
    const QStringList expected{ ".hidden", "Corvatone.exe", "Start.LNK", "empty.dat", "plugins/деталь файла.dll" };
    for (const QString &file : expected)
        writeFile(installed(file), file == "empty.dat" ? QByteArray() : file.toUtf8());
    ASSERT_TRUE(QDir().mkpath(installed("plugins/nothing/here")));

    QString backupFolder;
    {
        UpdateBackup backup;
        QString message;
        ASSERT_TRUE(backup.create(installation, message, {}));
        EXPECT_TRUE(backup.complete);
        backupFolder = saved(backup);
        EXPECT_TRUE(QFileInfo(backupFolder).fileName().startsWith("Corvatone-update-backup-"));
        EXPECT_EQ(QFileInfo(backupFolder).absolutePath(), QDir::tempPath());

        EXPECT_EQ(filesBelow(backupFolder), expected);
        EXPECT_FALSE(QFileInfo::exists(backupFolder + "/plugins/nothing"));
        EXPECT_EQ(readFile(backupFolder + "/plugins/деталь файла.dll"), "plugins/деталь файла.dll");
        // Only the shortcut goes through the system copy.
        EXPECT_EQ(fakeos::counts().copyFile, 1);
    }
    EXPECT_FALSE(QFileInfo::exists(backupFolder));
}

TEST_F(UpdateBackupTest, ExcludesTheThreeNamesInAnyCaseOnlyAtTheTopLevel)
{
    for (const char *excluded : { "Downloads/setup.bin", "LOG/today.txt", "Corvatone-Web-Cache/index/entry", "log" })
        writeFile(installed(excluded), "x");
    // Links below the excluded folders are skipped, not refused.
    ASSERT_TRUE(QFile::link("/nonexistent", installed("Downloads/broken-link")));
    const QStringList kept{ "data/Downloads/kept.bin", "data/corvatone-web-cache", "data/log/kept.txt",
                            "downloads-old/kept.bin", "logs/kept.txt" };
    for (const QString &file : kept)
        writeFile(installed(file), "kept");

    UpdateBackup backup;
    QString message;
    ASSERT_TRUE(backup.create(installation, message, {})) << message.toStdString();
    EXPECT_EQ(backup.files.size(), kept.size());
    EXPECT_EQ(filesBelow(saved(backup)), kept);
}

TEST_F(UpdateBackupTest, ChoosesABackupFolderOutsideTheInstallation)
{
    writeFile(installed("Corvatone.exe"), "program");
    QString message;
    // Inside, and inside only when case is folded: on a case-sensitive file
    // system "corvatone" is a folder of its own.
    for (const QString &temporary : { installed("tmp/deeper"), path("corvatone/tmp") }) {
        setTempPath(temporary);
        UpdateBackup backup;
        ASSERT_TRUE(backup.create(installation, message, {})) << message.toStdString();
        EXPECT_EQ(QFileInfo(saved(backup)).absolutePath(), QFileInfo(installation).canonicalPath()) << temporary.toStdString();
    }

    // An installation that does not exist contains nothing.
    setTempPath(path("tmp"));
    UpdateBackup missing;
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

TEST_F(UpdateBackupTest, LeavesTheRunsOwnFilesInATemporaryFolderInsideOut)
{
    setTempPath(installed("tmp"));
    const QStringList runFiles{ "tmp/Corvatone-update.log", "tmp/Corvatone-update-0a1b.lock",
                                "tmp/Corvatone Updater-Ab12Cd/cache" };
    for (const QString &file : runFiles + QStringList{ "tmp/other.txt", "Corvatone-update.log" })
        writeFile(installed(file), "content");

    UpdateBackup backup;
    QString message;
    ASSERT_TRUE(backup.create(installation, message, {})) << message.toStdString();
    QStringList files = backup.files;
    files.sort();
    EXPECT_EQ(files, QStringList({ "Corvatone-update.log", "tmp/other.txt" }));

    writeFile(installed("tmp/Corvatone-update.log"), "live log");
    ASSERT_TRUE(backup.restore(message));
    EXPECT_EQ(readFile(installed("tmp/Corvatone-update.log")), "live log");
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

TEST_F(UpdateBackupTest, RestoreReplacesLinksKeepsAddedFilesAndRunsOnce)
{
    writeFile(installed("Corvatone.exe"), "program");
    writeFile(path("elsewhere/file"), "outside");
    UpdateBackup backup;
    QString message = Untouched;
    ASSERT_TRUE(backup.create(installation, message, {}));

    writeFile(installed("added.dll"), "added");
    // A link the update left where a saved file was is replaced, not written through.
    ASSERT_TRUE(QFile::remove(installed("Corvatone.exe")));
    ASSERT_TRUE(QFile::link(path("elsewhere/file"), installed("Corvatone.exe")));
    ASSERT_TRUE(backup.restore(message));
    EXPECT_EQ(message, Untouched);
    EXPECT_FALSE(backup.complete);
    EXPECT_FALSE(QFileInfo(installed("Corvatone.exe")).isSymLink());
    EXPECT_EQ(readFile(installed("Corvatone.exe")), "program");
    EXPECT_EQ(readFile(path("elsewhere/file")), "outside");
    EXPECT_EQ(readFile(installed("added.dll")), "added");

    writeFile(installed("Corvatone.exe"), "changed again");
    EXPECT_TRUE(backup.restore(message));
    EXPECT_EQ(readFile(installed("Corvatone.exe")), "changed again");
}

TEST_F(UpdateBackupTest, RestoreNeverWritesThroughALinkedFolder)
{
    writeFile(installed("plugins/sync.dll"), "saved");
    writeFile(path("elsewhere/sync.dll"), "outside");
    UpdateBackup backup;
    QString message;
    ASSERT_TRUE(backup.create(installation, message, {}));

    ASSERT_TRUE(QDir(installed("plugins")).removeRecursively());
    ASSERT_TRUE(QFile::link(path("elsewhere"), installed("plugins")));
    EXPECT_FALSE(backup.restore(message));

    EXPECT_EQ(message, "Не удалось восстановить plugins/sync.dll. Резервная копия сохранена: " + saved(backup));
    EXPECT_EQ(readFile(path("elsewhere/sync.dll")), "outside");
}

TEST_F(UpdateBackupTest, FailedRestoreKeepsTheBackupDirectory)
{
    useTextShortcuts();
    writeFile(installed("a.txt"), "a");
    const QString shortcut = path("desktop/Corvatone %1.lnk");
    writeFile(shortcut, installed("a.txt").toUtf8());
    setTempPath(path("tmp %1%2"));

    // The update left a folder where a file or the shortcut must go back.
    const std::pair<QString, QString> cases[] = {
        { installed("b%2/c%1.txt"), "Не удалось восстановить b%2/c%1.txt. Резервная копия сохранена: " },
        { shortcut, "Не удалось восстановить ярлык " + shortcut + ". Резервная копия: " },
    };
    for (const auto &[blocked, message] : cases) {
        writeFile(installed("b%2/c%1.txt"), "c");
        QString kept;
        QString error;
        {
            UpdateBackup backup;
            ASSERT_TRUE(backup.create(installation, error, { path("desktop") }));
            kept = saved(backup);
            ASSERT_TRUE(QFile::remove(blocked) && QDir().mkpath(blocked + "/inner"));
            EXPECT_FALSE(backup.restore(error));
            EXPECT_TRUE(backup.complete);
        }
        EXPECT_EQ(error, message + kept);
        EXPECT_EQ(filesBelow(kept), QStringList({ "a.txt", "b%2/c%1.txt", "external-shortcuts/0.lnk" }));
        EXPECT_EQ(readFile(kept + "/b%2/c%1.txt"), "c");
        ASSERT_TRUE(QDir(blocked).removeRecursively());
    }
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
