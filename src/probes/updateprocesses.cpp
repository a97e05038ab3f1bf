#include "probes/updateprocesses.h"

namespace UpdateProcesses {
Result running(const QString &) { return {}; }
}
