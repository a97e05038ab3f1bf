// Helpers shared by the Qt-based tests and the stand-in programs: whole-file
// reads and writes, and a small real disk that a test can fill.
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

#include <cerrno>
#include <cstring>
#include <ostream>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

// Readable Qt values in assertion messages.
inline void PrintTo(const QString &text, std::ostream *out) { *out << '"' << text.toStdString() << '"'; }
inline void PrintTo(const QByteArray &bytes, std::ostream *out) { *out << '"' << bytes.toStdString() << '"'; }

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
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
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

// A folder for one test below the temporary folder the test program started
// with, which tests may point TMPDIR away from.
inline QString testFolderTemplate()
{
    static const QString base = QDir::tempPath();
    return base + QStringLiteral("/corvatone-test-XXXXXX");
}

// Writes zeros into a new file until its disk is full; true when the system
// said exactly that.
[[nodiscard]] inline bool fillDisk(const QString &file)
{
    const int fd = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    static const char zeros[65536] = {};
    ssize_t written = 0;
    while (fd >= 0 && (written = ::write(fd, zeros, sizeof zeros)) > 0) {
    }
    const bool full = written < 0 && errno == ENOSPC;
    if (fd >= 0)
        ::close(fd);
    return full;
}

// Gives the process mounts of its own, so that a test may mount a small disk
// without root and without it outliving the process. Called before any thread
// starts; where the system refuses, mounts stay the machine's, as for root.
inline void enterPrivateMounts()
{
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(uid == 0 ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS) != 0)
        return;
    const auto write = [](const char *file, const QByteArray &line) {
        QFile map(QString::fromLatin1(file));
        return map.open(QIODevice::WriteOnly) && map.write(line) == line.size();
    };
    if (uid != 0)
        (void)(write("/proc/self/setgroups", "deny") && write("/proc/self/uid_map", "0 " + QByteArray::number(uid) + " 1")
               && write("/proc/self/gid_map", "0 " + QByteArray::number(gid) + " 1"));
    ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
}

// A tmpfs of a few megabytes on a folder while the object lives: a real disk
// that can be filled, so that writes fail with the system's own error.
// Mounting needs root; where it is refused, error() says why.
class SmallDisk
{
public:
    explicit SmallDisk(const QString &folder)
        : m_folder(QFile::encodeName(folder))
    {
        if (!QDir().mkpath(folder) || ::mount("tmpfs", m_folder.constData(), "tmpfs", 0, "size=16m") != 0)
            m_error = QStringLiteral("cannot mount a tmpfs on %1: %2").arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
    }
    ~SmallDisk()
    {
        if (isMounted())
            ::umount2(m_folder.constData(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk &) = delete;
    SmallDisk &operator=(const SmallDisk &) = delete;

    bool isMounted() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }
    [[nodiscard]] bool fill() const { return fillDisk(QFile::decodeName(m_folder) + QStringLiteral("/filler")); }

private:
    QByteArray m_folder;
    QString m_error;
};

} // namespace testsupport
