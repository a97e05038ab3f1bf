// Readable failure messages for Qt strings in GoogleTest assertions.
#pragma once

#include <QString>

#include <ostream>

inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}
