#include "dialog/updatedialog.h"

#include "fakeos.h"
#include "os/posix_backend.h"
#include "smalldisk.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
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
const QString ExitCode1 = u"Maintenance tool завершился с кодом 1."_s;

struct Box
{
    QString title;
    QString text;
    QMessageBox::Icon icon;
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
// client answer the handshake.
class DialogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_root.isValid() && QDir().mkpath(tmp) && QDir().mkpath(path(u"bin"_s)));
        qputenv("TMPDIR", tmp.toUtf8());
        qputenv("HOME", m_root.path().toUtf8());
        fakeos::reset();
        fakeos::hooks().processSnapshot = [this] { return snapshot ? snapshot() : os::ProcessSnapshot(); };
        for (auto file = original.cbegin(); file != original.cend(); ++file)
            ASSERT_TRUE(writeFile(install + u'/' + file.key(), file.value()));
        ASSERT_TRUE(QFile::copy(QStringLiteral(STANDIN_MAINTENANCETOOL_PATH), toolPath) && QFile::copy(QStringLiteral(STANDIN_CLIENT_PATH), clientPath));
        QObject::connect(&m_poll, &QTimer::timeout, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()); box && box->isVisible()) {
                boxes.append({box->windowTitle(), box->text(), box->icon(), box->textFormat()});
                EXPECT_EQ(box->buttons().size(), 1);
                box->button(QMessageBox::Ok)->click();
            }
            if (!answer.isNull() && !sinceReady.isValid() && readFile(handoff) == "ready") {
                sinceReady.start();
                QTimer::singleShot(answerDelayMs, &m_poll, [this] { EXPECT_TRUE(writeFile(handoff, answer)); });
            }
        });
        m_poll.start(5);
    }
    void TearDown() override { fakeos::reset(); }

    QString path(const QString &name) const { return m_root.filePath(name); }
    QString errorText(const QString &message) const { return message + u"\n\nЛог: "_s + logPath; }
    QStringList lockFiles() const { return QDir(tmp).entryList({u"*.lock"_s}, QDir::Files); }
    void toolScenario(const QByteArray &lines) { ASSERT_TRUE(writeFile(toolPath + u".scenario"_s, lines)); }
    std::unique_ptr<UpdateDialog> makeDialog(const QString &handoffFile = {}, const QString &expectedVersion = {}, const QString &client = {})
    {
        auto dialog = std::make_unique<UpdateDialog>(toolPath, Repository, client.isEmpty() ? clientPath : client, install, handoffFile,
                                                     arguments, expectedVersion, shortcutFolders);
        dialog->show();
        return dialog;
    }
    bool waitForBoxes(int count, int timeoutMs = 10000) { return QTest::qWaitFor([&] { return boxes.size() >= count; }, timeoutMs); }
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
    static QString labelText(const UpdateDialog &dialog) { return dialog.findChild<QLabel *>()->text(); }

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
    // What the client writes, and how long after "ready"; null for no answer.
    QByteArray answer;
    int answerDelayMs = 300;
    QElapsedTimer sinceReady;
    QList<Box> boxes;

private:
    QTimer m_poll;
};

TEST_F(DialogTest, WindowStaysOpenUntilTheRunHasEnded)
{
    snapshot = clientsRunning;
    auto dialog = makeDialog();
    auto *bar = dialog->findChild<QProgressBar *>();
    auto *closeButton = dialog->findChild<QPushButton *>();
    EXPECT_EQ(bar->maximum(), 0);
    EXPECT_TRUE(closeButton->isHidden());
    ASSERT_TRUE(QTest::qWaitFor([&] { return labelText(*dialog) == Waiting; }));
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    EXPECT_FALSE(dialog->close());
    EXPECT_TRUE(dialog->isVisible());

    // A crash that reports exit code 0 is still a failure; the client that
    // still runs is not started a second time.
    QProcess *process = dialog->findChild<QProcess *>();
    emit process->finished(0, QProcess::CrashExit);
    ASSERT_TRUE(waitForBoxes(1));
    EXPECT_EQ(boxes[0].title, u"Ошибка обновления Corvatone"_s);
    EXPECT_EQ(boxes[0].text, errorText(u"Maintenance tool завершился с кодом 0."_s));
    EXPECT_EQ(boxes[0].icon, QMessageBox::Critical);
    EXPECT_FALSE(closeButton->isHidden());
    EXPECT_EQ(bar->maximum(), 1);
    EXPECT_EQ(bar->value(), 0);
    EXPECT_TRUE(lockFiles().isEmpty());

    // Late signals and calls change nothing once the run has ended.
    emit process->finished(1, QProcess::NormalExit);
    dialog->finishWithError(u"again"_s, true);
    QTest::qWait(100);
    EXPECT_EQ(boxes.size(), 1);
    EXPECT_TRUE(clientStarts(clientPath).isEmpty());
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    EXPECT_FALSE(dialog->isVisible());
}

TEST_F(DialogTest, FailuresBeforeTheClientHasExitedDoNotRestartIt)
{
    const QString missing = u"Не найдены файлы клиента или программы обновления."_s;
    const QString none = path(u"bin/none.exe"_s);
    const struct
    {
        QString tool;
        QString client;
        QString handoff;
        bool tmpIsFile;
        quint32 scanError;
        QString message;
    } cases[] = {
        {none, clientPath, {}, false, 0, missing},
        {toolPath, none, {}, false, 0, missing},
        {toolPath, clientPath, path(u"no/such/dir/handoff"_s), false, 0, u"Не удалось подготовить передачу управления обновлению."_s},
        {toolPath, clientPath, {}, true, 0, u"Не удалось создать временный каталог обновления."_s},
        {toolPath, clientPath, {}, false, 5, u"Не удалось проверить завершение клиента (ошибка Windows 5)."_s},
    };
    ASSERT_TRUE(writeFile(path(u"file"_s), ""));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message.toStdString());
        ASSERT_TRUE(writeFile(logPath, "previous\n"));
        boxes.clear();
        const int scans = fakeos::counts().processSnapshot;
        snapshot = [&] { return os::ProcessSnapshot{{c.scanError}, {}}; };
        // No temporary directory can be made below a file.
        qputenv("TMPDIR", (c.tmpIsFile ? path(u"file"_s) : tmp).toUtf8());
        UpdateDialog dialog(c.tool, Repository, c.client, install, c.handoff, arguments, {}, {});
        qputenv("TMPDIR", tmp.toUtf8());
        dialog.show();
        ASSERT_TRUE(waitForBoxes(1));
        EXPECT_EQ(boxes[0].text, errorText(c.message));
        EXPECT_TRUE(lockFiles().isEmpty());
        // The log is opened only once the files are found, and the scan is never repeated.
        EXPECT_EQ(readFile(logPath).startsWith("Repository: "), !c.handoff.isEmpty() || c.scanError);
        QTest::qWait(300);
        EXPECT_EQ(fakeos::counts().processSnapshot - scans, c.scanError ? 1 : 0);
    }
    EXPECT_TRUE(clientStarts(clientPath).isEmpty());
}

TEST_F(DialogTest, SuccessfulRunWaitsForTheClientAndRestartsIt)
{
    // The client answers a while after "ready" and needs two more looks to exit.
    answer = "continue";
    QStringList labels;
    std::unique_ptr<UpdateDialog> dialog;
    snapshot = [&] {
        labels << labelText(*dialog);
        return fakeos::counts().processSnapshot <= 2 ? clientsRunning() : os::ProcessSnapshot();
    };
    // The abort markers count only after a failed exit.
    toolScenario("record record.json\nerr stopProcessesForUpdates Update aborted!\ncomponents 2.3.2\n");
    dialog = makeDialog(handoff, u"2.3.2"_s);
    EXPECT_EQ(runEventLoop(), 0);
    EXPECT_TRUE(boxes.isEmpty());
    EXPECT_EQ(labels, QStringList(3, Waiting));
    EXPECT_EQ(labelText(*dialog), u"Обновление завершено. Запуск Corvatone..."_s);
    EXPECT_EQ(dialog->findChild<QProgressBar *>()->value(), 1);
    const QStringList toolArguments = QJsonDocument::fromJson(readFile(path(u"bin/record.json"_s)))[u"arguments"_s].toVariant().toStringList();
    ASSERT_EQ(toolArguments.size(), 8);
    EXPECT_TRUE(QFileInfo(toolArguments[1]).fileName().startsWith(u"Corvatone Updater-"_s));
    EXPECT_EQ(toolArguments.join(u' '), u"--cache-path %1 --set-temp-repository %2 --default-answer --accept-licenses "
                                        "--confirm-command update"_s.arg(toolArguments[1], Repository));
    EXPECT_TRUE(waitForStarts(clientPath, 1));
}

TEST_F(DialogTest, FormerClientNameRestartsTheCurrentClientBesideIt)
{
    const QString former = path(u"bin/PELLINGWOOD.EXE"_s);
    ASSERT_TRUE(QFile::copy(clientPath, former));
    for (bool currentBeside : {true, false}) {
        if (!currentBeside) {
            ASSERT_TRUE(QFile::remove(clientPath));
        }
        auto dialog = makeDialog({}, {}, former);
        ASSERT_TRUE(waitForStarts(currentBeside ? clientPath : former, 1));
    }
    EXPECT_EQ(clientStarts(former).size(), 1);
    // Lets the pending quit of the successful runs pass.
    QTest::qWait(600);
}

TEST_F(DialogTest, FailuresFromTheBackupOnAreRolledBackAndRestartTheClient)
{
    const QString aborted = u"Обновление отменено: осталась работающая копия Corvatone. Закройте все окна приложения, "
                            "включая тестовую версию, и повторите обновление."_s;
    const QByteArray markers = "out stopProcessesForUpdates Update aborted!\\n\n";
    // A file whose name looks like markup cannot be read for the backup.
    const QString unreadable = u"%2 <b>bold</b>.dat"_s;
    ASSERT_TRUE(writeFile(install + u'/' + unreadable, "x"));
    original.insert(unreadable, "x");
    const struct
    {
        QByteArray scenario;
        QString expectedVersion;
        QString message;
    } cases[] = {
        // With the backup line before it, the log runs past 16384 bytes within the
        // markers: the tail keeps the last bytes, and every chunk is shorter than it.
        {"flood 16340 out\nerr stopProcessesForUpdates\\n\nout Update aborted!\\n\nexit 1", {}, aborted},
        {"out stopProcessesForUpdates\\n\nout update aborted!\nexit 1", {}, ExitCode1},
        // The markers count within the last 16384 bytes of output, and not a byte further.
        {markers + "flood 16344 out\nexit 1", {}, aborted},
        {markers + "flood 16345 out\nexit 1", {}, ExitCode1},
        {"components 2.3.1", u"2.3.2"_s, u"Установщик завершился, но версия 2.3.2 не установлена. Проверьте журнал и повторите обновление."_s},
        // Ends with a space: the code of a crash is not fixed.
        {"crash", {}, u"Maintenance tool завершился с кодом "_s},
        {"exit 0", {}, u"Не удалось сохранить резервную копию: "_s + unreadable},
    };
    int run = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.scenario.toStdString());
        boxes.clear();
        if (c.message.startsWith(u"Не удалось сохранить"_s)) {
            fakeos::hooks().fileAttributes = [](const std::u16string &file) {
                if (!QString::fromStdU16String(file).endsWith(u"</b>.dat"_s))
                    return os::posix::fileAttributes(file);
                return fakeos::failedWith<std::uint32_t>(EACCES);
            };
        }
        QFile::remove(install + u"/added.dat"_s);
        toolScenario("write app.dat changed\ndelete data\nwrite added.dat new\n" + c.scenario);
        auto dialog = makeDialog({}, c.expectedVersion);
        ASSERT_TRUE(waitForBoxes(1));
        const QString text = boxes[0].text;
        EXPECT_TRUE(c.message.endsWith(u' ') ? text.startsWith(c.message) : text == errorText(c.message)) << text.toStdString();
        EXPECT_EQ(boxes[0].format, Qt::PlainText);
        // The log keeps all output, also what has left the tail.
        EXPECT_TRUE(readFile(logPath).endsWith("\nUpdate error: " + text.left(text.indexOf(u"\n\nЛог: "_s)).toUtf8() + '\n'));
        EXPECT_EQ(readFile(logPath).count("stopProcessesForUpdates Update aborted!\n"), c.scenario.count("stopProcessesForUpdates Update aborted!"));
        QMap<QString, QByteArray> files = filesBelow(install);
        files.remove(u"components.xml"_s);
        // What the update added stays; the tool never ran when the backup failed.
        EXPECT_EQ(files.remove(u"added.dat"_s) == 0, c.scenario == "exit 0");
        EXPECT_EQ(files, original);
        EXPECT_TRUE(waitForStarts(clientPath, ++run));
    }
}

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
    EXPECT_TRUE(readFile(handoff).startsWith(u"error\nНе удалось запустить maintenancetool.exe: "_s.toUtf8()));
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
    fakeos::hooks().copyFileContent = [&](const std::u16string &source, const std::u16string &destination, const os::Progress &progress) {
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
    EXPECT_EQ(dialog->findChild<QProcess *>()->state(), QProcess::NotRunning) << "the tool was started";
    EXPECT_FALSE(closed);
    EXPECT_TRUE(readFile(logPath).contains("\nUpdate interrupted: the session is ending\n"));
    EXPECT_EQ(std::pair(fakeos::counts().blockShutdown, fakeos::counts().unblockShutdown), std::pair(1, 1));
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
        EXPECT_EQ(labelText(*dialog), u"Обновление не выполнено. Не удалось повторно запустить клиент."_s);
    }
    // After a successful update the program quits all the same, once the warning is closed.
    toolScenario("exit 0\n");
    auto dialog = makeDialog();
    EXPECT_EQ(runEventLoop(), 0);
    ASSERT_EQ(boxes.size(), 2);
    EXPECT_EQ(boxes[1].title, u"Обновление Corvatone"_s);
    EXPECT_EQ(boxes[1].text, u"Обновление завершено, но приложение не удалось запустить. Запустите Corvatone вручную."_s);
    EXPECT_EQ(boxes[1].icon, QMessageBox::Warning);
}

TEST_F(DialogTest, ClientThatNeverConfirmsEndsTheRunAfterFifteenSeconds)
{
    // Only the exact "continue" counts.
    answer = "continue\n";
    auto dialog = makeDialog(handoff);
    ASSERT_TRUE(waitForBoxes(1, 20000));
    EXPECT_GE(sinceReady.elapsed(), 14900);
    const QString message = u"Клиент не подтвердил начало обновления. Повторите попытку."_s;
    EXPECT_EQ(boxes[0].text, errorText(message));
    EXPECT_EQ(readFile(handoff), "error\n" + message.toUtf8());
    EXPECT_EQ(fakeos::counts().processSnapshot, 0);
}

TEST_F(DialogTest, ClientThatStaysEndsTheRunAfterThirtySeconds)
{
    // The limits count from the answer, which comes late.
    snapshot = clientsRunning;
    answer = "continue";
    answerDelayMs = 3000;
    auto dialog = makeDialog(handoff);
    ASSERT_TRUE(QTest::qWaitFor([&] { return readFile(handoff) == "continue"; }, 5000));
    QElapsedTimer sinceAnswer;
    sinceAnswer.start();
    QTest::qWait(2500);
    EXPECT_EQ(labelText(*dialog), Waiting);
    QTest::qWait(1000);
    EXPECT_EQ(labelText(*dialog), u"Ожидание закрытия Corvatone. Закройте также другие копии приложения."_s);
    ASSERT_TRUE(waitForBoxes(1, 35000));
    EXPECT_GE(sinceAnswer.elapsed(), 29900);
    EXPECT_EQ(boxes[0].text, errorText(u"Corvatone ещё запущен. Закройте все его окна, включая тестовую версию, и повторите обновление. Процессы: 12, 34."_s));
    EXPECT_TRUE(readFile(logPath).contains("\nUpdate not started: running client PIDs: 12, 34\n\nUpdate error: "));
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

void PrintTo(const FullDiskRow &row, std::ostream *out) { *out << row.name; }

const FullDiskRow FullDiskRows[] = {
    {"TemporaryFolderBeforeTheBackup", Disk::Temporary, Fill::BeforeBackup, "Не удалось сохранить резервную копию: ", true, false},
    {"InstallationDuringTheRollback", Disk::Installation, Fill::ByTheTool, "Maintenance tool завершился с кодом 1.\n\nНе удалось восстановить ", false, true},
    {"HandoffFileWhenReadyIsWritten", Disk::Handoff, Fill::BeforeRun, "Не удалось подготовить передачу управления обновлению.\n", false, false},
    {"HandoffFileWhenTheErrorIsRecorded", Disk::Handoff, Fill::ByTheTool, "Maintenance tool завершился с кодом 1.\n", true, false},
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
            return fakeos::succeeded(QString::fromUtf8(readFile(QString::fromStdU16String(link))).toStdU16String());
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
    QByteArray scenario = "write " + original.firstKey().toUtf8() + " changed\ndelete " + shortcut.toUtf8() + "\ndelete " + original.lastKey().toUtf8() + '\n';
    if (row.fill == Fill::ByTheTool)
        scenario += "fill " + diskFolder.toUtf8() + "/filler\n";
    toolScenario(scenario + "exit 1\n");
    fillOnce(Fill::BeforeRun);
    answer = "continue";

    auto dialog = makeDialog(handoff);
    ASSERT_TRUE(waitForBoxes(1));
    EXPECT_TRUE(boxes[0].text.startsWith(QString::fromUtf8(row.message))) << boxes[0].text.toStdString();
    // The handoff file keeps its former content where its own disk is full;
    // the log is best-effort, on the temporary folder's disk.
    const QByteArray finalText = boxes[0].text.section(u"\n\nЛог: "_s, 0, 0).toUtf8();
    EXPECT_EQ(readFile(handoff), row.disk != Disk::Handoff ? "error\n" + finalText : row.fill == Fill::BeforeRun ? QByteArray("stale") : QByteArray("continue"));
    EXPECT_TRUE(row.disk == Disk::Temporary || readFile(logPath).endsWith("\nUpdate error: " + finalText + '\n'));
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

INSTANTIATE_TEST_SUITE_P(Rows, FullDisk, ::testing::ValuesIn(FullDiskRows),
                         [](const ::testing::TestParamInfo<FullDiskRow> &info) { return std::string(info.param.name); });

} // namespace

int main(int argc, char **argv)
{
    testsupport::enterPrivateMounts();
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(u"Corvatone Updater"_s);
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
