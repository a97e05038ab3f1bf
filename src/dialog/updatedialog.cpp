#include "dialog/updatedialog.h"

#include "common/savefile.h"
#include "dialog/messagebox.h"
#include "common/updaterun.h"
#include "os/os.h"
#include "probes/updateinstallation.h"
#include "probes/updateprocesses.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QMetaType>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QSessionManager>
#include <QSysInfo>
#include <QTextStream>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include <utility>

namespace {

constexpr qsizetype LogTailSize = 16384;
constexpr int ConfirmationPollMs = 100;
constexpr qint64 ConfirmationLimitMs = 15000;
constexpr int ExitPollMs = 250;
constexpr qint64 ExitHintMs = 3000;
constexpr qint64 ExitLimitMs = 30000;
constexpr int QuitDelayMs = 500;
// How long the backup and the rollback go at least between two turns of the
// event loop. The backup calls back every few dozen milliseconds at most, so a
// turn comes within 100 ms; drawing the busy bar makes a turn cost a few
// milliseconds under load, a few per cent of the copying at this spacing.
constexpr qint64 TurnIntervalMs = 75;

// A lock file is taken over when the process it names has ended. One that
// names this very process was left by a run that ended with its machine (a
// power cut), and the system has given its process id to this run since: it
// looks held by a live updater, but by none that holds it.
[[nodiscard]] bool takeOverOwnLeftoverLock(QLockFile &lock)
{
    qint64 pid = 0;
    QString hostname;
    QString application;
    // Windows keeps the computer's name in capitals, the host name in any case.
    if (!lock.getLockInfo(&pid, &hostname, &application)
        || pid != QCoreApplication::applicationPid()
        || (!hostname.isEmpty()
            && hostname.compare(QSysInfo::machineHostName(), Qt::CaseInsensitive) != 0)) {
        return false;
    }
    return lock.removeStaleLockFile() && lock.tryLock(0);
}

} // namespace

UpdateDialog::UpdateDialog(QString maintenanceToolPath, QString repositoryUrl,
                           QString applicationPath, QString workingDirectory,
                           QString handoffFilePath, QStringList applicationArguments,
                           QString expectedVersion, QStringList shortcutDirectories,
                           QWidget *parent)
    : QDialog(parent)
    , m_maintenanceToolPath(std::move(maintenanceToolPath))
    , m_repositoryUrl(std::move(repositoryUrl))
    , m_applicationPath(std::move(applicationPath))
    , m_workingDirectory(std::move(workingDirectory))
    , m_handoffFilePath(std::move(handoffFilePath))
    , m_applicationArguments(std::move(applicationArguments))
    , m_expectedVersion(std::move(expectedVersion))
    , m_shortcutDirectories(std::move(shortcutDirectories))
    , m_updateTemporaryDirectory(UpdateRun::toolCacheTemplate())
    , m_statusLabel(new QLabel(
              QDialog::tr("Выполняется обновление Corvatone. Пожалуйста, подождите..."), this))
    , m_progressBar(new QProgressBar(this))
    , m_closeButton(new QPushButton(QDialog::tr("Закрыть"), this))
    , m_maintenanceProcess(new QProcess(this))
{
    setWindowTitle(QDialog::tr("Обновление Corvatone"));
    setFixedSize(500, 150);
    // On Windows a fixed size alone leaves a sizing border that Windows
    // itself keeps from resizing the window, but not every window manager
    // does (Wine's lets it be resized): a dialog frame has no sizing border.
    setWindowFlag(Qt::MSWindowsFixedSizeDialogHint);

    m_statusLabel->setWordWrap(true);
    m_progressBar->setRange(0, 0);
    m_progressBar->setTextVisible(false);
    m_closeButton->hide();

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 22, 24, 20);
    layout->setSpacing(14);
    layout->addWidget(m_statusLabel, 0);
    layout->addWidget(m_progressBar, 0);
    layout->addWidget(m_closeButton, 0, Qt::AlignRight);

    m_maintenanceProcess->setProcessChannelMode(QProcess::MergedChannels);
    m_maintenanceProcess->setWorkingDirectory(m_workingDirectory);
    connect(m_maintenanceProcess, &QProcess::readyRead, this, [this] { handleOutput(); });
    qRegisterMetaType<QProcess::ProcessError>();
    // Queued, so that a failed start is handled after startUpdate() has returned,
    // whether the process object reports it inside start() or later.
    connect(
            m_maintenanceProcess, &QProcess::errorOccurred, this,
            [this](QProcess::ProcessError error) { handleProcessError(error); },
            Qt::QueuedConnection);
    connect(m_maintenanceProcess, &QProcess::finished, this,
            [this](int exitCode, QProcess::ExitStatus exitStatus) {
                handleProcessFinished(exitCode, exitStatus);
            });
    connect(m_closeButton, &QPushButton::clicked, this, &QDialog::accept);

    m_installationBackup.progress = [this] { giveEventLoopATurn(); };
    // Windows ends the program with the session unless it refuses.
    connect(qGuiApp, &QGuiApplication::commitDataRequest, this, [this](QSessionManager &manager) {
        if (m_installationAtStake)
            manager.cancel();
    });
    connect(qGuiApp, &QCoreApplication::aboutToQuit, this, [this] {
        if (m_installationAtStake)
            handleSessionEnd();
    });

    QTimer::singleShot(0, this, [this] { prepareUpdate(); });
}

UpdateDialog::~UpdateDialog()
{
    // The process object outlives the members: deleting it kills a tool that
    // still runs and emits finished, which must not reach a half-destroyed dialog.
    m_maintenanceProcess->disconnect(this);
}

void UpdateDialog::closeEvent(QCloseEvent *event)
{
    if (!m_finished) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void UpdateDialog::reject()
{
    // The finished flag is set before the rollback, which must keep its
    // window all the same. The dialog's close handling comes here too.
    if (m_finished && !m_stepRunning)
        QDialog::reject();
}

void UpdateDialog::prepareUpdate()
{
    m_installationLock = std::make_unique<QLockFile>(UpdateRun::lockPath(m_applicationPath));
    m_installationLock->setStaleLockTime(0);
    if (!m_installationLock->tryLock(0) && !takeOverOwnLeftoverLock(*m_installationLock)) {
        finishWithError(QDialog::tr("Обновление этой установки уже выполняется."), false);
        return;
    }

    if (!m_updateTemporaryDirectory.isValid()) {
        finishWithError(QDialog::tr("Не удалось создать временный каталог обновления."), false);
        return;
    }

    if (!QFileInfo::exists(m_maintenanceToolPath) || !QFileInfo::exists(m_applicationPath)) {
        finishWithError(QDialog::tr("Не найдены файлы клиента или программы обновления."), false);
        return;
    }

    m_updateLogFile.setFileName(UpdateRun::logPath());
    if (m_updateLogFile.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        QTextStream stream(&m_updateLogFile);
        stream << "Repository: " << m_repositoryUrl << Qt::endl;
    }

    m_installationBackup.journalPath = UpdateRun::journalPath(m_applicationPath);
    m_installationBackup.toolCacheDirectory = m_updateTemporaryDirectory.path();
    if (!readJournalOfCutShortRun())
        return;

    m_statusLabel->setText(QDialog::tr("Ожидание закрытия Corvatone..."));
    m_runTimer.start();

    if (m_handoffFilePath.isEmpty()) {
        waitForApplicationExit();
        return;
    }

    if (!replaceFileContent(m_handoffFilePath, UpdateRun::ReadyAnswer)) {
        finishWithError(QDialog::tr("Не удалось подготовить передачу управления обновлению."),
                        false);
        return;
    }

    waitForConfirmation();
}

void UpdateDialog::waitForConfirmation()
{
    QByteArray answer;
    QFile handoff(m_handoffFilePath);
    if (handoff.open(QIODevice::ReadOnly)) {
        // One byte past the answer tells it from any longer content.
        answer = handoff.read(UpdateRun::ContinueAnswer.size() + 1);
        handoff.close();
    }

    if (answer == UpdateRun::ContinueAnswer) {
        m_runTimer.restart();
        waitForApplicationExit();
        return;
    }

    if (m_runTimer.elapsed() >= ConfirmationLimitMs) {
        finishWithError(QDialog::tr("Клиент не подтвердил начало обновления. Повторите попытку."),
                        false);
        return;
    }

    QTimer::singleShot(ConfirmationPollMs, this, [this] { waitForConfirmation(); });
}

void UpdateDialog::waitForApplicationExit()
{
    const UpdateProcesses::Result clients =
            UpdateProcesses::running(QFileInfo(m_applicationPath).fileName());

    if (clients.error != 0) {
        finishWithError(QDialog::tr("Не удалось проверить завершение клиента (ошибка Windows %1).")
                                .arg(clients.error),
                        false);
        return;
    }

    if (clients.pids.isEmpty()) {
        startUpdate();
        return;
    }

    const qint64 elapsed = m_runTimer.elapsed();
    if (elapsed >= ExitLimitMs) {
        const QString pids = clients.pids.join(QStringLiteral(", "));
        appendLog(QByteArrayLiteral("Update not started: running client PIDs: ") + pids.toUtf8()
                  + '\n');
        finishWithError(
                QDialog::tr("Corvatone ещё запущен. Закройте все его окна, включая тестовую "
                            "версию, и повторите обновление. Процессы: %1.")
                        .arg(pids),
                false);
        return;
    }

    if (elapsed >= ExitHintMs)
        m_statusLabel->setText(QDialog::tr(
                "Ожидание закрытия Corvatone. Закройте также другие копии приложения."));

    QTimer::singleShot(ExitPollMs, this, [this] { waitForApplicationExit(); });
}

void UpdateDialog::startUpdate()
{
    showStatusBeforeStep(QDialog::tr("Сохранение установленной версии перед обновлением..."));

    setInstallationAtStake(true);
    QString errorMessage;
    m_stepRunning = true;
    const bool cutShortRolledBack = rollBackCutShortRun(errorMessage);
    const bool saved =
            cutShortRolledBack
            && m_installationBackup.create(m_workingDirectory, errorMessage, m_shortcutDirectories);
    m_stepRunning = false;
    if (!cutShortRolledBack) {
        // The journal and that run's backup stay for the next try.
        finishWithError(errorMessage, false);
        return;
    }
    if (!saved) {
        finishWithError(errorMessage, true);
        return;
    }
    if (m_failureDuringBackup) {
        finishWithError(m_failureDuringBackup->first, m_failureDuringBackup->second);
        return;
    }
    appendLog(QByteArrayLiteral("Installation backup created.\n"));

    m_statusLabel->setText(
            QDialog::tr("Выполняется обновление Corvatone. Пожалуйста, подождите..."));
    startMaintenanceTool();
}

void UpdateDialog::showStatusBeforeStep(const QString &text)
{
    m_statusLabel->setText(text);
    // The step gives the event loop only short turns, so the text is drawn
    // now, before it begins. A window shown only a moment ago (no handshake,
    // no client to wait for) may not be on screen yet, and nothing could be
    // drawn into it: its first exposure is waited for, a second at most.
    for (int wait = 0; windowHandle() && !windowHandle()->isExposed() && wait < 100; ++wait) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        QThread::msleep(10);
    }
    m_statusLabel->repaint();
    // Windows holds drawing back until the thread next looks for messages; one
    // look puts the text on the screen before the step begins.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void UpdateDialog::startMaintenanceTool()
{
    const QStringList arguments{
            QStringLiteral("--cache-path"),          m_updateTemporaryDirectory.path(),
            QStringLiteral("--set-temp-repository"), m_repositoryUrl,
            QStringLiteral("--default-answer"),      QStringLiteral("--accept-licenses"),
            QStringLiteral("--confirm-command"),     QStringLiteral("update"),
    };
    m_maintenanceProcess->start(m_maintenanceToolPath, arguments, QIODevice::ReadWrite);
}

bool UpdateDialog::readJournalOfCutShortRun()
{
    const QString journalPath = m_installationBackup.journalPath;
    if (!QFileInfo::exists(journalPath))
        return true;
    std::optional<UpdateJournal> journal = UpdateJournal::read(journalPath);
    if (!journal) {
        // One that cannot be opened now (another program holds it) still
        // names a backup that the next run will need.
        QFile file(journalPath);
        if (!file.open(QIODevice::ReadOnly)) {
            finishWithError(QDialog::tr("Не удалось прочитать журнал прерванного обновления. "
                                        "Повторите обновление позже."),
                            false);
            return false;
        }
        file.close();
        QFile::remove(journalPath);
        appendLog(QByteArrayLiteral("Unreadable journal of an interrupted update removed.\n"));
        return true;
    }
    if (journal->state == UpdateJournal::State::Saving) {
        // Cut short before the installation was touched: only its leftovers go.
        QDir(journal->backupDirectory).removeRecursively();
        if (!journal->toolCacheDirectory.isEmpty())
            QDir(journal->toolCacheDirectory).removeRecursively();
        QFile::remove(journalPath);
        appendLog(QByteArrayLiteral("Unfinished backup of an interrupted update removed: ")
                  + journal->backupDirectory.toUtf8() + '\n');
        return true;
    }
    if (!QFileInfo(journal->backupDirectory).isDir()) {
        QFile::remove(journalPath);
        appendLog(
                QByteArrayLiteral("Journal of an interrupted update removed, its backup is gone: ")
                + journal->backupDirectory.toUtf8() + '\n');
        return true;
    }
    m_cutShortRun = std::move(journal);
    return true;
}

bool UpdateDialog::rollBackCutShortRun(QString &errorMessage)
{
    if (!m_cutShortRun)
        return true;
    if (!m_installationBackup.restoreInterrupted(*m_cutShortRun, errorMessage))
        return false;
    appendLog(QByteArrayLiteral("Interrupted update rolled back from ")
              + m_cutShortRun->backupDirectory.toUtf8() + '\n');
    m_cutShortRun.reset();
    return true;
}

void UpdateDialog::handleOutput()
{
    const QByteArray chunk = m_maintenanceProcess->readAll();
    if (chunk.isEmpty())
        return;
    appendLog(chunk);
}

void UpdateDialog::handleProcessError(QProcess::ProcessError error)
{
    // Crashes and other ends of a started tool reach the finished handler.
    if (error != QProcess::FailedToStart)
        return;
    finishWithError(QDialog::tr("Не удалось запустить maintenancetool.exe: %1")
                            .arg(m_maintenanceProcess->errorString()),
                    true);
}

void UpdateDialog::handleProcessFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    appendLog(m_maintenanceProcess->readAll());
    if (m_finished)
        return;

    if (exitStatus == QProcess::NormalExit && exitCode == 0) {
        finishSuccessfully();
        return;
    }

    if (m_logTail.contains("stopProcessesForUpdates") && m_logTail.contains("Update aborted!")) {
        finishWithError(QDialog::tr("Обновление отменено: осталась работающая копия Corvatone. "
                                    "Закройте все окна приложения, включая тестовую версию, и "
                                    "повторите обновление."),
                        true);
        return;
    }

    finishWithError(QDialog::tr("Maintenance tool завершился с кодом %1.").arg(exitCode), true);
}

void UpdateDialog::finishSuccessfully()
{
    if (!m_expectedVersion.isEmpty()
        && !UpdateInstallation::matchesVersion(m_workingDirectory, m_expectedVersion)) {
        finishWithError(QDialog::tr("Установщик завершился, но версия %1 не установлена. Проверьте "
                                    "журнал и повторите обновление.")
                                .arg(m_expectedVersion),
                        true);
        return;
    }

    m_finished = true;
    setInstallationAtStake(false);
    // A journal that stays must keep pointing at a whole backup: the next
    // run then rolls this update back rather than restore half a backup.
    if (QFileInfo::exists(m_installationBackup.journalPath)
        && !QFile::remove(m_installationBackup.journalPath)) {
        m_installationBackup.keepForNextRun();
    }
    m_progressBar->setRange(0, 1);
    m_progressBar->setValue(1);
    m_statusLabel->setText(QDialog::tr("Обновление завершено. Запуск Corvatone..."));
    m_updateLogFile.close();

    // A client still started under its former name is restarted under the
    // current one once the update has put that beside it.
    const QFileInfo client(m_applicationPath);
    const QString currentClient = client.dir().filePath(UpdateRun::ClientExecutableName);
    QString program = m_applicationPath;
    if (client.fileName().compare(UpdateRun::FormerClientExecutableName, Qt::CaseInsensitive) == 0
        && QFileInfo::exists(currentClient))
        program = currentClient;

    if (!QProcess::startDetached(program, m_applicationArguments, m_workingDirectory)) {
        showMessage(this, QMessageBox::Warning, QDialog::tr("Обновление Corvatone"),
                    QDialog::tr("Обновление завершено, но приложение не удалось запустить. "
                                "Запустите Corvatone вручную."));
    }

    QTimer::singleShot(QuitDelayMs, QCoreApplication::instance(), &QCoreApplication::quit);
}

void UpdateDialog::finishWithError(const QString &message, bool restart)
{
    if (m_finished)
        return;
    if (m_stepRunning) {
        // Only what a turn of the backup's event loop delivers gets here (the
        // rollback runs with the finished flag set). Acting now would roll
        // back a backup not yet complete, and the backup would go on under the
        // message box; the run ends once the backup has returned.
        if (!m_failureDuringBackup)
            m_failureDuringBackup.emplace(message, restart);
        return;
    }
    m_finished = true;

    QString text = message;
    QString restoreError;
    if (!rollBack(restoreError)) {
        text += QStringLiteral("\n\n") + restoreError;
        // The installation is only partly restored: the client must not run from it.
        restart = false;
    }

    if (!m_handoffFilePath.isEmpty())
        (void)replaceFileContent(m_handoffFilePath, UpdateRun::ErrorRecordPrefix + text.toUtf8());
    appendLog(QByteArrayLiteral("\nUpdate error: ") + text.toUtf8() + '\n');

    m_progressBar->setRange(0, 1);
    m_progressBar->setValue(0);
    m_statusLabel->setText(QDialog::tr("Не удалось установить обновление."));
    m_closeButton->show();
    m_updateLogFile.close();

    if (restart)
        restartClientUnlessRunning();

    m_installationLock.reset();

    showMessage(this, QMessageBox::Critical, QDialog::tr("Ошибка обновления Corvatone"),
                QDialog::tr("%1\n\nЛог: %2").arg(text, UpdateRun::logPath()));
}

bool UpdateDialog::rollBack(QString &errorMessage)
{
    m_stepRunning = true;
    const bool restored = m_installationBackup.restore(errorMessage);
    m_stepRunning = false;
    setInstallationAtStake(false);
    return restored;
}

void UpdateDialog::restartClientUnlessRunning()
{
    const UpdateProcesses::Result clients =
            UpdateProcesses::running(QFileInfo(m_applicationPath).fileName());
    if (clients.error == 0 && clients.pids.isEmpty()
        && !QProcess::startDetached(m_applicationPath, m_applicationArguments,
                                    m_workingDirectory)) {
        m_statusLabel->setText(
                QDialog::tr("Обновление не выполнено. Не удалось повторно запустить клиент."));
    }
}

void UpdateDialog::giveEventLoopATurn()
{
    // Windows offers to end a window that has not answered for a few seconds,
    // and asks the window before the session ends. User input waits for the
    // end of the step.
    if (m_lastTurn.isValid() && m_lastTurn.elapsed() < TurnIntervalMs)
        return;
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    m_lastTurn.start();
}

void UpdateDialog::setInstallationAtStake(bool atStake)
{
    if (atStake == m_installationAtStake)
        return;
    m_installationAtStake = atStake;
    // Where the system cannot show the reason, the refusal in
    // commitDataRequest still keeps the session from ending.
    if (atStake) {
        (void)os::blockShutdown(winId(),
                                QDialog::tr("Идёт обновление Corvatone. Не выключайте компьютер до "
                                            "его окончания.")
                                        .toStdU16String());
    } else {
        (void)os::unblockShutdown(winId());
    }
}

void UpdateDialog::handleSessionEnd()
{
    // The system ends the program once the session's end has been announced.
    appendLog(QByteArrayLiteral("Update interrupted: the session is ending\n"));
    // The next run finds the backup through the journal and rolls back.
    m_installationBackup.keepForNextRun();
}

void UpdateDialog::appendLog(const QByteArray &chunk)
{
    if (chunk.isEmpty())
        return;

    if (chunk.size() >= LogTailSize)
        m_logTail = chunk.right(LogTailSize);
    else
        m_logTail = (m_logTail + chunk).right(LogTailSize);

    if (m_updateLogFile.isOpen()) {
        m_updateLogFile.write(chunk);
        m_updateLogFile.flush();
    }
}
