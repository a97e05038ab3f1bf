#include "backup/updatebackup.h"

#include "backuptestsupport.h"
#include "os/posix_backend.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace {

const QString Untouched = QStringLiteral("untouched");

QString backupPath(const UpdateBackup &backup)
{
    return backup.backupDirectory ? backup.backupDirectory->path() : QString();
}

mode_t permissionBits(const QString &file)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(file).constData(), &info) != 0)
        return 0;
    return info.st_mode & 07777;
}

class UpdateBackupTest : public BackupSandbox
{
protected:
    void SetUp() override
    {
        BackupSandbox::SetUp();
        installation = path(QStringLiteral("Corvatone"));
        ASSERT_TRUE(QDir().mkpath(installation));
    }

    QString installed(const QString &relative) const { return installation + QLatin1Char('/') + relative; }

    QString installation;
};

TEST_F(UpdateBackupTest, SavesEveryFileAtItsRelativePathAndNoEmptyFolder)
{
    writeFile(installed("Corvatone.exe"), "program");
    writeFile(installed("empty.dat"), QByteArray());
    writeFile(installed(".hidden"), "hidden");
    writeFile(installed("plugins/деталь файла.dll"), "plugin");
    ASSERT_TRUE(QDir().mkpath(installed("plugins/nothing/here")));

    UpdateBackup backup;
    QString message = Untouched;
    ASSERT_TRUE(backup.create(installation, message, {}));

    EXPECT_EQ(message, Untouched);
    EXPECT_TRUE(backup.complete);
    EXPECT_EQ(backup.installationDirectory, installation);
    const QString saved = backupPath(backup);
    EXPECT_TRUE(QFileInfo(saved).fileName().startsWith("Corvatone-update-backup-"));
    EXPECT_EQ(QFileInfo(saved).absolutePath(), QDir(QDir::tempPath()).absolutePath());

    QStringList files = backup.files;
    files.sort();
    const QStringList expected{ ".hidden", "Corvatone.exe", "empty.dat", "plugins/деталь файла.dll" };
    EXPECT_EQ(files, expected);
    EXPECT_EQ(filesBelow(saved), expected);
    EXPECT_FALSE(QFileInfo::exists(saved + "/plugins/nothing"));
    EXPECT_EQ(readFile(saved + "/plugins/деталь файла.dll"), "plugin");
    EXPECT_TRUE(QFileInfo(saved + "/empty.dat").isFile());
    EXPECT_EQ(QFileInfo(saved + "/empty.dat").size(), 0);
    EXPECT_TRUE(backup.shortcuts.isEmpty());
}

TEST_F(UpdateBackupTest, ExcludesTheThreeNamesInAnyCaseOnlyAtTheTopLevel)
{
    writeFile(installed("Downloads/setup.bin"), "x");
    writeFile(installed("LOG/today.txt"), "x");
    writeFile(installed("Corvatone-Web-Cache/index/entry"), "x");
    writeFile(installed("log"), "x"); // a top-level file under an excluded name
    writeFile(installed("downloads-old/kept.bin"), "kept");
    writeFile(installed("logs/kept.txt"), "kept");
    writeFile(installed("data/log/kept.txt"), "kept");
    writeFile(installed("data/Downloads/kept.bin"), "kept");
    writeFile(installed("data/corvatone-web-cache"), "kept");
    // Links below the excluded folders are skipped, not refused.
    ASSERT_TRUE(QFile::link("/nonexistent", installed("Downloads/broken-link")));

    UpdateBackup backup;
    QString message = Untouched;
    ASSERT_TRUE(backup.create(installation, message, {})) << message.toStdString();

    const QStringList expected{ "data/Downloads/kept.bin", "data/corvatone-web-cache",
                                "data/log/kept.txt", "downloads-old/kept.bin", "logs/kept.txt" };
    QStringList files = backup.files;
    files.sort();
    EXPECT_EQ(files, expected);
    EXPECT_EQ(filesBelow(backupPath(backup)), expected);
}

TEST_F(UpdateBackupTest, BackupGoesOutsideAnInstallationThatHoldsTheTemporaryFolder)
{
    writeFile(installed("Corvatone.exe"), "program");
    setTempPath(installed("tmp/deeper"));

    UpdateBackup backup;
    QString message;
    ASSERT_TRUE(backup.create(installation, message, {})) << message.toStdString();
    EXPECT_EQ(QFileInfo(backupPath(backup)).absolutePath(), QFileInfo(installation).canonicalPath());
    EXPECT_EQ(backup.files, QStringList{ "Corvatone.exe" });
}

TEST_F(UpdateBackupTest, TemporaryFolderDifferingOnlyInCaseCountsAsInside)
{
    // On a case-sensitive file system "corvatone" is a separate folder, but the
    // comparison folds case, as it must on Windows.
    writeFile(installed("Corvatone.exe"), "program");
    setTempPath(path("corvatone/tmp"));

    UpdateBackup backup;
    QString message;
    ASSERT_TRUE(backup.create(installation, message, {})) << message.toStdString();
    EXPECT_EQ(QFileInfo(backupPath(backup)).absolutePath(), QFileInfo(installation).canonicalPath());
}

TEST_F(UpdateBackupTest, InstallationAtTheRootFailsBeforeWalking)
{
    UpdateBackup backup;
    QString message;
    EXPECT_FALSE(backup.create(QStringLiteral("/"), message, {}));
    EXPECT_EQ(message, QStringLiteral("Не удалось выбрать каталог резервной копии вне установки."));
    EXPECT_EQ(backup.backupDirectory, nullptr);
    EXPECT_TRUE(backup.files.isEmpty());
    EXPECT_FALSE(backup.complete);
}

TEST_F(UpdateBackupTest, MissingInstallationContainsNoTemporaryFolder)
{
    UpdateBackup backup;
    QString message;
    ASSERT_TRUE(backup.create(path("absent"), message, {})) << message.toStdString();
    EXPECT_EQ(QFileInfo(backupPath(backup)).absolutePath(), QDir(QDir::tempPath()).absolutePath());
    EXPECT_TRUE(backup.files.isEmpty());
}

TEST_F(UpdateBackupTest, UncreatableBackupDirectoryFailsWithMessage2)
{
    writeFile(path("tmp-file"), "not a folder");
    qputenv("TMPDIR", QFile::encodeName(path("tmp-file")));

    UpdateBackup backup;
    QString message;
    EXPECT_FALSE(backup.create(installation, message, {}));
    EXPECT_EQ(message, QStringLiteral("Не удалось создать каталог резервной копии."));
    EXPECT_FALSE(backup.complete);
}

TEST_F(UpdateBackupTest, SymbolicLinkInsideFailsWithMessage3NamingIt)
{
    writeFile(installed("a.txt"), "a");
    writeFile(installed("bin/target.exe"), "x");
    ASSERT_TRUE(QFile::link(installed("bin/target.exe"), installed("bin/link %1%2.exe")));

    UpdateBackup backup;
    QString message;
    EXPECT_FALSE(backup.create(installation, message, {}));
    EXPECT_EQ(message, QStringLiteral("Не удалось сохранить резервную копию: bin/link %1%2.exe"));
    EXPECT_FALSE(backup.complete);
    EXPECT_FALSE(backup.files.contains("bin/link %1%2.exe"));
    ASSERT_NE(backup.backupDirectory, nullptr);
    EXPECT_TRUE(QFileInfo::exists(backupPath(backup)));
}

TEST_F(UpdateBackupTest, ShortcutInsideTheInstallationIsCopiedAsAShortcut)
{
    writeFile(installed("Start.LNK"), "link bytes");

    UpdateBackup backup;
    QString message;
    ASSERT_TRUE(backup.create(installation, message, {})) << message.toStdString();
    EXPECT_EQ(fakeos::counts().copyFile, 1);
    EXPECT_EQ(readFile(backupPath(backup) + "/Start.LNK"), "link bytes");
}

TEST_F(UpdateBackupTest, ExternalShortcutsAreSavedInOrder)
{
    useTextShortcuts();
    writeFile(installed("Corvatone.exe"), "program");
    const QStringList folders{ path("desktop"), path("menu"), path("extra") };
    const QString target = installed("Corvatone.exe");
    writeFile(path("desktop/Corvatone.lnk"), target.toUtf8());
    writeFile(path("menu/Programs/Corvatone.lnk"), target.toUtf8());
    writeFile(path("menu/Programs/Tool.lnk"), installed("sub/tool.exe").toUtf8()); // not directly inside
    writeFile(path("extra/Test.lnk"), target.toUtf8());

    UpdateBackup backup;
    QString message;
    ASSERT_TRUE(backup.create(installation, message, folders)) << message.toStdString();
    ASSERT_EQ(backup.shortcuts.size(), 3);
    const QStringList sources{ path("desktop/Corvatone.lnk"), path("menu/Programs/Corvatone.lnk"),
                               path("extra/Test.lnk") };
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(backup.shortcuts[i].first, sources[i]);
        EXPECT_EQ(backup.shortcuts[i].second,
                  backupPath(backup) + QStringLiteral("/external-shortcuts/%1.lnk").arg(i));
        EXPECT_EQ(readFile(backup.shortcuts[i].second), target.toUtf8());
    }
}

TEST_F(UpdateBackupTest, FailedSecondShortcutLeavesOnePairAndIncomplete)
{
    useTextShortcuts();
    const QString target = installed("Corvatone.exe");
    writeFile(target, "program");
    for (const char *folder : { "one", "two", "three" })
        writeFile(path(QStringLiteral("%1/Corvatone %2.lnk").arg(folder, "%1")), target.toUtf8());
    int calls = 0;
    fakeos::hooks().copyFile = [&calls](const std::u16string &source, const std::u16string &destination) {
        return ++calls != 2 && os::posix::copyFile(source, destination);
    };

    UpdateBackup backup;
    QString message;
    EXPECT_FALSE(backup.create(installation, message, { path("one"), path("two"), path("three") }));
    EXPECT_EQ(message, QStringLiteral("Не удалось сохранить ярлык: ") + path("two/Corvatone %1.lnk"));
    EXPECT_EQ(backup.shortcuts.size(), 1);
    EXPECT_FALSE(backup.complete);
    EXPECT_EQ(calls, 2);
}

TEST_F(UpdateBackupTest, RestoreDoesNothingWithoutACompleteBackup)
{
    QString message = Untouched;
    UpdateBackup never;
    EXPECT_TRUE(never.restore(message));
    EXPECT_EQ(message, Untouched);

    useTextShortcuts();
    writeFile(installed("a.txt"), "before");
    writeFile(path("desktop/a.lnk"), installed("a.txt").toUtf8());
    fakeos::hooks().copyFile = [](const std::u16string &, const std::u16string &) { return false; };
    UpdateBackup failed;
    EXPECT_FALSE(failed.create(installation, message, { path("desktop") }));
    ASSERT_EQ(failed.files, QStringList{ "a.txt" });
    writeFile(installed("a.txt"), "after");
    message = Untouched;
    EXPECT_TRUE(failed.restore(message));
    EXPECT_EQ(message, Untouched);
    EXPECT_EQ(readFile(installed("a.txt")), "after");
}

TEST_F(UpdateBackupTest, RestoreBringsBackDeletedAndChangedFilesOnce)
{
    useTextShortcuts();
    writeFile(installed("Corvatone.exe"), "program");
    writeFile(installed("bin/tool"), "#!/bin/sh\n");
    ASSERT_EQ(::chmod(QFile::encodeName(installed("bin/tool")).constData(), 0751), 0);
    writeFile(path("desktop/Corvatone.lnk"), installed("Corvatone.exe").toUtf8());

    UpdateBackup backup;
    QString message = Untouched;
    ASSERT_TRUE(backup.create(installation, message, { path("desktop") }));
    EXPECT_EQ(permissionBits(backupPath(backup) + "/bin/tool"), 0751u);

    // What an update might do.
    writeFile(installed("Corvatone.exe"), "new program");
    ASSERT_TRUE(QDir(installed("bin")).removeRecursively());
    writeFile(installed("added.dll"), "added");
    ASSERT_TRUE(QDir(path("desktop")).removeRecursively());

    ASSERT_TRUE(backup.restore(message));
    EXPECT_EQ(message, Untouched);
    EXPECT_FALSE(backup.complete);
    EXPECT_EQ(readFile(installed("Corvatone.exe")), "program");
    EXPECT_EQ(readFile(installed("bin/tool")), "#!/bin/sh\n");
    EXPECT_EQ(permissionBits(installed("bin/tool")), 0751u);
    EXPECT_EQ(readFile(installed("added.dll")), "added");
    EXPECT_EQ(readFile(path("desktop/Corvatone.lnk")), installed("Corvatone.exe").toUtf8());

    writeFile(installed("Corvatone.exe"), "changed again");
    EXPECT_TRUE(backup.restore(message));
    EXPECT_EQ(readFile(installed("Corvatone.exe")), "changed again");
}

TEST_F(UpdateBackupTest, FailedRestoreKeepsTheBackupDirectory)
{
    useTextShortcuts();
    writeFile(installed("a.txt"), "a");
    writeFile(installed("b%2/c%1.txt"), "c");
    writeFile(path("desktop/Corvatone.lnk"), installed("a.txt").toUtf8());
    setTempPath(path("tmp %1%2"));

    QString kept;
    QStringList saved;
    {
        UpdateBackup backup;
        QString message;
        ASSERT_TRUE(backup.create(installation, message, { path("desktop") }));
        kept = backupPath(backup);
        saved = filesBelow(kept);
        ASSERT_EQ(saved.size(), 3);

        // The update left a folder where the file must go back.
        ASSERT_TRUE(QFile::remove(installed("b%2/c%1.txt")));
        ASSERT_TRUE(QDir().mkpath(installed("b%2/c%1.txt/inner")));
        EXPECT_FALSE(backup.restore(message));
        EXPECT_EQ(message, QStringLiteral("Не удалось восстановить b%2/c%1.txt. Резервная копия сохранена: ")
                  + kept);
        EXPECT_TRUE(backup.complete);
        EXPECT_TRUE(kept.contains("tmp %1%2"));
    }
    EXPECT_EQ(filesBelow(kept), saved);
    EXPECT_EQ(readFile(kept + "/b%2/c%1.txt"), "c");
    EXPECT_TRUE(QDir(kept).removeRecursively());
}

TEST_F(UpdateBackupTest, FailedShortcutRestoreNamesTheShortcut)
{
    useTextShortcuts();
    writeFile(installed("a.txt"), "a");
    const QString shortcut = path("desktop/Corvatone %1.lnk");
    writeFile(shortcut, installed("a.txt").toUtf8());

    QString kept;
    {
        UpdateBackup backup;
        QString message;
        ASSERT_TRUE(backup.create(installation, message, { path("desktop") }));
        kept = backupPath(backup);
        ASSERT_TRUE(QFile::remove(shortcut));
        ASSERT_TRUE(QDir().mkpath(shortcut));
        EXPECT_FALSE(backup.restore(message));
        EXPECT_EQ(message, QStringLiteral("Не удалось восстановить ярлык %1. Резервная копия: %2")
                  .arg(shortcut, kept));
    }
    EXPECT_TRUE(QFileInfo::exists(kept + "/external-shortcuts/0.lnk"));
    EXPECT_TRUE(QDir(kept).removeRecursively());
}

TEST_F(UpdateBackupTest, BackupDirectoryGoesWithTheObject)
{
    writeFile(installed("a.txt"), "a");
    QString removed;
    {
        UpdateBackup backup;
        QString message;
        ASSERT_TRUE(backup.create(installation, message, {}));
        removed = backupPath(backup);
        ASSERT_TRUE(QFileInfo::exists(removed));
    }
    EXPECT_FALSE(QFileInfo::exists(removed));
}

TEST_F(UpdateBackupTest, RepeatedCreateForgetsTheEarlierBackup)
{
    writeFile(installed("old.txt"), "old");
    const QString other = path("Other");
    writeFile(other + "/new.txt", "new");

    UpdateBackup backup;
    QString message;
    ASSERT_TRUE(backup.create(installation, message, {}));
    const QString first = backupPath(backup);
    ASSERT_TRUE(backup.create(other, message, {}));
    EXPECT_FALSE(QFileInfo::exists(first));
    EXPECT_EQ(backup.files, QStringList{ "new.txt" });

    // A failed later create leaves nothing for a restore to copy.
    EXPECT_FALSE(backup.create(QStringLiteral("/"), message, {}));
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
