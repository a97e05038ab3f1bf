#pragma once

#include "backup/updatebackup.h"
#include "dialog/runclock.h"

#include <QByteArray>
#include <QDialog>
#include <QFile>
#include <QLockFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <optional>
#include <utility>

class QCloseEvent;
class QLabel;
class QProgressBar;
class QPushButton;

// The update window. It also holds the whole state of one update run, which it
// drives by single-shot timers and the maintenance process's signals from the
// handshake with the client to the restarted client or the reported failure.
class UpdateDialog : public QDialog
{
public:
    UpdateDialog(QString maintenanceToolPath, QString repositoryUrl, QString applicationPath,
                 QString workingDirectory, QString handoffFilePath,
                 QStringList applicationArguments, QString expectedVersion,
                 QStringList shortcutDirectories, QWidget *parent = nullptr);
    ~UpdateDialog() override;

protected:
    // Ignored until the run has ended.
    void closeEvent(QCloseEvent *event) override;

public:
    // Ignored until the run has ended, and while the rollback runs.
    void reject() override;

    // Takes the installation lock, checks the files, opens the update log and
    // starts the handshake with the client.
    void prepareUpdate();
    // One look at the handoff file for the client's "continue".
    void waitForConfirmation();
    // One look for running client processes; starts the update when none is left.
    void waitForApplicationExit();
    // Backs the installation up and starts the maintenance tool.
    void startUpdate();
    // Checks the installed version, restarts the client and quits.
    void finishSuccessfully();
    // The one end of every failed run; only its first call acts.
    void finishWithError(const QString &message, bool restart);
    // Writes bytes to the update log, when open, and keeps the last of them as the log tail.
    void appendLog(const QByteArray &chunk);

private:
    // Puts the status text on the screen before a step that holds the thread.
    void showStatusBeforeStep(const QString &text);
    void startMaintenanceTool();
    // Restores the backup; on failure replaces errorMessage and returns false.
    [[nodiscard]] bool rollBack(QString &errorMessage);
    // Starts the client again, unless a copy of it runs or it cannot be scanned for.
    void restartClientUnlessRunning();
    // Cleans up after a run of this installation that was cut short while it
    // made its backup, and remembers one cut short later for startUpdate();
    // false when the run has ended because the journal cannot be read.
    [[nodiscard]] bool readJournalOfCutShortRun();
    // Brings back the installation that a run cut short had saved; on
    // failure replaces errorMessage and returns false.
    [[nodiscard]] bool rollBackCutShortRun(QString &errorMessage);
    void handleOutput();
    void handleProcessError(QProcess::ProcessError error);
    void handleProcessFinished(int exitCode, QProcess::ExitStatus exitStatus);
    // Called by the backup and the rollback as they copy and wait: lets the
    // window answer the system and draw, a turn of the event loop at a time.
    void giveEventLoopATurn();
    // Asks the system not to end the session while the installation is at
    // stake, and takes that back once it no longer is.
    void setInstallationAtStake(bool atStake);
    // The session ends although the installation is at stake.
    void handleSessionEnd();

    QString m_maintenanceToolPath;
    QString m_repositoryUrl;
    QString m_applicationPath;
    // The installation directory: the tool's and the restarted client's working directory.
    QString m_workingDirectory;
    // Empty when the client asked for no handshake.
    QString m_handoffFilePath;
    // Passed again to the restarted client.
    QStringList m_applicationArguments;
    // Empty when the installed version is not to be checked.
    QString m_expectedVersion;
    QStringList m_shortcutDirectories;
    UpdateBackup m_installationBackup;
    // The maintenance tool's cache directory.
    QTemporaryDir m_updateTemporaryDirectory;
    std::unique_ptr<QLockFile> m_installationLock;
    QLabel *m_statusLabel;
    QProgressBar *m_progressBar;
    QPushButton *m_closeButton;
    QProcess *m_maintenanceProcess;
    QFile m_updateLogFile;
    // Set once the run has ended; never cleared.
    bool m_finished = false;
    // Measures the handshake and exit-wait limits.
    RunClock m_runTimer;
    // The journal of a run of this installation that was cut short after its backup.
    std::optional<UpdateJournal> m_cutShortRun;
    // The last bytes passed to appendLog(), searched for the tool's abort markers.
    QByteArray m_logTail;
    // Set while the backup or the rollback runs: what their turns of the event
    // loop deliver must not act on the run until they have returned.
    bool m_stepRunning = false;
    // A failure reported while the backup ran (message, restart flag); the run
    // ends with it once the backup has returned.
    std::optional<std::pair<QString, bool>> m_failureDuringBackup;
    // From the start of the backup until the rollback or the success step has
    // finished: an interrupted run would leave a half-changed installation.
    bool m_installationAtStake = false;
    // When the event loop last had a turn during the backup or the rollback.
    QElapsedTimer m_lastTurn;
};
