#pragma once

#include <QString>
#include <QStringList>

// Which processes run under a given executable file name.
namespace UpdateProcesses {

struct Result
{
    // Identifiers of the matching processes, in decimal, in snapshot order.
    QStringList pids;
    // The system error of the scan, 0 when it completed; pids are meaningful
    // only when it is 0.
    quint32 error = 0;
};

// Every process whose executable file name equals executableName, ignoring case.
[[nodiscard]] Result running(const QString &executableName);

} // namespace UpdateProcesses
