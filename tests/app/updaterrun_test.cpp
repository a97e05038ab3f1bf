// The updater executable as the client and a user meet it: a real window on
// a private display, the stand-in client starting it and answering the
// handshake, and the stand-in maintenance tool changing the installation.
#include "e2esupport.h"

#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

using namespace e2e;

namespace {

const QString WindowTitle = u"Обновление Corvatone"_s;
const QString ErrorTitle = u"Ошибка обновления Corvatone"_s;
const QString Escape = u"Escape"_s;
const QString Return = u"Return"_s;
const QStringList Expecting232 {u"--expected-version"_s, u"2.3.2"_s};

constexpr int RunTimeoutMs = 60000;

class UpdaterRun : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(x.isValid()) << x.diagnostics().toStdString(); }

    // After a failure: the error box is closed with Return, the window stays
    // until Escape closes it, and the program then ends with 0.
    void closeAfterFailure(const Sandbox &sandbox, const QString &tag = {})
    {
        const pid_t pid = sandbox.waitForUpdaterPid(5000, tag);
        const QString box = x.waitForWindow(ErrorTitle, RunTimeoutMs, pid);
        ASSERT_FALSE(box.isEmpty()) << sandbox.updaterOutput(tag).constData();
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

    static void expectSuccess(const Sandbox &sandbox)
    {
        const std::optional<int> code = sandbox.waitForUpdaterExit(RunTimeoutMs);
        ASSERT_TRUE(code.has_value()) << sandbox.updaterOutput().constData();
        EXPECT_EQ(*code, 0) << sandbox.updaterOutput().constData();
    }

    static QByteArray recordTo(const Sandbox &sandbox) { return "record " + sandbox.root().toUtf8() + "/tool.json\n"; }
    static qint64 toolStartedNs(const Sandbox &sandbox) { return sandbox.toolRecord()[u"startedNs"_s].toString().toLongLong(); }
    static QByteArray logHead(const Sandbox &sandbox) { return "Repository: " + sandbox.repository().toUtf8() + '\n'; }

    XSession x;
};

TEST_F(UpdaterRun, SuccessfulUpdateInstallsTheNewVersionAndRestartsTheClient)
{
    Sandbox sandbox(u"CorvatoneE2E-success.exe"_s);
    ASSERT_TRUE(sandbox.isValid());
    ASSERT_TRUE(sandbox.setToolScenario(recordTo(sandbox)
                                        + "out Preparing update...\\n\nerr Downloading 3 packages\\n\n"
                                          "write app/data.txt settings version 2.3.2\\n\ndelete app/plugins\n"
                                          "write app/new-feature.dll feature\ncomponents 2.3.2\nout Update finished.\\n\n"));
    const QStringList kept {u"--profile=work"_s, QString(), u"путь с пробелом"_s};
    QStringList extra = Expecting232;
    for (const QString &argument : kept)
        extra << u"--application-argument"_s << argument;

    // The client stays 1.5 s after its answer, and a test copy of it in another
    // folder 3 s: the tool must wait for both.
    const QString twinFolder = sandbox.root() + u"/test-version"_s;
    const QString twin = twinFolder + u"/CorvatoneE2E-success.exe"_s;
    ASSERT_TRUE(QDir().mkpath(twinFolder) && QFile::copy(QStringLiteral(STANDIN_CLIENT_PATH), twin));
    const qint64 started = realtimeNanoseconds();
    ASSERT_TRUE(QProcess::startDetached(twin, {u"--exit"_s, u"after:3000"_s}, twinFolder));
    ASSERT_TRUE(sandbox.startClient(x, {u"--answer"_s, u"continue"_s, u"--exit"_s, u"after:1500"_s},
                                    sandbox.updaterArguments(extra)));
    expectSuccess(sandbox);
    // The client saw "ready" and answered; a successful run writes nothing more.
    EXPECT_EQ(readFile(sandbox.handoffFile()), QByteArray("continue"));

    const QByteArray log = readFile(sandbox.logPath());
    EXPECT_TRUE(log.startsWith(logHead(sandbox) + "Installation backup created.\n")) << log.constData();
    EXPECT_TRUE(log.contains("Preparing update...\nDownloading 3 packages\n"));
    EXPECT_TRUE(log.contains("Update finished.\n"));
    EXPECT_FALSE(log.contains("Update error"));

    const QJsonObject tool = sandbox.toolRecord();
    const QStringList arguments = toStrings(tool[u"arguments"_s]);
    ASSERT_EQ(arguments.size(), 8) << arguments.join(u' ').toStdString();
    EXPECT_EQ(arguments.join(u' '), u"--cache-path %1 --set-temp-repository %2 --default-answer --accept-licenses "
                                    "--confirm-command update"_s.arg(arguments[1], sandbox.repository()));
    const QFileInfo cache(arguments[1]);
    EXPECT_TRUE(QRegularExpression(u"^Corvatone Updater-.{6}$"_s).match(cache.fileName()).hasMatch())
        << cache.fileName().toStdString();
    EXPECT_EQ(canonical(cache.absolutePath()), canonical(sandbox.temp()));
    EXPECT_EQ(tool[u"workingDirectory"_s].toString(), canonical(sandbox.installation()));
    EXPECT_GE(toolStartedNs(sandbox) - started, 3000000000LL) << "the tool started while a client was still running";

    QMap<QString, QByteArray> expected = sandbox.originalFiles();
    expected.remove(u"app/plugins/imageformats/qjpeg.dll"_s);
    expected[u"app/data.txt"_s] = "settings version 2.3.2\n";
    expected[u"app/new-feature.dll"_s] = "feature";
    const QMap<QString, QByteArray> files = sandbox.currentFiles();
    EXPECT_TRUE(files.value(u"components.xml"_s).contains("<Version>2.3.2</Version>"));
    expected[u"components.xml"_s] = files.value(u"components.xml"_s);
    EXPECT_EQ(files, expected);

    ASSERT_TRUE(sandbox.waitForClientStarts(2, 10000)) << "the client was not started again";
    const QList<QJsonObject> starts = sandbox.clientStarts();
    EXPECT_EQ(starts.size(), 2);
    EXPECT_EQ(toStrings(starts[1][u"arguments"_s]), kept);
    EXPECT_EQ(starts[1][u"workingDirectory"_s].toString(), canonical(sandbox.installation()));
    // The lock, the cache directory and the backup are gone; only the log stays.
    EXPECT_EQ(sandbox.tempEntries(), QStringList {u"Corvatone-update.log"_s});
}

TEST_F(UpdaterRun, FailedUpdateRollsBackTellsTheClientAndWaitsForTheUser)
{
    Sandbox sandbox(u"CorvatoneE2E-failure.exe"_s);
    ASSERT_TRUE(sandbox.isValid());
    const QString stamp = sandbox.root() + u"/tool.stamp"_s;
    ASSERT_TRUE(sandbox.setToolScenario("out Installing components...\\n\nwrite app/data.txt half-written\n"
                                        "delete app/plugins\ndelete README.txt\nwrite app/extra.txt added by the update\n"
                                        "components 2.3.2\nstamp " + stamp.toUtf8() + "\nsleep 2500\n"
                                        "err Error during installation process: disk full\\n\nexit 1\n"));
    ASSERT_TRUE(sandbox.startClient(x, {u"--answer"_s, u"continue"_s},
                                    sandbox.updaterArguments(Expecting232 + QStringList {u"--application-argument"_s,
                                                                                         u"--after-failure"_s})));
    const pid_t pid = sandbox.waitForUpdaterPid(10000);
    ASSERT_GT(pid, 0);

    // While the tool runs the window keeps its size and ignores Escape.
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(stamp); }, RunTimeoutMs));
    const QString window = x.waitForWindow(WindowTitle, 5000, pid);
    ASSERT_FALSE(window.isEmpty());
    EXPECT_EQ(x.windowSize(window), QSize(500, 150));
    for (const QSize &size : {QSize(800, 600), QSize(200, 100)}) {
        // No --sync: it would wait for a change of size that must never come.
        ASSERT_EQ(x.xdotool({u"windowsize"_s, window, QString::number(size.width()), QString::number(size.height())})
                      .exitCode, 0);
        QThread::msleep(300);
        EXPECT_EQ(x.windowSize(window), QSize(500, 150)) << "resized to " << size.width() << "x" << size.height();
    }
    ASSERT_TRUE(x.pressKey(window, Escape));
    QThread::msleep(300);
    EXPECT_TRUE(isRunning(pid));
    EXPECT_FALSE(x.windows(WindowTitle, pid).isEmpty()) << "Escape closed the window during the run";

    ASSERT_FALSE(x.waitForWindow(ErrorTitle, RunTimeoutMs, pid).isEmpty()) << sandbox.updaterOutput().constData();
    const QByteArray message = u"Maintenance tool завершился с кодом 1."_s.toUtf8();
    EXPECT_EQ(readFile(sandbox.handoffFile()), "error\n" + message);
    const QByteArray log = readFile(sandbox.logPath());
    EXPECT_TRUE(log.contains("Error during installation process: disk full\n"));
    EXPECT_TRUE(log.endsWith("\nUpdate error: " + message + "\n")) << log.constData();

    // Everything saved is back; what the update added stays.
    QMap<QString, QByteArray> expected = sandbox.originalFiles();
    expected[u"app/extra.txt"_s] = "added by the update";
    EXPECT_EQ(sandbox.currentFiles(), expected);

    // The client is running again and the lock is free while the message is shown.
    ASSERT_TRUE(sandbox.waitForClientStarts(2, 10000));
    const QJsonObject restarted = sandbox.clientStarts().at(1);
    EXPECT_EQ(toStrings(restarted[u"arguments"_s]), QStringList {u"--after-failure"_s});
    EXPECT_EQ(restarted[u"workingDirectory"_s].toString(), canonical(sandbox.installation()));
    EXPECT_EQ(QDir(sandbox.temp()).entryList({u"*.lock"_s}, QDir::Files | QDir::Hidden), QStringList());
    EXPECT_FALSE(sandbox.waitForUpdaterExit(0).has_value());

    closeAfterFailure(sandbox);
    EXPECT_EQ(sandbox.tempEntries(), QStringList {u"Corvatone-update.log"_s});
}

TEST_F(UpdaterRun, HelpAndMissingRequiredOptions)
{
    Sandbox sandbox(u"CorvatoneE2E-options.exe"_s);
    ASSERT_TRUE(sandbox.isValid());
    const ProgramResult help = runProgram(QStringLiteral(UPDATER_HELPER_PATH), {u"--help"_s}, sandbox.environment(x));
    ASSERT_TRUE(help.finished);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.output.contains("Corvatone automatic update helper")) << help.output.constData();
    EXPECT_TRUE(help.output.contains("--help"));
    qsizetype previous = -1;
    for (const char *option : {"--maintenance-tool <path>", "--repository <url>", "--application <path>",
                               "--working-directory <path>", "--handoff-file <path>", "--application-argument <argument>",
                               "--expected-version <version>", "--shortcut-directory <path>"}) {
        const qsizetype at = help.output.indexOf(option);
        EXPECT_GT(at, previous) << option << " missing or out of order in:\n" << help.output.constData();
        previous = at;
    }

    // Without --working-directory, and with an empty "--repository=".
    QStringList withoutWorkingDirectory = sandbox.updaterArguments();
    withoutWorkingDirectory.remove(6, 2);
    QStringList emptyRepository = sandbox.updaterArguments();
    emptyRepository.replace(2, u"--repository="_s);
    emptyRepository.remove(3);
    const QList<QStringList> runs {withoutWorkingDirectory, emptyRepository};
    for (qsizetype run = 0; run < runs.size(); ++run) {
        const QString tag = QString::number(run);
        ASSERT_TRUE(sandbox.startUpdater(x, runs[run], tag));
        const QString box = x.waitForWindow(WindowTitle, 20000, sandbox.waitForUpdaterPid(10000, tag));
        ASSERT_FALSE(box.isEmpty()) << "no message box, run " << run;
        EXPECT_NE(x.windowSize(box), QSize(500, 150)) << "the update window opened instead of the message";
        ASSERT_TRUE(x.pressKey(box, Return));
        const std::optional<int> code = sandbox.waitForUpdaterExit(10000, tag);
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(*code, 2);
    }
    // Nothing was started or written.
    EXPECT_EQ(sandbox.tempEntries(), QStringList());
    EXPECT_FALSE(QFileInfo::exists(sandbox.handoffFile()));
}

TEST_F(UpdaterRun, RunWaitingForTheClientHoldsTheLockAndEndsAfterFifteenSeconds)
{
    Sandbox sandbox(u"CorvatoneE2E-lock.exe"_s);
    ASSERT_TRUE(sandbox.isValid() && sandbox.setToolScenario(recordTo(sandbox) + "components 2.3.2\n"));
    ASSERT_TRUE(sandbox.startClient(x, {u"--answer"_s, u"never"_s}, sandbox.updaterArguments()));
    ASSERT_TRUE(waitUntil([&] { return readFile(sandbox.handoffFile()) == "ready"; }, 10000));
    const qint64 ready = realtimeNanoseconds();
    const QStringList locks = QDir(sandbox.temp()).entryList({u"*.lock"_s}, QDir::Files);
    ASSERT_EQ(locks.size(), 1);
    EXPECT_TRUE(QRegularExpression(u"^Corvatone-update-[0-9a-f]{64}\\.lock$"_s).match(locks[0]).hasMatch());
    const QByteArray firstLog = readFile(sandbox.logPath());

    // The same installation, spelled differently, is refused at once.
    QStringList second = sandbox.updaterArguments();
    second[3] = u"https://other.example.invalid/repo"_s;
    second[5] = sandbox.installation() + u"/./app/../CorvatoneE2E-lock.exe"_s;
    second[9] = sandbox.root() + u"/handoff-second"_s;
    ASSERT_TRUE(sandbox.startUpdater(x, second, u"-second"_s));
    ASSERT_FALSE(x.waitForWindow(ErrorTitle, 10000, sandbox.waitForUpdaterPid(10000, u"-second"_s)).isEmpty());
    EXPECT_EQ(readFile(second[9]), "error\n" + u"Обновление этой установки уже выполняется."_s.toUtf8());
    EXPECT_EQ(readFile(sandbox.logPath()), firstLog) << "the refused run touched the running one's log";
    closeAfterFailure(sandbox, u"-second"_s);
    EXPECT_EQ(sandbox.clientStarts().size(), 1) << "a refused run must not start the client";

    // Without an answer the first run gives up after 15 s, and neither runs the tool nor restarts the client.
    ASSERT_FALSE(x.waitForWindow(ErrorTitle, 30000, sandbox.waitForUpdaterPid(0)).isEmpty());
    EXPECT_GE(realtimeNanoseconds() - ready, 14000000000LL);
    const QByteArray message = u"Клиент не подтвердил начало обновления. Повторите попытку."_s.toUtf8();
    EXPECT_EQ(readFile(sandbox.handoffFile()), "error\n" + message);
    EXPECT_EQ(readFile(sandbox.logPath()), logHead(sandbox) + "\nUpdate error: " + message + "\n");
    EXPECT_TRUE(sandbox.toolRecord().isEmpty()) << "the tool ran without the client's consent";
    EXPECT_EQ(sandbox.currentFiles(), sandbox.originalFiles());
    closeAfterFailure(sandbox);
    EXPECT_EQ(sandbox.clientStarts().size(), 1) << "the client must not be started a second time";

    // A run that dies without cleaning up leaves its lock file behind; the next run takes it over.
    ASSERT_TRUE(QFile::remove(sandbox.handoffFile()));
    ASSERT_TRUE(sandbox.startUpdater(x, sandbox.updaterArguments(), u"-killed"_s));
    const pid_t killed = sandbox.waitForUpdaterPid(10000, u"-killed"_s);
    ASSERT_TRUE(waitUntil([&] { return readFile(sandbox.handoffFile()) == "ready"; }, 10000));
    ASSERT_EQ(::kill(killed, SIGKILL), 0);
    ASSERT_TRUE(waitUntil([&] { return !isRunning(killed); }, 5000));
    ASSERT_EQ(QDir(sandbox.temp()).entryList({u"*.lock"_s}, QDir::Files), locks);
    QStringList leftovers = sandbox.tempEntries();
    leftovers.removeOne(locks[0]);

    ASSERT_TRUE(QFile::remove(sandbox.handoffFile()) && QFile::remove(sandbox.root() + u"/updater.rc"_s));
    ASSERT_TRUE(sandbox.startClient(x, {}, sandbox.updaterArguments(Expecting232)));
    expectSuccess(sandbox);
    EXPECT_EQ(readFile(sandbox.handoffFile()), QByteArray("continue"));
    EXPECT_TRUE(readFile(sandbox.installation() + u"/components.xml"_s).contains("<Version>2.3.2</Version>"));
    // The taken-over lock is released; only what the killed run could not clean up stays.
    EXPECT_EQ(sandbox.tempEntries(), leftovers);
}

} // namespace
