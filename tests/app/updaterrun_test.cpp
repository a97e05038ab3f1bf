// The updater executable as a user and the client meet it: a real window on a
// private display with a window manager (each case runs under tests/app/xsession),
// a throw-away installation with the stand-in client and maintenance tool, and
// the handshake answered as the client answers it. With --windows=<folder of
// the Windows build> the same cases run the Windows programs under Wine.
#include "testsupport.h"

#include <QCoreApplication>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QSize>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>

using namespace Qt::StringLiterals;
using testsupport::readFile;

inline void PrintTo(const QSize &size, std::ostream *out)
{
    *out << size.width() << 'x' << size.height();
}

namespace {

const QString WindowTitle = u"Обновление Corvatone"_s;
const QString ErrorTitle = u"Ошибка обновления Corvatone"_s;

// The programs under test: the Linux ones, or the Windows ones run under Wine.
struct Target
{
    bool windows = false;
    QString helper = QStringLiteral(UPDATER_HELPER_PATH);
    QString client = QStringLiteral(STANDIN_CLIENT_PATH);
    QString tool = QStringLiteral(STANDIN_MAINTENANCETOOL_PATH);
    QString makeShortcut = QStringLiteral(MAKE_SHORTCUT_PATH);
    QString example = QStringLiteral(CLIENT_EXAMPLE_PATH);
    QString holdFile;
    QString windowProbe;
    // Wine's state folder (its prefix and home), shared by the cases, which run one at a time.
    QString wineState;

    void useWindowsBuild(const QString &build)
    {
        windows = true;
        helper = build + u"/package/updater_helper/updater_helper.exe"_s;
        client = build + u"/tests/support/standin_client.exe"_s;
        tool = build + u"/tests/support/standin_maintenancetool.exe"_s;
        makeShortcut = build + u"/tests/support/make_shortcut.exe"_s;
        holdFile = build + u"/tests/support/hold_file.exe"_s;
        windowProbe = build + u"/tests/support/window_probe.exe"_s;
        example = build + u"/examples/client/client_example.exe"_s;
        wineState = build + u"/wine"_s;
    }
    // A path as the programs under test take it: Wine shows the Linux root as drive Z:.
    QString path(const QString &linuxPath) const
    {
        return windows ? u"Z:"_s + QString(linuxPath).replace(u'/', u'\\') : linuxPath;
    }
    // The user's folder in Wine's prefix, where the Windows programs keep their temporary files.
    QString wineUserFolder() const
    {
        const QString users = wineState + u"/prefix/drive_c/users"_s;
        const QStringList names = QDir(users)
                                          .entryList({u"*"_s}, QDir::Dirs | QDir::NoDotAndDotDot)
                                          .filter(QRegularExpression(u"^(?!Public$)"_s));
        return names.size() == 1 ? users + u'/' + names[0] : QString();
    }
};

Target &target()
{
    static Target instance;
    return instance;
}

// What a program printed, once it has ended successfully.
std::optional<QByteArray> run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0)
        return std::nullopt;
    return process.readAllStandardOutput();
}

// The same for a program of the target, under Wine for a Windows one. Wine
// keeps the display of the first program it runs for all that follow.
std::optional<QByteArray> runTarget(const QString &program, const QStringList &arguments)
{
    return target().windows
                   ? run(QStringLiteral(WINE_RUN_PATH),
                         QStringList{u"--display"_s, target().wineState, program} + arguments)
                   : run(program, arguments);
}

bool xdotool(const QStringList &arguments)
{
    return run(u"xdotool"_s, arguments).has_value();
}

// The first visible window of the process (of any, for pid 0) whose title is
// exactly this text, once there; empty when none came within the time.
QString window(const QString &title, qint64 pid, int timeoutMs = 60000)
{
    QStringList search{u"search"_s, u"--all"_s, u"--onlyvisible"_s};
    if (pid > 0)
        search << u"--pid"_s << QString::number(pid);
    search << u"--name"_s << u'^' + QRegularExpression::escape(title) + u'$';
    QString found;
    (void)QTest::qWaitFor(
            [&] {
                return !(found = QString::fromUtf8(run(u"xdotool"_s, search).value_or(""))
                                         .section(u'\n', 0, 0))
                                .isEmpty();
            },
            timeoutMs);
    return found;
}

QSize windowSize(const QString &window)
{
    const QString shell = QString::fromLatin1(
            run(u"xdotool"_s, {u"getwindowgeometry"_s, u"--shell"_s, window}).value_or(""));
    const QRegularExpressionMatch m =
            QRegularExpression(u"WIDTH=(\\d+)\nHEIGHT=(\\d+)"_s).match(shell);
    return QSize(m.captured(1).toInt(), m.captured(2).toInt());
}

// Has the window manager make the window active, and types the key into it.
bool pressKey(const QString &window, const QString &key)
{
    return (xdotool({u"windowactivate"_s, u"--sync"_s, window})
            || xdotool({u"windowfocus"_s, u"--sync"_s, window}))
           && xdotool({u"key"_s, u"--clearmodifiers"_s, key});
}

// Types the key into the window with this title until it is gone: another
// window of the display may take the focus back just before the key comes.
bool closeWithKey(const QString &title, qint64 pid, const QString &key)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        const QString shown = window(title, pid, attempt == 0 ? 60000 : 0);
        if (shown.isEmpty())
            return attempt > 0;
        if (!pressKey(shown, key))
            return false;
        if (QTest::qWaitFor([&] { return window(title, pid, 0).isEmpty(); }, 2000))
            return true;
    }
    return false;
}

// The upper half of the window as the screen shows it: the status text, without the moving busy
// bar.
QImage statusArea(const QString &window)
{
    const auto shot = run(u"/bin/sh"_s,
                          {u"-c"_s, u"xwd -silent -id \"$0\" | xwdtopnm 2>/dev/null"_s, window});
    return QImage::fromData(shot.value_or(""), "PPM").copy(0, 0, 500, 75);
}

// A throw-away installation with the stand-in client, named after the test so
// that parallel tests' process scans never see each other's clients, and the
// stand-in tool, in a folder whose name has Cyrillic letters, a blank and a
// "%"; the programs get their own temporary folder and home.
struct Sandbox
{
    explicit Sandbox(const QString &clientName,
                     const QString &installationName = u"Программа Corvatone 100%"_s)
        : installation(root.filePath(installationName))
        , clientPath(installation + u'/' + clientName)
        , clientName(clientName)
    {
        valid = root.isValid() && QDir().mkpath(temp) && QDir().mkpath(root.filePath(u"runtime"_s))
                && QFile::setPermissions(root.filePath(u"runtime"_s),
                                         QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)
                && addFile(u"components.xml"_s,
                           "<Packages><Package><Name>com.quintaver.tallyroom</Name><Version>2.3.1</"
                           "Version></Package></Packages>")
                && addFile(u"app/data.txt"_s, "settings version 2.3.1\n")
                && addFile(u"app/plugins/qjpeg.dll"_s, QByteArray(40000, 'j'))
                && addFile(u"translations/corvatone_ru.qm"_s, u"Привет"_s.toUtf8())
                && addFile(u"README.txt"_s, "Corvatone 2.3.1\n")
                && QFile::copy(target().client, clientPath) && QFile::copy(target().tool, toolPath);
        // Wine keeps the Windows programs' temporary folder in its prefix: it
        // becomes this sandbox's.
        if (target().windows) {
            const QString user = target().wineUserFolder();
            valid = valid && !user.isEmpty() && replaceFolder(user + u"/Temp"_s, temp);
        }
    }
    ~Sandbox()
    {
        // Every Windows program of the case ends with it, and Wine's own.
        if (target().windows) {
            QProcess::execute(QStringLiteral(WINE_RUN_PATH),
                              {target().wineState, u"--server"_s, u"-k"_s});
            QProcess::execute(QStringLiteral(WINE_RUN_PATH),
                              {target().wineState, u"--server"_s, u"-w"_s});
            (void)replaceFolder(target().wineUserFolder() + u"/Temp"_s, QString());
        }
    }
    // Puts a link to another folder, or an empty folder, where a folder or link was.
    static bool replaceFolder(const QString &path, const QString &linkTarget)
    {
        if (!(QFileInfo(path).isSymLink() ? QFile::remove(path) : QDir(path).removeRecursively()))
            return false;
        return linkTarget.isEmpty() ? QDir().mkpath(path) : QFile::link(linkTarget, path);
    }

    QByteArray log() const { return readFile(temp + u"/Corvatone-update.log"_s); }
    QStringList tempEntries(const QString &filter = u"*"_s) const
    {
        return QDir(temp).entryList({filter}, QDir::AllEntries | QDir::NoDotAndDotDot);
    }
    QList<QJsonObject> clientStarts() const { return testsupport::clientStarts(clientPath); }
    // Adds a file to the installation as it was before the run.
    bool addFile(const QString &relative, const QByteArray &content)
    {
        original.insert(relative, content);
        return testsupport::writeFile(installation + u'/' + relative, content);
    }
    // The files of the installation, or of a copy of it, without the stand-ins.
    QMap<QString, QByteArray> files(const QString &folder = QString()) const
    {
        QMap<QString, QByteArray> files =
                testsupport::filesBelow(folder.isEmpty() ? installation : folder);
        files.removeIf([&](QMap<QString, QByteArray>::iterator file) {
            return file.key().startsWith(clientName) || file.key().startsWith(u"maint"_s);
        });
        return files;
    }
    // The updater's options as the client passes them.
    QStringList arguments(const QStringList &extra = {}) const
    {
        return QStringList{u"--maintenance-tool"_s,  target().path(toolPath),
                           u"--repository"_s,        u"https://updates.example.invalid/win64"_s,
                           u"--application"_s,       target().path(clientPath),
                           u"--working-directory"_s, target().path(installation),
                           u"--handoff-file"_s,      target().path(handoff)}
               + extra;
    }
    // Starts a program of the run with the sandbox's folders, elsewhere than in the installation;
    // ended with the test.
    std::unique_ptr<QProcess> start(const QStringList &arguments,
                                    const QString &program = target().helper) const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const auto &[name, value] : {std::pair(u"QT_QPA_PLATFORM"_s, u"xcb"_s),
                                          {u"LC_ALL"_s, u"C.UTF-8"_s},
                                          {u"TMPDIR"_s, temp},
                                          {u"HOME"_s, root.path()},
                                          {u"XDG_RUNTIME_DIR"_s, root.filePath(u"runtime"_s)}})
            environment.insert(name, value);
        auto process = std::make_unique<QProcess>();
        process->setWorkingDirectory(root.path());
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        if (target().windows) {
            // The Windows programs find Qt and the runtime where the updater keeps them.
            environment.remove(u"QT_QPA_PLATFORM"_s);
            environment.remove(u"TMPDIR"_s);
            environment.insert(u"WINEPATH"_s,
                               target().path(QFileInfo(target().helper).absolutePath()));
            process->setProcessEnvironment(environment);
            process->start(QStringLiteral(WINE_RUN_PATH),
                           QStringList{u"--display"_s, target().wineState, program} + arguments);
        } else {
            process->setProcessEnvironment(environment);
            process->start(program, arguments);
        }
        return process->waitForStarted() ? std::move(process) : nullptr;
    }
    // The client's side of the handshake.
    bool answer() const
    {
        return QTest::qWaitFor([&] { return readFile(handoff) == "ready"; }, 10000)
               && testsupport::writeFile(handoff, "continue");
    }
    // A shortcut to the client, made as the system makes them.
    bool makeShortcut(const QString &shortcut) const
    {
        return QDir().mkpath(QFileInfo(shortcut).absolutePath())
               && runTarget(target().makeShortcut, {u"--local-path"_s, target().path(clientPath),
                                                    target().path(shortcut)});
    }
    bool setToolScenario(const QByteArray &scenario) const
    {
        return testsupport::writeFile(toolPath + u".scenario"_s, scenario);
    }

    QTemporaryDir root;
    const QString installation;
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
    // Waits that turn the event loop may have seen the end already.
    ASSERT_TRUE(updater.state() == QProcess::NotRunning || updater.waitForFinished(60000));
    EXPECT_EQ(updater.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(updater.exitCode(), code);
}

// After a failure: the error box is closed with Return, the window stays
// until Escape closes it.
void closeAfterFailure(qint64 pid)
{
    ASSERT_TRUE(closeWithKey(ErrorTitle, pid, u"Return"_s));
    QThread::msleep(300);
    ASSERT_FALSE(window(WindowTitle, pid, 0).isEmpty())
            << "the window must stay open once the message is read";
    ASSERT_TRUE(closeWithKey(WindowTitle, pid, u"Escape"_s));
}

// The same, and the program then ends with 0.
void closeAfterFailure(QProcess &updater)
{
    closeAfterFailure(updater.processId());
    expectExit(updater, 0);
}

// Adds files enough that saving them takes a moment, even on a fast disk.
bool enlarge(Sandbox &sandbox, int files = 300)
{
    for (int i = 0; i < files; ++i) {
        if (!sandbox.addFile(u"resources/pack%1.dat"_s.arg(i),
                             QByteArray(65536, char('a' + i % 26))))
            return false;
    }
    return true;
}

// The protecting attributes of a file as the programs under test see them:
// "R" and "H" for read-only and hidden ("H" on Windows only); set with "+R" and the like.
QString protection(const QString &file, const QStringList &change = {})
{
    if (!target().windows) {
        if (change.contains(u"+R"_s))
            QFile::setPermissions(file, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
        return QFileInfo(file).permissions()
                               & (QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther)
                       ? QString()
                       : u"R"_s;
    }
    // Wine's attrib applies one change a call.
    for (const QString &one : change) {
        if (!runTarget(u"attrib"_s, {one, target().path(file)}))
            return u"?"_s;
    }
    // attrib prints the letters of the attributes before the path, which begins with the drive.
    const QString shown =
            QString::fromUtf8(runTarget(u"attrib"_s, {target().path(file)}).value_or("?"))
                    .section(u':', 0, 0)
                    .chopped(1);
    return QString(shown.contains(u'R') ? u"R"_s : QString())
           + (shown.contains(u'H') ? u"H"_s : QString());
}

// What the window shows during the backup, with the program stopped in the
// middle of it, so that the backup still runs when the window is looked at.
QImage statusDuringBackup(const Sandbox &sandbox, QProcess &updater)
{
    // Once ended, the program has no id to stop, and 0 would stop the test's own group.
    const auto pid = pid_t(updater.processId());
    if (!QTest::qWaitFor(
                [&] {
                    return !sandbox.tempEntries(u"Corvatone-update-backup-*"_s).isEmpty()
                           || updater.waitForFinished(0);
                },
                60000)
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

TEST(UpdaterRun, SuccessfulUpdateAfterTheClientsAnswerRestartsTheClient)
{
    Sandbox sandbox(u"CorvatoneE2E-success.exe"_s);
    ASSERT_TRUE(sandbox.valid);
    // The abort markers count only after a failed exit.
    ASSERT_TRUE(sandbox.setToolScenario(
            "record maintenancetool.json\nwrite app/data.txt settings version 2.3.2\\n\n"
            "delete app/plugins\nwrite app/new.dll feature\ncomponents 2.3.2\n"
            "err stopProcessesForUpdates Update aborted!\\n\nout Update finished.\\n\n"));
    // The running client answers, then takes a moment to exit; the updater waits for it.
    const auto client = sandbox.start(
            {u"--answer"_s, target().path(sandbox.handoff), u"--exit"_s, u"after:1500"_s},
            sandbox.clientPath);
    const QStringList kept{u"--profile=work"_s,
                           QString(),
                           u"путь с пробелом"_s,
                           u"say \"hi\""_s,
                           u"C:\\path with\\trailing\\"_s,
                           u"a\\\\\"b"_s};
    QStringList arguments = sandbox.arguments({u"--expected-version"_s, u"2.3.2"_s});
    for (const QString &argument : kept)
        arguments << u"--application-argument"_s << argument;
    const auto updater = sandbox.start(arguments);
    ASSERT_TRUE(client && updater);

    expectExit(*updater, 0);
    EXPECT_EQ(readFile(sandbox.handoff), "continue");
    EXPECT_EQ(sandbox.log(),
              "Repository: https://updates.example.invalid/win64\n"
              "Installation backup created.\nstopProcessesForUpdates Update aborted!\n"
              "Update finished.\n");
    QMap<QString, QByteArray> expected = sandbox.original;
    expected.remove(u"app/plugins/qjpeg.dll"_s);
    expected[u"app/data.txt"_s] = "settings version 2.3.2\n";
    expected[u"app/new.dll"_s] = "feature";
    expected[u"components.xml"_s] = sandbox.files().value(u"components.xml"_s);
    EXPECT_EQ(sandbox.files(), expected);
    // The tool's command line arrives whole, its cache folder's blank and all.
    QStringList toolArguments = QJsonDocument::fromJson(readFile(
            sandbox.installation + u"/maintenancetool.json"_s))[u"arguments"_s]
                                        .toVariant()
                                        .toStringList();
    EXPECT_TRUE(toolArguments.value(1).contains(u"/Corvatone Updater-"_s))
            << toolArguments.value(1).toStdString();
    toolArguments.removeAt(1);
    EXPECT_EQ(toolArguments,
              (QStringList{u"--cache-path"_s, u"--set-temp-repository"_s,
                           u"https://updates.example.invalid/win64"_s, u"--default-answer"_s,
                           u"--accept-licenses"_s, u"--confirm-command"_s, u"update"_s}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return sandbox.clientStarts().size() == 2; }, 10000))
            << "the client was not started again";
    EXPECT_EQ(sandbox.clientStarts()[1][u"arguments"_s].toVariant().toStringList(), kept);
    EXPECT_EQ(sandbox.clientStarts()[1][u"workingDirectory"_s].toString(),
              (target().windows ? u"Z:"_s : QString())
                      + QFileInfo(sandbox.installation).canonicalFilePath());
    // The lock, the cache directory and the backup are gone; only the log stays.
    EXPECT_EQ(sandbox.tempEntries(), QStringList{u"Corvatone-update.log"_s});
}

TEST(UpdaterRun, FailedUpdateRollsBackTellsTheClientAndWaitsForTheUser)
{
    // Wine's shell link object gives a link's target in the ANSI code page,
    // which has no Cyrillic letters here (Windows keeps the target whole).
    Sandbox sandbox(u"CorvatoneE2E-failure.exe"_s,
                    target().windows ? u"Corvatone 100%"_s : u"Программа Corvatone 100%"_s);
    // A shortcut into the installation, in a folder given on the command line.
    const QString links = sandbox.root.filePath(u"Ярлыки"_s);
    const QString shortcut = links + u"/Corvatone.lnk"_s;
    // A read-only file and a read-only hidden link that the update does not touch, which Windows
    // refuses to overwrite.
    const QString readOnly = sandbox.installation + u"/readonly.dat"_s;
    const QString hiddenLink = sandbox.installation + u"/tools/Safe mode.lnk"_s;
    ASSERT_TRUE(sandbox.valid && enlarge(sandbox) && sandbox.makeShortcut(shortcut)
                && sandbox.addFile(u"readonly.dat"_s, "2.3.1 data")
                && sandbox.addFile(u"tools/Safe mode.lnk"_s, "safe mode link"));
    const QString protectedLink = target().windows ? u"RH"_s : u"R"_s;
    ASSERT_EQ(protection(readOnly, {u"+R"_s}), u"R"_s);
    ASSERT_EQ(protection(hiddenLink, {u"+R"_s, u"+H"_s}), protectedLink);
    const QByteArray link = readFile(shortcut);
    ASSERT_TRUE(sandbox.setToolScenario(
            "write app/data.txt half-written\ndelete app/plugins\ndelete README.txt\ndelete "
            + target().path(shortcut).toUtf8()
            + "\nwrite app/extra.txt added\ncomponents 2.3.2\nerr Error during installation "
              "process: disk full\\n\nexit 1\n"));
    const auto updater =
            sandbox.start(sandbox.arguments({u"--application-argument"_s, u"--after-failure"_s,
                                             u"--shortcut-directory"_s, target().path(links)}));
    ASSERT_TRUE(updater
                && QTest::qWaitFor([&] { return readFile(sandbox.handoff) == "ready"; }, 60000));

    // While the run waits for the client's answer, the window keeps its size.
    const QString shown = window(WindowTitle, updater->processId());
    for (const QSize &size : {QSize(500, 150), QSize(800, 600), QSize(200, 100)}) {
        // No --sync: it would wait for a change of size that must never come.
        ASSERT_TRUE(xdotool({u"windowsize"_s, shown, QString::number(size.width()),
                             QString::number(size.height())}));
        QThread::msleep(300);
        EXPECT_EQ(windowSize(shown), QSize(500, 150));
    }
    // Once answered, the window tells of the backup, not of the wait for the client.
    const QImage waiting = statusArea(shown);
    ASSERT_TRUE(sandbox.answer());
    EXPECT_NE(statusDuringBackup(sandbox, *updater), waiting)
            << "the window went on showing the wait for the client during the backup";

    ASSERT_FALSE(window(ErrorTitle, updater->processId()).isEmpty());
    const QByteArray message = u"Maintenance tool завершился с кодом 1."_s.toUtf8();
    EXPECT_EQ(readFile(sandbox.handoff), "error\n" + message);
    EXPECT_TRUE(sandbox.log().endsWith(
            "Error during installation process: disk full\n\nUpdate error: " + message + "\n"));
    // Everything saved is back, the shortcut too; what the update added stays.
    QMap<QString, QByteArray> expected = sandbox.original;
    expected[u"app/extra.txt"_s] = "added";
    EXPECT_EQ(sandbox.files(), expected);
    EXPECT_EQ(readFile(shortcut), link);
    EXPECT_EQ(protection(readOnly), u"R"_s);
    EXPECT_EQ(protection(hiddenLink), protectedLink);
    // The client is running again and the lock is free while the message is shown.
    ASSERT_TRUE(QTest::qWaitFor([&] { return sandbox.clientStarts().size() == 1; }, 10000));
    EXPECT_EQ(sandbox.clientStarts()[0][u"arguments"_s].toVariant().toStringList(),
              QStringList{u"--after-failure"_s});
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
        EXPECT_NE(windowSize(window(WindowTitle, updater->processId())), QSize(500, 150))
                << "the update window opened instead of the message";
        ASSERT_TRUE(closeWithKey(WindowTitle, updater->processId(), u"Return"_s));
        expectExit(*updater, 2);
    }
    // Nothing was started or written.
    EXPECT_EQ(sandbox.tempEntries(), QStringList());
    EXPECT_FALSE(QFileInfo::exists(sandbox.handoff));
    // The parser's own exits: the help, and an option it does not know. A
    // Windows program without a console shows either in a message box.
    for (const auto &[argument, code] :
         {std::pair(u"--help"_s, 0), std::pair(u"--no-such-option"_s, 1)}) {
        const auto parser = sandbox.start({argument});
        ASSERT_TRUE(parser);
        if (target().windows) {
            ASSERT_TRUE(closeWithKey(u"Corvatone Updater"_s, parser->processId(), u"Return"_s));
        }
        expectExit(*parser, code);
        EXPECT_EQ(parser->readAllStandardOutput().contains("Corvatone automatic update helper"),
                  code == 0 && !target().windows);
    }
}

TEST(UpdaterRun, LockRefusesASecondRunAndIsTakenOverAfterAKill)
{
    Sandbox sandbox(u"CorvatoneE2E-lock.exe"_s);
    const QString toolStarted = sandbox.root.filePath(u"tool.started"_s);
    ASSERT_TRUE(sandbox.valid && enlarge(sandbox)
                && sandbox.setToolScenario("write " + target().path(toolStarted).toUtf8()
                                           + "\nsleep 1000\ncomponents 2.3.2\n"));
    const auto first = sandbox.start(sandbox.arguments());
    ASSERT_TRUE(first
                && QTest::qWaitFor([&] { return readFile(sandbox.handoff) == "ready"; }, 60000));
    const QStringList lock = sandbox.tempEntries(u"Corvatone-update-*.lock"_s);
    ASSERT_EQ(lock.size(), 1);
    const QByteArray firstLog = sandbox.log();

    // The same installation, spelled differently, is refused at once.
    QStringList arguments = sandbox.arguments();
    arguments[5] = target().path(sandbox.installation + u"/./app/../CorvatoneE2E-lock.exe"_s);
    const QString secondHandoff = sandbox.root.filePath(u"handoff-second"_s);
    arguments[9] = target().path(secondHandoff);
    const auto second = sandbox.start(arguments);
    ASSERT_TRUE(second && !window(ErrorTitle, second->processId()).isEmpty());
    EXPECT_EQ(readFile(secondHandoff),
              "error\n" + u"Обновление этой установки уже выполняется."_s.toUtf8());
    EXPECT_EQ(sandbox.log(), firstLog) << "the refused run touched the running one's log";
    closeAfterFailure(*second);
    EXPECT_TRUE(sandbox.clientStarts().isEmpty()) << "a refused run must not start the client";

    // A run that dies without cleaning up leaves its lock file behind; the next run takes it over.
    first->kill();
    ASSERT_TRUE(first->waitForFinished());
    ASSERT_EQ(sandbox.tempEntries(u"*.lock"_s), lock);
    QStringList leftovers = sandbox.tempEntries();
    leftovers.removeOne(lock[0]);
    // Without a handoff file and a client to wait for, its backup begins as soon
    // as the window is shown: the window shows the saving text all through it.
    QStringList third = sandbox.arguments({u"--expected-version"_s, u"2.3.2"_s});
    third.remove(8, 2);
    const auto updater = sandbox.start(third);
    ASSERT_TRUE(updater);
    const QImage saving = statusDuringBackup(sandbox, *updater);
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(toolStarted); }, 60000));
    QThread::msleep(300);
    const QImage updating = statusArea(window(WindowTitle, updater->processId()));
    ASSERT_FALSE(saving.isNull() || updating.isNull());
    QImage blank(saving.size(), saving.format());
    blank.fill(saving.pixel(0, 0));
    EXPECT_NE(saving, blank) << "nothing was drawn before the backup";
    EXPECT_NE(saving, updating) << "the saving text was not drawn before the backup";
    expectExit(*updater, 0);
    // The taken-over lock is released; only what the killed run could not clean up stays.
    EXPECT_EQ(sandbox.tempEntries(), leftovers);
}

// Another Windows program holds a file of the installation open without
// sharing it, as a virus scanner or a backup agent does: all through the
// backup, which gives up after 5 s, or for seconds of the rollback, which waits
// up to 30 s.
struct HeldFileRow
{
    const char *name;
    bool duringBackup;
    int holdMs;
    const char *message;
};

const HeldFileRow HeldFileRows[] = {
        {"DuringTheBackup", true, 15000, "Не удалось сохранить резервную копию: app/data.txt"},
        {"ForSecondsOfTheRollback", false, 8000, "Maintenance tool завершился с кодом 1."},
};

using FileHeldByAnotherProgram = ::testing::TestWithParam<HeldFileRow>;

TEST_P(FileHeldByAnotherProgram, LosesNothing)
{
    if (!target().windows)
        GTEST_SKIP() << "only Windows keeps others from a file that a program holds";
    const HeldFileRow &row = GetParam();
    Sandbox sandbox(u"CorvatoneE2E-held.exe"_s);
    const QString held = sandbox.root.filePath(u"held"_s);
    const QString toolStarted = sandbox.root.filePath(u"tool.started"_s);
    // The mark comes after the changes: a holder started on it must not keep the
    // tool from making them.
    ASSERT_TRUE(sandbox.valid
                && sandbox.setToolScenario(
                        "write app/data.txt changed\nwrite app/extra.txt added\nwrite "
                        + target().path(toolStarted).toUtf8() + "\nawait "
                        + target().path(held).toUtf8() + "\nexit 1\n"));
    const auto holder = [&] {
        const QString file = target().path(sandbox.installation + u"/app/data.txt"_s);
        return sandbox.start({file, QString::number(row.holdMs), target().path(held)},
                             target().holdFile);
    };
    std::unique_ptr<QProcess> holding = row.duringBackup ? holder() : nullptr;
    ASSERT_TRUE(!row.duringBackup
                || (holding && QTest::qWaitFor([&] { return QFileInfo::exists(held); }, 60000)));
    const auto updater =
            sandbox.start(sandbox.arguments({u"--application-argument"_s, u"--after-failure"_s}));
    ASSERT_TRUE(updater && sandbox.answer());
    if (!row.duringBackup) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(toolStarted); }, 60000));
        holding = holder();
    }
    ASSERT_FALSE(window(ErrorTitle, updater->processId()).isEmpty());

    const QString record = QString::fromUtf8(readFile(sandbox.handoff));
    EXPECT_EQ(record, u"error\n"_s + QString::fromUtf8(row.message));
    EXPECT_TRUE(sandbox.log().endsWith("\nUpdate error: " + record.mid(6).toUtf8() + '\n'));
    EXPECT_EQ(QFileInfo::exists(toolStarted), !row.duringBackup);
    QMap<QString, QByteArray> expected = sandbox.original;
    if (!row.duringBackup)
        expected[u"app/extra.txt"_s] = "added";
    EXPECT_EQ(sandbox.files(), expected);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !sandbox.clientStarts().isEmpty(); }, 10000));
    closeAfterFailure(*updater);
}

INSTANTIATE_TEST_SUITE_P(Rows, FileHeldByAnotherProgram, ::testing::ValuesIn(HeldFileRows),
                         testsupport::rowName);

// A run is cut short, as by a power cut, once the tool has changed files: the
// next run brings the installation back before its own update, and removes
// what the first left behind. Or it finds that run's backup gone, or it
// cannot bring the installation back: then nothing is touched and nothing lost.
enum class Next { RollsBack, FindsTheBackupGone, CannotRollBack };

struct CutShortRow
{
    const char *name;
    Next next;
};

const CutShortRow CutShortRows[] = {
        {"RollsBack", Next::RollsBack},
        {"FindsTheBackupGone", Next::FindsTheBackupGone},
        {"CannotRollBack", Next::CannotRollBack},
};

using RunCutShort = ::testing::TestWithParam<CutShortRow>;

TEST_P(RunCutShort, IsRolledBackByTheNextRun)
{
    const Next next = GetParam().next;
    Sandbox sandbox(u"CorvatoneE2E-cut.exe"_s);
    const QString changed = sandbox.root.filePath(u"changed"_s);
    // The tool and its scenario lie outside the installation here, so that the rollback does not
    // bring back the first scenario.
    const QString tool = sandbox.root.filePath(u"tool/maintenancetool.exe"_s);
    const auto setScenario = [&](const QByteArray &scenario) {
        return testsupport::writeFile(tool + u".scenario"_s, scenario);
    };
    QStringList arguments = sandbox.arguments({u"--expected-version"_s, u"2.3.2"_s});
    arguments[1] = target().path(tool);
    ASSERT_TRUE(sandbox.valid && QDir().mkpath(QFileInfo(tool).path())
                && QFile::rename(sandbox.toolPath, tool)
                && setScenario("write app/data.txt settings version 2.3.2\ndelete "
                               "README.txt\ncomponents 2.3.2\nwrite "
                               + target().path(changed).toUtf8() + "\nsleep 60000\n"));
    const auto first = sandbox.start(arguments);
    ASSERT_TRUE(first && sandbox.answer()
                && QTest::qWaitFor([&] { return QFileInfo::exists(changed); }, 60000));
    // Every process of the run ends at once.
    if (target().windows) {
        QProcess::execute(QStringLiteral(WINE_RUN_PATH),
                          {target().wineState, u"--server"_s, u"-k"_s});
        QProcess::execute(QStringLiteral(WINE_RUN_PATH),
                          {target().wineState, u"--server"_s, u"-w"_s});
    } else {
        QProcess::execute(u"pkill"_s, {u"-KILL"_s, u"-f"_s, tool});
    }
    first->kill();
    ASSERT_TRUE(first->waitForFinished());
    const QStringList backups = sandbox.tempEntries(u"Corvatone-update-backup-*"_s);
    const QStringList journal = sandbox.tempEntries(u"Corvatone-update-*.journal"_s);
    ASSERT_EQ(backups.size(), 1);
    ASSERT_EQ(journal.size(), 1);
    const QString backup = sandbox.temp + u'/' + backups[0];
    QMap<QString, QByteArray> expected = sandbox.original;
    if (next == Next::FindsTheBackupGone) {
        ASSERT_TRUE(QDir(backup).removeRecursively());
        expected = sandbox.files();
    }
    // The update put a folder where a saved file was, and no copy can replace it.
    if (next == Next::CannotRollBack) {
        ASSERT_TRUE(testsupport::writeFile(sandbox.installation + u"/README.txt/new.txt"_s, "new"));
    }

    ASSERT_TRUE(setScenario("write app/new.dll feature\ncomponents 2.3.2\n"));
    const auto updater = sandbox.start(arguments);
    ASSERT_TRUE(updater && sandbox.answer()) << readFile(sandbox.handoff).toStdString();
    if (next == Next::CannotRollBack) {
        ASSERT_FALSE(window(ErrorTitle, updater->processId()).isEmpty());
        const QString record = QString::fromUtf8(readFile(sandbox.handoff));
        EXPECT_TRUE(
                record.startsWith(
                        u"error\nНе удалось восстановить README.txt. Резервная копия сохранена: "_s)
                && record.endsWith(u'/' + backups[0]))
                << record.toStdString();
        closeAfterFailure(*updater);
        // Nothing more was touched: the journal and the backup stay for the next try; the client
        // stays stopped.
        EXPECT_EQ(sandbox.tempEntries(u"Corvatone-update-*.journal"_s), journal);
        EXPECT_EQ(sandbox.files(backup), sandbox.original);
        EXPECT_TRUE(sandbox.clientStarts().isEmpty());
        return;
    }
    expectExit(*updater, 0);
    expected[u"app/new.dll"_s] = "feature";
    expected[u"components.xml"_s] = sandbox.files().value(u"components.xml"_s);
    EXPECT_EQ(sandbox.files(), expected);
    EXPECT_TRUE(sandbox.log().contains(next == Next::RollsBack
                                               ? "Interrupted update rolled back from "
                                               : "Journal of an interrupted update removed"));
    // Only the log stays, and the cache folder of the run that was cut short when it could not be
    // found.
    QStringList left = sandbox.tempEntries();
    left.removeIf([&](const QString &entry) {
        return next == Next::FindsTheBackupGone && entry.startsWith(u"Corvatone Updater-"_s);
    });
    EXPECT_EQ(left, QStringList{u"Corvatone-update.log"_s});
}

INSTANTIATE_TEST_SUITE_P(Rows, RunCutShort, ::testing::ValuesIn(CutShortRows),
                         testsupport::rowName);

// Windows offers to end a window that answers nothing for a few seconds, and
// ends a program that lets the session end: through a backup and a rollback of
// seconds each the window answers, and while the tool runs it keeps the session.
TEST(UpdaterRun, WindowAnswersAndKeepsTheSessionWhileTheInstallationIsAtStake)
{
    if (!target().windows)
        GTEST_SKIP() << "only Windows asks windows whether they hang or the session may end";
    Sandbox sandbox(u"CorvatoneE2E-answering.exe"_s);
    const QString toolStarted = sandbox.root.filePath(u"tool.started"_s);
    const QString failNow = sandbox.root.filePath(u"fail-now"_s);
    const QString stop = sandbox.root.filePath(u"stop"_s);
    ASSERT_TRUE(sandbox.valid && enlarge(sandbox, 1000)
                && sandbox.setToolScenario("write " + target().path(toolStarted).toUtf8()
                                           + "\nawait " + target().path(failNow).toUtf8()
                                           + "\nexit 1\n"));
    const auto updater = sandbox.start(sandbox.arguments());
    ASSERT_TRUE(updater
                && QTest::qWaitFor([&] { return readFile(sandbox.handoff) == "ready"; }, 60000));
    const auto pinging = sandbox.start({target().path(stop)}, target().windowProbe);
    ASSERT_TRUE(pinging && QTest::qWaitFor([&] { return pinging->canReadLine(); }, 60000)
                && sandbox.answer());
    // Asked while the tool runs, the window refuses the session's end; the run goes on.
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(toolStarted); }, 120000));
    EXPECT_EQ(runTarget(target().windowProbe, {}).value_or("").simplified(), "found 0");
    ASSERT_TRUE(testsupport::writeFile(failNow, "now")
                && !window(ErrorTitle, updater->processId(), 120000).isEmpty());
    EXPECT_EQ(readFile(sandbox.handoff),
              "error\n" + u"Maintenance tool завершился с кодом 1."_s.toUtf8());
    // The window answers within a turn of its event loop, 75 ms apart, and no
    // message goes unanswered for the probe's 200 ms; a silence of 1 s needs
    // several in a row, which a busy machine does not cause, while a window
    // held through a step stays silent for seconds.
    ASSERT_TRUE(testsupport::writeFile(stop, "") && pinging->waitForFinished(60000));
    const QByteArray pings = pinging->readAllStandardOutput().simplified();
    EXPECT_LT(pings.split(' ').value(1).toInt(), 1000)
            << "found, longest silence in ms, sent, unanswered: " << pings.toStdString();
    // Once the run has ended the session may end, and the program with it.
    EXPECT_EQ(runTarget(target().windowProbe, {}).value_or("").simplified(), "found 1");
    expectExit(*updater, 0);
}

// The example client of the guide hands over to the updater and, on its next
// start, reads why the update failed. Another copy of the client runs when the
// update fails, so that the updater leaves that start to the user.
TEST(UpdaterRun, ExampleClientHandsOverAndReadsTheErrorRecordOnItsNextStart)
{
    Sandbox sandbox(u"CorvatoneE2E-example.exe"_s);
    const QString toolStarted = sandbox.root.filePath(u"tool.started"_s);
    const QString failNow = sandbox.root.filePath(u"fail-now"_s);
    const QString otherCopy = sandbox.root.filePath(u"other/"_s) + sandbox.clientName;
    ASSERT_TRUE(sandbox.valid && QFile::remove(sandbox.clientPath)
                && QFile::copy(target().example, sandbox.clientPath)
                && QDir().mkpath(sandbox.root.filePath(u"other"_s))
                && QFile::copy(target().client, otherCopy)
                && sandbox.setToolScenario("write " + target().path(toolStarted).toUtf8()
                                           + "\nwrite app/data.txt half-written\nawait "
                                           + target().path(failNow).toUtf8() + "\nexit 1\n"));
    const auto client =
            sandbox.start({u"--minimized"_s, u"--update"_s, target().path(target().helper),
                           target().path(sandbox.toolPath),
                           u"https://updates.example.invalid/win64"_s, u"2.3.2"_s},
                          sandbox.clientPath);
    ASSERT_TRUE(client && client->waitForFinished(60000));
    EXPECT_EQ(client->exitCode(), 0);
    EXPECT_TRUE(client->readAllStandardOutput().contains("Handed over to the update helper."))
            << "the example did not hand over";
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(toolStarted); }, 60000));
    const auto other = sandbox.start({u"--exit"_s, u"after:30000"_s}, otherCopy);
    ASSERT_TRUE(other
                && QTest::qWaitFor([&] { return !testsupport::clientStarts(otherCopy).isEmpty(); },
                                   30000)
                && testsupport::writeFile(failNow, "now"));

    const QString box = window(ErrorTitle, 0);
    ASSERT_FALSE(box.isEmpty());
    const QByteArray message = u"Maintenance tool завершился с кодом 1."_s.toUtf8();
    EXPECT_EQ(readFile(sandbox.installation + u".handoff"_s), "error\n" + message);
    EXPECT_EQ(sandbox.clientStarts().size(), 0)
            << "the updater started the client beside a running copy";
    other->kill();
    const auto next = sandbox.start({}, sandbox.clientPath);
    ASSERT_TRUE(next && next->waitForFinished(60000));
    EXPECT_EQ(next->readAllStandardOutput().replace('\r', QByteArray()),
              "The last update failed:\n" + message + "\n");
    EXPECT_FALSE(QFileInfo::exists(sandbox.installation + u".handoff"_s))
            << "the record was read, and is removed";
    const qint64 updater =
            run(u"xdotool"_s, {u"getwindowpid"_s, box}).value_or("0").trimmed().toLongLong();
    closeAfterFailure(updater);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window(WindowTitle, updater, 0).isEmpty(); }, 30000));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    for (const QString &argument : QCoreApplication::arguments()) {
        if (argument.startsWith(u"--windows="_s))
            target().useWindowsBuild(argument.mid(10));
    }
    return RUN_ALL_TESTS();
}
