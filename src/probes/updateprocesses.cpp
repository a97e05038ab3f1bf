#include "probes/updateprocesses.h"

#include "os/os.h"

namespace UpdateProcesses {

Result running(const QString &executableName)
{
    Result result;
    const os::ProcessSnapshot snapshot = os::processSnapshot();
    for (const os::ProcessEntry &entry : snapshot.entries) {
        const QString name = QString::fromStdU16String(entry.executableName);
        if (QString::compare(name, executableName, Qt::CaseInsensitive) == 0)
            result.pids.append(QString::number(entry.pid));
    }
    // Entries found before a failed walk are kept; callers look at error first.
    result.error = snapshot.error;
    return result;
}

} // namespace UpdateProcesses
