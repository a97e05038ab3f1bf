#include "backup/updatebackup.h"

UpdateBackup::UpdateBackup() = default;
UpdateBackup::~UpdateBackup() = default;
bool UpdateBackup::create(const QString &, QString &, const QStringList &) { return false; }
bool UpdateBackup::restore(QString &) { return true; }
bool UpdateBackup::copyInstallationFile(const QString &, const QString &) { return false; }
bool UpdateBackup::copyShortcut(const QString &, const QString &) { return false; }
