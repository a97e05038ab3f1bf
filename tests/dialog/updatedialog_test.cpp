#include "dialog/updatedialog.h"

#include "fakeos.h"
#include "os/posix_backend.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLockFile>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

class UpdateDialogTestAccess
{
public:
    static const QByteArray &logTail(const UpdateDialog &dialog) { return dialog.m_logTail; }
    static QProcess *process(const UpdateDialog &dialog) { return dialog.m_maintenanceProcess; }
};

namespace {

const QString Repository = QStringLiteral("https://updates.example.invalid/repo");
const QString Finished = QStringLiteral("Обновление завершено. Запуск Corvatone...");
const QString Waiting = QStringLiteral("Ожидание закрытия Corvatone...");
const QString Running = QStringLiteral("Выполняется обновление Corvatone. Пожалуйста, подождите...");

struct Box
{
    QString title;
    QString text;
    QMessageBox::Icon icon;
    Qt::TextFormat format;
};

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

os::ProcessSnapshot clientsRunning()
{
    return {{{12, u"corvatone.EXE"}, {20, u"Corvatone.exe.old"}, {34, u"CORVATONE.exe"}}, 0};
}

// Each test runs in its own temporary and home folders, with an installation
// of the stand-in tool and client, and answers every message box with OK.
class DialogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_root.isValid());
        tmp = path("tmp");
        install = path("install");
        QDir().mkpath(tmp);
        QDir().mkpath(path("home"));
        qputenv("TMPDIR", tmp.toUtf8());
        qputenv("HOME", path("home").toUtf8());

        fakeos::reset();
        fakeos::hooks().processSnapshot = [this] { return snapshot ? snapshot() : os::ProcessSnapshot(); };

        writeFile(installFile("app.dat"), "old");
        writeFile(installFile("data/keep.dat"), "kept");
        ASSERT_TRUE(QFile::copy(QStringLiteral(STANDIN_MAINTENANCETOOL_PATH), toolPath()));
        ASSERT_TRUE(QFile::copy(QStringLiteral(STANDIN_CLIENT_PATH), clientPath()));

        QObject::connect(&m_boxAnswerer, &QTimer::timeout, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            boxes.append({box->windowTitle(), box->text(), box->icon(), box->textFormat()});
            EXPECT_EQ(box->buttons().size(), 1);
            box->button(QMessageBox::Ok)->click();
        });
        m_boxAnswerer.start(10);
    }

    void TearDown() override
    {
        fakeos::reset();
        qputenv("TMPDIR", m_savedTmp);
        qputenv("HOME", m_savedHome);
    }

    QString path(const char *name) const { return m_root.filePath(QLatin1String(name)); }
    QString installFile(const char *name) const { return install + QLatin1Char('/') + QLatin1String(name); }
    QString toolPath() const { return installFile("maintenancetool.exe"); }
    QString clientPath() const { return installFile("Corvatone.exe"); }
    QString logPath() const { return tmp + QStringLiteral("/Corvatone-update.log"); }
    QString errorText(const QString &message) const { return message + QStringLiteral("\n\nЛог: ") + logPath(); }
    QStringList lockFiles() const { return QDir(tmp).entryList({QStringLiteral("*.lock")}, QDir::Files); }
    void toolScenario(const QByteArray &lines) { writeFile(toolPath() + QStringLiteral(".scenario"), lines); }

    std::unique_ptr<UpdateDialog> makeDialog(const QString &handoff = {}, const QString &expectedVersion = {},
                                             const QString &client = {})
    {
        auto dialog = std::make_unique<UpdateDialog>(toolPath(), Repository, client.isEmpty() ? clientPath() : client,
                                                     install, handoff, arguments, expectedVersion, QStringList());
        dialog->show();
        return dialog;
    }

    bool waitForBoxes(int count, int timeoutMs = 10000)
    {
        return QTest::qWaitFor([&] { return boxes.size() >= count; }, timeoutMs);
    }

    // The starts that the stand-in client recorded beside itself.
    QList<QJsonObject> starts(const QString &client) const
    {
        QList<QJsonObject> result;
        for (const QByteArray &line : readFile(client + QStringLiteral(".starts")).split('\n')) {
            if (!line.isEmpty())
                result.append(QJsonDocument::fromJson(line).object());
        }
        return result;
    }

    bool waitForStarts(const QString &client, int count)
    {
        return QTest::qWaitFor([&] { return starts(client).size() >= count; }, 5000);
    }

    // The application's event loop, as the program runs it; given up after 20 s.
    static int runEventLoop()
    {
        QTimer guard;
        QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        guard.start(20000);
        return QApplication::exec();
    }

    static QString labelText(const UpdateDialog &dialog) { return dialog.findChild<QLabel *>()->text(); }

    QString tmp;
    QString install;
    QStringList arguments{QStringLiteral("--profile"), QString(), QStringLiteral("two words")};
    std::function<os::ProcessSnapshot()> snapshot;
    QList<Box> boxes;

private:
    QByteArray m_savedTmp = qgetenv("TMPDIR");
    QByteArray m_savedHome = qgetenv("HOME");
    QTemporaryDir m_root;
    QTimer m_boxAnswerer;
};

TEST_F(DialogTest, WindowStaysOpenUntilTheRunHasEnded)
{
    snapshot = clientsRunning;
    auto dialog = makeDialog();
    auto *bar = dialog->findChild<QProgressBar *>();
    auto *closeButton = dialog->findChild<QPushButton *>();
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Обновление Corvatone"));
    EXPECT_EQ(dialog->minimumSize(), QSize(500, 150));
    EXPECT_EQ(dialog->maximumSize(), QSize(500, 150));
    EXPECT_EQ(labelText(*dialog), Running);
    EXPECT_EQ(bar->maximum(), 0);
    EXPECT_TRUE(closeButton->isHidden());

    ASSERT_TRUE(QTest::qWaitFor([&] { return labelText(*dialog) == Waiting; }));
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    EXPECT_FALSE(dialog->close());
    EXPECT_TRUE(dialog->isVisible());

    // A crash that reports exit code 0 is still a failure; the client that
    // still runs is not started a second time.
    QProcess *process = UpdateDialogTestAccess::process(*dialog);
    emit process->finished(0, QProcess::CrashExit);
    ASSERT_TRUE(waitForBoxes(1));
    EXPECT_EQ(boxes[0].title, QStringLiteral("Ошибка обновления Corvatone"));
    EXPECT_EQ(boxes[0].text, errorText(QStringLiteral("Maintenance tool завершился с кодом 0.")));
    EXPECT_EQ(boxes[0].icon, QMessageBox::Critical);
    EXPECT_FALSE(closeButton->isHidden());
    EXPECT_EQ(bar->maximum(), 1);
    EXPECT_EQ(bar->value(), 0);
    EXPECT_TRUE(lockFiles().isEmpty());

    // Late signals and calls change nothing once the run has ended.
    emit process->finished(1, QProcess::NormalExit);
    dialog->finishWithError(QStringLiteral("again"), true);
    QTest::qWait(100);
    EXPECT_EQ(boxes.size(), 1);
    EXPECT_FALSE(QFileInfo::exists(clientPath() + QStringLiteral(".starts")));

    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    EXPECT_FALSE(dialog->isVisible());
}

TEST_F(DialogTest, SecondRunOfTheSameInstallationIsRefused)
{
    const QString handoff = path("handoff");
    writeFile(logPath(), "first run\n");
    const QByteArray key = QFileInfo(clientPath()).canonicalFilePath().toCaseFolded().toUtf8();
    const QString lockName = QStringLiteral("Corvatone-update-%1.lock")
                                     .arg(QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex()));
    QLockFile otherRun(QDir(tmp).filePath(lockName));
    ASSERT_TRUE(otherRun.tryLock(0));

    // This run names the client through another spelling of the same path.
    auto dialog = makeDialog(handoff, {}, install + QStringLiteral("/../install/./Corvatone.exe"));
    ASSERT_TRUE(waitForBoxes(1));
    const QString message = QStringLiteral("Обновление этой установки уже выполняется.");
    EXPECT_EQ(boxes[0].text, errorText(message));
    EXPECT_EQ(readFile(logPath()), "first run\n");
    EXPECT_EQ(readFile(handoff), "error\n" + message.toUtf8());
    EXPECT_EQ(lockFiles(), QStringList{lockName});
}

TEST_F(DialogTest, PreparationFailuresEndTheRunWithoutRestart)
{
    const QString missing = QStringLiteral("Не найдены файлы клиента или программы обновления.");
    const QString none = installFile("none.exe");
    struct Case
    {
        QString tool;
        QString client;
        QString handoff;
        bool tmpIsFile;
        QString message;
    } cases[] = {
        {none, clientPath(), {}, false, missing},
        {toolPath(), none, {}, false, missing},
        {toolPath(), clientPath(), path("no/such/dir/handoff"), false,
         QStringLiteral("Не удалось подготовить передачу управления обновлению.")},
        {toolPath(), clientPath(), {}, true, QStringLiteral("Не удалось создать временный каталог обновления.")},
    };

    for (const Case &c : cases) {
        SCOPED_TRACE(c.message.toStdString());
        writeFile(logPath(), "previous\n");
        boxes.clear();
        if (c.tmpIsFile) {
            // No temporary directory can be made below a file.
            writeFile(path("file"), "");
            qputenv("TMPDIR", path("file").toUtf8());
        }
        UpdateDialog dialog(c.tool, Repository, c.client, install, c.handoff, arguments, {}, {});
        qputenv("TMPDIR", tmp.toUtf8());
        dialog.show();
        ASSERT_TRUE(waitForBoxes(1));
        EXPECT_EQ(boxes[0].text, errorText(c.message));
        EXPECT_TRUE(lockFiles().isEmpty());
        EXPECT_EQ(readFile(logPath()), c.handoff.isEmpty() ? QByteArray("previous\n")
                                                            : "Repository: " + Repository.toUtf8()
                                                                      + "\n\nUpdate error: " + c.message.toUtf8() + '\n');
    }
    EXPECT_EQ(fakeos::counts().processSnapshot, 0);
}

TEST_F(DialogTest, SuccessfulRunRestartsTheClientAndQuits)
{
    // The client answers a while after "ready" and needs two more looks to exit.
    const QString handoff = path("handoff");
    bool sawReady = false;
    QTimer client;
    QObject::connect(&client, &QTimer::timeout, [&] {
        if (!sawReady && readFile(handoff) == "ready") {
            sawReady = true;
            QTimer::singleShot(300, [&] { writeFile(handoff, "continue"); });
        }
    });
    client.start(20);
    QStringList labels;
    std::unique_ptr<UpdateDialog> dialog;
    snapshot = [&] {
        labels << labelText(*dialog);
        return fakeos::counts().processSnapshot <= 2 ? clientsRunning() : os::ProcessSnapshot();
    };
    // The abort markers count only after a failed exit.
    toolScenario("record record.json\nout progress\\n\nerr stopProcessesForUpdates Update aborted!\n"
                 "write app.dat new\ncomponents 2.3.2\n");
    dialog = makeDialog(handoff, QStringLiteral("2.3.2"));

    EXPECT_EQ(runEventLoop(), 0);
    EXPECT_TRUE(boxes.isEmpty());
    EXPECT_EQ(readFile(handoff), "continue");
    EXPECT_EQ(labels, QStringList(3, Waiting));
    EXPECT_EQ(labelText(*dialog), Finished);
    EXPECT_EQ(dialog->findChild<QProgressBar *>()->value(), 1);
    EXPECT_EQ(readFile(installFile("app.dat")), "new");
    EXPECT_EQ(readFile(logPath()), "Repository: " + Repository.toUtf8()
                      + "\nInstallation backup created.\nprogress\nstopProcessesForUpdates Update aborted!");

    const QJsonObject tool = QJsonDocument::fromJson(readFile(installFile("record.json"))).object();
    const QStringList toolArguments = tool.value(QStringLiteral("arguments")).toVariant().toStringList();
    ASSERT_EQ(toolArguments.size(), 8);
    EXPECT_TRUE(QFileInfo(toolArguments[1]).fileName().startsWith(QStringLiteral("Corvatone Updater-")));
    EXPECT_EQ(toolArguments.join(QLatin1Char(' ')),
              QStringLiteral("--cache-path %1 --set-temp-repository %2 --default-answer --accept-licenses "
                             "--confirm-command update")
                      .arg(toolArguments[1], Repository));
    EXPECT_EQ(tool.value(QStringLiteral("workingDirectory")).toString(), install);

    ASSERT_TRUE(waitForStarts(clientPath(), 1));
    EXPECT_EQ(starts(clientPath())[0].value(QStringLiteral("arguments")).toVariant().toStringList(), arguments);
    EXPECT_EQ(starts(clientPath())[0].value(QStringLiteral("workingDirectory")).toString(), install);

    // The lock and the tool's cache directory go with the window.
    EXPECT_EQ(lockFiles().size(), 1);
    dialog.reset();
    EXPECT_TRUE(lockFiles().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(toolArguments[1]));
}

TEST_F(DialogTest, FormerClientNameRestartsTheCurrentClientBesideIt)
{
    const QString former = installFile("PELLINGWOOD.EXE");
    ASSERT_TRUE(QFile::copy(clientPath(), former));
    for (bool currentBeside : {true, false}) {
        if (!currentBeside) {
            ASSERT_TRUE(QFile::remove(clientPath()));
        }
        auto dialog = makeDialog({}, {}, former);
        ASSERT_TRUE(QTest::qWaitFor([&] { return labelText(*dialog) == Finished; }));
        ASSERT_TRUE(waitForStarts(currentBeside ? clientPath() : former, 1));
    }
    EXPECT_EQ(starts(former).size(), 1);
    // Lets the pending quit of the successful runs pass.
    QTest::qWait(600);
}

TEST_F(DialogTest, FailedToolRunsAreRolledBackAndRestartTheClient)
{
    struct Case
    {
        const char *scenario;
        QString expectedVersion;
        QString message;
    } cases[] = {
        {"err stopProcessesForUpdates\\n\nout Update aborted!\\n\nexit 1", {},
         QStringLiteral("Обновление отменено: осталась работающая копия Corvatone. Закройте все окна приложения, "
                        "включая тестовую версию, и повторите обновление.")},
        {"out stopProcessesForUpdates\\n\nout update aborted!\nexit 1", {},
         QStringLiteral("Maintenance tool завершился с кодом 1.")},
        {"components 2.3.1", QStringLiteral("2.3.2"),
         QStringLiteral("Установщик завершился, но версия 2.3.2 не установлена. Проверьте журнал и повторите "
                        "обновление.")},
        {"crash", {}, QStringLiteral("Maintenance tool завершился с кодом ")},
    };

    int run = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.scenario);
        boxes.clear();
        toolScenario(QByteArray("write app.dat changed\ndelete data\nwrite added.dat new\n") + c.scenario);
        auto dialog = makeDialog({}, c.expectedVersion);
        ASSERT_TRUE(waitForBoxes(1));
        const QString text = boxes[0].text;
        if (c.message.endsWith(QLatin1Char(' ')))
            EXPECT_TRUE(text.startsWith(c.message)) << text.toStdString();
        else
            EXPECT_EQ(text, errorText(c.message));
        const QString message = text.left(text.indexOf(QStringLiteral("\n\nЛог: ")));
        EXPECT_TRUE(readFile(logPath()).endsWith("\nUpdate error: " + message.toUtf8() + '\n'));
        EXPECT_EQ(readFile(installFile("app.dat")), "old");
        EXPECT_EQ(readFile(installFile("data/keep.dat")), "kept");
        EXPECT_TRUE(QFileInfo::exists(installFile("added.dat")));
        EXPECT_TRUE(waitForStarts(clientPath(), ++run));
    }
}

TEST_F(DialogTest, LogKeepsAllOutputAndTheTailOnlyItsEnd)
{
    // The markers scroll out of the tail and are no longer seen.
    toolScenario("out stopProcessesForUpdates Update aborted!\\n\nflood 40000 out\nexit 1\n");
    auto dialog = makeDialog();
    ASSERT_TRUE(waitForBoxes(1));
    EXPECT_EQ(boxes[0].text, errorText(QStringLiteral("Maintenance tool завершился с кодом 1.")));

    const QByteArray log = readFile(logPath());
    const QByteArray header = "Repository: " + Repository.toUtf8() + '\n';
    ASSERT_TRUE(log.startsWith(header + "Installation backup created.\nstopProcessesForUpdates"));
    EXPECT_GT(log.size(), 40000);
    EXPECT_EQ(UpdateDialogTestAccess::logTail(*dialog), log.mid(header.size()).right(16384));
}

TEST_F(DialogTest, BackupFailureIsShownAsPlainTextAndTheToolNeverRuns)
{
    const QString name = QStringLiteral("%2 <b>bold</b>.dat");
    writeFile(install + QLatin1Char('/') + name, "x");
    fakeos::hooks().fileAttributes = [](const std::u16string &file) {
        return QString::fromStdU16String(file).endsWith(QStringLiteral("</b>.dat")) ? os::InvalidFileAttributes
                                                                                     : os::posix::fileAttributes(file);
    };
    toolScenario("record record.json\n");
    auto dialog = makeDialog();
    ASSERT_TRUE(waitForBoxes(1));

    EXPECT_EQ(boxes[0].text, errorText(QStringLiteral("Не удалось сохранить резервную копию: ") + name));
    EXPECT_EQ(boxes[0].format, Qt::PlainText);
    EXPECT_FALSE(QFileInfo::exists(installFile("record.json")));
    EXPECT_TRUE(waitForStarts(clientPath(), 1));
}

TEST_F(DialogTest, FailedRollbackKeepsTheBackupAndDoesNotRestart)
{
    // A folder now stands where a saved file must go back.
    toolScenario("delete app.dat\nwrite app.dat/inner x\nexit 1\n");
    auto dialog = makeDialog();
    ASSERT_TRUE(waitForBoxes(1));
    const QString text = boxes[0].text;
    EXPECT_TRUE(text.startsWith(QStringLiteral("Maintenance tool завершился с кодом 1.\n\nНе удалось восстановить "
                                               "app.dat. Резервная копия сохранена: ")))
            << text.toStdString();
    EXPECT_TRUE(text.endsWith(QStringLiteral("\n\nЛог: ") + logPath()));
    QTest::qWait(300);
    EXPECT_FALSE(QFileInfo::exists(clientPath() + QStringLiteral(".starts")));

    dialog.reset();
    const QStringList kept = QDir(tmp).entryList({QStringLiteral("Corvatone-update-backup-*")}, QDir::Dirs);
    ASSERT_EQ(kept.size(), 1);
    EXPECT_EQ(readFile(tmp + QLatin1Char('/') + kept[0] + QStringLiteral("/app.dat")), "old");
}

TEST_F(DialogTest, ToolThatCannotStartIsReportedAfterStartUpdateReturns)
{
    const QString handoff = path("handoff");
    auto dialog = makeDialog(handoff);
    ASSERT_TRUE(QTest::qWaitFor([&] { return readFile(handoff) == "ready"; }));

    // The failure may be raised inside the starting call as well as later.
    QProcess *process = UpdateDialogTestAccess::process(*dialog);
    QObject::connect(process, &QProcess::stateChanged, [process](QProcess::ProcessState state) {
        if (state == QProcess::Starting)
            emit process->errorOccurred(QProcess::FailedToStart);
    });
    ASSERT_TRUE(QFile::remove(toolPath()));
    dialog->startUpdate();
    EXPECT_TRUE(boxes.isEmpty());
    EXPECT_EQ(labelText(*dialog), Running);

    ASSERT_TRUE(waitForBoxes(1));
    QTest::qWait(100);
    EXPECT_EQ(boxes.size(), 1);
    EXPECT_TRUE(boxes[0].text.startsWith(QStringLiteral("Не удалось запустить maintenancetool.exe: ")));
    EXPECT_TRUE(readFile(handoff).startsWith("error\nНе удалось запустить maintenancetool.exe: "));
    EXPECT_TRUE(waitForStarts(clientPath(), 1));
}

TEST_F(DialogTest, WindowDestroyedWhileTheToolRunsStopsIt)
{
    toolScenario("out started\\n\nsleep 20000\nwrite late.dat x\n");
    auto dialog = makeDialog();
    ASSERT_TRUE(QTest::qWaitFor([&] { return readFile(logPath()).endsWith("started\n"); }));
    dialog.reset();
    EXPECT_TRUE(lockFiles().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(installFile("late.dat")));
}

TEST_F(DialogTest, FailedProcessScanEndsTheWaitAtOnce)
{
    snapshot = [] { return os::ProcessSnapshot{{}, 5}; };
    auto dialog = makeDialog();
    ASSERT_TRUE(waitForBoxes(1));
    EXPECT_EQ(boxes[0].text, errorText(QStringLiteral("Не удалось проверить завершение клиента (ошибка Windows 5).")));
    QTest::qWait(400);
    EXPECT_EQ(fakeos::counts().processSnapshot, 1);
}

TEST_F(DialogTest, ClientThatCannotBeStartedIsReported)
{
    // Without execute permission the file cannot be started, not even by root.
    ASSERT_TRUE(QFile::remove(clientPath()));
    writeFile(clientPath(), "not a program");
    toolScenario("exit 1\n");
    {
        auto dialog = makeDialog();
        ASSERT_TRUE(waitForBoxes(1));
        EXPECT_EQ(labelText(*dialog), QStringLiteral("Обновление не выполнено. Не удалось повторно запустить клиент."));
    }

    // After a successful update the program quits all the same, once the warning is closed.
    toolScenario("exit 0\n");
    boxes.clear();
    auto dialog = makeDialog();
    EXPECT_EQ(runEventLoop(), 0);
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_EQ(boxes[0].title, QStringLiteral("Обновление Corvatone"));
    EXPECT_EQ(boxes[0].text, QStringLiteral("Обновление завершено, но приложение не удалось запустить. "
                                            "Запустите Corvatone вручную."));
    EXPECT_EQ(boxes[0].icon, QMessageBox::Warning);
}

TEST_F(DialogTest, ClientThatNeverConfirmsEndsTheRunAfterFifteenSeconds)
{
    const QString handoff = path("handoff");
    QElapsedTimer sinceReady;
    QTimer client;
    QObject::connect(&client, &QTimer::timeout, [&] {
        if (!sinceReady.isValid() && readFile(handoff) == "ready") {
            sinceReady.start();
            writeFile(handoff, "continue\n");
        }
    });
    client.start(5);
    auto dialog = makeDialog(handoff);
    ASSERT_TRUE(waitForBoxes(1, 20000));

    EXPECT_GE(sinceReady.elapsed(), 14900);
    const QString message = QStringLiteral("Клиент не подтвердил начало обновления. Повторите попытку.");
    EXPECT_EQ(boxes[0].text, errorText(message));
    EXPECT_EQ(readFile(handoff), "error\n" + message.toUtf8());
    EXPECT_EQ(fakeos::counts().processSnapshot, 0);
}

TEST_F(DialogTest, ClientThatStaysEndsTheRunAfterThirtySeconds)
{
    snapshot = clientsRunning;
    QElapsedTimer sinceStart;
    sinceStart.start();
    auto dialog = makeDialog();
    QTest::qWait(2500);
    EXPECT_EQ(labelText(*dialog), Waiting);
    QTest::qWait(1000);
    EXPECT_EQ(labelText(*dialog),
              QStringLiteral("Ожидание закрытия Corvatone. Закройте также другие копии приложения."));

    ASSERT_TRUE(waitForBoxes(1, 35000));
    EXPECT_GE(sinceStart.elapsed(), 30000);
    EXPECT_EQ(boxes[0].text, errorText(QStringLiteral("Corvatone ещё запущен. Закройте все его окна, включая "
                                                      "тестовую версию, и повторите обновление. Процессы: 12, 34.")));
    EXPECT_TRUE(readFile(logPath()).contains("\nUpdate not started: running client PIDs: 12, 34\n\nUpdate error: "));
    EXPECT_FALSE(QFileInfo::exists(clientPath() + QStringLiteral(".starts")));
}

} // namespace

int main(int argc, char **argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Corvatone Updater"));
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
