#include "common/updaterun.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

namespace UpdateRun {
namespace {

const QString LogName = QStringLiteral("Corvatone-update.log");
const QString InstallationFilePrefix = QStringLiteral("Corvatone-update-");
const QString LockSuffix = QStringLiteral(".lock");
const QString JournalSuffix = QStringLiteral(".journal");

QString inTemporaryFolder(const QString &name)
{
    return QDir(QDir::tempPath()).filePath(name);
}

// The installation's own part of its lock's and journal's names.
QString installationKey(const QString &applicationPath)
{
    const QByteArray key = QFileInfo(applicationPath).canonicalFilePath().toCaseFolded().toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex());
}

} // namespace

QString logPath()
{
    return inTemporaryFolder(LogName);
}

QString lockPath(const QString &applicationPath)
{
    return inTemporaryFolder(InstallationFilePrefix + installationKey(applicationPath)
                             + LockSuffix);
}

QString journalPath(const QString &applicationPath)
{
    return inTemporaryFolder(InstallationFilePrefix + installationKey(applicationPath)
                             + JournalSuffix);
}

QString toolCacheTemplate()
{
    return inTemporaryFolder(ApplicationName + QStringLiteral("-XXXXXX"));
}

bool isRunFileName(const QString &name)
{
    if (name.compare(LogName, Qt::CaseInsensitive) == 0)
        return true;
    if (name.startsWith(InstallationFilePrefix, Qt::CaseInsensitive)
        && (name.endsWith(LockSuffix, Qt::CaseInsensitive)
            || name.endsWith(JournalSuffix, Qt::CaseInsensitive))) {
        return true;
    }
    return name.startsWith(ApplicationName + QLatin1Char('-'), Qt::CaseInsensitive);
}

} // namespace UpdateRun
