#pragma once

#include <QString>
#include <QStringList>

// Shortcut files (shell links) that lead into the installation.
namespace UpdateShortcuts {

// The standard shortcut folders: user desktop, user programs, common desktop,
// common programs; those that are known, each once.
[[nodiscard]] QStringList locations();

// The target stored in a shortcut, unexpanded; null when it cannot be read.
// COM must be initialised on the calling thread.
[[nodiscard]] QString target(const QString &shortcutPath);

// The shortcut files below folders whose target lies directly in the
// installation directory.
[[nodiscard]] QStringList forInstallation(const QString &installationDirectory,
                                          const QStringList &folders);

} // namespace UpdateShortcuts
