#include "backup/updatebackup.h"

#include "common/updaterun.h"
#include "os/os.h"
#include "probes/updateshortcuts.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <array>

namespace {

const QString BackupTemplate = QStringLiteral("Corvatone-update-backup-XXXXXX");
const QString ShortcutCopyName = QStringLiteral("external-shortcuts/%1.lnk");
// How often a copy that another program's hold on a file has stopped is tried again.
constexpr qint64 HeldRetryPollMs = 100;
// How long a wait may go before the caller hears of progress.
constexpr qint64 ProgressIntervalMs = 25;

const std::array<QString, 3> ExcludedTopLevelNames = {
        QStringLiteral("downloads"),
        QStringLiteral("log"),
        QStringLiteral("corvatone-web-cache"),
};

const QString NoParentMessage =
        QStringLiteral("Не удалось выбрать каталог резервной копии вне установки.");
const QString NoBackupDirectoryMessage =
        QStringLiteral("Не удалось создать каталог резервной копии.");
const QString SaveFailedMessage = QStringLiteral("Не удалось сохранить резервную копию: %1");
const QString ShortcutSaveFailedMessage = QStringLiteral("Не удалось сохранить ярлык: %1");
const QString RestoreFailedMessage =
        QStringLiteral("Не удалось восстановить %1. Резервная копия сохранена: %2");
const QString ShortcutRestoreFailedMessage =
        QStringLiteral("Не удалось восстановить ярлык %1. Резервная копия: %2");

std::u16string nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdU16String();
}

// The attributes of a path, or nothing when they cannot be read.
std::optional<std::uint32_t> attributesOf(const QString &path)
{
    const os::Result<std::uint32_t> attributes = os::fileAttributes(nativePath(path));
    if (!attributes.ok())
        return std::nullopt;
    return attributes.value;
}

// Whether a case-folded canonical path is the installation (given by its
// case-folded canonical key) or lies below it. An installation that does not
// exist has an empty key and contains nothing.
bool liesInside(const QString &foldedPath, const QString &key)
{
    if (key.isEmpty())
        return false;
    if (foldedPath == key)
        return true;
    const QString prefix = key.endsWith(QLatin1Char('/')) ? key : key + QLatin1Char('/');
    return foldedPath.startsWith(prefix);
}

bool isExcludedTopLevelName(const QString &relativePath)
{
    const QString first = relativePath.section(QLatin1Char('/'), 0, 0).toCaseFolded();
    return std::find(ExcludedTopLevelNames.begin(), ExcludedTopLevelNames.end(), first)
           != ExcludedTopLevelNames.end();
}

// The update run keeps its log, its lock, its journal and the tool's cache
// directly in the temporary folder. Where that folder lies inside the
// installation they are not part of it: saving them would make the rollback
// put an old log over the live one, and replacing the held lock fails.
bool isRunFile(const QString &path, const QString &foldedTemporaryFolder)
{
    const QFileInfo entry(path);
    const QString folder = QDir(entry.absolutePath()).canonicalPath().toCaseFolded();
    if (folder == foldedTemporaryFolder)
        return UpdateRun::isRunFileName(entry.fileName());
    // Everything below one of the run's folders belongs to the run as well.
    const QString prefix = foldedTemporaryFolder + QLatin1Char('/');
    return folder.startsWith(prefix)
           && UpdateRun::isRunFileName(folder.mid(prefix.size()).section(QLatin1Char('/'), 0, 0));
}

// Whether a folder between the installation and one of its files is a link.
// The update may have put one where a saved folder was; copying the file back
// through it would write outside the installation.
bool passesThroughLink(const QDir &installation, const QString &relativePath)
{
    for (qsizetype slash = relativePath.indexOf(QLatin1Char('/')); slash >= 0;
         slash = relativePath.indexOf(QLatin1Char('/'), slash + 1)) {
        const auto attributes = attributesOf(installation.filePath(relativePath.left(slash)));
        if (attributes && (*attributes & os::ReparsePointAttribute))
            return true;
    }
    return false;
}

bool makeParentFolder(const QString &destination)
{
    return QDir().mkpath(QFileInfo(destination).absolutePath());
}

// A failure of the copy that is not the system's: a missing folder, or a
// source that is no plain file.
os::Status refused()
{
    os::Status status;
    status.error = 1;
    return status;
}

os::Status copyShortcutOnce(const QString &source, const QString &destination)
{
    if (!makeParentFolder(destination))
        return refused();
    return os::copyFile(nativePath(source), nativePath(destination));
}

os::Status copyInstallationFileOnce(const QString &source, const QString &destination,
                                    const os::Progress &progress)
{
    const auto attributes = attributesOf(source);
    if (!attributes || (*attributes & os::ReparsePointAttribute))
        return refused();

    if (source.endsWith(QLatin1String(".lnk"), Qt::CaseInsensitive))
        return copyShortcutOnce(source, destination);
    if (!makeParentFolder(destination))
        return refused();
    return os::copyFileContent(nativePath(source), nativePath(destination), progress);
}

// Gives a file that is about to be replaced the attributes that let it be
// replaced, and answers the ones it had, to be given back should the copy fail.
std::optional<std::uint32_t> unprotect(const QString &destination)
{
    const auto existing = attributesOf(destination);
    // A link's attributes would be set on its target, wherever that lies.
    if (existing && (*existing & os::ProtectingAttributes)
        && !(*existing & (os::DirectoryAttribute | os::ReparsePointAttribute))) {
        (void)os::setFileAttributes(nativePath(destination), *existing & ~os::ProtectingAttributes);
    }
    return existing;
}

// The attributes a copy in the backup is left with: none that would stop the
// backup from being removed, or its copies from being read back.
void makePlain(const QString &copy)
{
    const auto attributes = attributesOf(copy);
    if (attributes && (*attributes & os::ProtectingAttributes))
        (void)os::setFileAttributes(nativePath(copy), *attributes & ~os::ProtectingAttributes);
}

} // namespace

// How long copies may wait for files that another program holds: for one
// file, and for all of one create() or restore() together.
struct UpdateBackup::RetryBudget
{
    qint64 perFileMs;
    qint64 totalMs;
    qint64 spentMs = 0;
};

namespace {

// A failed backup loses nothing and may wait less than a rollback, which
// must bring the installation back.
constexpr qint64 BackupHeldFileMs = 5000;
constexpr qint64 BackupHeldTotalMs = 10000;
constexpr qint64 RestoreHeldFileMs = 30000;
constexpr qint64 RestoreHeldTotalMs = 60000;

} // namespace

UpdateBackup::UpdateBackup() = default;
UpdateBackup::~UpdateBackup() = default;

void UpdateBackup::reportProgress() const
{
    if (progress)
        progress();
}

// Another program (a virus scanner, an indexer, a backup agent) may hold a
// file open, and on Windows nothing can read or replace the file meanwhile.
// A copy that fails for that reason is tried again within the budget; any
// other failure ends it at once.
template<typename Copy>
static bool copyWhileHeld(Copy copy, qint64 &spentMs, qint64 perFileMs, qint64 totalMs,
                          const std::function<void()> &progress)
{
    QElapsedTimer file;
    file.start();
    for (;;) {
        const os::Status status = copy();
        if (status.ok())
            return true;
        if (!status.fileHeld)
            return false;
        const qint64 left = std::min(perFileMs - file.elapsed(), totalMs - spentMs);
        if (left <= 0)
            return false;
        QElapsedTimer wait;
        wait.start();
        const qint64 pause = std::min(HeldRetryPollMs, left);
        while (wait.elapsed() < pause) {
            QThread::msleep(std::min<qint64>(ProgressIntervalMs, pause - wait.elapsed()) + 1);
            if (progress)
                progress();
        }
        spentMs += wait.elapsed();
    }
}

bool UpdateBackup::create(const QString &installationDirectory, QString &errorMessage,
                          const QStringList &shortcutDirectories)
{
    this->installationDirectory = installationDirectory;

    QDir parent(QDir::tempPath());
    const QString key = QFileInfo(installationDirectory).canonicalFilePath().toCaseFolded();
    while (liesInside(parent.canonicalPath().toCaseFolded(), key)) {
        if (!parent.cdUp()) {
            errorMessage = NoParentMessage;
            return false;
        }
    }

    // The earlier backup directory, if any, goes only once the new one exists.
    backupDirectory = std::make_unique<QTemporaryDir>(parent.filePath(BackupTemplate));
    if (!backupDirectory->isValid()) {
        errorMessage = NoBackupDirectoryMessage;
        return false;
    }

    // Recorded before anything is saved, so that whatever the backup leaves
    // behind, cut short, is found and removed by the next run.
    if (!writeJournal(false)) {
        errorMessage = SaveFailedMessage.arg(QFileInfo(journalPath).fileName());
        return false;
    }
    RetryBudget budget{BackupHeldFileMs, BackupHeldTotalMs};
    if (!saveInstallationFiles(errorMessage, budget)
        || !saveShortcuts(shortcutDirectories, errorMessage, budget)) {
        return false;
    }
    // From here on the update may change the installation: the next run must
    // know how to bring it back should this one not get to.
    if (!writeJournal(true)) {
        errorMessage = SaveFailedMessage.arg(QFileInfo(journalPath).fileName());
        return false;
    }
    complete = true;
    return true;
}

bool UpdateBackup::writeJournal(bool saved) const
{
    if (journalPath.isEmpty())
        return true;
    UpdateJournal journal;
    journal.state = saved ? UpdateJournal::State::Saved : UpdateJournal::State::Saving;
    journal.installationDirectory = installationDirectory;
    journal.backupDirectory = backupDirectory->path();
    journal.toolCacheDirectory = toolCacheDirectory;
    if (saved) {
        journal.files = files;
        journal.fileAttributes = fileAttributes;
        journal.shortcuts = shortcuts;
        journal.shortcutAttributes = shortcutAttributes;
    }
    return journal.write(journalPath);
}

bool UpdateBackup::saveInstallationFiles(QString &errorMessage, RetryBudget &budget)
{
    const QString key = QFileInfo(installationDirectory).canonicalFilePath().toCaseFolded();
    const QString foldedTemporaryFolder = QDir(QDir::tempPath()).canonicalPath().toCaseFolded();
    const bool temporaryFolderInside = liesInside(foldedTemporaryFolder, key);

    const QDir installation(installationDirectory);
    QDirIterator it(installationDirectory,
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        // Excluded trees and folders are walked too, and may be large.
        reportProgress();
        const QString path = it.next();
        const QString relativePath = installation.relativeFilePath(path);
        if (isExcludedTopLevelName(relativePath))
            continue;
        if (temporaryFolderInside && isRunFile(path, foldedTemporaryFolder))
            continue;

        const auto attributes = attributesOf(path);
        if (attributes && (*attributes & os::DirectoryAttribute)
            && !(*attributes & os::ReparsePointAttribute)) {
            continue;
        }

        const QString copy = backupDirectory->filePath(relativePath);
        if (!copyWhileHeld([&] { return copyInstallationFileOnce(path, copy, progress); },
                           budget.spentMs, budget.perFileMs, budget.totalMs, progress)) {
            errorMessage = SaveFailedMessage.arg(relativePath);
            return false;
        }
        makePlain(copy);
        files.append(relativePath);
        fileAttributes.append(attributes.value_or(0));
        reportProgress();
    }
    return true;
}

bool UpdateBackup::saveShortcuts(const QStringList &shortcutDirectories, QString &errorMessage,
                                 RetryBudget &budget)
{
    const QStringList found =
            UpdateShortcuts::forInstallation(installationDirectory, shortcutDirectories);
    for (const QString &shortcut : found) {
        const QString copy = backupDirectory->filePath(ShortcutCopyName.arg(shortcuts.size()));
        const auto attributes = attributesOf(shortcut);
        if (!copyWhileHeld([&] { return copyShortcutOnce(shortcut, copy); }, budget.spentMs,
                           budget.perFileMs, budget.totalMs, progress)) {
            errorMessage = ShortcutSaveFailedMessage.arg(shortcut);
            return false;
        }
        makePlain(copy);
        shortcuts.append(qMakePair(shortcut, copy));
        shortcutAttributes.append(attributes.value_or(0));
        reportProgress();
    }
    return true;
}

bool UpdateBackup::restore(QString &errorMessage)
{
    if (!complete || !backupDirectory) {
        // A backup that failed part way put nothing at stake; its journal goes.
        if (backupDirectory && !journalPath.isEmpty())
            QFile::remove(journalPath);
        return true;
    }
    if (!restoreFrom(backupDirectory->path(), errorMessage)) {
        backupDirectory->setAutoRemove(false);
        return false;
    }
    complete = false;
    if (!journalPath.isEmpty())
        QFile::remove(journalPath);
    return true;
}

bool UpdateBackup::restoreInterrupted(const UpdateJournal &journal, QString &errorMessage)
{
    installationDirectory = journal.installationDirectory;
    files = journal.files;
    fileAttributes = journal.fileAttributes;
    shortcuts = journal.shortcuts;
    shortcutAttributes = journal.shortcutAttributes;
    // A backup that lacks a saved copy (its removal was cut short) would
    // leave the installation half restored: nothing is touched then.
    const QDir backup(journal.backupDirectory);
    for (const QString &relativePath : std::as_const(files)) {
        if (!QFileInfo::exists(backup.filePath(relativePath))) {
            errorMessage = RestoreFailedMessage.arg(relativePath, journal.backupDirectory);
            return false;
        }
    }
    if (!restoreFrom(journal.backupDirectory, errorMessage))
        return false;
    // The journal goes first: one that outlived its backup would lead the
    // next run to restore from what is left of it.
    if (!journalPath.isEmpty() && QFileInfo::exists(journalPath) && !QFile::remove(journalPath))
        return true;
    QDir(journal.backupDirectory).removeRecursively();
    if (!journal.toolCacheDirectory.isEmpty())
        QDir(journal.toolCacheDirectory).removeRecursively();
    files.clear();
    fileAttributes.clear();
    shortcuts.clear();
    shortcutAttributes.clear();
    return true;
}

bool UpdateBackup::restoreFrom(const QString &backupPath, QString &errorMessage)
{
    RetryBudget budget{RestoreHeldFileMs, RestoreHeldTotalMs};
    // Puts one saved item back with the attributes it had when it was saved;
    // after a failed copy the destination keeps the attributes it had.
    const auto putBack = [&](const QString &destination, std::uint32_t saved, auto copy) {
        const std::optional<std::uint32_t> existing = unprotect(destination);
        if (!copyWhileHeld(copy, budget.spentMs, budget.perFileMs, budget.totalMs, progress)) {
            if (existing)
                (void)os::setFileAttributes(nativePath(destination), *existing);
            return false;
        }
        const auto now = attributesOf(destination);
        if (!now || (*now & os::SettableAttributes) != (saved & os::SettableAttributes))
            (void)os::setFileAttributes(nativePath(destination), saved);
        reportProgress();
        return true;
    };

    const QDir backup(backupPath);
    const QDir installation(installationDirectory);
    for (qsizetype i = 0; i < files.size(); ++i) {
        const QString &relativePath = files.at(i);
        const QString source = backup.filePath(relativePath);
        const QString destination = installation.filePath(relativePath);
        if (passesThroughLink(installation, relativePath)
            || !putBack(destination, fileAttributes.value(i),
                        [&] { return copyInstallationFileOnce(source, destination, progress); })) {
            errorMessage = RestoreFailedMessage.arg(relativePath, backupPath);
            return false;
        }
    }

    for (qsizetype i = 0; i < shortcuts.size(); ++i) {
        const auto &shortcut = shortcuts.at(i);
        if (!putBack(shortcut.first, shortcutAttributes.value(i),
                     [&] { return copyShortcutOnce(shortcut.second, shortcut.first); })) {
            errorMessage = ShortcutRestoreFailedMessage.arg(shortcut.first, backupPath);
            return false;
        }
    }
    return true;
}

void UpdateBackup::keepForNextRun()
{
    if (backupDirectory)
        backupDirectory->setAutoRemove(false);
}

bool UpdateBackup::copyInstallationFile(const QString &source, const QString &destination)
{
    return copyInstallationFileOnce(source, destination, {}).ok();
}

bool UpdateBackup::copyShortcut(const QString &source, const QString &destination)
{
    return copyShortcutOnce(source, destination).ok();
}
