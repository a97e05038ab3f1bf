// The updater executable as a user and the client meet it: a real window on a
// private display with a window manager, a throw-away installation with the
// stand-in client and maintenance tool, and the handshake answered as the
// client answers it.
#include "testsupport.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QImage>
#include <QLockFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSize>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <memory>

using namespace Qt::StringLiterals;
using testsupport::readFile;

inline void PrintTo(const QSize &size, std::ostream *out) { *out << size.width() << 'x' << size.height(); }

namespace {

const QString WindowTitle = u"Обновление Corvatone"_s;
const QString ErrorTitle = u"Ошибка обновления Corvatone"_s;
constexpr int RunTimeoutMs = 60000;

bool waitUntil(const std::function<bool()> &condition, int timeoutMs = RunTimeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QThread::msleep(20);
    }
    return true;
}

// A program's standard output once it has ended, or nothing.
std::optional<QByteArray> run(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForFinished(20000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return std::nullopt;
    return process.readAllStandardOutput();
}

// A virtual X server with a window manager, private to one test.
class XSession
{
public:
    XSession()
    {
        for (int attempt = 0; attempt < 3 && !isValid(); ++attempt)
            start();
    }

    bool isValid() const { return m_ready; }
    QString diagnostics() const { return QString::fromLocal8Bit(readFile(m_home.filePath(u"x.log"_s))); }
    QProcessEnvironment environment() const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"DISPLAY"_s, m_display);
        environment.insert(u"HOME"_s, m_home.path());
        return environment;
    }

    // The first visible window of the process whose title is exactly this
    // text, once there; empty when none came within the time.
    QString window(const QString &title, qint64 pid, int timeoutMs = RunTimeoutMs) const
    {
        const QStringList search{u"search"_s, u"--all"_s, u"--onlyvisible"_s, u"--pid"_s, QString::number(pid),
                                 u"--name"_s, u'^' + QRegularExpression::escape(title) + u'$'};
        QString found;
        (void)waitUntil([&] { return !(found = QString::fromUtf8(xdotool(search).value_or(QByteArray())).section(u'\n', 0, 0)).isEmpty(); }, timeoutMs);
        return found;
    }
    QSize windowSize(const QString &window) const
    {
        const QString shell = QString::fromLatin1(xdotool({u"getwindowgeometry"_s, u"--shell"_s, window}).value_or(QByteArray()));
        const QRegularExpressionMatch m = QRegularExpression(u"WIDTH=(\\d+)\nHEIGHT=(\\d+)"_s).match(shell);
        return m.hasMatch() ? QSize(m.captured(1).toInt(), m.captured(2).toInt()) : QSize();
    }
    // Gives the window the keyboard focus and types the key into it.
    bool pressKey(const QString &window, const QString &key) const
    {
        return xdotool({u"windowfocus"_s, u"--sync"_s, window}) && xdotool({u"key"_s, u"--clearmodifiers"_s, key});
    }
    std::optional<QByteArray> xdotool(const QStringList &arguments) const { return run(u"xdotool"_s, arguments, environment()); }
    // The window's content as the screen shows it.
    QImage grab(const QString &window) const
    {
        const auto shot = run(u"/bin/sh"_s, {u"-c"_s, u"xwd -silent -id \"$0\" | xwdtopnm 2>/dev/null"_s, window}, environment());
        return QImage::fromData(shot.value_or(QByteArray()), "PPM");
    }

private:
    void start()
    {
        m_windowManager.reset();
        m_server = std::make_unique<QProcess>();
        m_server->setStandardErrorFile(m_home.filePath(u"x.log"_s), QIODevice::Append);
        {
            // Servers started at the same moment may pick the same free display number.
            QLockFile startLock(QDir::temp().filePath(u"corvatone-e2e-xserver.lock"_s));
            if (!startLock.tryLock(60000))
                return;
            // The server writes its display number once it accepts connections.
            m_server->start(u"Xvfb"_s, {u"-displayfd"_s, u"1"_s, u"-screen"_s, u"0"_s, u"1280x800x24"_s, u"-nolisten"_s, u"tcp"_s});
            QByteArray number;
            while (!number.endsWith('\n') && m_server->waitForReadyRead(20000))
                number += m_server->readAllStandardOutput();
            m_display = number.endsWith('\n') ? u':' + QString::fromLatin1(number.trimmed()) : QString();
        }
        m_windowManager = std::make_unique<QProcess>();
        m_windowManager->setProcessEnvironment(environment());
        m_windowManager->setStandardErrorFile(m_home.filePath(u"x.log"_s), QIODevice::Append);
        m_windowManager->start(u"openbox"_s, {u"--sm-disable"_s});
        m_ready = !m_display.isEmpty() && waitUntil([&] {
            return run(u"xprop"_s, {u"-root"_s, u"_NET_SUPPORTING_WM_CHECK"_s}, environment()).value_or(QByteArray()).contains("window id");
        }, 10000);
    }

    QTemporaryDir m_home;
    // The window manager, declared after the server, ends before it.
    std::unique_ptr<QProcess> m_server;
    std::unique_ptr<QProcess> m_windowManager;
    QString m_display;
    bool m_ready = false;
};

// A throw-away installation with the stand-in client, named after the test so
// that parallel tests' process scans never see each other's clients, and the
// stand-in tool; the updater gets its own temporary folder and home.
class Sandbox
{
public:
    explicit Sandbox(const QString &clientName)
        : m_clientName(clientName)
    {
        QByteArray library(300 * 1024, '\0');
        for (qsizetype i = 0; i < library.size(); ++i)
            library[i] = char((i * 131) ^ (i >> 7));
        m_valid = m_root.isValid() && QDir().mkpath(temp()) && QDir().mkpath(root() + u"/home"_s) && QDir().mkpath(root() + u"/runtime"_s)
            && QFile::setPermissions(root() + u"/runtime"_s, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)
            && addFile(u"components.xml"_s, "<Packages><Package><Name>com.quintaver.tallyroom</Name><Version>2.3.1</Version></Package></Packages>")
            && addFile(u"app/data.txt"_s, "settings version 2.3.1\n") && addFile(u"app/corvatone-core.dll"_s, library)
            && addFile(u"app/plugins/imageformats/qjpeg.dll"_s, QByteArray(40000, 'j'))
            && addFile(u"translations/corvatone_ru.qm"_s, u"Привет"_s.toUtf8()) && addFile(u"README.txt"_s, "Corvatone 2.3.1\n")
            && QFile::copy(QStringLiteral(STANDIN_CLIENT_PATH), clientPath())
            && QFile::copy(QStringLiteral(STANDIN_MAINTENANCETOOL_PATH), toolPath());
    }

    bool isValid() const { return m_valid; }
    QString root() const { return m_root.path(); }
    QString installation() const { return root() + u"/install"_s; }
    QString temp() const { return root() + u"/tmp"_s; }
    QString handoffFile() const { return root() + u"/handoff"_s; }
    QString clientPath() const { return installation() + u'/' + m_clientName; }
    QString toolPath() const { return installation() + u"/maintenancetool.exe"_s; }
    QString logPath() const { return temp() + u"/Corvatone-update.log"_s; }
    QString repository() const { return u"https://updates.example.invalid/corvatone/win64"_s; }
    QStringList tempEntries() const { return QDir(temp()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name); }
    QList<QJsonObject> clientStarts() const { return testsupport::clientStarts(clientPath()); }

    // Adds a file to the installation as it was before the run.
    bool addFile(const QString &relative, const QByteArray &content)
    {
        m_original.insert(relative, content);
        return testsupport::writeFile(installation() + u'/' + relative, content);
    }
    bool setToolScenario(const QByteArray &scenario) { return testsupport::writeFile(toolPath() + u".scenario"_s, scenario); }
    // The files of the installation without the stand-ins, before the run and now.
    QMap<QString, QByteArray> originalFiles() const { return m_original; }
    QMap<QString, QByteArray> currentFiles() const
    {
        QMap<QString, QByteArray> files = testsupport::filesBelow(installation());
        files.removeIf([&](QMap<QString, QByteArray>::iterator file) {
            return file.key().startsWith(m_clientName) || file.key().startsWith(u"maintenancetool.exe"_s);
        });
        return files;
    }

    // The updater's options as the client passes them.
    QStringList arguments(const QStringList &extra = {}) const
    {
        return QStringList{u"--maintenance-tool"_s, toolPath(), u"--repository"_s, repository(), u"--application"_s, clientPath(),
                           u"--working-directory"_s, installation(), u"--handoff-file"_s, handoffFile()} + extra;
    }
    // Starts a program of the run on the test's display, in the installation, as the client starts the updater.
    std::unique_ptr<QProcess> start(const XSession &x, const QString &program, const QStringList &arguments) const
    {
        QProcessEnvironment environment = x.environment();
        for (const QString &key : environment.keys()) {
            if (key.startsWith(u"XDG_"_s) || key == u"TMP"_s || key == u"TEMP"_s)
                environment.remove(key);
        }
        environment.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
        environment.insert(u"LC_ALL"_s, u"C.UTF-8"_s);
        environment.insert(u"TMPDIR"_s, temp());
        environment.insert(u"HOME"_s, root() + u"/home"_s);
        environment.insert(u"XDG_RUNTIME_DIR"_s, root() + u"/runtime"_s);
#ifdef UPDATER_LSAN_SUPPRESSIONS
        // The programs under test carry the leak checker too, and on a real
        // display they load libraries with leaks of their own.
        environment.insert(u"LSAN_OPTIONS"_s, QStringLiteral("suppressions=" UPDATER_LSAN_SUPPRESSIONS ":print_suppressions=0"));
#endif
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(environment);
        process->setWorkingDirectory(installation());
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(program, arguments);
        return process->waitForStarted() ? std::move(process) : nullptr;
    }
    std::unique_ptr<QProcess> updater(const XSession &x, const QStringList &arguments) const
    {
        return start(x, QStringLiteral(UPDATER_HELPER_PATH), arguments);
    }
    // The client's side of the handshake.
    bool answer(const QByteArray &text = "continue") const
    {
        return waitUntil([&] { return readFile(handoffFile()) == "ready"; }, 10000) && testsupport::writeFile(handoffFile(), text);
    }

private:
    QTemporaryDir m_root;
    QString m_clientName;
    QMap<QString, QByteArray> m_original;
    bool m_valid = false;
};

class UpdaterRun : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(x.isValid()) << x.diagnostics().toStdString(); }

    static void expectExit(QProcess &updater, int code)
    {
        ASSERT_TRUE(updater.waitForFinished(RunTimeoutMs));
        EXPECT_EQ(updater.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(updater.exitCode(), code);
    }

    // After a failure: the error box is closed with Return, the window stays
    // until Escape closes it, and the program then ends with 0.
    void closeAfterFailure(QProcess &updater)
    {
        const QString box = x.window(ErrorTitle, updater.processId());
        ASSERT_FALSE(box.isEmpty());
        ASSERT_TRUE(x.pressKey(box, u"Return"_s));
        ASSERT_TRUE(waitUntil([&] { return x.window(ErrorTitle, updater.processId(), 0).isEmpty(); }));
        EXPECT_FALSE(updater.waitForFinished(300)) << "the window must stay open once the message is read";
        const QString window = x.window(WindowTitle, updater.processId());
        ASSERT_TRUE(x.pressKey(window, u"Escape"_s));
        expectExit(updater, 0);
    }

    XSession x;
};

TEST_F(UpdaterRun, SuccessfulUpdateShowsEachStepAndRestartsTheClient)
{
    Sandbox sandbox(u"CorvatoneE2E-success.exe"_s);
    ASSERT_TRUE(sandbox.isValid());
    // Enough to save that the backup takes a moment.
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(sandbox.addFile(u"resources/pack%1.dat"_s.arg(i), QByteArray(1048576, char('a' + i % 26))));
    const QString toolStarted = sandbox.root() + u"/tool.stamp"_s;
    ASSERT_TRUE(sandbox.setToolScenario("stamp " + toolStarted.toUtf8() + "\nsleep 1500\nwrite app/data.txt settings version 2.3.2\\n\n"
                                        "delete app/plugins\nwrite app/new-feature.dll feature\ncomponents 2.3.2\nout Update finished.\\n\n"));
    const QStringList kept{u"--profile=work"_s, QString(), u"путь с пробелом"_s};
    QStringList extra{u"--expected-version"_s, u"2.3.2"_s};
    for (const QString &argument : kept)
        extra << u"--application-argument"_s << argument;
    // The client stays a while after its answer, so that the window shows the wait for it.
    const auto client = sandbox.start(x, sandbox.clientPath(), {u"--exit"_s, u"after:1500"_s});
    const auto updater = sandbox.updater(x, sandbox.arguments(extra));
    ASSERT_TRUE(client && updater && sandbox.answer());

    // The upper half of the window holds the status text; the busy bar below it moves.
    const QString window = x.window(WindowTitle, updater->processId());
    const auto statusArea = [&] { return x.grab(window).copy(0, 0, 500, 75); };
    QThread::msleep(300);
    const QImage waiting = statusArea();
    // The backup blocks the program; stopped in the middle of it, the window
    // shows what was drawn before it began.
    ASSERT_TRUE(waitUntil([&] { return !QDir(sandbox.temp()).entryList({u"Corvatone-update-backup-*"_s}, QDir::Dirs).isEmpty(); }));
    ASSERT_EQ(::kill(pid_t(updater->processId()), SIGSTOP), 0);
    const bool backupRunning = !QFileInfo::exists(toolStarted);
    const QImage saving = statusArea();
    ASSERT_EQ(::kill(pid_t(updater->processId()), SIGCONT), 0);
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(toolStarted); }));
    QThread::msleep(300);
    const QImage updating = statusArea();
    ASSERT_TRUE(backupRunning) << "the backup ended before the window could be looked at";
    ASSERT_FALSE(waiting.isNull() || saving.isNull() || updating.isNull());
    EXPECT_NE(saving, waiting) << "the window went on showing the wait for the client during the backup";
    EXPECT_NE(saving, updating);
    EXPECT_NE(waiting, updating);

    expectExit(*updater, 0);
    // A successful run writes nothing more into the handoff file.
    EXPECT_EQ(readFile(sandbox.handoffFile()), "continue");
    EXPECT_EQ(readFile(sandbox.logPath()), "Repository: " + sandbox.repository().toUtf8() + "\nInstallation backup created.\nUpdate finished.\n");
    QMap<QString, QByteArray> expected = sandbox.originalFiles();
    expected.remove(u"app/plugins/imageformats/qjpeg.dll"_s);
    expected[u"app/data.txt"_s] = "settings version 2.3.2\n";
    expected[u"app/new-feature.dll"_s] = "feature";
    const QMap<QString, QByteArray> files = sandbox.currentFiles();
    EXPECT_TRUE(files.value(u"components.xml"_s).contains("<Version>2.3.2</Version>"));
    expected[u"components.xml"_s] = files.value(u"components.xml"_s);
    EXPECT_TRUE(files == expected);

    ASSERT_TRUE(waitUntil([&] { return sandbox.clientStarts().size() == 2; }, 10000)) << "the client was not started again";
    EXPECT_EQ(sandbox.clientStarts()[1][u"arguments"_s].toVariant().toStringList(), kept);
    EXPECT_EQ(sandbox.clientStarts()[1][u"workingDirectory"_s].toString(), QFileInfo(sandbox.installation()).canonicalFilePath());
    // The lock, the cache directory and the backup are gone; only the log stays.
    EXPECT_EQ(sandbox.tempEntries(), QStringList{u"Corvatone-update.log"_s});
}

TEST_F(UpdaterRun, FailedUpdateRollsBackTellsTheClientAndWaitsForTheUser)
{
    Sandbox sandbox(u"CorvatoneE2E-failure.exe"_s);
    ASSERT_TRUE(sandbox.isValid());
    const QString toolStarted = sandbox.root() + u"/tool.stamp"_s;
    ASSERT_TRUE(sandbox.setToolScenario("out Installing components...\\n\nwrite app/data.txt half-written\n"
                                        "delete app/plugins\ndelete README.txt\nwrite app/extra.txt added by the update\n"
                                        "components 2.3.2\nstamp " + toolStarted.toUtf8() + "\nsleep 2500\n"
                                        "err Error during installation process: disk full\\n\nexit 1\n"));
    const auto updater = sandbox.updater(x, sandbox.arguments({u"--application-argument"_s, u"--after-failure"_s}));
    ASSERT_TRUE(updater && sandbox.answer());

    // While the tool runs the window keeps its size and ignores Escape.
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(toolStarted); }));
    const QString window = x.window(WindowTitle, updater->processId());
    EXPECT_EQ(x.windowSize(window), QSize(500, 150));
    for (const QSize &size : {QSize(800, 600), QSize(200, 100)}) {
        // No --sync: it would wait for a change of size that must never come.
        ASSERT_TRUE(x.xdotool({u"windowsize"_s, window, QString::number(size.width()), QString::number(size.height())}));
        QThread::msleep(300);
        EXPECT_EQ(x.windowSize(window), QSize(500, 150));
    }
    ASSERT_TRUE(x.pressKey(window, u"Escape"_s));
    EXPECT_FALSE(updater->waitForFinished(300)) << "Escape closed the window during the run";

    ASSERT_FALSE(x.window(ErrorTitle, updater->processId()).isEmpty());
    const QByteArray message = u"Maintenance tool завершился с кодом 1."_s.toUtf8();
    EXPECT_EQ(readFile(sandbox.handoffFile()), "error\n" + message);
    const QByteArray log = readFile(sandbox.logPath());
    EXPECT_TRUE(log.contains("Error during installation process: disk full\n"));
    EXPECT_TRUE(log.endsWith("\nUpdate error: " + message + "\n")) << log.constData();
    // Everything saved is back; what the update added stays.
    QMap<QString, QByteArray> expected = sandbox.originalFiles();
    expected[u"app/extra.txt"_s] = "added by the update";
    EXPECT_TRUE(sandbox.currentFiles() == expected);

    // The client is running again and the lock is free while the message is shown.
    ASSERT_TRUE(waitUntil([&] { return sandbox.clientStarts().size() == 1; }, 10000));
    EXPECT_EQ(sandbox.clientStarts()[0][u"arguments"_s].toVariant().toStringList(), QStringList{u"--after-failure"_s});
    EXPECT_EQ(QDir(sandbox.temp()).entryList({u"*.lock"_s}, QDir::Files), QStringList());
    closeAfterFailure(*updater);
    EXPECT_EQ(sandbox.tempEntries(), QStringList{u"Corvatone-update.log"_s});
}

TEST_F(UpdaterRun, MissingRequiredOptionsEndWithCodeTwo)
{
    Sandbox sandbox(u"CorvatoneE2E-options.exe"_s);
    ASSERT_TRUE(sandbox.isValid());
    // Without --working-directory, and with an empty "--repository=".
    QStringList withoutWorkingDirectory = sandbox.arguments();
    withoutWorkingDirectory.remove(6, 2);
    QStringList emptyRepository = sandbox.arguments();
    emptyRepository.replace(2, u"--repository="_s);
    emptyRepository.remove(3);
    for (const QStringList &arguments : {withoutWorkingDirectory, emptyRepository}) {
        const auto updater = sandbox.updater(x, arguments);
        ASSERT_TRUE(updater);
        const QString box = x.window(WindowTitle, updater->processId());
        EXPECT_NE(x.windowSize(box), QSize(500, 150)) << "the update window opened instead of the message";
        ASSERT_TRUE(x.pressKey(box, u"Return"_s));
        expectExit(*updater, 2);
    }
    // Nothing was started or written.
    EXPECT_EQ(sandbox.tempEntries(), QStringList());
    EXPECT_FALSE(QFileInfo::exists(sandbox.handoffFile()));
}

TEST_F(UpdaterRun, LockRefusesASecondRunAndIsTakenOverAfterAKill)
{
    Sandbox sandbox(u"CorvatoneE2E-lock.exe"_s);
    ASSERT_TRUE(sandbox.isValid() && sandbox.setToolScenario("components 2.3.2\n"));
    const auto first = sandbox.updater(x, sandbox.arguments());
    ASSERT_TRUE(first && waitUntil([&] { return readFile(sandbox.handoffFile()) == "ready"; }));
    // One lock per installation, named after its client's path as the system
    // resolves it, letter case folded.
    const QByteArray key = QFileInfo(sandbox.clientPath()).canonicalFilePath().toCaseFolded().toUtf8();
    const QStringList lock{u"Corvatone-update-%1.lock"_s.arg(QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex()))};
    EXPECT_EQ(QDir(sandbox.temp()).entryList({u"*.lock"_s}, QDir::Files), lock);
    const QByteArray firstLog = readFile(sandbox.logPath());

    // The same installation, spelled differently, is refused at once.
    QStringList arguments = sandbox.arguments();
    arguments[5] = sandbox.installation() + u"/./app/../CorvatoneE2E-lock.exe"_s;
    arguments[9] = sandbox.root() + u"/handoff-second"_s;
    const auto second = sandbox.updater(x, arguments);
    ASSERT_TRUE(second);
    ASSERT_FALSE(x.window(ErrorTitle, second->processId(), 10000).isEmpty());
    EXPECT_EQ(readFile(arguments[9]), "error\n" + u"Обновление этой установки уже выполняется."_s.toUtf8());
    EXPECT_EQ(readFile(sandbox.logPath()), firstLog) << "the refused run touched the running one's log";
    closeAfterFailure(*second);
    EXPECT_TRUE(sandbox.clientStarts().isEmpty()) << "a refused run must not start the client";

    // A run that dies without cleaning up leaves its lock file behind; the next run takes it over.
    first->kill();
    ASSERT_TRUE(first->waitForFinished());
    ASSERT_EQ(QDir(sandbox.temp()).entryList({u"*.lock"_s}, QDir::Files), lock);
    QStringList leftovers = sandbox.tempEntries();
    leftovers.removeOne(lock[0]);
    ASSERT_TRUE(QFile::remove(sandbox.handoffFile()));
    const auto third = sandbox.updater(x, sandbox.arguments({u"--expected-version"_s, u"2.3.2"_s}));
    ASSERT_TRUE(third && sandbox.answer());
    expectExit(*third, 0);
    EXPECT_TRUE(readFile(sandbox.installation() + u"/components.xml"_s).contains("<Version>2.3.2</Version>"));
    // The taken-over lock is released; only what the killed run could not clean up stays.
    EXPECT_EQ(sandbox.tempEntries(), leftovers);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
