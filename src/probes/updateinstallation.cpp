#include "probes/updateinstallation.h"

namespace UpdateInstallation {
bool matchesVersion(const QString &, const QString &) { return false; }
}
