// Small helpers shared by the stand-in client and maintenance tool.
#pragma once

#include "testsupport.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstdio>

#include <unistd.h>

namespace standin {

// Decodes the escapes \n and \\ of a scenario text into bytes.
inline QByteArray unescape(const QString &text)
{
    QByteArray out = text.toUtf8();
    for (qsizetype i = out.indexOf('\\'); i >= 0 && i + 1 < out.size(); i = out.indexOf('\\', i + 1))
        out.replace(i, 2, out.at(i + 1) == 'n' ? "\n" : out.mid(i + 1, 1));
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
