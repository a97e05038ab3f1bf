#include "probes/updateshortcuts.h"

namespace UpdateShortcuts {
QStringList locations() { return {}; }
QString target(const QString &) { return {}; }
QStringList forInstallation(const QString &, const QStringList &) { return {}; }
}
