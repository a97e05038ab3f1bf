#include "backup/updatejournal.h"

#include "common/savefile.h"
#include "common/updaterun.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace {

// Nothing else is written where a journal is read; a larger file is none.
constexpr qint64 MaximumSize = 64 * 1048576;

const QString BackupNamePrefix = QStringLiteral("Corvatone-update-backup-");
const QString SavingState = QStringLiteral("saving");
const QString SavedState = QStringLiteral("saved");

QJsonArray entriesToJson(const QStringList &paths, const QList<std::uint32_t> &attributes,
                         const QStringList &copies = {})
{
    QJsonArray entries;
    for (qsizetype i = 0; i < paths.size(); ++i) {
        QJsonObject entry{{QStringLiteral("path"), paths.at(i)},
                          {QStringLiteral("attributes"), qint64(attributes.value(i))}};
        if (i < copies.size())
            entry.insert(QStringLiteral("copy"), copies.at(i));
        entries.append(entry);
    }
    return entries;
}

// A saved file's place must lie inside the installation, whatever the file says.
bool isSafeRelativePath(const QString &path)
{
    if (path.isEmpty() || QDir::isAbsolutePath(path))
        return false;
    // Windows takes either slash as a separator.
    const QStringList parts = path.split(QRegularExpression(QStringLiteral("[/\\\\]")));
    return !parts.contains(QString()) && !parts.contains(QStringLiteral("."))
           && !parts.contains(QStringLiteral(".."));
}

} // namespace

bool UpdateJournal::write(const QString &path) const
{
    QStringList shortcutPaths;
    QStringList shortcutCopies;
    for (const auto &shortcut : shortcuts) {
        shortcutPaths.append(shortcut.first);
        shortcutCopies.append(shortcut.second);
    }
    const QJsonObject record{
            {QStringLiteral("state"), state == State::Saved ? SavedState : SavingState},
            {QStringLiteral("installation"), installationDirectory},
            {QStringLiteral("backup"), backupDirectory},
            {QStringLiteral("toolCache"), toolCacheDirectory},
            {QStringLiteral("files"), entriesToJson(files, fileAttributes)},
            {QStringLiteral("shortcuts"),
             entriesToJson(shortcutPaths, shortcutAttributes, shortcutCopies)},
    };
    const QByteArray content = QJsonDocument(record).toJson(QJsonDocument::Compact);
    return replaceFileContent(path, content);
}

std::optional<UpdateJournal> UpdateJournal::read(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > MaximumSize)
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    const QJsonObject record = document.object();
    const QString state = record.value(QStringLiteral("state")).toString();
    UpdateJournal journal;
    journal.state = state == SavedState ? State::Saved : State::Saving;
    journal.installationDirectory = record.value(QStringLiteral("installation")).toString();
    journal.backupDirectory = record.value(QStringLiteral("backup")).toString();
    journal.toolCacheDirectory = record.value(QStringLiteral("toolCache")).toString();
    // The folders that the next run removes must be a backup's and a tool
    // cache's, whatever the file says.
    if ((state != SavedState && state != SavingState) || journal.installationDirectory.isEmpty()
        || !QFileInfo(journal.backupDirectory).fileName().startsWith(BackupNamePrefix)
        || (!journal.toolCacheDirectory.isEmpty()
            && !QFileInfo(journal.toolCacheDirectory)
                        .fileName()
                        .startsWith(UpdateRun::ApplicationName + QLatin1Char('-')))) {
        return std::nullopt;
    }

    for (const QJsonValue &value : record.value(QStringLiteral("files")).toArray()) {
        const QJsonObject entry = value.toObject();
        const QString file = entry.value(QStringLiteral("path")).toString();
        if (!isSafeRelativePath(file))
            return std::nullopt;
        journal.files.append(file);
        journal.fileAttributes.append(
                std::uint32_t(entry.value(QStringLiteral("attributes")).toInteger()));
    }
    for (const QJsonValue &value : record.value(QStringLiteral("shortcuts")).toArray()) {
        const QJsonObject entry = value.toObject();
        const QString copy = entry.value(QStringLiteral("copy")).toString();
        const QString shortcut = entry.value(QStringLiteral("path")).toString();
        if (!copy.startsWith(journal.backupDirectory + QLatin1Char('/'))
            || !isSafeRelativePath(copy.mid(journal.backupDirectory.size() + 1))
            || !shortcut.endsWith(QLatin1String(".lnk"), Qt::CaseInsensitive)) {
            return std::nullopt;
        }
        journal.shortcuts.append(qMakePair(shortcut, copy));
        journal.shortcutAttributes.append(
                std::uint32_t(entry.value(QStringLiteral("attributes")).toInteger()));
    }
    return journal;
}
