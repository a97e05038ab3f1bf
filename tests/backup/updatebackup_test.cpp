#include "backup/updatebackup.h"

#include "fakeos.h"
#include "os/posix_backend.h"
#include "testsupport.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using testsupport::filesBelow;
using testsupport::pattern;
using testsupport::readFile;
using testsupport::writeFile;
using Files = QMap<QString, QByteArray>;

namespace {

// Each test has a private folder holding the system temporary folder and the
// installation "Corvatone"; shortcuts are text files holding their target.
class UpdateBackupTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fakeos::reset();
        setTempPath(path("tmp"));
        fakeos::hooks().shellLinkTarget = [](const std::u16string &link) {
            return fakeos::succeeded(
                    QString::fromUtf8(readFile(QString::fromStdU16String(link))).toStdU16String());
        };
    }
    void TearDown() override { fakeos::reset(); }

    QString path(const QString &relative) const { return m_root.filePath(relative); }
    QString installed(const QString &relative) const { return installation + '/' + relative; }
    static QString saved(const UpdateBackup &backup) { return backup.backupDirectory->path(); }
    static void setTempPath(const QString &folder)
    {
        ASSERT_TRUE(QDir().mkpath(folder) && qputenv("TMPDIR", QFile::encodeName(folder)));
    }
    void install(const Files &files)
    {
        for (auto file = files.cbegin(); file != files.cend(); ++file)
            ASSERT_TRUE(writeFile(installed(file.key()), file.value()));
    }

    QTemporaryDir m_root{testsupport::testFolderTemplate()};
    const QString installation = path("Corvatone");
    QString message;
};

TEST_F(UpdateBackupTest, SavesEveryFileButTheExcludedTopLevelNamesAndGoesWithTheObject)
{
    const Files files{{".hidden", "h"},
                      {"Start.LNK", "link"},
                      {"empty.dat", ""},
                      {"plugins/деталь файла.dll", pattern(3 * 1048576 + 5)},
                      {"data/Downloads/kept.bin", "k"},
                      {"data/log/kept.txt", "k"},
                      {"downloads-old/kept.bin", "k"},
                      {"logs", "k"}};
    install(files);
    install({{"Downloads/setup.bin", "x"},
             {"LOG/today.txt", "x"},
             {"Corvatone-Web-Cache/index/entry", "x"},
             {"log", "x"}});
    // Links below the excluded folders are skipped, not refused; empty folders are not saved.
    ASSERT_TRUE(QFile::link("/nonexistent", installed("Downloads/broken-link"))
                && QDir().mkpath(installed("plugins/nothing")));
    QString folder;
    {
        UpdateBackup backup;
        ASSERT_TRUE(backup.create(installation, message, {}));
        folder = saved(backup);
        EXPECT_EQ(filesBelow(folder), files);
        EXPECT_FALSE(QFileInfo::exists(folder + "/plugins/nothing"));
        // Only the shortcut goes through the system copy.
        EXPECT_EQ(fakeos::counts().copyFile, 1);
    }
    EXPECT_FALSE(QFileInfo::exists(folder));

    // A link inside, to a file or a folder, makes the backup fail, naming it.
    for (const QString &target : {installed("empty.dat"), installed("plugins")}) {
        ASSERT_TRUE(QFile::link(target, installed("data/link %1%2")));
        UpdateBackup linked;
        EXPECT_FALSE(linked.create(installation, message, {}));
        EXPECT_EQ(message, "Не удалось сохранить резервную копию: data/link %1%2");
        ASSERT_TRUE(QFile::remove(installed("data/link %1%2")));
    }
}

TEST_F(UpdateBackupTest, ChoosesABackupFolderOutsideTheInstallation)
{
    install({{"Corvatone.exe", "program"}});
    // Inside, and inside only when letter case is folded: on a case-sensitive
    // file system "corvatone" is a folder of its own.
    for (const QString &temporary : {installed("tmp/deeper"), path("corvatone/tmp")}) {
        setTempPath(temporary);
        UpdateBackup backup;
        ASSERT_TRUE(backup.create(installation, message, {}));
        EXPECT_EQ(QFileInfo(saved(backup)).absolutePath(), QFileInfo(installation).canonicalPath())
                << temporary.toStdString();
    }
    // A folder beside the installation whose name only begins with its name is outside.
    setTempPath(path("Corvatone-tmp"));
    UpdateBackup beside;
    ASSERT_TRUE(beside.create(installation, message, {}));
    EXPECT_EQ(QFileInfo(saved(beside)).absolutePath(), QDir::tempPath());
    // An installation that does not exist contains nothing.
    setTempPath(path("tmp"));
    UpdateBackup missing;
    ASSERT_TRUE(missing.create(path("absent"), message, {}));
    EXPECT_EQ(QFileInfo(saved(missing)).absolutePath(), QDir::tempPath());

    UpdateBackup root;
    EXPECT_FALSE(root.create("/", message, {}));
    EXPECT_EQ(message, "Не удалось выбрать каталог резервной копии вне установки.");
    ASSERT_TRUE(writeFile(path("tmp-file"), "not a folder")
                && qputenv("TMPDIR", QFile::encodeName(path("tmp-file"))));
    UpdateBackup uncreatable;
    EXPECT_FALSE(uncreatable.create(installation, message, {}));
    EXPECT_EQ(message, "Не удалось создать каталог резервной копии.");
}

TEST_F(UpdateBackupTest, LeavesTheRunsOwnFilesInATemporaryFolderInsideOut)
{
    setTempPath(installed("tmp"));
    install({{"tmp/Corvatone-update.log", "run"},
             {"tmp/Corvatone-update-0a1b.lock", "run"},
             {"tmp/Corvatone Updater-Ab12Cd/cache", "run"},
             {"tmp/other.txt", "other"},
             {"Corvatone-update.log", "installed"}});
    UpdateBackup backup;
    ASSERT_TRUE(backup.create(installation, message, {}));
    EXPECT_EQ(Files(filesBelow(saved(backup))),
              Files({{"Corvatone-update.log", "installed"}, {"tmp/other.txt", "other"}}));
}

TEST_F(UpdateBackupTest, SavesExternalShortcutsInOrder)
{
    install({{"Corvatone.exe", "program"}});
    const QStringList shortcuts{path("desktop/Corvatone.lnk"), path("menu/Programs/Uninstall.lnk"),
                                path("extra/Test %1.lnk")};
    for (const QString &shortcut : shortcuts)
        ASSERT_TRUE(writeFile(shortcut,
                              installed(QFileInfo(shortcut).completeBaseName() + ".exe").toUtf8()));
    ASSERT_TRUE(writeFile(path("menu/Programs/Tool.lnk"), installed("sub/tool.exe").toUtf8()));
    const QStringList folders{path("desktop"), path("menu"), path("extra")};
    UpdateBackup backup;
    ASSERT_TRUE(backup.create(installation, message, folders));
    ASSERT_EQ(backup.shortcuts.size(), 3);
    // Each in a copy of its own.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(backup.shortcuts[i].first, shortcuts[i]);
        EXPECT_EQ(readFile(backup.shortcuts[i].second), readFile(shortcuts[i]));
    }

    // The second copy fails.
    fakeos::hooks().copyFile = [calls = 0](const std::u16string &source,
                                           const std::u16string &destination) mutable {
        return ++calls != 2 ? os::posix::copyFile(source, destination) : fakeos::failed(EACCES);
    };
    UpdateBackup failed;
    EXPECT_FALSE(failed.create(installation, message, folders));
    EXPECT_EQ(message, "Не удалось сохранить ярлык: " + shortcuts[1]);
}

TEST_F(UpdateBackupTest, RestoreBringsBackWhatTheUpdateChanged)
{
    const Files files{{"Corvatone.exe", "program"},
                      {"plugins/a/sync.dll", "sync"},
                      {"data.bin", pattern(1048576 + 3)}};
    install(files);
    ASSERT_TRUE(QFile::setPermissions(installed("Corvatone.exe"),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                              | QFile::ExeOther));
    const QFile::Permissions mode = QFile::permissions(installed("Corvatone.exe"));
    const QString shortcut = path("desktop/Corvatone.lnk");
    ASSERT_TRUE(writeFile(shortcut, installed("Corvatone.exe").toUtf8())
                && writeFile(path("elsewhere/file"), "outside"));
    UpdateBackup backup;
    ASSERT_TRUE(backup.create(installation, message, {path("desktop")}));

    // The update deletes and adds files and folders, and leaves a link where a saved file was.
    ASSERT_TRUE(QFile::remove(installed("Corvatone.exe"))
                && QDir(installed("plugins")).removeRecursively() && QFile::remove(shortcut));
    ASSERT_TRUE(QFile::remove(installed("data.bin"))
                && QFile::link(path("elsewhere/file"), installed("data.bin")));
    ASSERT_TRUE(writeFile(installed("added.dll"), "added"));
    ASSERT_TRUE(backup.restore(message));
    Files expected = files;
    expected.insert("added.dll", "added");
    EXPECT_EQ(filesBelow(installation), expected);
    EXPECT_EQ(QFile::permissions(installed("Corvatone.exe")), mode);
    EXPECT_FALSE(QFileInfo(installed("data.bin")).isSymLink());
    EXPECT_EQ(readFile(path("elsewhere/file")), "outside");
    EXPECT_EQ(readFile(shortcut), installed("Corvatone.exe").toUtf8());
}

TEST_F(UpdateBackupTest, FailedRestoreKeepsTheBackupAndNeverWritesThroughALinkedFolder)
{
    install({{"a.txt", "a"}, {"b%2/c%1.txt", "c"}});
    const QString shortcut = path("desktop/Corvatone %1.lnk");
    ASSERT_TRUE(writeFile(shortcut, installed("a.txt").toUtf8())
                && writeFile(path("elsewhere/c%1.txt"), "outside"));
    setTempPath(path("tmp %1%2"));
    // The update left a link to a folder elsewhere, or a folder, where a saved file or the shortcut
    // must go.
    const std::pair<QString, QString> cases[] = {
            {installed("b%2"), "Не удалось восстановить b%2/c%1.txt. Резервная копия сохранена: "},
            {installed("b%2/c%1.txt"),
             "Не удалось восстановить b%2/c%1.txt. Резервная копия сохранена: "},
            {shortcut, "Не удалось восстановить ярлык " + shortcut + ". Резервная копия: "},
    };
    for (const auto &[blocked, expected] : cases) {
        install({{"b%2/c%1.txt", "c"}});
        QString kept;
        {
            UpdateBackup backup;
            ASSERT_TRUE(backup.create(installation, message, {path("desktop")}));
            kept = saved(backup);
            ASSERT_TRUE(QFile::remove(blocked) || QDir(blocked).removeRecursively());
            ASSERT_TRUE(blocked.endsWith("b%2") ? QFile::link(path("elsewhere"), blocked)
                                                : QDir().mkpath(blocked + "/inner"));
            EXPECT_FALSE(backup.restore(message));
        }
        EXPECT_EQ(message, expected + kept);
        EXPECT_EQ(filesBelow(kept),
                  Files({{"a.txt", "a"},
                         {"b%2/c%1.txt", "c"},
                         {"external-shortcuts/0.lnk", installed("a.txt").toUtf8()}}));
        EXPECT_EQ(readFile(path("elsewhere/c%1.txt")), "outside");
        ASSERT_TRUE(QFile::remove(blocked) || QDir(blocked).removeRecursively());
    }
}

TEST_F(UpdateBackupTest, FileCopyCommitsNothingOnFailure)
{
    ASSERT_TRUE(writeFile(path("source"), QByteArray(3 * 1048576 + 17, 'x'))
                && writeFile(path("dest"), "former"));
    EXPECT_FALSE(UpdateBackup::copyInstallationFile(path("missing"), path("dest")));
    EXPECT_FALSE(UpdateBackup::copyInstallationFile(path("source"), path("dest/below")));
    EXPECT_EQ(readFile(path("dest")), "former");
}

// Only a failure that says another program holds the file is tried again.
TEST_F(UpdateBackupTest, RestoreWaitsForAHeldFileOnly)
{
    install({{"a.txt", "a"}});
    for (const bool held : {true, false}) {
        UpdateBackup backup;
        ASSERT_TRUE(backup.create(installation, message, {}));
        ASSERT_TRUE(writeFile(installed("a.txt"), "changed"));
        fakeos::hooks().copyFileContent = [held, calls = 0](const std::u16string &source,
                                                            const std::u16string &destination,
                                                            const os::Progress &progress) mutable {
            os::Status refused = fakeos::failed(held ? 32 : 5);
            refused.fileHeld = held;
            return ++calls <= 2 ? refused
                                : os::posix::copyFileContent(source, destination, progress);
        };
        EXPECT_EQ(backup.restore(message), held);
        EXPECT_EQ(fakeos::counts().copyFileContent, held ? 4 : 2);
        EXPECT_EQ(readFile(installed("a.txt")), held ? "a" : "changed");
        fakeos::reset();
    }
}

// A journal is read back whole, and one whose saved files lie outside the installation is no
// journal.
TEST_F(UpdateBackupTest, JournalKeepsWhatTheRestoreNeedsAndNothingOutside)
{
    UpdateJournal journal;
    journal.state = UpdateJournal::State::Saved;
    journal.installationDirectory = installation;
    journal.backupDirectory = path("Corvatone-update-backup-AbCdEf");
    journal.files = QStringList{"a.txt", "sub/b.dll"};
    journal.fileAttributes = {1, 0x22};
    journal.shortcuts = {{path("desktop/Corvatone.lnk"),
                          path("Corvatone-update-backup-AbCdEf/external-shortcuts/0.lnk")}};
    journal.shortcutAttributes = {2};
    ASSERT_TRUE(journal.write(path("journal")));
    const auto read = UpdateJournal::read(path("journal"));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->files, journal.files);
    EXPECT_EQ(read->fileAttributes, journal.fileAttributes);
    EXPECT_EQ(read->shortcuts, journal.shortcuts);
    EXPECT_EQ(read->shortcutAttributes, journal.shortcutAttributes);
    for (const char *outside :
         {"../a.txt", "sub/../../a.txt", "/etc/a.txt", "sub\\..\\..\\a.txt"}) {
        journal.files = QStringList{QString::fromUtf8(outside)};
        ASSERT_TRUE(journal.write(path("journal")));
        EXPECT_FALSE(UpdateJournal::read(path("journal"))) << outside;
    }
}

} // namespace
