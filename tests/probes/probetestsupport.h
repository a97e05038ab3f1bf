// Helpers shared by the probe tests.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <ostream>

// Readable QString values in assertion messages.
inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}

inline bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

inline QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}
