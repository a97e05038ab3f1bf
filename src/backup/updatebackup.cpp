#include "backup/updatebackup.h"

#include "backup/savefile.h"
#include "os/os.h"
#include "probes/updateshortcuts.h"

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QThread>

#include <array>

namespace {

const QString BackupTemplate = QStringLiteral("Corvatone-update-backup-XXXXXX");
const QString ShortcutCopyName = QStringLiteral("external-shortcuts/%1.lnk");
constexpr qint64 ChunkSize = 1048576;
// How long a copy is tried again while another program holds one of its files.
constexpr qint64 InUseRetryMs = 2000;
constexpr unsigned long InUseRetryPollMs = 50;

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
    for (const QString &name : ExcludedTopLevelNames) {
        if (first == name)
            return true;
    }
    return false;
}

// The update run keeps its log, its lock and the tool's cache directly in the
// temporary folder. Where that folder lies inside the installation they are not
// part of it: saving them would make the rollback put an old log over the live
// one, and replacing the held lock fails.
bool isRunFile(const QString &path, const QString &foldedTemporaryFolder)
{
    const QFileInfo entry(path);
    const QString folder = QDir(entry.absolutePath()).canonicalPath().toCaseFolded();
    if (folder == foldedTemporaryFolder) {
        const QString name = entry.fileName();
        return name == QLatin1String("Corvatone-update.log")
            || (name.startsWith(QLatin1String("Corvatone-update-")) && name.endsWith(QLatin1String(".lock")))
            || name.startsWith(QLatin1String("Corvatone Updater-"));
    }
    // Everything in the tool's cache folder belongs to the run as well.
    const QString prefix = foldedTemporaryFolder + QLatin1Char('/');
    return folder.startsWith(prefix)
        && folder.mid(prefix.size()).startsWith(QLatin1String("corvatone updater-"));
}

// Whether a folder between the installation and one of its files is a link.
// The update may have put one where a saved folder was; copying the file back
// through it would write outside the installation.
bool passesThroughLink(const QDir &installation, const QString &relativePath)
{
    for (qsizetype slash = relativePath.indexOf(QLatin1Char('/')); slash >= 0;
         slash = relativePath.indexOf(QLatin1Char('/'), slash + 1)) {
        const std::uint32_t attributes =
            os::fileAttributes(nativePath(installation.filePath(relativePath.left(slash))));
        if (attributes != os::InvalidFileAttributes && (attributes & os::ReparsePointAttribute))
            return true;
    }
    return false;
}

bool makeParentFolder(const QString &destination)
{
    return QDir().mkpath(QFileInfo(destination).absolutePath());
}

bool copyShortcutOnce(const QString &source, const QString &destination)
{
    if (!makeParentFolder(destination))
        return false;
    return os::copyFile(nativePath(source), nativePath(destination));
}

bool copyInstallationFileOnce(const QString &source, const QString &destination)
{
    const std::u16string nativeSource = nativePath(source);
    const std::uint32_t attributes = os::fileAttributes(nativeSource);
    if (attributes == os::InvalidFileAttributes || (attributes & os::ReparsePointAttribute))
        return false;

    if (source.endsWith(QLatin1String(".lnk"), Qt::CaseInsensitive))
        return copyShortcutOnce(source, destination);

    QFile input(source);
    if (!input.open(QIODevice::ReadOnly))
        return false;
    if (!makeParentFolder(destination))
        return false;
    // A save file writes through a link to wherever it points. A link that the
    // update put where a saved file was is replaced by the file, not written through.
    const std::uint32_t existing = os::fileAttributes(nativePath(destination));
    if (existing != os::InvalidFileAttributes && (existing & os::ReparsePointAttribute)
        && !(existing & os::DirectoryAttribute) && !QFile::remove(destination)) {
        return false;
    }
    QSaveFile output(destination);
    if (!output.open(QIODevice::WriteOnly))
        return false;

    // One buffer for the whole file keeps memory at one chunk and spares an
    // allocation per chunk.
    QByteArray chunk(ChunkSize, Qt::Uninitialized);
    while (!input.atEnd()) {
        const qint64 read = input.read(chunk.data(), ChunkSize);
        if (read < 0 || input.error() != QFileDevice::NoError)
            return false;
        // A source that claims more data but yields none (it shrank under us)
        // would otherwise loop for ever.
        if (read == 0)
            return false;
        if (output.write(chunk.constData(), read) != read)
            return false;
    }
    if (!commitSaveFile(output))
        return false;
    return os::copyPermissions(nativeSource, nativePath(destination));
}

// Another program (a virus scanner, an indexer) may hold a file open for a
// moment, and on Windows nothing can read or replace the file meanwhile. A copy
// that fails while either end is held is tried again for a short while.
template<typename Copy>
bool copyRetryingWhileInUse(const QString &source, const QString &destination, Copy copy)
{
    QElapsedTimer timer;
    timer.start();
    while (!copy(source, destination)) {
        if (timer.elapsed() >= InUseRetryMs
            || (!os::fileInUse(nativePath(source)) && !os::fileInUse(nativePath(destination)))) {
            return false;
        }
        QThread::msleep(InUseRetryPollMs);
    }
    return true;
}

} // namespace

UpdateBackup::UpdateBackup() = default;
UpdateBackup::~UpdateBackup() = default;

bool UpdateBackup::create(const QString &installationDirectory, QString &errorMessage,
                          const QStringList &shortcutDirectories)
{
    this->installationDirectory = installationDirectory;
    // A repeated create() must not leave an earlier backup's entries behind,
    // or a restore would look for them in the new backup directory.
    complete = false;
    files.clear();
    shortcuts.clear();

    QDir parent(QDir::tempPath());
    const QString key = QFileInfo(installationDirectory).canonicalFilePath().toCaseFolded();
    const QString foldedTemporaryFolder = parent.canonicalPath().toCaseFolded();
    const bool temporaryFolderInside = liesInside(foldedTemporaryFolder, key);
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

    const QDir installation(installationDirectory);
    QDirIterator it(installationDirectory,
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relativePath = installation.relativeFilePath(path);
        if (isExcludedTopLevelName(relativePath))
            continue;
        if (temporaryFolderInside && isRunFile(path, foldedTemporaryFolder))
            continue;

        const std::uint32_t attributes = os::fileAttributes(nativePath(path));
        if (attributes != os::InvalidFileAttributes && (attributes & os::DirectoryAttribute)
            && !(attributes & os::ReparsePointAttribute)) {
            continue;
        }

        if (!copyInstallationFile(path, backupDirectory->filePath(relativePath))) {
            errorMessage = SaveFailedMessage.arg(relativePath);
            return false;
        }
        files.append(relativePath);
    }

    const QStringList found =
        UpdateShortcuts::forInstallation(installationDirectory, shortcutDirectories);
    for (const QString &shortcut : found) {
        const QString destination =
            backupDirectory->filePath(ShortcutCopyName.arg(shortcuts.size()));
        if (!copyShortcut(shortcut, destination)) {
            errorMessage = ShortcutSaveFailedMessage.arg(shortcut);
            return false;
        }
        shortcuts.append(qMakePair(shortcut, destination));
    }

    complete = true;
    return true;
}

bool UpdateBackup::restore(QString &errorMessage)
{
    if (!complete || !backupDirectory)
        return true;

    const QDir installation(installationDirectory);
    for (const QString &relativePath : std::as_const(files)) {
        if (passesThroughLink(installation, relativePath)
            || !copyInstallationFile(backupDirectory->filePath(relativePath),
                                     installation.filePath(relativePath))) {
            backupDirectory->setAutoRemove(false);
            errorMessage = RestoreFailedMessage.arg(relativePath, backupDirectory->path());
            return false;
        }
    }

    for (const auto &shortcut : std::as_const(shortcuts)) {
        if (!copyShortcut(shortcut.second, shortcut.first)) {
            backupDirectory->setAutoRemove(false);
            errorMessage = ShortcutRestoreFailedMessage.arg(shortcut.first, backupDirectory->path());
            return false;
        }
    }

    complete = false;
    return true;
}

bool UpdateBackup::copyInstallationFile(const QString &source, const QString &destination)
{
    return copyRetryingWhileInUse(source, destination, copyInstallationFileOnce);
}

bool UpdateBackup::copyShortcut(const QString &source, const QString &destination)
{
    return copyRetryingWhileInUse(source, destination, copyShortcutOnce);
}
