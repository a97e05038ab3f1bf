#include "e2esupport.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLockFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace e2e {

namespace {

const QString UpdaterWrapper = QStringLiteral(
    "R=\"$1\"; T=\"$2\"; u=\"$3\"; shift 3; "
    "\"$u\" \"$@\" >\"$R/updater$T.out\" 2>&1 & pid=$!; "
    "echo $pid >\"$R/updater$T.pid.part\" && mv \"$R/updater$T.pid.part\" \"$R/updater$T.pid\"; "
    "wait $pid; echo $? >\"$R/updater$T.rc.part\" && mv \"$R/updater$T.rc.part\" \"$R/updater$T.rc\"");

QByteArray componentsXml(const QByteArray &version)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Packages>\n"
           "    <ApplicationName>Corvatone</ApplicationName>\n"
           "    <ApplicationVersion>" + version + "</ApplicationVersion>\n"
           "    <Package>\n"
           "        <Name>com.quintaver.tallyroom</Name>\n"
           "        <Title>Corvatone</Title>\n"
           "        <Version>" + version + "</Version>\n"
           "        <LastUpdateDate>2024-03-01</LastUpdateDate>\n"
           "        <InstallDate>2024-03-01</InstallDate>\n"
           "        <Size>48213504</Size>\n"
           "        <Checkable>true</Checkable>\n"
           "    </Package>\n</Packages>\n";
}

// Starts a program with fork and exec, the given descriptor left open for it
// and its output thrown away. Everything the child needs is built beforehand.
pid_t spawn(const QStringList &command, const QProcessEnvironment &environment, int keepOpen = -1,
            const QString &logFile = QString())
{
    QList<QByteArray> args;
    for (const QString &a : command)
        args.append(QFile::encodeName(a));
    QList<QByteArray> env;
    for (const QString &e : environment.toStringList())
        env.append(e.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (QByteArray &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const int log = logFile.isEmpty() ? -1
                                      : ::open(QFile::encodeName(logFile).constData(),
                                               O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);

    const pid_t pid = ::fork();
    if (pid == 0) {
        if (devNull >= 0) {
            ::dup2(devNull, STDIN_FILENO);
        }
        ::dup2(log >= 0 ? log : devNull, STDOUT_FILENO);
        ::dup2(log >= 0 ? log : devNull, STDERR_FILENO);
        if (keepOpen >= 0)
            ::fcntl(keepOpen, F_SETFD, 0);
        ::execvpe(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    if (devNull >= 0)
        ::close(devNull);
    if (log >= 0)
        ::close(log);
    return pid;
}

void stopChild(pid_t pid)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    QElapsedTimer timer;
    timer.start();
    while (::waitpid(pid, nullptr, WNOHANG) == 0) {
        if (timer.elapsed() > 3000) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            return;
        }
        QThread::msleep(10);
    }
}

QString executableOf(pid_t pid)
{
    return QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
}

} // namespace

bool waitUntil(const std::function<bool()> &condition, int timeoutMs, int intervalMs)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        if (condition())
            return true;
        if (timer.elapsed() > timeoutMs)
            return false;
        QThread::msleep(ulong(intervalMs));
    }
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.commit();
}

qint64 realtimeNanoseconds()
{
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

bool isRunning(pid_t pid)
{
    if (pid <= 0)
        return false;
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0 || close + 2 >= stat.size())
        return false;
    const char state = stat.at(close + 2);
    return state != 'Z' && state != 'X';
}

QString canonical(const QString &path)
{
    return QFileInfo(path).canonicalFilePath();
}

ProgramResult runProgram(const QString &program, const QStringList &arguments,
                         const QProcessEnvironment &environment, int timeoutMs)
{
    ProgramResult result;
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForStarted(timeoutMs))
        return result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        result.output = process.readAll();
        return result;
    }
    result.output = process.readAll();
    result.finished = process.exitStatus() == QProcess::NormalExit;
    result.exitCode = process.exitCode();
    return result;
}

XSession::XSession()
{
    for (int attempt = 0; attempt < 3 && !isValid(); ++attempt) {
        stopChild(m_windowManager);
        stopChild(m_server);
        m_windowManager = m_server = -1;
        m_display.clear();
        start();
    }
}

void XSession::start()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    {
        // Servers started at the same moment may both pick the same free
        // display number; tests on this machine start theirs one at a time.
        QLockFile startLock(QDir::temp().filePath(QStringLiteral("corvatone-e2e-xserver.lock")));
        if (!startLock.tryLock(60000))
            return;
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return;
        m_server = spawn({QStringLiteral("Xvfb"), QStringLiteral("-displayfd"), QString::number(fds[1]),
                          QStringLiteral("-screen"), QStringLiteral("0"), QStringLiteral("1280x800x24"),
                          QStringLiteral("-nolisten"), QStringLiteral("tcp")},
                         environment, fds[1], m_home.filePath(QStringLiteral("xvfb.log")));
        ::close(fds[1]);

        // The server writes its display number once it accepts connections.
        QByteArray number;
        QElapsedTimer timer;
        timer.start();
        while (!number.endsWith('\n') && timer.elapsed() < 20000) {
            pollfd p {fds[0], POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0)
                continue;
            char buffer[32];
            const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
            if (n <= 0)
                break;
            number.append(buffer, n);
        }
        ::close(fds[0]);
        if (!number.endsWith('\n') || ::waitpid(m_server, nullptr, WNOHANG) != 0)
            return;
        m_display = QLatin1Char(':') + QString::fromLatin1(number.trimmed());
    }

    QProcessEnvironment wmEnvironment = environment;
    wmEnvironment.insert(QStringLiteral("DISPLAY"), m_display);
    wmEnvironment.insert(QStringLiteral("HOME"), m_home.path());
    m_windowManager = spawn({QStringLiteral("openbox"), QStringLiteral("--sm-disable")}, wmEnvironment, -1,
                            m_home.filePath(QStringLiteral("openbox.log")));
    m_windowManagerReady = waitUntil(
        [&] {
            if (::waitpid(m_windowManager, nullptr, WNOHANG) != 0)
                return true;
            const ProgramResult r = runProgram(QStringLiteral("xprop"),
                                               {QStringLiteral("-root"), QStringLiteral("_NET_SUPPORTING_WM_CHECK")},
                                               this->environment(), 5000);
            return r.output.contains("window id");
        },
        10000, 50)
        && ::waitpid(m_windowManager, nullptr, WNOHANG) == 0;
}

QString XSession::diagnostics() const
{
    return QStringLiteral("display %1\n--- Xvfb:\n%2\n--- openbox:\n%3")
        .arg(m_display, QString::fromLocal8Bit(readFile(m_home.filePath(QStringLiteral("xvfb.log")))),
             QString::fromLocal8Bit(readFile(m_home.filePath(QStringLiteral("openbox.log")))));
}

XSession::~XSession()
{
    stopChild(m_windowManager);
    stopChild(m_server);
}

QProcessEnvironment XSession::environment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), m_display);
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    return environment;
}

ProgramResult XSession::xdotool(const QStringList &arguments) const
{
    return runProgram(QStringLiteral("xdotool"), arguments, environment(), 10000);
}

QStringList XSession::windows(const QString &title, pid_t pid) const
{
    QStringList arguments {QStringLiteral("search"), QStringLiteral("--all"), QStringLiteral("--onlyvisible")};
    if (pid > 0)
        arguments << QStringLiteral("--pid") << QString::number(pid);
    arguments << QStringLiteral("--name") << QLatin1Char('^') + QRegularExpression::escape(title) + QLatin1Char('$');
    const ProgramResult r = xdotool(arguments);
    return QString::fromUtf8(r.output).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString XSession::waitForWindow(const QString &title, int timeoutMs, pid_t pid) const
{
    QString found;
    (void)waitUntil(
        [&] {
            const QStringList ids = windows(title, pid);
            found = ids.value(0);
            return !found.isEmpty();
        },
        timeoutMs, 100);
    return found;
}

bool XSession::waitForNoWindow(const QString &title, int timeoutMs) const
{
    return waitUntil([&] { return windows(title).isEmpty(); }, timeoutMs, 100);
}

QSize XSession::windowSize(const QString &window) const
{
    const ProgramResult r = xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), window});
    int width = -1;
    int height = -1;
    for (const QByteArray &line : r.output.split('\n')) {
        if (line.startsWith("WIDTH="))
            width = line.mid(6).toInt();
        else if (line.startsWith("HEIGHT="))
            height = line.mid(7).toInt();
    }
    return QSize(width, height);
}

bool XSession::pressKey(const QString &window, const QString &key) const
{
    return xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), window}).exitCode == 0
        && xdotool({QStringLiteral("key"), QStringLiteral("--clearmodifiers"), key}).exitCode == 0;
}

Sandbox::Sandbox(const QString &clientName)
    : m_clientName(clientName)
    , m_clientNames({clientName})
{
    if (!m_root.isValid())
        return;
    QDir dir(root());
    if (!dir.mkpath(QStringLiteral("install")) || !dir.mkpath(QStringLiteral("tmp"))
        || !dir.mkpath(QStringLiteral("home/Desktop")) || !dir.mkpath(QStringLiteral("runtime")))
        return;
    QFile::setPermissions(root() + QStringLiteral("/runtime"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QByteArray library(300 * 1024, '\0');
    for (qsizetype i = 0; i < library.size(); ++i)
        library[i] = char((i * 131) ^ (i >> 7));
    m_original = {
        {QStringLiteral("components.xml"), componentsXml("2.3.1")},
        {QStringLiteral("app/data.txt"), "settings version 2.3.1\n"},
        {QStringLiteral("app/corvatone-core.dll"), library},
        {QStringLiteral("app/plugins/imageformats/qjpeg.dll"), QByteArray(40000, 'j')},
        {QStringLiteral("translations/corvatone_ru.qm"), "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82"},
        {QStringLiteral("README.txt"), "Corvatone 2.3.1\n"},
    };
    for (auto it = m_original.cbegin(); it != m_original.cend(); ++it) {
        if (!writeFile(installation() + QLatin1Char('/') + it.key(), it.value()))
            return;
    }
    if (!QFile::copy(QStringLiteral(STANDIN_CLIENT_PATH), clientPath())
        || !QFile::copy(QStringLiteral(STANDIN_MAINTENANCETOOL_PATH), toolPath()))
        return;
    m_valid = true;
}

Sandbox::~Sandbox()
{
    killLeftovers();
}

void Sandbox::killLeftovers()
{
    // Only processes this sandbox started: updaters and clients it recorded.
    QList<pid_t> pids;
    const QStringList records = QDir(root()).entryList({QStringLiteral("updater*.pid")}, QDir::Files);
    for (const QString &record : records)
        pids.append(pid_t(readFile(root() + QLatin1Char('/') + record).trimmed().toLongLong()));
    for (const QString &name : m_clientNames) {
        for (const QJsonObject &start : clientStarts(name))
            pids.append(pid_t(start.value(QStringLiteral("pid")).toInteger()));
    }
    const QString updater = canonical(QStringLiteral(UPDATER_HELPER_PATH));
    const QString installationPrefix = canonical(installation()) + QLatin1Char('/');
    for (const pid_t pid : pids) {
        if (!isRunning(pid))
            continue;
        const QString executable = executableOf(pid);
        if (executable == updater || executable.startsWith(installationPrefix))
            ::kill(pid, SIGKILL);
    }
}

bool Sandbox::addClientCopy(const QString &name)
{
    m_clientNames.append(name);
    return QFile::copy(QStringLiteral(STANDIN_CLIENT_PATH), installation() + QLatin1Char('/') + name);
}

void Sandbox::setToolScenario(const QByteArray &scenario)
{
    (void)writeFile(toolPath() + QStringLiteral(".scenario"), scenario);
}

void Sandbox::setClientScenario(const QByteArray &scenario, const QString &clientName)
{
    const QString name = clientName.isEmpty() ? m_clientName : clientName;
    (void)writeFile(installation() + QLatin1Char('/') + name + QStringLiteral(".scenario"), scenario);
}

QMap<QString, QByteArray> Sandbox::currentFiles() const
{
    QMap<QString, QByteArray> files;
    const QDir base(installation());
    QDirIterator it(installation(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = base.relativeFilePath(path);
        const bool standin = relative.startsWith(QStringLiteral("maintenancetool.exe"))
            || std::any_of(m_clientNames.cbegin(), m_clientNames.cend(),
                           [&](const QString &name) { return relative.startsWith(name); });
        if (!standin)
            files.insert(relative, readFile(path));
    }
    return files;
}

QProcessEnvironment Sandbox::environment(const XSession &x) const
{
    QProcessEnvironment environment = x.environment();
    for (const QString &key : environment.keys()) {
        if (key.startsWith(QLatin1String("XDG_")) || key == QLatin1String("QT_QPA_PLATFORM")
            || key == QLatin1String("TMP") || key == QLatin1String("TEMP"))
            environment.remove(key);
    }
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
#ifdef UPDATER_LSAN_SUPPRESSIONS
    // The programs under test carry the leak checker too, and on a real
    // display they load libraries with leaks of their own.
    if (!environment.value(QStringLiteral("LSAN_OPTIONS")).contains(QLatin1String("suppressions=")))
        environment.insert(QStringLiteral("LSAN_OPTIONS"),
                           QStringLiteral("suppressions=" UPDATER_LSAN_SUPPRESSIONS ":print_suppressions=0"));
#endif
    environment.insert(QStringLiteral("TMPDIR"), temp());
    environment.insert(QStringLiteral("HOME"), home());
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), root() + QStringLiteral("/runtime"));
    return environment;
}

QStringList Sandbox::updaterArguments(const QStringList &extra) const
{
    return QStringList {QStringLiteral("--maintenance-tool"), toolPath(),
                        QStringLiteral("--repository"), repository(),
                        QStringLiteral("--application"), clientPath(),
                        QStringLiteral("--working-directory"), installation(),
                        QStringLiteral("--handoff-file"), handoffFile()}
        + extra;
}

bool Sandbox::startClient(const XSession &x, const QStringList &clientOptions, const QStringList &updaterArgs)
{
    QProcessEnvironment environment = this->environment(x);
    QProcess client;
    client.setProcessEnvironment(environment);
    client.setWorkingDirectory(installation());
    client.setStandardOutputFile(root() + QStringLiteral("/client.out"), QIODevice::Append);
    client.setStandardErrorFile(root() + QStringLiteral("/client.out"), QIODevice::Append);
    client.setProgram(clientPath());
    client.setArguments(clientOptions
                        + QStringList {QStringLiteral("--run-updater"), QStringLiteral("/bin/sh"), QStringLiteral("--"),
                                       QStringLiteral("-c"), UpdaterWrapper, QStringLiteral("updater-wrapper"),
                                       root(), QString(), QStringLiteral(UPDATER_HELPER_PATH)}
                        + updaterArgs);
    return client.startDetached();
}

bool Sandbox::startUpdater(const XSession &x, const QStringList &updaterArgs, const QString &tag)
{
    QProcess wrapper;
    wrapper.setProcessEnvironment(environment(x));
    wrapper.setStandardOutputFile(root() + QStringLiteral("/wrapper.out"), QIODevice::Append);
    wrapper.setStandardErrorFile(root() + QStringLiteral("/wrapper.out"), QIODevice::Append);
    wrapper.setProgram(QStringLiteral("/bin/sh"));
    wrapper.setArguments(QStringList {QStringLiteral("-c"), UpdaterWrapper, QStringLiteral("updater-wrapper"),
                                      root(), tag, QStringLiteral(UPDATER_HELPER_PATH)}
                         + updaterArgs);
    return wrapper.startDetached();
}

std::optional<int> Sandbox::waitForUpdaterExit(int timeoutMs, const QString &tag) const
{
    const QString path = root() + QStringLiteral("/updater") + tag + QStringLiteral(".rc");
    if (!waitUntil([&] { return QFileInfo::exists(path); }, timeoutMs))
        return std::nullopt;
    return readFile(path).trimmed().toInt();
}

pid_t Sandbox::waitForUpdaterPid(int timeoutMs, const QString &tag) const
{
    const QString path = root() + QStringLiteral("/updater") + tag + QStringLiteral(".pid");
    if (!waitUntil([&] { return QFileInfo::exists(path); }, timeoutMs))
        return -1;
    return pid_t(readFile(path).trimmed().toLongLong());
}

QByteArray Sandbox::updaterOutput(const QString &tag) const
{
    return readFile(root() + QStringLiteral("/updater") + tag + QStringLiteral(".out"));
}

QList<QJsonObject> Sandbox::clientStarts(const QString &clientName) const
{
    const QString name = clientName.isEmpty() ? m_clientName : clientName;
    QList<QJsonObject> starts;
    const QByteArray content = readFile(installation() + QLatin1Char('/') + name + QStringLiteral(".starts"));
    for (const QByteArray &line : content.split('\n')) {
        if (!line.isEmpty())
            starts.append(QJsonDocument::fromJson(line).object());
    }
    return starts;
}

bool Sandbox::waitForClientStarts(int count, int timeoutMs, const QString &clientName) const
{
    return waitUntil([&] { return clientStarts(clientName).size() >= count; }, timeoutMs);
}

QJsonObject Sandbox::toolRecord() const
{
    return QJsonDocument::fromJson(readFile(root() + QStringLiteral("/tool.json"))).object();
}

QStringList Sandbox::tempEntries() const
{
    return QDir(temp()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace e2e
