// A small real disk that a test can fill, and private mounts to put it in:
// Linux only.
#pragma once

#include "testsupport.h"

#include <cerrno>
#include <cstring>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

namespace testsupport {

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
        (void)(write("/proc/self/setgroups", "deny")
               && write("/proc/self/uid_map", "0 " + QByteArray::number(uid) + " 1")
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
        if (!QDir().mkpath(folder)
            || ::mount("tmpfs", m_folder.constData(), "tmpfs", 0, "size=16m") != 0)
            m_error = QStringLiteral("cannot mount a tmpfs on %1: %2")
                              .arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
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
    [[nodiscard]] bool fill() const
    {
        return fillDisk(QFile::decodeName(m_folder) + QStringLiteral("/filler"));
    }

private:
    QByteArray m_folder;
    QString m_error;
};

} // namespace testsupport
