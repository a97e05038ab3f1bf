#include "dialog/updatedialog.h"

#include "fakeos.h"
#include "os/posix_backend.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLockFile>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>

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
const QString ErrorTitle = QStringLiteral("Ошибка обновления Corvatone");

struct Box
{
    QString title;
    QString text;
    QMessageBox::Icon icon;
    Qt::TextFormat format;
};

// Answers every message box with OK and remembers what it showed.
class BoxAnswerer
{
public:
    BoxAnswerer()
    {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            boxes.append({box->windowTitle(), box->text(), box->icon(), box->textFormat()});
            EXPECT_EQ(box->buttons().size(), 1);
            box->button(QMessageBox::Ok)->click();
        });
        m_timer.start();
    }

    bool waitForBoxes(int count, int timeoutMs = 10000)
    {
        return QTest::qWaitFor([&] { return boxes.size() >= count; }, timeoutMs);
    }

    QList<Box> boxes;

private:
    QTimer m_timer;
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

class DialogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_root.isValid());
        m_savedTmp = qgetenv("TMPDIR");
        m_savedHome = qgetenv("HOME");
        tmp = m_root.filePath(QStringLiteral("tmp"));
        install = m_root.filePath(QStringLiteral("install"));
        QDir().mkpath(tmp);
        QDir().mkpath(install);
        QDir().mkpath(m_root.filePath(QStringLiteral("home")));
        qputenv("TMPDIR", tmp.toUtf8());
        qputenv("HOME", m_root.filePath(QStringLiteral("home")).toUtf8());

        fakeos::reset();
        fakeos::hooks().processSnapshot = [this] { return snapshot ? snapshot() : os::ProcessSnapshot(); };

        ASSERT_TRUE(QFile::copy(QStringLiteral(STANDIN_MAINTENANCETOOL_PATH), toolPath()));
        ASSERT_TRUE(QFile::copy(QStringLiteral(STANDIN_CLIENT_PATH), clientPath()));
        writeFile(installFile("app.dat"), "old");
        writeFile(installFile("data/keep.dat"), "kept");
    }

    void TearDown() override
    {
        fakeos::reset();
        qputenv("TMPDIR", m_savedTmp);
        qputenv("HOME", m_savedHome);
    }

    QString rootPath() const { return m_root.path(); }
    QString installFile(const char *name) const { return install + QLatin1Char('/') + QLatin1String(name); }
    QString toolPath() const { return installFile("maintenancetool.exe"); }
    QString clientPath() const { return installFile("Corvatone.exe"); }
    QString logPath() const { return tmp + QStringLiteral("/Corvatone-update.log"); }
    QString errorText(const QString &message) const { return message + QStringLiteral("\n\nЛог: ") + logPath(); }

    void toolScenario(const QByteArray &lines) { writeFile(toolPath() + QStringLiteral(".scenario"), lines); }

    std::unique_ptr<UpdateDialog> makeDialog(const QString &handoff = {}, const QString &expectedVersion = {},
                                             const QString &client = {})
    {
        auto dialog = std::make_unique<UpdateDialog>(toolPath(), Repository, client.isEmpty() ? clientPath() : client,
                                                     install, handoff, arguments, expectedVersion, QStringList());
        dialog->show();
        return dialog;
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

    QStringList lockFiles() const { return QDir(tmp).entryList({QStringLiteral("*.lock")}, QDir::Files); }

    // The application's event loop, as the program runs it, given up after 20 s.
    static int runEventLoop()
    {
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        guard.start(20000);
        return QApplication::exec();
    }

    static QString labelText(const UpdateDialog &dialog) { return dialog.findChild<QLabel *>()->text(); }

    QString tmp;
    QString install;
    QStringList arguments{QStringLiteral("--profile"), QString(), QStringLiteral("two words")};
    std::function<os::ProcessSnapshot()> snapshot;
    BoxAnswerer answerer;

private:
    QTemporaryDir m_root;
    QByteArray m_savedTmp;
    QByteArray m_savedHome;
};

TEST_F(DialogTest, WindowStaysOpenUntilTheRunHasEnded)
{
    snapshot = clientsRunning;
    auto dialog = makeDialog();

    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Обновление Corvatone"));
    EXPECT_EQ(dialog->minimumSize(), QSize(500, 150));
    EXPECT_EQ(dialog->maximumSize(), QSize(500, 150));
    EXPECT_EQ(labelText(*dialog), QStringLiteral("Выполняется обновление Corvatone. Пожалуйста, подождите..."));
    auto *bar = dialog->findChild<QProgressBar *>();
    EXPECT_EQ(bar->maximum(), 0);
    EXPECT_FALSE(bar->isTextVisible());
    auto *closeButton = dialog->findChild<QPushButton *>();
    EXPECT_TRUE(closeButton->isHidden());
    EXPECT_EQ(dialog->layout()->contentsMargins(), QMargins(24, 22, 24, 20));
    EXPECT_EQ(dialog->layout()->spacing(), 14);

    ASSERT_TRUE(QTest::qWaitFor([&] { return labelText(*dialog) == QStringLiteral("Ожидание закрытия Corvatone..."); }));
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    EXPECT_FALSE(dialog->close());
    EXPECT_TRUE(dialog->isVisible());

    // A crash that reports exit code 0 is still a failure; the running client
    // is not started a second time.
    QProcess *process = UpdateDialogTestAccess::process(*dialog);
    emit process->finished(0, QProcess::CrashExit);
    ASSERT_TRUE(answerer.waitForBoxes(1));
    EXPECT_EQ(answerer.boxes[0].text, errorText(QStringLiteral("Maintenance tool завершился с кодом 0.")));
    EXPECT_EQ(answerer.boxes[0].icon, QMessageBox::Critical);
    EXPECT_FALSE(closeButton->isHidden());
    EXPECT_EQ(bar->maximum(), 1);
    EXPECT_EQ(bar->value(), 0);
    EXPECT_TRUE(lockFiles().isEmpty());

    // Late signals and calls after the end change nothing.
    emit process->finished(1, QProcess::NormalExit);
    dialog->finishWithError(QStringLiteral("again"), true);
    QTest::qWait(100);
    EXPECT_EQ(answerer.boxes.size(), 1);
    EXPECT_FALSE(QFileInfo::exists(clientPath() + QStringLiteral(".starts")));

    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    EXPECT_FALSE(dialog->isVisible());
}

TEST_F(DialogTest, SecondRunOfTheSameInstallationIsRefused)
{
    const QString handoff = rootPath() + QStringLiteral("/handoff");
    writeFile(logPath(), "first run\n");
    // The other run named the client through another spelling of the same path.
    const QString spelled = install + QStringLiteral("/../install/./Corvatone.exe");
    const QByteArray key = QFileInfo(clientPath()).canonicalFilePath().toCaseFolded().toUtf8();
    const QString lockName = QStringLiteral("Corvatone-update-")
            + QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex())
            + QStringLiteral(".lock");
    QLockFile otherRun(QDir(tmp).filePath(lockName));
    ASSERT_TRUE(otherRun.tryLock(0));

    auto dialog = makeDialog(handoff, {}, spelled);
    ASSERT_TRUE(answerer.waitForBoxes(1));

    const QString message = QStringLiteral("Обновление этой установки уже выполняется.");
    EXPECT_EQ(answerer.boxes[0].title, ErrorTitle);
    EXPECT_EQ(answerer.boxes[0].text, errorText(message));
    EXPECT_EQ(readFile(logPath()), "first run\n");
    EXPECT_EQ(readFile(handoff), "error\n" + message.toUtf8());
    EXPECT_EQ(lockFiles(), QStringList{lockName});
}

TEST_F(DialogTest, PreparationFailuresEndTheRunWithoutRestart)
{
    const QString missing = QStringLiteral("Не найдены файлы клиента или программы обновления.");
    struct Case
    {
        QString tool;
        QString client;
        QString handoff;
        bool tmpIsFile;
        QString message;
    } cases[] = {
        {install + QStringLiteral("/none.exe"), clientPath(), {}, false, missing},
        {toolPath(), install + QStringLiteral("/none.exe"), {}, false, missing},
        {toolPath(), clientPath(), rootPath() + QStringLiteral("/no/such/dir/handoff"), false,
         QStringLiteral("Не удалось подготовить передачу управления обновлению.")},
        {toolPath(), clientPath(), {}, true, QStringLiteral("Не удалось создать временный каталог обновления.")},
    };

    for (const Case &c : cases) {
        SCOPED_TRACE(c.message.toStdString());
        writeFile(logPath(), "previous\n");
        answerer.boxes.clear();
        const QString blocker = rootPath() + QStringLiteral("/blocker");
        if (c.tmpIsFile) {
            // The update's temporary directory cannot be made below a file.
            writeFile(blocker, "");
            qputenv("TMPDIR", blocker.toUtf8());
        }
        UpdateDialog dialog(c.tool, Repository, c.client, install, c.handoff, arguments, {}, {});
        qputenv("TMPDIR", tmp.toUtf8());
        dialog.show();
        ASSERT_TRUE(answerer.waitForBoxes(1));
        EXPECT_EQ(answerer.boxes[0].text, errorText(c.message));
        EXPECT_TRUE(lockFiles().isEmpty());
        const QByteArray log = readFile(logPath());
        if (c.handoff.isEmpty())
            EXPECT_EQ(log, "previous\n");
        else
            EXPECT_EQ(log, "Repository: " + Repository.toUtf8() + "\n\nUpdate error: " + c.message.toUtf8() + '\n');
    }
    EXPECT_EQ(fakeos::counts().processSnapshot, 0);
}

TEST_F(DialogTest, SuccessfulRunRestartsTheClientAndQuits)
{
    const QString handoff = rootPath() + QStringLiteral("/handoff");
    // The client answers a while after "ready" and takes two more looks to exit.
    bool sawReady = false;
    QTimer client;
    QObject::connect(&client, &QTimer::timeout, [&] {
        if (!sawReady && readFile(handoff) == "ready") {
            sawReady = true;
            QTimer::singleShot(300, [&] { writeFile(handoff, "continue"); });
        }
    });
    client.start(20);
    QStringList labelsWhileWaiting;
    std::unique_ptr<UpdateDialog> dialog;
    snapshot = [&] {
        labelsWhileWaiting << labelText(*dialog);
        return fakeos::counts().processSnapshot <= 2 ? clientsRunning() : os::ProcessSnapshot();
    };
    // The abort markers count only after a failed exit.
    toolScenario("record record.json\nout progress\\n\nerr stopProcessesForUpdates Update aborted!\n"
                 "write app.dat new\ncomponents 2.3.2\nexit 0\n");
    dialog = makeDialog(handoff, QStringLiteral("2.3.2"));

    EXPECT_EQ(runEventLoop(), 0);

    EXPECT_TRUE(sawReady);
    EXPECT_TRUE(answerer.boxes.isEmpty());
    EXPECT_EQ(readFile(handoff), "continue");
    EXPECT_EQ(labelsWhileWaiting.size(), 3);
    EXPECT_FALSE(labelsWhileWaiting.contains(
            QStringLiteral("Ожидание закрытия Corvatone. Закройте также другие копии приложения.")));
    EXPECT_EQ(labelText(*dialog), QStringLiteral("Обновление завершено. Запуск Corvatone..."));
    EXPECT_EQ(dialog->findChild<QProgressBar *>()->value(), 1);
    EXPECT_EQ(readFile(installFile("app.dat")), "new");

    const QJsonObject tool = QJsonDocument::fromJson(readFile(installFile("record.json"))).object();
    const QStringList toolArguments = tool.value(QStringLiteral("arguments")).toVariant().toStringList();
    ASSERT_EQ(toolArguments.size(), 8);
    EXPECT_TRUE(QFileInfo(toolArguments[1]).fileName().startsWith(QStringLiteral("Corvatone Updater-")));
    EXPECT_EQ(toolArguments, (QStringList{QStringLiteral("--cache-path"), toolArguments[1],
                                          QStringLiteral("--set-temp-repository"), Repository,
                                          QStringLiteral("--default-answer"), QStringLiteral("--accept-licenses"),
                                          QStringLiteral("--confirm-command"), QStringLiteral("update")}));
    EXPECT_EQ(tool.value(QStringLiteral("workingDirectory")).toString(), install);

    ASSERT_TRUE(waitForStarts(clientPath(), 1));
    const QJsonObject start = starts(clientPath()).first();
    EXPECT_EQ(start.value(QStringLiteral("arguments")).toVariant().toStringList(), arguments);
    EXPECT_EQ(start.value(QStringLiteral("workingDirectory")).toString(), install);

    EXPECT_EQ(readFile(logPath()), "Repository: " + Repository.toUtf8()
                      + "\nInstallation backup created.\nprogress\nstopProcessesForUpdates Update aborted!");

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
        ASSERT_TRUE(QTest::qWaitFor(
                [&] { return labelText(*dialog) == QStringLiteral("Обновление завершено. Запуск Corvatone..."); }));
        ASSERT_TRUE(waitForStarts(currentBeside ? clientPath() : former, 1));
    }
    EXPECT_EQ(starts(former).size(), 1);
    EXPECT_TRUE(answerer.boxes.isEmpty());
    // Lets the pending quit of the successful runs pass.
    QTest::qWait(600);
}

TEST_F(DialogTest, FailedToolRunsAreRolledBackAndRestartTheClient)
{
    const QString aborted = QStringLiteral("Обновление отменено: осталась работающая копия Corvatone. Закройте все "
                                           "окна приложения, включая тестовую версию, и повторите обновление.");
    const QString changes = QStringLiteral("write app.dat changed\ndelete data\nwrite added.dat new\n");
    struct Case
    {
        QString scenario;
        QString expectedVersion;
        QString message;
    } cases[] = {
        {QStringLiteral("err stopProcessesForUpdates\\n\nout Update aborted!\\n\nexit 1"), {}, aborted},
        {QStringLiteral("out stopProcessesForUpdates\\n\nout update aborted!\nexit 1"), {},
         QStringLiteral("Maintenance tool завершился с кодом 1.")},
        {QStringLiteral("components 2.3.1\nexit 0"), QStringLiteral("2.3.2"),
         QStringLiteral("Установщик завершился, но версия 2.3.2 не установлена. Проверьте журнал и повторите "
                        "обновление.")},
        {QStringLiteral("crash"), {}, {}},
    };

    int run = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.scenario.toStdString());
        answerer.boxes.clear();
        toolScenario((changes + c.scenario).toUtf8());
        auto dialog = makeDialog({}, c.expectedVersion);
        ASSERT_TRUE(answerer.waitForBoxes(1));
        const QString text = answerer.boxes[0].text;
        if (c.message.isEmpty())
            EXPECT_TRUE(text.startsWith(QStringLiteral("Maintenance tool завершился с кодом "))) << text.toStdString();
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
    ASSERT_TRUE(answerer.waitForBoxes(1));
    EXPECT_EQ(answerer.boxes[0].text, errorText(QStringLiteral("Maintenance tool завершился с кодом 1.")));

    const QByteArray log = readFile(logPath());
    const QByteArray header = "Repository: " + Repository.toUtf8() + '\n';
    ASSERT_TRUE(log.startsWith(header));
    EXPECT_GT(log.size(), 40000);
    EXPECT_TRUE(log.contains("Update aborted!"));
    EXPECT_EQ(UpdateDialogTestAccess::logTail(*dialog), log.mid(header.size()).right(16384));

    // Bytes before the log is opened reach only the tail; small chunks add up
    // to the same tail as one large chunk; an empty chunk changes nothing.
    QByteArray output;
    for (int i = 0; output.size() < 20000; ++i)
        output += QByteArray::number(i) + ' ';
    UpdateDialog whole(toolPath(), Repository, clientPath(), install, {}, {}, {}, {});
    UpdateDialog chunked(toolPath(), Repository, clientPath(), install, {}, {}, {}, {});
    whole.appendLog(output);
    for (qsizetype at = 0; at < output.size(); at += 7)
        chunked.appendLog(output.mid(at, 7));
    chunked.appendLog({});
    emit UpdateDialogTestAccess::process(chunked)->readyRead();
    EXPECT_EQ(UpdateDialogTestAccess::logTail(whole), output.right(16384));
    EXPECT_EQ(UpdateDialogTestAccess::logTail(chunked), output.right(16384));
    EXPECT_EQ(readFile(logPath()), log);
}

TEST_F(DialogTest, BackupFailureIsShownAsPlainTextAndTheToolNeverRuns)
{
    const QString name = QStringLiteral("%2 <b>bold</b>.dat");
    writeFile(install + QLatin1Char('/') + name, "x");
    fakeos::hooks().fileAttributes = [](const std::u16string &path) {
        const QString file = QString::fromStdU16String(path);
        return file.endsWith(QStringLiteral("</b>.dat")) ? os::InvalidFileAttributes
                                                          : os::posix::fileAttributes(path);
    };
    toolScenario("record record.json\n");
    auto dialog = makeDialog();
    ASSERT_TRUE(answerer.waitForBoxes(1));

    EXPECT_EQ(answerer.boxes[0].text, errorText(QStringLiteral("Не удалось сохранить резервную копию: ") + name));
    EXPECT_EQ(answerer.boxes[0].format, Qt::PlainText);
    EXPECT_FALSE(QFileInfo::exists(installFile("record.json")));
    EXPECT_FALSE(readFile(logPath()).contains("Installation backup created."));
    EXPECT_TRUE(waitForStarts(clientPath(), 1));
}

TEST_F(DialogTest, FailedRollbackKeepsTheBackupAndDoesNotRestart)
{
    // A folder now stands where a saved file must go back.
    toolScenario("delete app.dat\nwrite app.dat/inner x\nexit 1\n");
    auto dialog = makeDialog();
    ASSERT_TRUE(answerer.waitForBoxes(1));

    const QString text = answerer.boxes[0].text;
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
    const QString handoff = rootPath() + QStringLiteral("/handoff");
    auto dialog = makeDialog(handoff);
    ASSERT_TRUE(QTest::qWaitFor([&] { return readFile(handoff) == "ready"; }));

    ASSERT_TRUE(QFile::remove(toolPath()));
    dialog->startUpdate();
    EXPECT_TRUE(answerer.boxes.isEmpty());
    EXPECT_EQ(labelText(*dialog), QStringLiteral("Выполняется обновление Corvatone. Пожалуйста, подождите..."));

    ASSERT_TRUE(answerer.waitForBoxes(1));
    const QString text = answerer.boxes[0].text;
    EXPECT_TRUE(text.startsWith(QStringLiteral("Не удалось запустить maintenancetool.exe: "))) << text.toStdString();
    EXPECT_TRUE(readFile(handoff).startsWith("error\nНе удалось запустить maintenancetool.exe: "));
    EXPECT_TRUE(waitForStarts(clientPath(), 1));
}

TEST_F(DialogTest, FailedProcessScanEndsTheWaitAtOnce)
{
    snapshot = [] { return os::ProcessSnapshot{{}, 5}; };
    auto dialog = makeDialog();
    ASSERT_TRUE(answerer.waitForBoxes(1));
    EXPECT_EQ(answerer.boxes[0].text,
              errorText(QStringLiteral("Не удалось проверить завершение клиента (ошибка Windows 5).")));
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
        ASSERT_TRUE(answerer.waitForBoxes(1));
        EXPECT_EQ(labelText(*dialog), QStringLiteral("Обновление не выполнено. Не удалось повторно запустить клиент."));
    }

    toolScenario("exit 0\n");
    answerer.boxes.clear();
    auto dialog = makeDialog();
    QElapsedTimer sinceWarning;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!answerer.boxes.isEmpty() && !sinceWarning.isValid())
            sinceWarning.start();
    });
    watch.start(5);
    EXPECT_EQ(runEventLoop(), 0);
    ASSERT_EQ(answerer.boxes.size(), 1);
    EXPECT_EQ(answerer.boxes[0].title, QStringLiteral("Обновление Corvatone"));
    EXPECT_EQ(answerer.boxes[0].text, QStringLiteral("Обновление завершено, но приложение не удалось запустить. "
                                                     "Запустите Corvatone вручную."));
    EXPECT_EQ(answerer.boxes[0].icon, QMessageBox::Warning);
    EXPECT_GE(sinceWarning.elapsed(), 450);
}

TEST_F(DialogTest, ClientThatNeverConfirmsEndsTheRunAfterFifteenSeconds)
{
    const QString handoff = rootPath() + QStringLiteral("/handoff");
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
    ASSERT_TRUE(answerer.waitForBoxes(1, 20000));

    EXPECT_GE(sinceReady.elapsed(), 14900);
    const QString message = QStringLiteral("Клиент не подтвердил начало обновления. Повторите попытку.");
    EXPECT_EQ(answerer.boxes[0].text, errorText(message));
    EXPECT_EQ(readFile(handoff), "error\n" + message.toUtf8());
    EXPECT_EQ(fakeos::counts().processSnapshot, 0);
}

TEST_F(DialogTest, ClientThatStaysEndsTheRunAfterThirtySeconds)
{
    snapshot = clientsRunning;
    QElapsedTimer sinceStart;
    sinceStart.start();
    auto dialog = makeDialog();
    const QString hint = QStringLiteral("Ожидание закрытия Corvatone. Закройте также другие копии приложения.");
    QTest::qWait(2500);
    EXPECT_EQ(labelText(*dialog), QStringLiteral("Ожидание закрытия Corvatone..."));
    QTest::qWait(1000);
    EXPECT_EQ(labelText(*dialog), hint);

    ASSERT_TRUE(answerer.waitForBoxes(1, 35000));
    EXPECT_GE(sinceStart.elapsed(), 30000);
    EXPECT_EQ(answerer.boxes[0].text,
              errorText(QStringLiteral("Corvatone ещё запущен. Закройте все его окна, включая тестовую версию, и "
                                       "повторите обновление. Процессы: 12, 34.")));
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
