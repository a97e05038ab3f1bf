#include "backup/updatebackup.h"

#include "fakeos.h"
#include "os/posix_backend.h"
#include "testsupport.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using testsupport::filesBelow;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

const QString Untouched = QStringLiteral("untouched");

// Each test has a private folder with the system temporary folder and the
// installation "Corvatone" in it; shortcuts are text files holding their target.
class UpdateBackupTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fakeos::reset();
        setTempPath(path("tmp"));
        ASSERT_TRUE(QDir().mkpath(installation));
        fakeos::hooks().shellLinkTarget = [](const std::u16string &link) -> std::optional<std::u16string> {
            QFile file(QString::fromStdU16String(link));
            if (!file.open(QIODevice::ReadOnly))
                return std::nullopt;
            return QString::fromUtf8(file.readAll()).toStdU16String();
        };
    }
    void TearDown() override { fakeos::reset(); }

    QString path(const QString &relative) const { return m_root.filePath(relative); }
    QString installed(const QString &relative) const { return installation + '/' + relative; }
    static QString saved(const UpdateBackup &backup) { return backup.backupDirectory->path(); }
    // Points QDir::tempPath() at a folder, creating it.
    static void setTempPath(const QString &folder)
    {
        ASSERT_TRUE(QDir().mkpath(folder));
        qputenv("TMPDIR", QFile::encodeName(folder));
    }
    void install(const QMap<QString, QByteArray> &files)
    {
        for (auto file = files.cbegin(); file != files.cend(); ++file)
            ASSERT_TRUE(writeFile(installed(file.key()), file.value()));
    }

    QTemporaryDir m_root;
    const QString installation = path("Corvatone");
};

TEST_F(UpdateBackupTest, SavesEveryFileAtItsPlaceAndGoesWithTheObject)
{
    const QMap<QString, QByteArray> files{{".hidden", "h"}, {"Corvatone.exe", "program"}, {"Start.LNK", "link"},
                                          {"empty.dat", ""}, {"plugins/деталь файла.dll", QByteArray(3 * 1048576 + 5, 'p')}};
    install(files);
    ASSERT_TRUE(QDir().mkpath(installed("plugins/nothing/here")));
    QString folder;
    {
        UpdateBackup backup;
        QString message = Untouched;
        ASSERT_TRUE(backup.create(installation, message, {}));
        EXPECT_EQ(message, Untouched);
        EXPECT_TRUE(backup.complete);
        folder = saved(backup);
        EXPECT_TRUE(QFileInfo(folder).fileName().startsWith("Corvatone-update-backup-"));
        EXPECT_EQ(QFileInfo(folder).absolutePath(), QDir::tempPath());
        EXPECT_EQ(filesBelow(folder), files);
        EXPECT_FALSE(QFileInfo::exists(folder + "/plugins/nothing"));
        // Only the shortcut goes through the system copy.
        EXPECT_EQ(fakeos::counts().copyFile, 1);
    }
    EXPECT_FALSE(QFileInfo::exists(folder));
}

TEST_F(UpdateBackupTest, ExcludesTheThreeNamesInAnyCaseOnlyAtTheTopLevel)
{
    install({{"Downloads/setup.bin", "x"}, {"LOG/today.txt", "x"}, {"Corvatone-Web-Cache/index/entry", "x"}, {"log", "x"}});
    // Links below the excluded folders are skipped, not refused.
    ASSERT_TRUE(QFile::link("/nonexistent", installed("Downloads/broken-link")));
    const QMap<QString, QByteArray> kept{{"data/Downloads/kept.bin", "k"}, {"data/corvatone-web-cache", "k"},
                                         {"data/log/kept.txt", "k"}, {"downloads-old/kept.bin", "k"}, {"logs/kept.txt", "k"}};
    install(kept);

    UpdateBackup backup;
    QString message;
    ASSERT_TRUE(backup.create(installation, message, {})) << message.toStdString();
    EXPECT_EQ(backup.files.size(), kept.size());
    EXPECT_EQ(filesBelow(saved(backup)), kept);
}

TEST_F(UpdateBackupTest, ChoosesABackupFolderOutsideTheInstallation)
{
    install({{"Corvatone.exe", "program"}});
    QString message;
    // Inside, and inside only when letter case is folded: on a case-sensitive
    // file system "corvatone" is a folder of its own.
    for (const QString &temporary : {installed("tmp/deeper"), path("corvatone/tmp")}) {
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

    ASSERT_TRUE(writeFile(path("tmp-file"), "not a folder"));
    qputenv("TMPDIR", QFile::encodeName(path("tmp-file")));
    UpdateBackup uncreatable;
    EXPECT_FALSE(uncreatable.create(installation, message, {}));
    EXPECT_EQ(message, "Не удалось создать каталог резервной копии.");
    EXPECT_FALSE(uncreatable.complete);
}

TEST_F(UpdateBackupTest, LeavesTheRunsOwnFilesInATemporaryFolderInsideOut)
{
    setTempPath(installed("tmp"));
    install({{"tmp/Corvatone-update.log", "run"}, {"tmp/Corvatone-update-0a1b.lock", "run"}, {"tmp/Corvatone Updater-Ab12Cd/cache", "run"},
             {"tmp/other.txt", "other"}, {"Corvatone-update.log", "installed"}});

    UpdateBackup backup;
    QString message;
    ASSERT_TRUE(backup.create(installation, message, {})) << message.toStdString();
    QStringList files = backup.files;
    files.sort();
    EXPECT_EQ(files, QStringList({"Corvatone-update.log", "tmp/other.txt"}));

    ASSERT_TRUE(writeFile(installed("tmp/Corvatone-update.log"), "live log"));
    ASSERT_TRUE(backup.restore(message));
    EXPECT_EQ(readFile(installed("tmp/Corvatone-update.log")), "live log");
}

TEST_F(UpdateBackupTest, SymbolicLinkInsideFailsNamingIt)
{
    install({{"bin/target.exe", "x"}});
    ASSERT_TRUE(QFile::link(installed("bin/target.exe"), installed("bin/link %1%2.exe")));

    UpdateBackup backup;
    QString message;
    EXPECT_FALSE(backup.create(installation, message, {}));
    EXPECT_EQ(message, "Не удалось сохранить резервную копию: bin/link %1%2.exe");
    EXPECT_FALSE(backup.complete);
}

TEST_F(UpdateBackupTest, SavesExternalShortcutsInOrder)
{
    install({{"Corvatone.exe", "program"}});
    const QByteArray target = installed("Corvatone.exe").toUtf8();
    const QStringList shortcuts{path("desktop/Corvatone.lnk"), path("menu/Programs/Corvatone.lnk"), path("extra/Test %1.lnk")};
    for (const QString &shortcut : shortcuts)
        ASSERT_TRUE(writeFile(shortcut, target));
    ASSERT_TRUE(writeFile(path("menu/Programs/Tool.lnk"), installed("sub/tool.exe").toUtf8()));
    const QStringList folders{path("desktop"), path("menu"), path("extra")};

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
    ASSERT_TRUE(writeFile(installed("Corvatone.exe"), "changed"));
    message = Untouched;
    EXPECT_TRUE(failed.restore(message));
    EXPECT_TRUE(UpdateBackup().restore(message));
    EXPECT_EQ(message, Untouched);
    EXPECT_EQ(readFile(installed("Corvatone.exe")), "changed");
}

TEST_F(UpdateBackupTest, RestoreBringsBackWhatTheUpdateChangedOnce)
{
    const QMap<QString, QByteArray> files{{"Corvatone.exe", "program"}, {"plugins/a/sync.dll", "sync"}, {"data.bin", QByteArray(1048576 + 3, 'd')}};
    install(files);
    ASSERT_TRUE(QFile::setPermissions(installed("Corvatone.exe"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeOther));
    const QFile::Permissions mode = QFile::permissions(installed("Corvatone.exe"));
    const QString shortcut = path("desktop/Corvatone.lnk");
    ASSERT_TRUE(writeFile(shortcut, installed("Corvatone.exe").toUtf8()) && writeFile(path("elsewhere/file"), "outside"));
    UpdateBackup backup;
    QString message = Untouched;
    ASSERT_TRUE(backup.create(installation, message, {path("desktop")}));

    // The update deletes, changes, adds, and leaves a link where a saved file was.
    ASSERT_TRUE(QFile::remove(installed("Corvatone.exe")) && QDir(installed("plugins")).removeRecursively());
    ASSERT_TRUE(QFile::remove(installed("data.bin")) && QFile::link(path("elsewhere/file"), installed("data.bin")));
    ASSERT_TRUE(QFile::remove(shortcut) && writeFile(installed("added.dll"), "added"));
    ASSERT_TRUE(backup.restore(message));
    EXPECT_EQ(message, Untouched);
    EXPECT_FALSE(backup.complete);
    QMap<QString, QByteArray> expected = files;
    expected.insert("added.dll", "added");
    EXPECT_EQ(filesBelow(installation), expected);
    EXPECT_EQ(QFile::permissions(installed("Corvatone.exe")), mode);
    EXPECT_FALSE(QFileInfo(installed("data.bin")).isSymLink());
    EXPECT_EQ(readFile(path("elsewhere/file")), "outside");
    EXPECT_EQ(readFile(shortcut), installed("Corvatone.exe").toUtf8());

    ASSERT_TRUE(writeFile(installed("Corvatone.exe"), "changed again"));
    EXPECT_TRUE(backup.restore(message));
    EXPECT_EQ(readFile(installed("Corvatone.exe")), "changed again");
}

TEST_F(UpdateBackupTest, RestoreNeverWritesThroughALinkedFolder)
{
    install({{"plugins/sync.dll", "saved"}});
    ASSERT_TRUE(writeFile(path("elsewhere/sync.dll"), "outside"));
    UpdateBackup backup;
    QString message;
    ASSERT_TRUE(backup.create(installation, message, {}));

    ASSERT_TRUE(QDir(installed("plugins")).removeRecursively() && QFile::link(path("elsewhere"), installed("plugins")));
    EXPECT_FALSE(backup.restore(message));
    EXPECT_EQ(message, "Не удалось восстановить plugins/sync.dll. Резервная копия сохранена: " + saved(backup));
    EXPECT_EQ(readFile(path("elsewhere/sync.dll")), "outside");
}

TEST_F(UpdateBackupTest, FailedRestoreKeepsTheBackupDirectory)
{
    install({{"a.txt", "a"}});
    const QString shortcut = path("desktop/Corvatone %1.lnk");
    ASSERT_TRUE(writeFile(shortcut, installed("a.txt").toUtf8()));
    setTempPath(path("tmp %1%2"));

    // The update left a folder where a file or the shortcut must go back.
    const std::pair<QString, QString> cases[] = {
        {installed("b%2/c%1.txt"), "Не удалось восстановить b%2/c%1.txt. Резервная копия сохранена: "},
        {shortcut, "Не удалось восстановить ярлык " + shortcut + ". Резервная копия: "},
    };
    for (const auto &[blocked, message] : cases) {
        install({{"b%2/c%1.txt", "c"}});
        QString kept;
        QString error;
        {
            UpdateBackup backup;
            ASSERT_TRUE(backup.create(installation, error, {path("desktop")}));
            kept = saved(backup);
            ASSERT_TRUE(QFile::remove(blocked) && QDir().mkpath(blocked + "/inner"));
            EXPECT_FALSE(backup.restore(error));
            EXPECT_TRUE(backup.complete);
        }
        EXPECT_EQ(error, message + kept);
        const QMap<QString, QByteArray> files{{"a.txt", "a"}, {"b%2/c%1.txt", "c"}, {"external-shortcuts/0.lnk", installed("a.txt").toUtf8()}};
        EXPECT_EQ(filesBelow(kept), files);
        ASSERT_TRUE(QDir(blocked).removeRecursively());
    }
}

TEST_F(UpdateBackupTest, RepeatedCreateForgetsTheEarlierBackup)
{
    install({{"old.txt", "old"}});
    const QString other = path("Other");
    ASSERT_TRUE(writeFile(other + "/new.txt", "new"));

    UpdateBackup backup;
    QString message;
    ASSERT_TRUE(backup.create(installation, message, {}));
    const QString first = saved(backup);
    ASSERT_TRUE(backup.create(other, message, {}));
    EXPECT_FALSE(QFileInfo::exists(first));
    EXPECT_EQ(backup.files, QStringList{"new.txt"});

    EXPECT_FALSE(backup.create("/", message, {}));
    EXPECT_FALSE(backup.complete);
    EXPECT_TRUE(backup.files.isEmpty());
}

TEST_F(UpdateBackupTest, FileCopyCommitsNothingOnFailure)
{
    ASSERT_TRUE(writeFile(path("source"), QByteArray(3 * 1048576 + 17, 'x')) && writeFile(path("dest"), "former"));
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
