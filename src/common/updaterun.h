// The names that one update run shares between start-up, the update window
// and the backup: the files it keeps in the temporary folder, the words of the
// handshake with the client, and the client's executable names.
#pragma once

#include <QByteArray>
#include <QString>

namespace UpdateRun {

// The program's name, which also names the maintenance tool's cache folder.
inline const QString ApplicationName = QStringLiteral("Corvatone Updater");

// The client's executable, and the name it had before, under which an old
// client may still start the updater.
inline const QString ClientExecutableName = QStringLiteral("Corvatone.exe");
inline const QString FormerClientExecutableName = QStringLiteral("Pellingwood.exe");

// The handoff file's contents: the updater's, the client's answer, and the
// first line of an error record.
inline const QByteArray ReadyAnswer = QByteArrayLiteral("ready");
inline const QByteArray ContinueAnswer = QByteArrayLiteral("continue");
inline const QByteArray ErrorRecordPrefix = QByteArrayLiteral("error\n");

// The update log, shared by every run of the user.
QString logPath();
// The lock of one installation, however the client's path is spelled.
QString lockPath(const QString &applicationPath);
// The record of an unfinished run of one installation, beside its lock.
QString journalPath(const QString &applicationPath);
// The template of the maintenance tool's cache folder.
QString toolCacheTemplate();

// Whether an entry that lies directly in the temporary folder belongs to an
// update run: the log, a lock or journal, or a tool's cache folder.
bool isRunFileName(const QString &name);

} // namespace UpdateRun
