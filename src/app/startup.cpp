#include "app/startup.h"

#include "common/updaterun.h"
#include "dialog/messagebox.h"
#include "dialog/updatedialog.h"
#include "probes/updateshortcuts.h"

#include <QApplication>
#include <QCommandLineOption>
#include <QCommandLineParser>

int qMain(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(UpdateRun::ApplicationName);
    QApplication::setQuitOnLastWindowClosed(true);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Corvatone automatic update helper"));
    parser.addHelpOption();

    const QCommandLineOption maintenanceToolOption(QStringLiteral("maintenance-tool"),
                                                   QStringLiteral("Path to maintenancetool.exe."),
                                                   QStringLiteral("path"));
    const QCommandLineOption repositoryOption(QStringLiteral("repository"),
                                              QStringLiteral("Qt IFW update repository URL."),
                                              QStringLiteral("url"));
    const QCommandLineOption applicationOption(QStringLiteral("application"),
                                               QStringLiteral("Path to Corvatone.exe."),
                                               QStringLiteral("path"));
    const QCommandLineOption workingDirectoryOption(
            QStringLiteral("working-directory"), QStringLiteral("Application working directory."),
            QStringLiteral("path"));
    const QCommandLineOption handoffFileOption(QStringLiteral("handoff-file"),
                                               QStringLiteral("Private startup handshake file."),
                                               QStringLiteral("path"));
    const QCommandLineOption applicationArgumentOption(
            QStringLiteral("application-argument"),
            QStringLiteral("Argument preserved when restarting the client (repeatable)."),
            QStringLiteral("argument"));
    const QCommandLineOption expectedVersionOption(
            QStringLiteral("expected-version"),
            QStringLiteral("Expected installed package version."), QStringLiteral("version"));
    const QCommandLineOption shortcutDirectoryOption(
            QStringLiteral("shortcut-directory"),
            QStringLiteral("Additional shortcut directory to preserve on rollback (repeatable)."),
            QStringLiteral("path"));
    parser.addOptions({maintenanceToolOption, repositoryOption, applicationOption,
                       workingDirectoryOption, handoffFileOption, applicationArgumentOption,
                       expectedVersionOption, shortcutDirectoryOption});

    parser.process(app);

    QString maintenanceToolPath = parser.value(maintenanceToolOption);
    QString repositoryUrl = parser.value(repositoryOption);
    QString applicationPath = parser.value(applicationOption);
    QString workingDirectory = parser.value(workingDirectoryOption);
    if (maintenanceToolPath.isEmpty() || repositoryUrl.isEmpty() || applicationPath.isEmpty()
        || workingDirectory.isEmpty()) {
        showMessage(nullptr, QMessageBox::Critical, QObject::tr("Обновление Corvatone"),
                    QObject::tr("Не заданы обязательные параметры обновления."));
        return 2;
    }

    QStringList shortcutDirectories = UpdateShortcuts::locations();
    shortcutDirectories += parser.values(shortcutDirectoryOption);
    shortcutDirectories.removeDuplicates();

    QString expectedVersion = parser.value(expectedVersionOption);
    QStringList applicationArguments = parser.values(applicationArgumentOption);
    QString handoffFilePath = parser.value(handoffFileOption);

    UpdateDialog dialog(std::move(maintenanceToolPath), std::move(repositoryUrl),
                        std::move(applicationPath), std::move(workingDirectory),
                        std::move(handoffFilePath), std::move(applicationArguments),
                        std::move(expectedVersion), std::move(shortcutDirectories), nullptr);
    dialog.show();
    return app.exec();
}
