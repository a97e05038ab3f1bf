// The updater executable as a user and the client meet it: a real window on a
// private display with a window manager (each case runs under tests/app/xsession),
// a throw-away installation with the stand-in client and maintenance tool, and
// the handshake answered as the client answers it.
#include "shelllink.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QImage>
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

bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 60000, int intervalMs = 20)
{
    QElapsedTimer timer;
    timer.start();
    for (; !condition(); QThread::msleep(intervalMs)) {
        if (timer.elapsed() > timeoutMs)
            return false;
    }
    return true;
}

// What a program printed, once it has ended successfully.
std::optional<QByteArray> run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(20000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return std::nullopt;
    return process.readAllStandardOutput();
}

bool xdotool(const QStringList &arguments) { return run(u"xdotool"_s, arguments).has_value(); }

// The first visible window of the process whose title is exactly this text,
// once there; empty when none came within the time.
QString window(const QString &title, qint64 pid, int timeoutMs = 60000)
{
    const QStringList search{u"search"_s, u"--all"_s, u"--onlyvisible"_s, u"--pid"_s, QString::number(pid), u"--name"_s, u'^' + QRegularExpression::escape(title) + u'$'};
    QString found;
    (void)waitUntil([&] { return !(found = QString::fromUtf8(run(u"xdotool"_s, search).value_or("")).section(u'\n', 0, 0)).isEmpty(); }, timeoutMs);
    return found;
}

QSize windowSize(const QString &window)
{
    const QString shell = QString::fromLatin1(run(u"xdotool"_s, {u"getwindowgeometry"_s, u"--shell"_s, window}).value_or(""));
    const QRegularExpressionMatch m = QRegularExpression(u"WIDTH=(\\d+)\nHEIGHT=(\\d+)"_s).match(shell);
    return QSize(m.captured(1).toInt(), m.captured(2).toInt());
}

// Gives the window the keyboard focus and types the key into it.
bool pressKey(const QString &window, const QString &key)
{
    return xdotool({u"windowfocus"_s, u"--sync"_s, window}) && xdotool({u"key"_s, u"--clearmodifiers"_s, key});
}

// The upper half of the window as the screen shows it: the status text, without the moving busy bar.
QImage statusArea(const QString &window)
{
    const auto shot = run(u"/bin/sh"_s, {u"-c"_s, u"xwd -silent -id \"$0\" | xwdtopnm 2>/dev/null"_s, window});
    return QImage::fromData(shot.value_or(""), "PPM").copy(0, 0, 500, 75);
}

// A throw-away installation with the stand-in client, named after the test so
// that parallel tests' process scans never see each other's clients, and the
// stand-in tool; the programs get their own temporary folder and home.
struct Sandbox
{
    explicit Sandbox(const QString &clientName)
        : clientPath(installation + u'/' + clientName)
        , clientName(clientName)
    {
        valid = root.isValid() && QDir().mkpath(temp) && QDir().mkpath(root.filePath(u"runtime"_s))
            && QFile::setPermissions(root.filePath(u"runtime"_s), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)
            && addFile(u"components.xml"_s, "<Packages><Package><Name>com.quintaver.tallyroom</Name><Version>2.3.1</Version></Package></Packages>")
            && addFile(u"app/data.txt"_s, "settings version 2.3.1\n") && addFile(u"app/plugins/qjpeg.dll"_s, QByteArray(40000, 'j'))
            && addFile(u"translations/corvatone_ru.qm"_s, u"Привет"_s.toUtf8()) && addFile(u"README.txt"_s, "Corvatone 2.3.1\n")
            && QFile::copy(QStringLiteral(STANDIN_CLIENT_PATH), clientPath) && QFile::copy(QStringLiteral(STANDIN_MAINTENANCETOOL_PATH), toolPath);
    }

    QByteArray log() const { return readFile(temp + u"/Corvatone-update.log"_s); }
    QStringList tempEntries(const QString &filter = u"*"_s) const { return QDir(temp).entryList({filter}, QDir::AllEntries | QDir::NoDotAndDotDot); }
    QList<QJsonObject> clientStarts() const { return testsupport::clientStarts(clientPath); }
    // Adds a file to the installation as it was before the run.
    bool addFile(const QString &relative, const QByteArray &content)
    {
        original.insert(relative, content);
        return testsupport::writeFile(installation + u'/' + relative, content);
    }
    // The files of the installation without the stand-ins.
    QMap<QString, QByteArray> files() const
    {
        QMap<QString, QByteArray> files = testsupport::filesBelow(installation);
        files.removeIf([&](QMap<QString, QByteArray>::iterator file) { return file.key().startsWith(clientName) || file.key().startsWith(u"maint"_s); });
        return files;
    }
    // The updater's options as the client passes them.
    QStringList arguments(const QStringList &extra = {}) const
    {
        return QStringList{u"--maintenance-tool"_s, toolPath, u"--repository"_s, u"https://updates.example.invalid/win64"_s, u"--application"_s,
                           clientPath, u"--working-directory"_s, installation, u"--handoff-file"_s, handoff} + extra;
    }
    // Starts a program of the run with the sandbox's folders, elsewhere than in the installation; ended with the test.
    std::unique_ptr<QProcess> start(const QStringList &arguments, const QString &program = QStringLiteral(UPDATER_HELPER_PATH)) const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const auto &[name, value] : {std::pair(u"QT_QPA_PLATFORM"_s, u"xcb"_s), {u"LC_ALL"_s, u"C.UTF-8"_s}, {u"TMPDIR"_s, temp},
                                          {u"HOME"_s, root.path()}, {u"XDG_RUNTIME_DIR"_s, root.filePath(u"runtime"_s)}})
            environment.insert(name, value);
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(environment);
        process->setWorkingDirectory(root.path());
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(program, arguments);
        return process->waitForStarted() ? std::move(process) : nullptr;
    }
    // The client's side of the handshake.
    bool answer() const { return waitUntil([&] { return readFile(handoff) == "ready"; }, 10000) && testsupport::writeFile(handoff, "continue"); }
    bool setToolScenario(const QByteArray &scenario) const { return testsupport::writeFile(toolPath + u".scenario"_s, scenario); }

    QTemporaryDir root;
    const QString installation = root.filePath(u"install"_s);
    const QString temp = root.filePath(u"tmp"_s);
    const QString handoff = root.filePath(u"handoff"_s);
    const QString toolPath = installation + u"/maintenancetool.exe"_s;
    const QString clientPath;
    const QString clientName;
    QMap<QString, QByteArray> original;
    bool valid = false;
};

void expectExit(QProcess &updater, int code)
{
    ASSERT_TRUE(updater.waitForFinished(60000));
    EXPECT_EQ(updater.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(updater.exitCode(), code);
}

// After a failure: the error box is closed with Return, the window stays
// until Escape closes it, and the program then ends with 0.
void closeAfterFailure(QProcess &updater)
{
    const QString box = window(ErrorTitle, updater.processId());
    ASSERT_TRUE(pressKey(box, u"Return"_s));
    ASSERT_TRUE(waitUntil([&] { return window(ErrorTitle, updater.processId(), 0).isEmpty(); }));
    EXPECT_FALSE(updater.waitForFinished(300)) << "the window must stay open once the message is read";
    ASSERT_TRUE(pressKey(window(WindowTitle, updater.processId()), u"Escape"_s));
    expectExit(updater, 0);
}

// Adds files enough that saving them takes a moment, even on a fast disk.
bool enlarge(Sandbox &sandbox)
{
    for (int i = 0; i < 300; ++i) {
        if (!sandbox.addFile(u"resources/pack%1.dat"_s.arg(i), QByteArray(65536, char('a' + i % 26))))
            return false;
    }
    return true;
}

// What the window shows during the backup. The backup blocks the program;
// stopped in the middle of it, the window shows what was drawn before it began.
QImage statusDuringBackup(const Sandbox &sandbox, QProcess &updater)
{
    // Once ended, the program has no id to stop, and 0 would stop the test's own group.
    const auto pid = pid_t(updater.processId());
    if (!waitUntil([&] { return !sandbox.tempEntries(u"Corvatone-update-backup-*"_s).isEmpty() || updater.waitForFinished(0); }, 60000, 1)
        || pid <= 0 || updater.state() != QProcess::Running) {
        ADD_FAILURE() << "the program ended before its backup";
        return QImage();
    }
    EXPECT_EQ(::kill(pid, SIGSTOP), 0);
    const bool backupRunning = !sandbox.log().contains("Installation backup created.");
    const QImage status = statusArea(window(WindowTitle, pid));
    EXPECT_EQ(::kill(pid, SIGCONT), 0);
    EXPECT_TRUE(backupRunning) << "the backup ended before the window could be looked at";
    return backupRunning ? status : QImage();
}

TEST(UpdaterRun, SuccessfulUpdateShowsEachStepAndRestartsTheClient)
{
    Sandbox sandbox(u"CorvatoneE2E-success.exe"_s);
    ASSERT_TRUE(sandbox.valid && enlarge(sandbox));
    const QString toolStarted = sandbox.root.filePath(u"tool.started"_s);
    ASSERT_TRUE(sandbox.setToolScenario("write " + toolStarted.toUtf8() + "\nsleep 1000\nwrite app/data.txt settings version 2.3.2\\n\n"
                                        "delete app/plugins\nwrite app/new.dll feature\ncomponents 2.3.2\nout Update finished.\\n\n"));
    const QStringList kept{u"--profile=work"_s, QString(), u"путь с пробелом"_s};
    QStringList arguments = sandbox.arguments({u"--expected-version"_s, u"2.3.2"_s});
    for (const QString &argument : kept)
        arguments << u"--application-argument"_s << argument;
    // Without a handoff file and a client to wait for, the backup begins as soon as the window is shown.
    arguments.remove(8, 2);
    const auto updater = sandbox.start(arguments);
    ASSERT_TRUE(updater);

    const QImage saving = statusDuringBackup(sandbox, *updater);
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(toolStarted); }));
    QThread::msleep(300);
    const QImage updating = statusArea(window(WindowTitle, updater->processId()));
    ASSERT_FALSE(saving.isNull() || updating.isNull());
    QImage blank(saving.size(), saving.format());
    blank.fill(saving.pixel(0, 0));
    EXPECT_NE(saving, blank) << "nothing was drawn before the backup";
    EXPECT_NE(saving, updating) << "the saving text was not drawn before the backup";

    expectExit(*updater, 0);
    EXPECT_EQ(sandbox.log(), "Repository: https://updates.example.invalid/win64\nInstallation backup created.\nUpdate finished.\n");
    QMap<QString, QByteArray> expected = sandbox.original;
    expected.remove(u"app/plugins/qjpeg.dll"_s);
    expected[u"app/data.txt"_s] = "settings version 2.3.2\n";
    expected[u"app/new.dll"_s] = "feature";
    expected[u"components.xml"_s] = sandbox.files().value(u"components.xml"_s);
    EXPECT_TRUE(expected[u"components.xml"_s].contains("<Version>2.3.2</Version>"));
    EXPECT_EQ(sandbox.files(), expected);
    ASSERT_TRUE(waitUntil([&] { return sandbox.clientStarts().size() == 1; }, 10000)) << "the client was not started again";
    EXPECT_EQ(sandbox.clientStarts()[0][u"arguments"_s].toVariant().toStringList(), kept);
    EXPECT_EQ(sandbox.clientStarts()[0][u"workingDirectory"_s].toString(), QFileInfo(sandbox.installation).canonicalFilePath());
    // The lock, the cache directory and the backup are gone; only the log stays.
    EXPECT_EQ(sandbox.tempEntries(), QStringList{u"Corvatone-update.log"_s});
}

TEST(UpdaterRun, FailedUpdateRollsBackTellsTheClientAndWaitsForTheUser)
{
    Sandbox sandbox(u"CorvatoneE2E-failure.exe"_s);
    // A shortcut into the installation, in a folder given on the command line.
    const QString shortcut = sandbox.root.filePath(u"links/Corvatone.lnk"_s);
    ASSERT_TRUE(sandbox.valid && enlarge(sandbox) && QDir().mkpath(sandbox.root.filePath(u"links"_s))
                && shelllink::write(QFile::encodeName(shortcut).toStdString(), {sandbox.clientPath.toStdU16String(), std::nullopt}));
    const QByteArray link = readFile(shortcut);
    ASSERT_TRUE(sandbox.setToolScenario("write app/data.txt half-written\ndelete app/plugins\ndelete README.txt\ndelete " + shortcut.toUtf8()
                                        + "\nwrite app/extra.txt added\ncomponents 2.3.2\nerr Error during installation process: disk full\\n\nexit 1\n"));
    const auto updater = sandbox.start(sandbox.arguments({u"--application-argument"_s, u"--after-failure"_s, u"--shortcut-directory"_s,
                                                          sandbox.root.filePath(u"links"_s)}));
    ASSERT_TRUE(updater && waitUntil([&] { return readFile(sandbox.handoff) == "ready"; }));

    // While the run waits for the client's answer, the window keeps its size and ignores Escape.
    const QString shown = window(WindowTitle, updater->processId());
    for (const QSize &size : {QSize(500, 150), QSize(800, 600), QSize(200, 100)}) {
        // No --sync: it would wait for a change of size that must never come.
        ASSERT_TRUE(xdotool({u"windowsize"_s, shown, QString::number(size.width()), QString::number(size.height())}));
        QThread::msleep(300);
        EXPECT_EQ(windowSize(shown), QSize(500, 150));
    }
    ASSERT_TRUE(pressKey(shown, u"Escape"_s));
    EXPECT_FALSE(updater->waitForFinished(300)) << "Escape closed the window during the run";
    // Once answered, the window tells of the backup, not of the wait for the client.
    const QImage waiting = statusArea(shown);
    ASSERT_TRUE(sandbox.answer());
    EXPECT_NE(statusDuringBackup(sandbox, *updater), waiting) << "the window went on showing the wait for the client during the backup";

    ASSERT_FALSE(window(ErrorTitle, updater->processId()).isEmpty());
    const QByteArray message = u"Maintenance tool завершился с кодом 1."_s.toUtf8();
    EXPECT_EQ(readFile(sandbox.handoff), "error\n" + message);
    EXPECT_TRUE(sandbox.log().contains("Error during installation process: disk full\n"));
    EXPECT_TRUE(sandbox.log().endsWith("\nUpdate error: " + message + "\n"));
    // Everything saved is back, the shortcut too; what the update added stays.
    QMap<QString, QByteArray> expected = sandbox.original;
    expected[u"app/extra.txt"_s] = "added";
    EXPECT_EQ(sandbox.files(), expected);
    EXPECT_EQ(readFile(shortcut), link);
    // The client is running again and the lock is free while the message is shown.
    ASSERT_TRUE(waitUntil([&] { return sandbox.clientStarts().size() == 1; }, 10000));
    EXPECT_EQ(sandbox.clientStarts()[0][u"arguments"_s].toVariant().toStringList(), QStringList{u"--after-failure"_s});
    EXPECT_EQ(sandbox.tempEntries(u"*.lock"_s), QStringList());
    closeAfterFailure(*updater);
    EXPECT_EQ(sandbox.tempEntries(), QStringList{u"Corvatone-update.log"_s});
}

TEST(UpdaterRun, MissingRequiredOptionsEndWithCodeTwo)
{
    Sandbox sandbox(u"CorvatoneE2E-options.exe"_s);
    ASSERT_TRUE(sandbox.valid);
    // Without --working-directory, and with an empty "--repository=".
    QStringList withoutWorkingDirectory = sandbox.arguments();
    withoutWorkingDirectory.remove(6, 2);
    QStringList emptyRepository = sandbox.arguments();
    emptyRepository.replace(2, u"--repository="_s);
    emptyRepository.remove(3);
    for (const QStringList &arguments : {withoutWorkingDirectory, emptyRepository}) {
        const auto updater = sandbox.start(arguments);
        ASSERT_TRUE(updater);
        const QString box = window(WindowTitle, updater->processId());
        EXPECT_NE(windowSize(box), QSize(500, 150)) << "the update window opened instead of the message";
        ASSERT_TRUE(pressKey(box, u"Return"_s));
        expectExit(*updater, 2);
    }
    // Nothing was started or written.
    EXPECT_EQ(sandbox.tempEntries(), QStringList());
    EXPECT_FALSE(QFileInfo::exists(sandbox.handoff));
    // The parser's own exits: the help, and an option it does not know.
    for (const auto &[argument, code] : {std::pair(u"--help"_s, 0), std::pair(u"--no-such-option"_s, 1)}) {
        const auto parser = sandbox.start({argument});
        ASSERT_TRUE(parser);
        expectExit(*parser, code);
        EXPECT_EQ(parser->readAllStandardOutput().contains("Corvatone automatic update helper"), code == 0);
    }
}

TEST(UpdaterRun, LockRefusesASecondRunAndIsTakenOverAfterAKill)
{
    Sandbox sandbox(u"CorvatoneE2E-lock.exe"_s);
    ASSERT_TRUE(sandbox.valid && sandbox.setToolScenario("components 2.3.2\n"));
    const auto first = sandbox.start(sandbox.arguments());
    ASSERT_TRUE(first && waitUntil([&] { return readFile(sandbox.handoff) == "ready"; }));
    // One lock per installation, named after its client's path as the system resolves it, letter case folded.
    const QByteArray key = QFileInfo(sandbox.clientPath).canonicalFilePath().toCaseFolded().toUtf8();
    const QStringList lock{u"Corvatone-update-%1.lock"_s.arg(QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex()))};
    EXPECT_EQ(sandbox.tempEntries(u"*.lock"_s), lock);
    const QByteArray firstLog = sandbox.log();

    // The same installation, spelled differently, is refused at once.
    QStringList arguments = sandbox.arguments();
    arguments[5] = sandbox.installation + u"/./app/../CorvatoneE2E-lock.exe"_s;
    arguments[9] = sandbox.root.path() + u"/handoff-second"_s;
    const auto second = sandbox.start(arguments);
    ASSERT_TRUE(second && !window(ErrorTitle, second->processId(), 10000).isEmpty());
    EXPECT_EQ(readFile(arguments[9]), "error\n" + u"Обновление этой установки уже выполняется."_s.toUtf8());
    EXPECT_EQ(sandbox.log(), firstLog) << "the refused run touched the running one's log";
    closeAfterFailure(*second);
    EXPECT_TRUE(sandbox.clientStarts().isEmpty()) << "a refused run must not start the client";

    // A run that dies without cleaning up leaves its lock file behind; the next run takes it over.
    first->kill();
    ASSERT_TRUE(first->waitForFinished());
    ASSERT_EQ(sandbox.tempEntries(u"*.lock"_s), lock);
    QStringList leftovers = sandbox.tempEntries();
    leftovers.removeOne(lock[0]);
    ASSERT_TRUE(QFile::remove(sandbox.handoff));
    const auto third = sandbox.start(sandbox.arguments({u"--expected-version"_s, u"2.3.2"_s}));
    ASSERT_TRUE(third && sandbox.answer());
    expectExit(*third, 0);
    EXPECT_TRUE(readFile(sandbox.installation + u"/components.xml"_s).contains("<Version>2.3.2</Version>"));
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
