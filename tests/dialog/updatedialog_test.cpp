#include "dialog/updatedialog.h"

#include "fakeos.h"
#include "os/posix_backend.h"
#include "smalldisk.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

using namespace Qt::StringLiterals;
using testsupport::clientStarts;
using testsupport::filesBelow;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

const QString Repository = u"https://updates.example.invalid/repo"_s;
const QString Waiting = u"Ожидание закрытия Corvatone..."_s;
const QString WaitingLong =
        u"Ожидание закрытия Corvatone. Закройте также другие копии приложения."_s;

struct Box
{
    QString text;
    Qt::TextFormat format;
};

// Two processes carry the client's name in other letter cases; one only begins with it.
os::ProcessSnapshot clientsRunning()
{
    return {{}, {{12, u"corvatone.EXE"}, {20, u"Corvatone.exe.old"}, {34, u"CORVATONE.exe"}}};
}

// Each test runs in its own temporary folder, with an installation of plain
// files and the stand-in tool and client in a folder of their own. Every
// message box is recorded and answered with OK, and a test may have the
// client answer the handshake. The run's clock moves only when a test moves it.
class DialogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_root.isValid() && QDir().mkpath(tmp) && QDir().mkpath(path(u"bin"_s)));
        qputenv("TMPDIR", tmp.toUtf8());
        qputenv("HOME", m_root.path().toUtf8());
        fakeos::reset();
        fakeos::hooks().processSnapshot = [this] {
            return snapshot ? snapshot() : os::ProcessSnapshot();
        };
        for (auto file = original.cbegin(); file != original.cend(); ++file)
            ASSERT_TRUE(writeFile(install + u'/' + file.key(), file.value()));
        ASSERT_TRUE(QFile::copy(QStringLiteral(STANDIN_MAINTENANCETOOL_PATH), toolPath)
                    && QFile::copy(QStringLiteral(STANDIN_CLIENT_PATH), clientPath));
        QObject::connect(&m_poll, &QTimer::timeout, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
                box && box->isVisible()) {
                boxes.append({box->text(), box->textFormat()});
                box->button(QMessageBox::Ok)->click();
            }
            if (!answer.isNull() && !answering && readFile(handoff) == "ready") {
                answering = true;
                QTimer::singleShot(300, &m_poll,
                                   [this] { EXPECT_TRUE(writeFile(handoff, answer)); });
            }
        });
        m_poll.start(5);
    }
    void TearDown() override { fakeos::reset(); }

    QString path(const QString &name) const { return m_root.filePath(name); }
    QString errorText(const QString &message) const { return message + u"\n\nЛог: "_s + logPath; }
    QStringList lockFiles() const { return QDir(tmp).entryList({u"*.lock"_s}, QDir::Files); }
    void toolScenario(const QByteArray &lines)
    {
        ASSERT_TRUE(writeFile(toolPath + u".scenario"_s, lines));
    }
    std::unique_ptr<UpdateDialog> makeDialog(const QString &handoffFile = {},
                                             const QString &expectedVersion = {},
                                             const QString &client = {})
    {
        auto dialog = std::make_unique<UpdateDialog>(
                toolPath, Repository, client.isEmpty() ? clientPath : client, install, handoffFile,
                arguments, expectedVersion, shortcutFolders);
        dialog->show();
        return dialog;
    }
    bool waitForBoxes(int count, int timeoutMs = 10000)
    {
        return QTest::qWaitFor([&] { return boxes.size() >= count; }, timeoutMs);
    }
    static bool waitForStarts(const QString &client, int count, int timeoutMs = 5000)
    {
        return QTest::qWaitFor([&] { return clientStarts(client).size() >= count; }, timeoutMs);
    }
    // The application's event loop, as the program runs it; given up after 20 s.
    static int runEventLoop()
    {
        QTimer guard;
        guard.callOnTimeout([] { QCoreApplication::exit(99); });
        guard.start(20000);
        return QApplication::exec();
    }
    static QString labelText(const UpdateDialog &dialog)
    {
        return dialog.findChild<QLabel *>()->text();
    }

    QTemporaryDir m_root{testsupport::testFolderTemplate()};
    QString tmp = path(u"tmp"_s);
    QString logPath = tmp + u"/Corvatone-update.log"_s;
    QString install = path(u"install"_s);
    QString toolPath = path(u"bin/maintenancetool.exe"_s);
    QString clientPath = path(u"bin/Corvatone.exe"_s);
    QString handoff = path(u"handoff"_s);
    QMap<QString, QByteArray> original{{u"app.dat"_s, "old"}, {u"data/keep.dat"_s, "kept"}};
    QStringList arguments{u"--profile"_s, QString(), u"two words"_s};
    QStringList shortcutFolders;
    std::function<os::ProcessSnapshot()> snapshot;
    // What the client writes a while after "ready"; null for no answer.
    QByteArray answer;
    bool answering = false;
    QList<Box> boxes;

private:
    QTimer m_poll;
};

TEST_F(DialogTest, WindowStaysOpenUntilTheRunHasEnded)
{
    snapshot = clientsRunning;
    auto dialog = makeDialog();
    auto *closeButton = dialog->findChild<QPushButton *>();
    EXPECT_TRUE(closeButton->isHidden());
    ASSERT_TRUE(QTest::qWaitFor([&] { return labelText(*dialog) == Waiting; }));
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    EXPECT_FALSE(dialog->close());

    // A crash that reports exit code 0 is still a failure; the client that
    // still runs is not started a second time.
    QProcess *process = dialog->findChild<QProcess *>();
    emit process->finished(0, QProcess::CrashExit);
    ASSERT_TRUE(waitForBoxes(1));
    EXPECT_EQ(boxes[0].text, errorText(u"Maintenance tool завершился с кодом 0."_s));
    EXPECT_FALSE(closeButton->isHidden());

    // Late signals and calls change nothing once the run has ended.
    emit process->finished(1, QProcess::NormalExit);
    dialog->finishWithError(u"again"_s, true);
    QTest::qWait(100);
    EXPECT_EQ(boxes.size(), 1);
    EXPECT_TRUE(clientStarts(clientPath).isEmpty());
}

// Where a run fails before the client has exited, which it never restarts.
enum EarlyFault { NoTool, NoClient, NoHandoffFolder, NoTemporaryFolder, ScanFails };

struct EarlyFailureRow
{
    const char *name;
    EarlyFault fault;
    const char *message;
};

const EarlyFailureRow EarlyFailureRows[] = {
        {"ToolMissing", NoTool, "Не найдены файлы клиента или программы обновления."},
        {"ClientMissing", NoClient, "Не найдены файлы клиента или программы обновления."},
        {"HandoffFolderMissing", NoHandoffFolder,
         "Не удалось подготовить передачу управления обновлению."},
        {"NoTemporaryFolder", NoTemporaryFolder,
         "Не удалось создать временный каталог обновления."},
        {"ProcessScanFails", ScanFails,
         "Не удалось проверить завершение клиента (ошибка Windows 5)."},
};

class EarlyFailure : public DialogTest, public ::testing::WithParamInterface<EarlyFailureRow>
{ };

TEST_P(EarlyFailure, EndsTheRunAndLeavesTheClientAlone)
{
    const EarlyFault fault = GetParam().fault;
    const QString none = path(u"bin/none.exe"_s);
    ASSERT_TRUE(writeFile(logPath, "previous\n") && writeFile(path(u"file"_s), ""));
    snapshot = [&] { return os::ProcessSnapshot{{fault == ScanFails ? 5u : 0u}, {}}; };
    // No temporary directory can be made below a file.
    if (fault == NoTemporaryFolder)
        qputenv("TMPDIR", path(u"file"_s).toUtf8());
    const QString tool = fault == NoTool ? none : toolPath;
    const QString client = fault == NoClient ? none : clientPath;
    const QString handoffFile = fault == NoHandoffFolder ? path(u"no/dir/handoff"_s) : QString();
    UpdateDialog dialog(tool, Repository, client, install, handoffFile, arguments, {}, {});
    qputenv("TMPDIR", tmp.toUtf8());
    dialog.show();
    ASSERT_TRUE(waitForBoxes(1));
    EXPECT_EQ(boxes[0].text, errorText(QString::fromUtf8(GetParam().message)));
    // The log is opened only once the files are found, and the scan is never repeated.
    EXPECT_EQ(readFile(logPath).startsWith("Repository: "),
              fault == NoHandoffFolder || fault == ScanFails);
    QTest::qWait(300);
    EXPECT_EQ(fakeos::counts().processSnapshot, fault == ScanFails ? 1 : 0);
    EXPECT_TRUE(clientStarts(clientPath).isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Rows, EarlyFailure, ::testing::ValuesIn(EarlyFailureRows),
                         testsupport::rowName);

TEST_F(DialogTest, FormerClientNameRestartsTheCurrentClientBesideIt)
{
    const QString former = path(u"bin/PELLINGWOOD.EXE"_s);
    ASSERT_TRUE(QFile::copy(clientPath, former));
    for (bool currentBeside : {true, false}) {
        ASSERT_TRUE(currentBeside || QFile::remove(clientPath));
        auto dialog = makeDialog({}, {}, former);
        ASSERT_TRUE(waitForStarts(currentBeside ? clientPath : former, 1));
    }
    EXPECT_EQ(clientStarts(former).size(), 1);
    // Lets the pending quit of the successful runs pass.
    QTest::qWait(600);
}

// A run that fails from the backup on, which restores the installation and
// starts the client again: what the tool does, and the message.
struct LateFailureRow
{
    const char *name;
    const char *scenario;
    const char *expectedVersion;
    const char *message;
};

const char *const Aborted = "Обновление отменено: осталась работающая копия Corvatone. Закройте "
                            "все окна приложения, включая тестовую версию, и повторите обновление.";
const char *const ExitCode1 = "Maintenance tool завершился с кодом 1.";

const LateFailureRow LateFailureRows[] = {
        // With the backup line before it, the log runs past 16384 bytes within the
        // markers, which come in two reads: the tail keeps the last bytes of both.
        {"AbortMarkersAcrossChunks",
         "flood 16340 out\nerr stopProcessesForUpdates\\n\nsleep 300\nout Update aborted!\\n\nexit "
         "1",
         "", Aborted},
        {"AbortMarkersInOtherCase", "out stopProcessesForUpdates\\n\nout update aborted!\nexit 1",
         "", ExitCode1},
        // The markers count within the last 16384 bytes of output, and not a byte further.
        {"AbortMarkersAtTheTailsStart",
         "out stopProcessesForUpdates Update aborted!\\n\nflood 16344 out\nexit 1", "", Aborted},
        {"AbortMarkersPastTheTail",
         "out stopProcessesForUpdates Update aborted!\\n\nflood 16345 out\nexit 1", "", ExitCode1},
        {"VersionNotInstalled", "components 2.3.1", "2.3.2",
         "Установщик завершился, но версия 2.3.2 не установлена. Проверьте журнал и повторите "
         "обновление."},
        {"BackupFails", "exit 0", "", "Не удалось сохранить резервную копию: %2 <b>bold.dat"},
};

class LateFailure : public DialogTest, public ::testing::WithParamInterface<LateFailureRow>
{ };

TEST_P(LateFailure, IsReportedAndRestartsTheClient)
{
    const QByteArray scenario = GetParam().scenario;
    const QByteArray message = GetParam().message;
    // A link in the installation, whose name looks like markup, fails the backup.
    ASSERT_TRUE(scenario != "exit 0"
                || QFile::link(install + u"/app.dat"_s, install + u"/%2 <b>bold.dat"_s));
    toolScenario(scenario);
    auto dialog = makeDialog({}, QString::fromUtf8(GetParam().expectedVersion));
    ASSERT_TRUE(waitForBoxes(1));
    EXPECT_EQ(boxes[0].text, errorText(QString::fromUtf8(message)));
    EXPECT_EQ(boxes[0].format, Qt::PlainText);
    // The log keeps all output, also what has left the tail.
    const QByteArray log = readFile(logPath);
    EXPECT_TRUE(log.endsWith("\nUpdate error: " + message + '\n'));
    const char *const markers = "stopProcessesForUpdates Update aborted!";
    EXPECT_EQ(log.count(markers + QByteArray("\n")), scenario.count(markers));
    EXPECT_TRUE(waitForStarts(clientPath, 1));
}

INSTANTIATE_TEST_SUITE_P(Rows, LateFailure, ::testing::ValuesIn(LateFailureRows),
                         testsupport::rowName);

TEST_F(DialogTest, ToolThatCannotStartIsReportedAfterStartUpdateReturns)
{
    auto dialog = makeDialog(handoff);
    ASSERT_TRUE(QTest::qWaitFor([&] { return readFile(handoff) == "ready"; }));
    // The failure may be raised inside the starting call as well as later.
    QProcess *process = dialog->findChild<QProcess *>();
    QObject::connect(process, &QProcess::stateChanged, [process](QProcess::ProcessState state) {
        if (state == QProcess::Starting)
            emit process->errorOccurred(QProcess::FailedToStart);
    });
    ASSERT_TRUE(QFile::remove(toolPath));
    dialog->startUpdate();
    EXPECT_TRUE(boxes.isEmpty());
    ASSERT_TRUE(waitForBoxes(1));
    QTest::qWait(100);
    EXPECT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0].text.startsWith(u"Не удалось запустить maintenancetool.exe: "_s));
    EXPECT_TRUE(waitForStarts(clientPath, 1));
}

// What the backup's and the rollback's turns of the event loop deliver waits
// for the step: a failure ends the run after the backup, before the tool
// starts; the window stays through the rollback. A session's end is logged.
TEST_F(DialogTest, WhatTheStepsTurnsDeliverWaitsForTheStep)
{
    std::unique_ptr<UpdateDialog> dialog;
    bool closed = false;
    // As handlers that a turn runs would.
    fakeos::hooks().copyFileContent = [&](const std::u16string &source,
                                          const std::u16string &destination,
                                          const os::Progress &progress) {
        if (QString::fromStdU16String(destination).startsWith(install)) {
            closed = closed || dialog->close();
        } else {
            QMetaObject::invokeMethod(qApp, "aboutToQuit");
            dialog->finishWithError(u"Прервано"_s, true);
        }
        return os::posix::copyFileContent(source, destination, progress);
    };
    dialog = makeDialog();
    ASSERT_TRUE(waitForBoxes(1));
    EXPECT_EQ(boxes[0].text, errorText(u"Прервано"_s));
    EXPECT_EQ(dialog->findChild<QProcess *>()->state(), QProcess::NotRunning)
            << "the tool was started";
    EXPECT_FALSE(closed);
    EXPECT_TRUE(readFile(logPath).contains("\nUpdate interrupted: the session is ending\n"));
    EXPECT_EQ(std::pair(fakeos::counts().blockShutdown, fakeos::counts().unblockShutdown),
              std::pair(1, 1));
}

TEST_F(DialogTest, WindowDestroyedWhileTheToolRunsStopsIt)
{
    toolScenario("out started\\n\nsleep 20000\nwrite late.dat x\n");
    auto dialog = makeDialog();
    ASSERT_TRUE(QTest::qWaitFor([&] { return readFile(logPath).endsWith("started\n"); }));
    dialog.reset();
    EXPECT_TRUE(lockFiles().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(install + u"/late.dat"_s));
}

TEST_F(DialogTest, ClientThatCannotBeStartedIsReported)
{
    // Without execute permission the file cannot be started, not even by root.
    ASSERT_TRUE(QFile::remove(clientPath) && writeFile(clientPath, "not a program"));
    toolScenario("exit 1\n");
    {
        auto dialog = makeDialog();
        ASSERT_TRUE(waitForBoxes(1));
        EXPECT_EQ(labelText(*dialog),
                  u"Обновление не выполнено. Не удалось повторно запустить клиент."_s);
    }
    // After a successful update the program quits all the same, once the warning is closed.
    toolScenario("exit 0\n");
    auto dialog = makeDialog();
    EXPECT_EQ(runEventLoop(), 0);
    ASSERT_EQ(boxes.size(), 2);
    EXPECT_EQ(
            boxes[1].text,
            u"Обновление завершено, но приложение не удалось запустить. Запустите Corvatone вручную."_s);
}

TEST_F(DialogTest, ClientThatNeverConfirmsEndsTheRunAtFifteenSeconds)
{
    // Only the exact "continue" counts.
    answer = "continue\n";
    auto dialog = makeDialog(handoff);
    ASSERT_TRUE(QTest::qWaitFor([&] { return readFile(handoff) == answer; }));
    RunClock::advanceForTesting(14999);
    dialog->waitForConfirmation();
    EXPECT_TRUE(boxes.isEmpty());
    RunClock::advanceForTesting(1);
    dialog->waitForConfirmation();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_EQ(boxes[0].text,
              errorText(u"Клиент не подтвердил начало обновления. Повторите попытку."_s));
    EXPECT_EQ(fakeos::counts().processSnapshot, 0);
}

TEST_F(DialogTest, ClientThatStaysEndsTheRunAtThirtySecondsFromTheAnswer)
{
    snapshot = clientsRunning;
    auto dialog = makeDialog(handoff);
    ASSERT_TRUE(QTest::qWaitFor([&] { return readFile(handoff) == "ready"; }));
    // The limits count from the answer, which comes late.
    RunClock::advanceForTesting(14000);
    ASSERT_TRUE(writeFile(handoff, "continue"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return fakeos::counts().processSnapshot > 0; }));
    RunClock::advanceForTesting(2999);
    dialog->waitForApplicationExit();
    EXPECT_EQ(labelText(*dialog), Waiting);
    RunClock::advanceForTesting(1);
    dialog->waitForApplicationExit();
    EXPECT_EQ(labelText(*dialog), WaitingLong);
    RunClock::advanceForTesting(26999);
    dialog->waitForApplicationExit();
    EXPECT_TRUE(boxes.isEmpty());
    RunClock::advanceForTesting(1);
    dialog->waitForApplicationExit();
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_EQ(
            boxes[0].text,
            errorText(
                    u"Corvatone ещё запущен. Закройте все его окна, включая тестовую версию, и повторите обновление. Процессы: 12, 34."_s));
    EXPECT_TRUE(readFile(logPath).contains(
            "\nUpdate not started: running client PIDs: 12, 34\n\nUpdate error: "));
    EXPECT_TRUE(clientStarts(clientPath).isEmpty());
}

// Which disk of a run is full, and from when.
enum class Disk { Temporary, Installation, Handoff };
enum class Fill { BeforeRun, BeforeBackup, ByTheTool };

struct FullDiskRow
{
    const char *name;
    Disk disk;
    Fill fill;
    // The start of the message.
    const char *message;
    bool restarted;
    // Whether a failed rollback keeps the backup; otherwise the installation is as before the run.
    bool backupKept;
};

const FullDiskRow FullDiskRows[] = {
        {"TemporaryFolderBeforeTheBackup", Disk::Temporary, Fill::BeforeBackup,
         "Не удалось сохранить резервную копию: ", true, false},
        {"InstallationDuringTheRollback", Disk::Installation, Fill::ByTheTool,
         "Maintenance tool завершился с кодом 1.\n\nНе удалось восстановить ", false, true},
        {"HandoffFileWhenReadyIsWritten", Disk::Handoff, Fill::BeforeRun,
         "Не удалось подготовить передачу управления обновлению.\n", false, false},
        {"HandoffFileWhenTheErrorIsRecorded", Disk::Handoff, Fill::ByTheTool,
         "Maintenance tool завершился с кодом 1.\n", true, false},
};

// A run with one of its disks really full: whatever fails, no file of the
// installation or its shortcut is lost, and the user is told what happened.
class FullDisk : public DialogTest, public ::testing::WithParamInterface<FullDiskRow>
{
protected:
    void SetUp() override
    {
        handoff = path(u"handoff/handoff"_s);
        diskFolder = QStringList{tmp, install, path(u"handoff"_s)}[int(GetParam().disk)];
        disk = std::make_unique<testsupport::SmallDisk>(diskFolder);
        if (!disk->isMounted())
            GTEST_SKIP() << disk->error().toStdString();
        DialogTest::SetUp();
        // Shortcuts here are text files holding their target.
        shortcutFolders = {path(u"desktop"_s)};
        ASSERT_TRUE(writeFile(shortcut, shortcutTarget) && writeFile(handoff, "stale"));
        fakeos::hooks().shellLinkTarget = [](const std::u16string &link) {
            return fakeos::succeeded(
                    QString::fromUtf8(readFile(QString::fromStdU16String(link))).toStdU16String());
        };
        snapshot = [this] {
            fillOnce(Fill::BeforeBackup);
            return os::ProcessSnapshot();
        };
    }
    void TearDown() override
    {
        DialogTest::TearDown();
        disk.reset();
    }

    void fillOnce(Fill when)
    {
        if (GetParam().fill == when && !filled) {
            filled = disk->fill();
            EXPECT_TRUE(filled);
        }
    }

    QString diskFolder;
    std::unique_ptr<testsupport::SmallDisk> disk;
    bool filled = false;
    QString shortcut = path(u"desktop/Corvatone.lnk"_s);
    QByteArray shortcutTarget = (install + u"/Corvatone.exe"_s).toUtf8();
};

TEST_P(FullDisk, CostsNoFile)
{
    const FullDiskRow &row = GetParam();
    // The update changes one file, deletes another and the shortcut.
    QByteArray scenario = "write " + original.firstKey().toUtf8() + " changed\ndelete "
                          + shortcut.toUtf8() + "\ndelete " + original.lastKey().toUtf8() + '\n';
    if (row.fill == Fill::ByTheTool)
        scenario += "fill " + diskFolder.toUtf8() + "/filler\n";
    toolScenario(scenario + "exit 1\n");
    fillOnce(Fill::BeforeRun);
    answer = "continue";

    auto dialog = makeDialog(handoff);
    ASSERT_TRUE(waitForBoxes(1));
    EXPECT_TRUE(boxes[0].text.startsWith(QString::fromUtf8(row.message)))
            << boxes[0].text.toStdString();
    // The handoff file keeps its former content where its own disk is full;
    // the log is best-effort, on the temporary folder's disk.
    const QByteArray finalText = boxes[0].text.section(u"\n\nЛог: "_s, 0, 0).toUtf8();
    EXPECT_EQ(readFile(handoff), row.disk != Disk::Handoff     ? "error\n" + finalText
                                 : row.fill == Fill::BeforeRun ? QByteArray("stale")
                                                               : QByteArray("continue"));
    EXPECT_TRUE(row.disk == Disk::Temporary
                || readFile(logPath).endsWith("\nUpdate error: " + finalText + '\n'));
    EXPECT_EQ(waitForStarts(clientPath, 1, 2000), row.restarted);
    dialog.reset();

    QMap<QString, QByteArray> expected = original;
    if (row.backupKept) {
        const QStringList kept = QDir(tmp).entryList({u"Corvatone-update-backup-*"_s}, QDir::Dirs);
        ASSERT_EQ(kept.size(), 1);
        expected.insert(u"external-shortcuts/0.lnk"_s, shortcutTarget);
        EXPECT_EQ(filesBelow(tmp + u'/' + kept[0]), expected);
    } else {
        EXPECT_EQ(filesBelow(install), expected);
        EXPECT_EQ(readFile(shortcut), shortcutTarget);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, FullDisk, ::testing::ValuesIn(FullDiskRows), testsupport::rowName);

} // namespace

int main(int argc, char **argv)
{
    testsupport::enterPrivateMounts();
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(u"Corvatone Updater"_s);
    QApplication::setQuitOnLastWindowClosed(false);
    RunClock::stopForTesting();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
