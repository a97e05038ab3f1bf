// Small helpers shared by the stand-in client and maintenance tool.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QString>

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
    out.reserve(in.size());
    for (qsizetype i = 0; i < in.size(); ++i) {
        const char c = in.at(i);
        if (c != '\\' || i + 1 >= in.size()) {
            out.append(c);
            continue;
        }
        const char next = in.at(i + 1);
        if (next == 'n') {
            out.append('\n');
            ++i;
        } else if (next == 't') {
            out.append('\t');
            ++i;
        } else if (next == '\\') {
            out.append('\\');
            ++i;
        } else if (next == 'x' && i + 3 < in.size()) {
            bool ok = false;
            const int value = in.mid(i + 2, 2).toInt(&ok, 16);
            if (ok) {
                out.append(char(value));
                i += 3;
            } else {
                out.append(c);
            }
        } else {
            out.append(c);
        }
    }
    return out;
}

// Writes every byte to a file descriptor, retrying short and interrupted writes.
inline bool writeFully(int fd, const char *data, qsizetype size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

// Appends one record to a file in a single write, so that records of
// processes running side by side never interleave.
inline bool appendRecord(const QString &path, const QByteArray &record)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return false;
    return file.write(record) == record.size();
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
