#include "probes/updateshortcuts.h"

#include "os/os.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QStandardPaths>

namespace UpdateShortcuts {

QStringList locations()
{
    QStringList folders{
            QStandardPaths::writableLocation(QStandardPaths::DesktopLocation),
            QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation),
    };
    for (const os::CommonFolder folder : {os::CommonFolder::Desktop, os::CommonFolder::Programs}) {
        // Appended as the shell gives it: native separators, no normalisation.
        if (const os::Result<std::u16string> path = os::commonFolderPath(folder); path.ok())
            folders.append(QString::fromStdU16String(path.value));
    }
    folders.removeAll(QString());
    folders.removeDuplicates();
    return folders;
}

QString target(const QString &shortcutPath)
{
    const os::Result<std::u16string> stored = os::shellLinkTarget(shortcutPath.toStdU16String());
    if (!stored.ok())
        return QString();

    QString text = QString::fromStdU16String(stored.value);
    const qsizetype end = text.indexOf(QChar::Null);
    if (end >= 0)
        text.truncate(end);
    // A readable link without a file-system target is empty, never null.
    if (text.isNull())
        text = QStringLiteral("");
    return text;
}

QStringList forInstallation(const QString &installationDirectory, const QStringList &folders)
{
    const os::ComApartment apartment;
    const QString installation = QFileInfo(installationDirectory).canonicalFilePath();
    if (installation.isEmpty() || !apartment.usable())
        return {};

    QStringList shortcuts;
    for (const QString &folder : folders) {
        // An empty entry names no folder; an iterator would take it for the
        // current one, or on Windows for the root of the current drive.
        if (folder.isEmpty())
            continue;
        QDirIterator it(folder, {QStringLiteral("*.lnk")}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QString linkTarget = target(path);
            // Covers null and empty targets and unexpanded %VARIABLE% paths.
            if (QDir::isRelativePath(linkTarget))
                continue;
            const QString targetFolder =
                    QFileInfo(QFileInfo(linkTarget).absolutePath()).canonicalFilePath();
            if (QString::compare(targetFolder, installation, Qt::CaseInsensitive) == 0)
                shortcuts.append(path);
        }
    }
    shortcuts.removeDuplicates();
    return shortcuts;
}

} // namespace UpdateShortcuts
