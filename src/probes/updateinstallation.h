#pragma once

#include <QString>

// The version recorded in the installer's components.xml.
namespace UpdateInstallation {

// True when the installation's client package has exactly expectedVersion.
[[nodiscard]] bool matchesVersion(const QString &installationDirectory,
                                  const QString &expectedVersion);

} // namespace UpdateInstallation
