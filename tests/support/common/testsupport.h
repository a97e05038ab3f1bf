// Helpers shared by the Qt-based tests and the stand-in programs, on Linux
// and Windows alike: whole-file reads and writes, and filling a disk.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QSaveFile>
#include <QString>

#include <ostream>
#include <string>

// Readable Qt values in assertion messages.
inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QByteArray &bytes, std::ostream *out)
{
    *out << '"' << bytes.toStdString() << '"';
}

namespace testsupport {

// The whole file; empty when it cannot be read.
inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Replaces a file whole, making its folder first; true once every byte is on disk.
[[nodiscard]] inline bool writeFile(const QString &path, const QByteArray &content)
{
    QSaveFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly)
           && file.write(content) == content.size() && file.flush() && file.commit();
}

// Bytes that differ from one chunk of a copy to the next.
inline QByteArray pattern(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 131) ^ (i >> 9));
    return bytes;
}

// Every file below a folder, hidden ones included, by relative path.
inline QMap<QString, QByteArray> filesBelow(const QString &folder)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        files.insert(QDir(folder).relativeFilePath(file), readFile(file));
    }
    return files;
}

// The starts that the stand-in client recorded beside its executable, oldest first.
inline QList<QJsonObject> clientStarts(const QString &client)
{
    QList<QJsonObject> starts;
    for (const QByteArray &line : readFile(client + QStringLiteral(".starts")).split('\n')) {
        if (!line.isEmpty())
            starts.append(QJsonDocument::fromJson(line).object());
    }
    return starts;
}

// Names the rows of a parameterised test after their name.
inline constexpr auto rowName = [](const auto &info) { return std::string(info.param.name); };

// A folder for one test below the temporary folder the test program started
// with, which tests may point TMPDIR away from.
inline QString testFolderTemplate()
{
    static const QString base = QDir::tempPath();
    return base + QStringLiteral("/corvatone-test-XXXXXX");
}

// Writes zeros into a new file until its disk is full; true when the system
// said exactly that.
[[nodiscard]] inline bool fillDisk(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    const QByteArray zeros(65536, '\0');
    while (file.write(zeros) > 0) { }
    return file.error() == QFileDevice::ResourceError;
}

} // namespace testsupport
