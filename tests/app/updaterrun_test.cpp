// The updater executable as the client and a user meet it: a real window on
// a private display, the stand-in client starting it and answering the
// handshake, and the stand-in maintenance tool changing the installation.
#include "e2esupport.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

using namespace e2e;

namespace {

const QString WindowTitle = QStringLiteral("Обновление Corvatone");
const QString ErrorTitle = QStringLiteral("Ошибка обновления Corvatone");
const QString Escape = QStringLiteral("Escape");
const QString Return = QStringLiteral("Return");

constexpr int RunTimeoutMs = 60000;

QStringList toStrings(const QJsonValue &value)
{
    QStringList list;
    for (const QJsonValue &v : value.toArray())
        list.append(v.toString());
    return list;
}

QByteArray utf8(const QString &text)
{
    return text.toUtf8();
}

class UpdaterRun : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(x.isValid()) << x.diagnostics().toStdString(); }

    // After a failure: the error box is closed with Return, the window stays
    // until Escape closes it, and the program then ends with 0.
    void closeAfterFailure(const Sandbox &sandbox, const QString &tag = QString())
    {
        const pid_t pid = sandbox.waitForUpdaterPid(5000, tag);
        const QString box = x.waitForWindow(ErrorTitle, 5000, pid);
        ASSERT_FALSE(box.isEmpty());
        ASSERT_TRUE(x.pressKey(box, Return));
        ASSERT_TRUE(waitUntil([&] { return x.windows(ErrorTitle, pid).isEmpty(); }, 10000));
        QThread::msleep(300);
        ASSERT_TRUE(isRunning(pid)) << "the window must stay open once the message is read";
        const QString window = x.waitForWindow(WindowTitle, 5000, pid);
        ASSERT_FALSE(window.isEmpty());
        ASSERT_TRUE(x.pressKey(window, Escape));
        const std::optional<int> code = sandbox.waitForUpdaterExit(10000, tag);
        ASSERT_TRUE(code.has_value()) << "Escape does not close the window after a failure";
        EXPECT_EQ(*code, 0);
    }

    QString recordTo(const Sandbox &sandbox) const { return QStringLiteral("record ") + sandbox.root() + QStringLiteral("/tool.json\n"); }
    QString stampTo(const Sandbox &sandbox) const { return QStringLiteral("stamp ") + sandbox.root() + QStringLiteral("/tool.stamp\n"); }

    XSession x;
};

TEST_F(UpdaterRun, SuccessfulUpdateInstallsTheNewVersionAndRestartsTheClient)
{
    Sandbox sandbox(QStringLiteral("CorvatoneE2E-success.exe"));
    ASSERT_TRUE(sandbox.isValid());
    sandbox.setToolScenario(utf8(recordTo(sandbox))
                            + "out Preparing update...\\n\n"
                              "err Downloading 3 packages\\n\n"
                              "write app/data.txt settings version 2.3.2\\n\n"
                              "delete app/plugins\n"
                              "write app/new-feature.dll feature\n"
                              "components 2.3.2\n"
                              "out Update finished.\\n\n");
    const QStringList kept {QStringLiteral("--profile=work"), QString(), QStringLiteral("путь с пробелом")};
    QStringList extra {QStringLiteral("--expected-version"), QStringLiteral("2.3.2")};
    for (const QString &argument : kept)
        extra << QStringLiteral("--application-argument") << argument;

    const qint64 clientStarted = realtimeNanoseconds();
    ASSERT_TRUE(sandbox.startClient(x, {QStringLiteral("--answer"), QStringLiteral("continue"),
                                        QStringLiteral("--exit"), QStringLiteral("after:1500")},
                                    sandbox.updaterArguments(extra)));
    const std::optional<int> code = sandbox.waitForUpdaterExit(RunTimeoutMs);
    ASSERT_TRUE(code.has_value()) << sandbox.updaterOutput().constData();
    EXPECT_EQ(*code, 0) << sandbox.updaterOutput().constData();

    // The client saw "ready" and answered; a successful run writes nothing more.
    EXPECT_EQ(readFile(sandbox.handoffFile()), QByteArray("continue"));

    const QByteArray log = readFile(sandbox.logPath());
    EXPECT_TRUE(log.startsWith(utf8(QStringLiteral("Repository: ") + sandbox.repository() + QLatin1Char('\n')))) << log.constData();
    EXPECT_TRUE(log.contains("Installation backup created.\n"));
    EXPECT_TRUE(log.contains("Preparing update...\nDownloading 3 packages\n"));
    EXPECT_TRUE(log.contains("Update finished.\n"));
    EXPECT_FALSE(log.contains("Update error"));

    const QJsonObject tool = sandbox.toolRecord();
    const QStringList arguments = toStrings(tool.value(QStringLiteral("arguments")));
    ASSERT_EQ(arguments.size(), 8) << arguments.join(QLatin1Char(' ')).toStdString();
    EXPECT_EQ(arguments.at(0), QStringLiteral("--cache-path"));
    const QFileInfo cache(arguments.at(1));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^Corvatone Updater-.{6}$")).match(cache.fileName()).hasMatch())
        << cache.fileName().toStdString();
    EXPECT_EQ(canonical(cache.absolutePath()), canonical(sandbox.temp()));
    EXPECT_EQ(arguments.mid(2), (QStringList {QStringLiteral("--set-temp-repository"), sandbox.repository(),
                                              QStringLiteral("--default-answer"), QStringLiteral("--accept-licenses"),
                                              QStringLiteral("--confirm-command"), QStringLiteral("update")}));
    EXPECT_EQ(tool.value(QStringLiteral("workingDirectory")).toString(), canonical(sandbox.installation()));
    // The client kept running for 1.5 s after its answer; the tool must not start before it is gone.
    EXPECT_GE(tool.value(QStringLiteral("startedNs")).toString().toLongLong() - clientStarted, 1500000000LL);

    QMap<QString, QByteArray> expected = sandbox.originalFiles();
    expected.remove(QStringLiteral("app/plugins/imageformats/qjpeg.dll"));
    expected[QStringLiteral("app/data.txt")] = "settings version 2.3.2\n";
    expected[QStringLiteral("app/new-feature.dll")] = "feature";
    const QMap<QString, QByteArray> files = sandbox.currentFiles();
    EXPECT_TRUE(files.value(QStringLiteral("components.xml")).contains("<Version>2.3.2</Version>"));
    expected[QStringLiteral("components.xml")] = files.value(QStringLiteral("components.xml"));
    EXPECT_EQ(files, expected);

    ASSERT_TRUE(sandbox.waitForClientStarts(2, 10000)) << "the client was not started again";
    const QList<QJsonObject> starts = sandbox.clientStarts();
    EXPECT_EQ(starts.size(), 2);
    EXPECT_EQ(toStrings(starts.at(1).value(QStringLiteral("arguments"))), kept);
    EXPECT_EQ(starts.at(1).value(QStringLiteral("workingDirectory")).toString(), canonical(sandbox.installation()));

    // The lock, the cache directory and the backup are gone; only the log stays.
    EXPECT_EQ(sandbox.tempEntries(), QStringList {QStringLiteral("Corvatone-update.log")});
}

TEST_F(UpdaterRun, FailedUpdateRollsBackTellsTheClientAndWaitsForTheUser)
{
    Sandbox sandbox(QStringLiteral("CorvatoneE2E-failure.exe"));
    ASSERT_TRUE(sandbox.isValid());
    sandbox.setToolScenario(utf8(recordTo(sandbox))
                            + "out Installing components...\\n\n"
                              "write app/data.txt half-written\n"
                              "delete app/plugins\n"
                              "delete README.txt\n"
                              "write app/extra.txt added by the update\n"
                              "components 2.3.2\n"
                            + utf8(stampTo(sandbox))
                            + "sleep 1500\n"
                              "err Error during installation process: disk full\\n\n"
                              "exit 1\n");
    ASSERT_TRUE(sandbox.startClient(x, {QStringLiteral("--answer"), QStringLiteral("continue")},
                                    sandbox.updaterArguments({QStringLiteral("--expected-version"), QStringLiteral("2.3.2"),
                                                              QStringLiteral("--application-argument"), QStringLiteral("--after-failure")})));
    const pid_t pid = sandbox.waitForUpdaterPid(10000);
    ASSERT_GT(pid, 0);

    // While the tool runs the window ignores Escape.
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(sandbox.root() + QStringLiteral("/tool.stamp")); }, RunTimeoutMs));
    const QString window = x.waitForWindow(WindowTitle, 5000, pid);
    ASSERT_FALSE(window.isEmpty());
    ASSERT_TRUE(x.pressKey(window, Escape));
    QThread::msleep(300);
    EXPECT_TRUE(isRunning(pid));
    EXPECT_FALSE(x.windows(WindowTitle, pid).isEmpty());

    ASSERT_FALSE(x.waitForWindow(ErrorTitle, RunTimeoutMs, pid).isEmpty()) << sandbox.updaterOutput().constData();
    const QString message = QStringLiteral("Maintenance tool завершился с кодом 1.");
    EXPECT_EQ(readFile(sandbox.handoffFile()), "error\n" + utf8(message));

    const QByteArray log = readFile(sandbox.logPath());
    EXPECT_TRUE(log.contains("Error during installation process: disk full\n"));
    EXPECT_TRUE(log.endsWith("\nUpdate error: " + utf8(message) + "\n")) << log.constData();

    // Everything saved is back; what the update added stays.
    QMap<QString, QByteArray> expected = sandbox.originalFiles();
    expected[QStringLiteral("app/extra.txt")] = "added by the update";
    EXPECT_EQ(sandbox.currentFiles(), expected);

    // The client is running again and the lock is free while the message is shown.
    ASSERT_TRUE(sandbox.waitForClientStarts(2, 10000));
    const QList<QJsonObject> starts = sandbox.clientStarts();
    EXPECT_EQ(toStrings(starts.at(1).value(QStringLiteral("arguments"))), QStringList {QStringLiteral("--after-failure")});
    EXPECT_EQ(starts.at(1).value(QStringLiteral("workingDirectory")).toString(), canonical(sandbox.installation()));
    EXPECT_TRUE(QDir(sandbox.temp()).entryList({QStringLiteral("*.lock")}, QDir::Files | QDir::Hidden).isEmpty());
    EXPECT_FALSE(sandbox.waitForUpdaterExit(0).has_value());

    closeAfterFailure(sandbox);
    EXPECT_EQ(sandbox.tempEntries(), QStringList {QStringLiteral("Corvatone-update.log")});
}

TEST_F(UpdaterRun, WindowHasFixedSizeAndIgnoresEscapeDuringTheRun)
{
    Sandbox sandbox(QStringLiteral("CorvatoneE2E-window.exe"));
    ASSERT_TRUE(sandbox.isValid());
    sandbox.setToolScenario(utf8(stampTo(sandbox)) + "sleep 3000\ncomponents 2.3.2\n");
    ASSERT_TRUE(sandbox.startClient(x, {}, sandbox.updaterArguments({QStringLiteral("--expected-version"), QStringLiteral("2.3.2")})));
    const pid_t pid = sandbox.waitForUpdaterPid(10000);
    ASSERT_GT(pid, 0);
    const QString window = x.waitForWindow(WindowTitle, 20000, pid);
    ASSERT_FALSE(window.isEmpty());
    EXPECT_EQ(x.windowSize(window), QSize(500, 150));

    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(sandbox.root() + QStringLiteral("/tool.stamp")); }, RunTimeoutMs));
    for (const QSize &size : {QSize(800, 600), QSize(200, 100)}) {
        // No --sync: it would wait for a change of size that must never come.
        ASSERT_EQ(x.xdotool({QStringLiteral("windowsize"), window, QString::number(size.width()),
                             QString::number(size.height())}).exitCode, 0);
        QThread::msleep(300);
        EXPECT_EQ(x.windowSize(window), QSize(500, 150)) << "resized to " << size.width() << "x" << size.height();
    }
    ASSERT_TRUE(x.pressKey(window, Escape));
    QThread::msleep(300);
    EXPECT_FALSE(x.windows(WindowTitle, pid).isEmpty()) << "Escape closed the window during the run";

    const std::optional<int> code = sandbox.waitForUpdaterExit(RunTimeoutMs);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0);
    EXPECT_TRUE(readFile(sandbox.installation() + QStringLiteral("/components.xml")).contains("<Version>2.3.2</Version>"));
}

TEST_F(UpdaterRun, MissingRequiredOptionsAreRefusedWithAMessage)
{
    Sandbox sandbox(QStringLiteral("CorvatoneE2E-options.exe"));
    ASSERT_TRUE(sandbox.isValid());
    const QStringList withoutWorkingDirectory {QStringLiteral("--maintenance-tool"), sandbox.toolPath(),
                                               QStringLiteral("--repository"), sandbox.repository(),
                                               QStringLiteral("--application"), sandbox.clientPath(),
                                               QStringLiteral("--handoff-file"), sandbox.handoffFile()};
    const QStringList emptyRepository {QStringLiteral("--maintenance-tool"), sandbox.toolPath(),
                                       QStringLiteral("--repository="),
                                       QStringLiteral("--application"), sandbox.clientPath(),
                                       QStringLiteral("--working-directory"), sandbox.installation(),
                                       QStringLiteral("--handoff-file"), sandbox.handoffFile()};
    int run = 0;
    for (const QStringList &arguments : {withoutWorkingDirectory, emptyRepository}) {
        const QString tag = QString::number(++run);
        ASSERT_TRUE(sandbox.startUpdater(x, arguments, tag));
        const pid_t pid = sandbox.waitForUpdaterPid(10000, tag);
        const QString box = x.waitForWindow(WindowTitle, 20000, pid);
        ASSERT_FALSE(box.isEmpty()) << "no message box, run " << run;
        EXPECT_NE(x.windowSize(box), QSize(500, 150)) << "the update window opened instead of the message";
        ASSERT_TRUE(x.pressKey(box, Return));
        const std::optional<int> code = sandbox.waitForUpdaterExit(10000, tag);
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(*code, 2);
    }
    // Nothing was started or written.
    EXPECT_TRUE(sandbox.tempEntries().isEmpty()) << sandbox.tempEntries().join(QLatin1Char(' ')).toStdString();
    EXPECT_FALSE(QFileInfo::exists(sandbox.handoffFile()));
}

TEST_F(UpdaterRun, HelpListsTheOptions)
{
    Sandbox sandbox(QStringLiteral("CorvatoneE2E-help.exe"));
    ASSERT_TRUE(sandbox.isValid());
    const ProgramResult result = runProgram(QStringLiteral(UPDATER_HELPER_PATH), {QStringLiteral("--help")},
                                            sandbox.environment(x));
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 0);
    const QByteArray &help = result.output;
    EXPECT_TRUE(help.contains("Corvatone automatic update helper")) << help.constData();
    qsizetype previous = -1;
    for (const char *option : {"--maintenance-tool <path>", "--repository <url>", "--application <path>",
                               "--working-directory <path>", "--handoff-file <path>",
                               "--application-argument <argument>", "--expected-version <version>",
                               "--shortcut-directory <path>"}) {
        const qsizetype at = help.indexOf(option);
        EXPECT_GT(at, previous) << option << " missing or out of order in:\n" << help.constData();
        previous = at;
    }
    EXPECT_TRUE(help.contains("--help"));
    EXPECT_TRUE(sandbox.tempEntries().isEmpty());
}

TEST_F(UpdaterRun, SecondRunIsRefusedWhileTheFirstHoldsTheLockAndAKilledRunsLockIsTakenOver)
{
    Sandbox sandbox(QStringLiteral("CorvatoneE2E-lock.exe"));
    ASSERT_TRUE(sandbox.isValid());
    sandbox.setToolScenario("components 2.3.2\n");

    // A run whose client never answers holds the lock for up to 15 seconds.
    ASSERT_TRUE(sandbox.startUpdater(x, sandbox.updaterArguments(), QStringLiteral("-first")));
    const pid_t first = sandbox.waitForUpdaterPid(10000, QStringLiteral("-first"));
    ASSERT_TRUE(waitUntil([&] { return readFile(sandbox.handoffFile()) == "ready"; }, 10000));
    const QStringList locks = QDir(sandbox.temp()).entryList({QStringLiteral("Corvatone-update-*.lock")}, QDir::Files);
    ASSERT_EQ(locks.size(), 1);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^Corvatone-update-[0-9a-f]{64}\\.lock$")).match(locks.at(0)).hasMatch());
    const QByteArray firstLog = readFile(sandbox.logPath());

    // The same installation, spelled differently, is refused at once.
    const QString secondHandoff = sandbox.root() + QStringLiteral("/handoff-second");
    ASSERT_TRUE(sandbox.startUpdater(x,
                                     {QStringLiteral("--maintenance-tool"), sandbox.toolPath(),
                                      QStringLiteral("--repository"), QStringLiteral("https://other.example.invalid/repo"),
                                      QStringLiteral("--application"), sandbox.installation() + QStringLiteral("/./app/../CorvatoneE2E-lock.exe"),
                                      QStringLiteral("--working-directory"), sandbox.installation(),
                                      QStringLiteral("--handoff-file"), secondHandoff},
                                     QStringLiteral("-second")));
    const pid_t second = sandbox.waitForUpdaterPid(10000, QStringLiteral("-second"));
    ASSERT_FALSE(x.waitForWindow(ErrorTitle, 10000, second).isEmpty());
    EXPECT_EQ(readFile(secondHandoff), "error\n" + utf8(QStringLiteral("Обновление этой установки уже выполняется.")));
    EXPECT_EQ(readFile(sandbox.logPath()), firstLog) << "the refused run touched the running one's log";
    closeAfterFailure(sandbox, QStringLiteral("-second"));
    EXPECT_TRUE(sandbox.clientStarts().isEmpty()) << "a refused run must not start the client";

    // The first run dies without cleaning up; its lock file stays behind.
    ASSERT_TRUE(isRunning(first));
    ASSERT_EQ(::kill(first, SIGKILL), 0);
    ASSERT_TRUE(waitUntil([&] { return !isRunning(first); }, 5000));
    ASSERT_EQ(QDir(sandbox.temp()).entryList({QStringLiteral("*.lock")}, QDir::Files), locks);
    QStringList leftovers = sandbox.tempEntries();
    leftovers.removeOne(locks.at(0));

    ASSERT_TRUE(QFile::remove(sandbox.handoffFile()));
    ASSERT_TRUE(sandbox.startClient(x, {}, sandbox.updaterArguments({QStringLiteral("--expected-version"), QStringLiteral("2.3.2")})));
    const std::optional<int> code = sandbox.waitForUpdaterExit(RunTimeoutMs);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0) << readFile(sandbox.logPath()).constData();
    EXPECT_EQ(readFile(sandbox.handoffFile()), QByteArray("continue"));
    EXPECT_TRUE(readFile(sandbox.installation() + QStringLiteral("/components.xml")).contains("<Version>2.3.2</Version>"));
    // The taken-over lock is released; only what the killed run could not clean up stays.
    EXPECT_EQ(sandbox.tempEntries(), leftovers);
}

TEST_F(UpdaterRun, CrashedToolIsRolledBack)
{
    Sandbox sandbox(QStringLiteral("CorvatoneE2E-crash.exe"));
    ASSERT_TRUE(sandbox.isValid());
    sandbox.setToolScenario("write app/corvatone-core.dll truncated\n"
                            "delete translations\n"
                            "out Extracting corvatone-core.dll\\n\n"
                            "crash\n");
    ASSERT_TRUE(sandbox.startClient(x, {}, sandbox.updaterArguments({QStringLiteral("--expected-version"), QStringLiteral("2.3.2")})));
    const pid_t pid = sandbox.waitForUpdaterPid(10000);
    ASSERT_FALSE(x.waitForWindow(ErrorTitle, RunTimeoutMs, pid).isEmpty());

    const QByteArray handoff = readFile(sandbox.handoffFile());
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^error\\nMaintenance tool завершился с кодом -?\\d+\\.$"))
                    .match(QString::fromUtf8(handoff)).hasMatch())
        << handoff.constData();
    EXPECT_TRUE(readFile(sandbox.logPath()).contains("Extracting corvatone-core.dll\n"));
    EXPECT_EQ(sandbox.currentFiles(), sandbox.originalFiles());
    EXPECT_TRUE(sandbox.waitForClientStarts(2, 10000));
    closeAfterFailure(sandbox);
}

TEST_F(UpdaterRun, LargeOutputIsLoggedWholeAndAbortMarkersAtItsEndAreRecognised)
{
    Sandbox sandbox(QStringLiteral("CorvatoneE2E-output.exe"));
    ASSERT_TRUE(sandbox.isValid());
    constexpr qint64 Flood = 20 * 1000 * 1000;
    sandbox.setToolScenario("flood 20000000 out\n"
                            "err Running processes found: stopProcessesForUpdates\\n\n"
                            "flood 4000 err\n"
                            "out Update aborted!\\n\n"
                            "exit 1\n");
    ASSERT_TRUE(sandbox.startClient(x, {}, sandbox.updaterArguments()));
    const pid_t pid = sandbox.waitForUpdaterPid(10000);
    ASSERT_FALSE(x.waitForWindow(ErrorTitle, RunTimeoutMs, pid).isEmpty());

    const QString message = QStringLiteral("Обновление отменено: осталась работающая копия Corvatone. Закройте все окна "
                                           "приложения, включая тестовую версию, и повторите обновление.");
    EXPECT_EQ(readFile(sandbox.handoffFile()), "error\n" + utf8(message));
    const QByteArray log = readFile(sandbox.logPath());
    const QByteArray head = utf8(QStringLiteral("Repository: ") + sandbox.repository()) + "\nInstallation backup created.\n";
    const QByteArray tail = "Running processes found: stopProcessesForUpdates\n";
    const QByteArray end = "Update aborted!\n\nUpdate error: " + utf8(message) + "\n";
    EXPECT_EQ(log.size(), head.size() + Flood + tail.size() + 4000 + end.size());
    EXPECT_TRUE(log.startsWith(head));
    EXPECT_EQ(log.mid(head.size() + Flood, tail.size()), tail);
    EXPECT_TRUE(log.endsWith(end));
    EXPECT_TRUE(sandbox.waitForClientStarts(2, 10000));
    closeAfterFailure(sandbox);
}

TEST_F(UpdaterRun, WrongVersionAfterASuccessfulToolIsRolledBack)
{
    Sandbox sandbox(QStringLiteral("CorvatoneE2E-version.exe"));
    ASSERT_TRUE(sandbox.isValid());
    sandbox.setToolScenario("write app/data.txt settings version 2.3.2-rc1\\n\n"
                            "components 2.3.2-rc1\n");
    ASSERT_TRUE(sandbox.startClient(x, {}, sandbox.updaterArguments({QStringLiteral("--expected-version"), QStringLiteral("2.3.2")})));
    const pid_t pid = sandbox.waitForUpdaterPid(10000);
    ASSERT_FALSE(x.waitForWindow(ErrorTitle, RunTimeoutMs, pid).isEmpty());
    EXPECT_EQ(readFile(sandbox.handoffFile()),
              "error\n" + utf8(QStringLiteral("Установщик завершился, но версия 2.3.2 не установлена. Проверьте журнал и повторите обновление.")));
    EXPECT_EQ(sandbox.currentFiles(), sandbox.originalFiles());
    EXPECT_TRUE(sandbox.waitForClientStarts(2, 10000));
    closeAfterFailure(sandbox);
}

TEST_F(UpdaterRun, ClientOfTheSameNameElsewhereDelaysTheUpdate)
{
    Sandbox sandbox(QStringLiteral("CorvatoneE2E-twin.exe"));
    ASSERT_TRUE(sandbox.isValid());
    sandbox.setToolScenario(utf8(recordTo(sandbox)) + "components 2.3.2\n");

    // A test copy of the client, from another folder, that runs for four more seconds.
    const QString twinFolder = sandbox.root() + QStringLiteral("/test-version");
    ASSERT_TRUE(QDir().mkpath(twinFolder));
    const QString twin = twinFolder + QStringLiteral("/CorvatoneE2E-twin.exe");
    ASSERT_TRUE(QFile::copy(QStringLiteral(STANDIN_CLIENT_PATH), twin));
    const qint64 twinStarted = realtimeNanoseconds();
    qint64 twinPid = 0;
    ASSERT_TRUE(QProcess::startDetached(twin, {QStringLiteral("--exit"), QStringLiteral("after:4000")}, twinFolder, &twinPid));

    ASSERT_TRUE(sandbox.startClient(x, {}, sandbox.updaterArguments({QStringLiteral("--expected-version"), QStringLiteral("2.3.2")})));
    const std::optional<int> code = sandbox.waitForUpdaterExit(RunTimeoutMs);
    if (isRunning(pid_t(twinPid)))
        ::kill(pid_t(twinPid), SIGKILL);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0);
    EXPECT_GE(sandbox.toolRecord().value(QStringLiteral("startedNs")).toString().toLongLong() - twinStarted, 4000000000LL)
        << "the tool started while a copy of the client was still running";
}

TEST_F(UpdaterRun, ClientThatNeverAnswersEndsTheRunAfterFifteenSeconds)
{
    Sandbox sandbox(QStringLiteral("CorvatoneE2E-silent.exe"));
    ASSERT_TRUE(sandbox.isValid());
    sandbox.setToolScenario(utf8(recordTo(sandbox)) + "components 2.3.2\n");
    ASSERT_TRUE(sandbox.startClient(x, {QStringLiteral("--answer"), QStringLiteral("never")}, sandbox.updaterArguments()));
    const pid_t pid = sandbox.waitForUpdaterPid(10000);
    ASSERT_TRUE(waitUntil([&] { return readFile(sandbox.handoffFile()) == "ready"; }, 10000));
    const qint64 ready = realtimeNanoseconds();
    ASSERT_FALSE(x.waitForWindow(ErrorTitle, 30000, pid).isEmpty());
    EXPECT_GE(realtimeNanoseconds() - ready, 14000000000LL);

    const QString message = QStringLiteral("Клиент не подтвердил начало обновления. Повторите попытку.");
    EXPECT_EQ(readFile(sandbox.handoffFile()), "error\n" + utf8(message));
    EXPECT_EQ(readFile(sandbox.logPath()),
              utf8(QStringLiteral("Repository: ") + sandbox.repository()) + "\n\nUpdate error: " + utf8(message) + "\n");
    EXPECT_TRUE(sandbox.toolRecord().isEmpty()) << "the tool ran without the client's consent";
    EXPECT_EQ(sandbox.currentFiles(), sandbox.originalFiles());
    QThread::msleep(300);
    EXPECT_EQ(sandbox.clientStarts().size(), 1) << "the client must not be started a second time";
    closeAfterFailure(sandbox);
}

} // namespace
