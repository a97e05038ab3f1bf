#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

// The record of one run's backup, kept beside the installation's lock while
// the installation is at stake, so that the next run can undo a run that was
// cut short (a power cut, a forced shutdown, an ended process).
struct UpdateJournal
{
    enum class State {
        // The backup is being made; the installation is untouched.
        Saving,
        // The backup is complete; the installation may be changed from here on.
        Saved,
    };

    State state = State::Saving;
    QString installationDirectory;
    QString backupDirectory;
    // The maintenance tool's cache folder of the run.
    QString toolCacheDirectory;
    // What the backup saved, as UpdateBackup keeps it; empty while saving.
    QStringList files;
    QList<std::uint32_t> fileAttributes;
    QList<QPair<QString, QString>> shortcuts;
    QList<std::uint32_t> shortcutAttributes;

    // Replaces the journal file with this record once it is on the disk.
    [[nodiscard]] bool write(const QString &path) const;
    // The record in the file; nothing when there is none or it cannot be read whole.
    [[nodiscard]] static std::optional<UpdateJournal> read(const QString &path);
};
