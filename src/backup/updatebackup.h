#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include "backup/updatejournal.h"

#include <cstdint>
#include <functional>
#include <memory>

// One backup of the installation and of the shortcuts into it, taken before
// the update and copied back when the update fails.
class UpdateBackup
{
public:
    UpdateBackup();
    ~UpdateBackup();
    UpdateBackup(const UpdateBackup &) = delete;
    UpdateBackup &operator=(const UpdateBackup &) = delete;

    // Saves the installation and its external shortcuts; on failure replaces
    // errorMessage and returns false.
    [[nodiscard]] bool create(const QString &installationDirectory, QString &errorMessage,
                              const QStringList &shortcutDirectories);
    // Copies everything saved back into place; true also when nothing was saved.
    [[nodiscard]] bool restore(QString &errorMessage);
    // Copies back what the backup of a run that was cut short saved, as
    // restore() would have. On success removes that run's backup directory,
    // its tool cache folder and the journal; on failure keeps them all.
    [[nodiscard]] bool restoreInterrupted(const UpdateJournal &journal, QString &errorMessage);

    // Leaves the backup directory on the disk when this object goes, for the
    // next run to roll back from through the journal.
    void keepForNextRun();

    // Copies one file of an installation or of a backup, once; commits nothing on failure.
    [[nodiscard]] static bool copyInstallationFile(const QString &source,
                                                   const QString &destination);
    // Copies one shortcut file, once, overwriting the destination.
    [[nodiscard]] static bool copyShortcut(const QString &source, const QString &destination);

    // The installation directory as given to create().
    QString installationDirectory;
    // Null until create() has made one.
    std::unique_ptr<QTemporaryDir> backupDirectory;
    // Relative paths of the saved files, in walk order, with "/" separators.
    QStringList files;
    // (shortcut path, path of its copy) in saving order.
    QList<QPair<QString, QString>> shortcuts;
    // True from a successful create() until a successful restore().
    bool complete = false;
    // The attributes each saved file and shortcut had, in the order of files and shortcuts.
    QList<std::uint32_t> fileAttributes;
    QList<std::uint32_t> shortcutAttributes;
    // Where create() keeps its journal while the installation is at stake
    // (restore() removes it, and so does the caller after a success); none
    // when empty. The journal names the tool's cache folder.
    QString journalPath;
    QString toolCacheDirectory;
    // Called at least every few dozen milliseconds while create() or restore()
    // copies or waits, so that the caller can keep its window answering.
    std::function<void()> progress;

private:
    struct RetryBudget;

    [[nodiscard]] bool writeJournal(bool saved) const;
    // Copies the saved files and shortcuts back from a backup directory.
    [[nodiscard]] bool restoreFrom(const QString &backupPath, QString &errorMessage);

    [[nodiscard]] bool saveInstallationFiles(QString &errorMessage, RetryBudget &budget);
    [[nodiscard]] bool saveShortcuts(const QStringList &shortcutDirectories, QString &errorMessage,
                                     RetryBudget &budget);
    void reportProgress() const;
};
