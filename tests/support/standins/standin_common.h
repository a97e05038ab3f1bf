// Small helpers shared by the stand-in client and maintenance tool.
#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace standin {

// Decodes the escapes \n \t \\ and \xHH of a scenario text into bytes; any
// other backslash sequence is kept as written.
inline QByteArray unescape(const QString &text)
{
    const QByteArray in = text.toUtf8();
    QByteArray out;
    for (qsizetype i = 0; i < in.size(); ++i) {
        const char next = in.at(i) == '\\' && i + 1 < in.size() ? in.at(i + 1) : '\0';
        bool hex = false;
        const int value = next == 'x' && i + 3 < in.size() ? in.mid(i + 2, 2).toInt(&hex, 16) : 0;
        if (next == 'n' || next == 't' || next == '\\') {
            out.append(next == 'n' ? '\n' : next == 't' ? '\t' : '\\');
            ++i;
        } else if (hex) {
            out.append(char(value));
            i += 3;
        } else {
            out.append(in.at(i));
        }
    }
    return out;
}

// Writes every byte to a file descriptor, retrying short and interrupted writes.
inline bool writeFully(int fd, const char *data, qsizetype size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0 && errno != EINTR)
            return false;
        data += qMax<ssize_t>(n, 0);
        size -= qMax<ssize_t>(n, 0);
    }
    return true;
}

// Replaces a file whole, making its folder first.
inline bool writeFile(const QString &path, const QByteArray &content)
{
    QSaveFile file(path);
    file.setDirectWriteFallback(true);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly)
        && file.write(content) == content.size() && file.commit();
}

// The path of a file kept beside this executable: "<executable><suffix>".
inline QString besideExecutable(const char *suffix)
{
    return QCoreApplication::applicationFilePath() + QLatin1String(suffix);
}

// Ends the process with exactly this code: the exit handlers of a leak checker
// must not replace the code that a test asked for.
[[noreturn]] inline void quitNow(int code)
{
    std::fflush(nullptr);
    ::_exit(code);
}

} // namespace standin
