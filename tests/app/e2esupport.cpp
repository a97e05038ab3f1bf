#include "e2esupport.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QLockFile>
#include <QRegularExpression>
#include <QSaveFile>
#include <QThread>

#include <csignal>

namespace e2e {

namespace {

// Runs the updater given after the sandbox folder and a tag, and records its
// id and then its exit code, each file appearing whole.
const QString UpdaterWrapper = uR"(R="$1"; T="$2"; u="$3"; shift 3; "$u" "$@" >"$R/updater$T.out" 2>&1 & pid=$!;
echo $pid >"$R/updater$T.pid.part" && mv "$R/updater$T.pid.part" "$R/updater$T.pid";
wait $pid; echo $? >"$R/updater$T.rc.part" && mv "$R/updater$T.rc.part" "$R/updater$T.rc")"_s;

bool writeFile(const QString &path, const QByteArray &content)
{
    QSaveFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly)
        && file.write(content) == content.size() && file.commit();
}

bool stillRunning(QProcess &process)
{
    (void)process.waitForFinished(0);
    return process.state() != QProcess::NotRunning;
}

} // namespace

bool waitUntil(const std::function<bool()> &condition, int timeoutMs, int intervalMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QThread::msleep(ulong(intervalMs));
    }
    return true;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool isRunning(pid_t pid)
{
    // The state follows the last ')' of the stat line; a zombie has ended.
    const QByteArray stat = pid > 0 ? readFile(u"/proc/%1/stat"_s.arg(pid)) : QByteArray();
    const qsizetype close = stat.lastIndexOf(')');
    return close >= 0 && close + 2 < stat.size() && stat.at(close + 2) != 'Z' && stat.at(close + 2) != 'X';
}

ProgramResult runProgram(const QString &program, const QStringList &arguments,
                         const QProcessEnvironment &environment, int timeoutMs)
{
    ProgramResult result;
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    result.finished = process.waitForFinished(timeoutMs) && process.exitStatus() == QProcess::NormalExit;
    result.exitCode = result.finished ? process.exitCode() : -1;
    result.output = process.readAll();
    return result;
}

XSession::XSession()
{
    for (int attempt = 0; attempt < 3 && !isValid(); ++attempt) {
        stop();
        start();
    }
}

void XSession::start()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(u"DISPLAY"_s);
    {
        // Servers started at the same moment may both pick the same free
        // display number; tests on this machine start theirs one at a time.
        QLockFile startLock(QDir::temp().filePath(u"corvatone-e2e-xserver.lock"_s));
        if (!startLock.tryLock(60000))
            return;
        m_server = std::make_unique<QProcess>();
        m_server->setProcessEnvironment(environment);
        m_server->setStandardErrorFile(m_home.filePath(u"xvfb.log"_s));
        // The server writes its display number once it accepts connections.
        m_server->start(u"Xvfb"_s, {u"-displayfd"_s, u"1"_s, u"-screen"_s, u"0"_s, u"1280x800x24"_s, u"-nolisten"_s, u"tcp"_s});
        QByteArray number;
        while (!number.endsWith('\n') && m_server->waitForReadyRead(20000))
            number += m_server->readAllStandardOutput();
        if (!number.endsWith('\n') || !stillRunning(*m_server))
            return;
        m_display = u':' + QString::fromLatin1(number.trimmed());
    }

    environment.insert(u"DISPLAY"_s, m_display);
    environment.insert(u"HOME"_s, m_home.path());
    m_windowManager = std::make_unique<QProcess>();
    m_windowManager->setProcessEnvironment(environment);
    m_windowManager->setProcessChannelMode(QProcess::MergedChannels);
    m_windowManager->setStandardOutputFile(m_home.filePath(u"openbox.log"_s));
    m_windowManager->start(u"openbox"_s, {u"--sm-disable"_s});
    const auto managing = [&] {
        return runProgram(u"xprop"_s, {u"-root"_s, u"_NET_SUPPORTING_WM_CHECK"_s}, this->environment(), 5000)
            .output.contains("window id");
    };
    m_windowManagerReady = waitUntil([&] { return !stillRunning(*m_windowManager) || managing(); }, 10000, 50)
        && stillRunning(*m_windowManager);
}

void XSession::stop()
{
    for (QProcess *process : {m_windowManager.get(), m_server.get()}) {
        if (process) {
            process->terminate();
            (void)process->waitForFinished(3000);
        }
    }
    // What did not end on the request is killed as the processes go.
    m_windowManager.reset();
    m_server.reset();
    m_display.clear();
}

QString XSession::diagnostics() const
{
    return u"display %1\n--- Xvfb:\n%2\n--- openbox:\n%3"_s.arg(
        m_display, QString::fromLocal8Bit(readFile(m_home.filePath(u"xvfb.log"_s))),
        QString::fromLocal8Bit(readFile(m_home.filePath(u"openbox.log"_s))));
}

QProcessEnvironment XSession::environment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"DISPLAY"_s, m_display);
    environment.insert(u"LC_ALL"_s, u"C.UTF-8"_s);
    return environment;
}

QStringList XSession::windows(const QString &title, pid_t pid) const
{
    QStringList arguments {u"search"_s, u"--all"_s, u"--onlyvisible"_s};
    if (pid > 0)
        arguments << u"--pid"_s << QString::number(pid);
    arguments << u"--name"_s << u'^' + QRegularExpression::escape(title) + u'$';
    return QString::fromUtf8(xdotool(arguments).output).split(u'\n', Qt::SkipEmptyParts);
}

QString XSession::waitForWindow(const QString &title, int timeoutMs, pid_t pid) const
{
    QString found;
    (void)waitUntil([&] { return !(found = windows(title, pid).value(0)).isEmpty(); }, timeoutMs, 100);
    return found;
}

QSize XSession::windowSize(const QString &window) const
{
    const QString shell = QString::fromLatin1(xdotool({u"getwindowgeometry"_s, u"--shell"_s, window}).output);
    const QRegularExpressionMatch m =
        QRegularExpression(u"^WIDTH=(\\d+)\nHEIGHT=(\\d+)$"_s, QRegularExpression::MultilineOption).match(shell);
    return m.hasMatch() ? QSize(m.captured(1).toInt(), m.captured(2).toInt()) : QSize();
}

Sandbox::Sandbox(const QString &clientName)
    : m_clientNames({clientName})
{
    QByteArray library(300 * 1024, '\0');
    for (qsizetype i = 0; i < library.size(); ++i)
        library[i] = char((i * 131) ^ (i >> 7));
    m_original = {
        {u"components.xml"_s,
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Packages>\n    <ApplicationName>Corvatone</ApplicationName>\n"
         "    <Package>\n        <Name>com.quintaver.tallyroom</Name>\n        <Version>2.3.1</Version>\n"
         "    </Package>\n</Packages>\n"},
        {u"app/data.txt"_s, "settings version 2.3.1\n"},
        {u"app/corvatone-core.dll"_s, library},
        {u"app/plugins/imageformats/qjpeg.dll"_s, QByteArray(40000, 'j')},
        {u"translations/corvatone_ru.qm"_s, u"Привет"_s.toUtf8()},
        {u"README.txt"_s, "Corvatone 2.3.1\n"},
    };
    QDir dir(root());
    m_valid = m_root.isValid() && dir.mkpath(u"tmp"_s) && dir.mkpath(u"home/Desktop"_s) && dir.mkpath(u"runtime"_s)
        && QFile::setPermissions(root() + u"/runtime"_s, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)
        && std::all_of(m_original.keyBegin(), m_original.keyEnd(),
                       [&](const QString &file) { return writeFile(installation() + u'/' + file, m_original[file]); })
        && QFile::copy(QStringLiteral(STANDIN_CLIENT_PATH), clientPath())
        && QFile::copy(QStringLiteral(STANDIN_MAINTENANCETOOL_PATH), toolPath());
}

Sandbox::~Sandbox()
{
    // Only processes this sandbox started: the updaters and clients it recorded.
    QList<pid_t> pids;
    for (const QString &record : QDir(root()).entryList({u"updater*.pid"_s}, QDir::Files))
        pids.append(pid_t(readFile(root() + u'/' + record).trimmed().toLongLong()));
    for (const QString &name : std::as_const(m_clientNames)) {
        for (const QJsonObject &start : clientStarts(name))
            pids.append(pid_t(start.value(u"pid"_s).toInteger()));
    }
    const QString updater = canonical(QStringLiteral(UPDATER_HELPER_PATH));
    const QString installationPrefix = canonical(installation()) + u'/';
    for (const pid_t pid : std::as_const(pids)) {
        const QString executable = QFileInfo(u"/proc/%1/exe"_s.arg(pid)).symLinkTarget();
        if (isRunning(pid) && (executable == updater || executable.startsWith(installationPrefix)))
            ::kill(pid, SIGKILL);
    }
}

bool Sandbox::setToolScenario(const QByteArray &scenario)
{
    return writeFile(toolPath() + u".scenario"_s, scenario);
}

QMap<QString, QByteArray> Sandbox::currentFiles() const
{
    QMap<QString, QByteArray> files;
    QDirIterator it(installation(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relative = QDir(installation()).relativeFilePath(it.next());
        const auto standin = [&](const QString &name) { return relative.startsWith(name); };
        if (!standin(u"maintenancetool.exe"_s) && std::none_of(m_clientNames.cbegin(), m_clientNames.cend(), standin))
            files.insert(relative, readFile(it.filePath()));
    }
    return files;
}

QProcessEnvironment Sandbox::environment(const XSession &x) const
{
    QProcessEnvironment environment = x.environment();
    for (const QString &key : environment.keys()) {
        if (key.startsWith(u"XDG_"_s) || key == u"TMP"_s || key == u"TEMP"_s)
            environment.remove(key);
    }
    environment.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
#ifdef UPDATER_LSAN_SUPPRESSIONS
    // The programs under test carry the leak checker too, and on a real
    // display they load libraries with leaks of their own.
    if (!environment.value(u"LSAN_OPTIONS"_s).contains(u"suppressions="_s))
        environment.insert(u"LSAN_OPTIONS"_s, QStringLiteral("suppressions=" UPDATER_LSAN_SUPPRESSIONS ":print_suppressions=0"));
#endif
    environment.insert(u"TMPDIR"_s, temp());
    environment.insert(u"HOME"_s, root() + u"/home"_s);
    environment.insert(u"XDG_RUNTIME_DIR"_s, root() + u"/runtime"_s);
    return environment;
}

bool Sandbox::startDetached(const XSession &x, const QString &program, const QStringList &arguments) const
{
    QProcess process;
    process.setProcessEnvironment(environment(x));
    process.setWorkingDirectory(installation());
    // Nothing started here may hold the test's own output open.
    process.setStandardOutputFile(root() + u"/started.out"_s, QIODevice::Append);
    process.setStandardErrorFile(root() + u"/started.out"_s, QIODevice::Append);
    process.setProgram(program);
    process.setArguments(arguments);
    return process.startDetached();
}

QStringList Sandbox::wrapped(const QString &tag, const QStringList &updaterArgs) const
{
    return QStringList {u"-c"_s, UpdaterWrapper, u"updater-wrapper"_s, root(), tag, QStringLiteral(UPDATER_HELPER_PATH)}
        + updaterArgs;
}

std::optional<int> Sandbox::waitForUpdaterFile(const QString &tag, const char *suffix, int timeoutMs) const
{
    const QString path = updaterFile(tag, suffix);
    if (!waitUntil([&] { return QFileInfo::exists(path); }, timeoutMs))
        return std::nullopt;
    return readFile(path).trimmed().toInt();
}

QList<QJsonObject> Sandbox::clientStarts(const QString &clientName) const
{
    QList<QJsonObject> starts;
    const QString name = clientName.isEmpty() ? m_clientNames.first() : clientName;
    for (const QByteArray &line : readFile(installation() + u'/' + name + u".starts"_s).split('\n')) {
        if (!line.isEmpty())
            starts.append(QJsonDocument::fromJson(line).object());
    }
    return starts;
}

} // namespace e2e
