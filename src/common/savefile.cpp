#include "common/savefile.h"

#include <QSaveFile>

bool replaceFileContent(const QString &path, const QByteArray &content)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return false;
    // Small writes wait in the device's buffer until the commit writes them
    // out, and some Qt versions (6.4 among them) commit even when that fails,
    // putting a cut or empty file in place of the old one. Flushing first
    // learns of a full disk while the old file still stands.
    if (!file.flush() || file.error() != QFileDevice::NoError)
        return false;
    return file.commit();
}
