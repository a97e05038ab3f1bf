// Helpers for driving the real updater executable as the client and a user
// would: a private X display, a throw-away installation with the stand-in
// client and maintenance tool, and ways to wait for what the run leaves behind.
#pragma once

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QSize>
#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>

#include <sys/types.h>

using namespace Qt::StringLiterals;

// Readable test failures for the Qt types the tests compare.
inline void PrintTo(const QByteArray &bytes, std::ostream *os) { *os << '"' << bytes.toStdString() << '"'; }
inline void PrintTo(const QString &text, std::ostream *os) { *os << '"' << text.toStdString() << '"'; }
inline void PrintTo(const QSize &size, std::ostream *os) { *os << size.width() << 'x' << size.height(); }

namespace e2e {

// Polls a condition until it holds or the time is up.
[[nodiscard]] bool waitUntil(const std::function<bool()> &condition, int timeoutMs, int intervalMs = 25);
[[nodiscard]] QByteArray readFile(const QString &path);
// Whether a process with this id exists and has not ended.
[[nodiscard]] bool isRunning(pid_t pid);

inline qint64 realtimeNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}
// The canonical form of a path, for comparing what processes report.
inline QString canonical(const QString &path) { return QFileInfo(path).canonicalFilePath(); }
inline QStringList toStrings(const QJsonValue &array) { return array.toVariant().toStringList(); }

struct ProgramResult
{
    bool finished = false;
    int exitCode = -1;
    QByteArray output;
};

[[nodiscard]] ProgramResult runProgram(const QString &program, const QStringList &arguments,
                                       const QProcessEnvironment &environment, int timeoutMs = 30000);

// A virtual X server with a window manager, private to one test.
class XSession
{
public:
    XSession();
    ~XSession() { stop(); }

    [[nodiscard]] bool isValid() const { return !m_display.isEmpty() && m_windowManagerReady; }
    // What the server and the window manager said, for failure messages.
    QString diagnostics() const;
    QProcessEnvironment environment() const;

    [[nodiscard]] ProgramResult xdotool(const QStringList &arguments) const
    {
        return runProgram(u"xdotool"_s, arguments, environment(), 10000);
    }
    // Ids of the visible windows whose title is exactly this text, of one
    // process when a process id is given.
    [[nodiscard]] QStringList windows(const QString &title, pid_t pid = 0) const;
    [[nodiscard]] QString waitForWindow(const QString &title, int timeoutMs, pid_t pid = 0) const;
    [[nodiscard]] QSize windowSize(const QString &window) const;
    // Gives the window the keyboard focus and types the key into it.
    [[nodiscard]] bool pressKey(const QString &window, const QString &key) const
    {
        return xdotool({u"windowfocus"_s, u"--sync"_s, window}).exitCode == 0
            && xdotool({u"key"_s, u"--clearmodifiers"_s, key}).exitCode == 0;
    }

private:
    void start();
    void stop();

    std::unique_ptr<QProcess> m_server;
    std::unique_ptr<QProcess> m_windowManager;
    QString m_display;
    QTemporaryDir m_home;
    bool m_windowManagerReady = false;
};

// A throw-away installation of the client, with the updater's own temporary
// folder and home, and the stand-ins copied in under the names a test needs.
// The updater runs under a shell wrapper that records its id, output and exit
// code beside the sandbox as "updater<tag>.pid/.out/.rc".
class Sandbox
{
public:
    explicit Sandbox(const QString &clientName);
    ~Sandbox();

    [[nodiscard]] bool isValid() const { return m_valid; }

    QString root() const { return m_root.path(); }
    QString installation() const { return root() + u"/install"_s; }
    QString temp() const { return root() + u"/tmp"_s; }
    QString handoffFile() const { return root() + u"/handoff"_s; }
    QString clientPath() const { return installation() + u'/' + m_clientNames.first(); }
    QString toolPath() const { return installation() + u"/maintenancetool.exe"_s; }
    QString logPath() const { return temp() + u"/Corvatone-update.log"_s; }
    QString repository() const { return u"https://updates.example.invalid/corvatone/win64"_s; }

    // Installs one more copy of the stand-in client under another name.
    [[nodiscard]] bool addClientCopy(const QString &name)
    {
        m_clientNames.append(name);
        return QFile::copy(QStringLiteral(STANDIN_CLIENT_PATH), installation() + u'/' + name);
    }
    [[nodiscard]] bool setToolScenario(const QByteArray &scenario);

    // The files of the installation without the stand-ins, relative path to content.
    QMap<QString, QByteArray> originalFiles() const { return m_original; }
    QMap<QString, QByteArray> currentFiles() const;

    // Own TMPDIR and HOME, and the test's display.
    QProcessEnvironment environment(const XSession &x) const;
    // The updater's options as the client passes them.
    QStringList updaterArguments(const QStringList &extra = {}) const
    {
        return QStringList {u"--maintenance-tool"_s, toolPath(), u"--repository"_s, repository(), u"--application"_s,
                            clientPath(), u"--working-directory"_s, installation(), u"--handoff-file"_s, handoffFile()}
            + extra;
    }

    // Starts the stand-in client with its own options, which starts the updater.
    [[nodiscard]] bool startClient(const XSession &x, const QStringList &clientOptions, const QStringList &updaterArgs) const
    {
        return startDetached(x, clientPath(),
                             clientOptions + QStringList {u"--run-updater"_s, u"/bin/sh"_s, u"--"_s} + wrapped({}, updaterArgs));
    }
    // Starts the updater directly, without a client.
    [[nodiscard]] bool startUpdater(const XSession &x, const QStringList &updaterArgs, const QString &tag) const
    {
        return startDetached(x, u"/bin/sh"_s, wrapped(tag, updaterArgs));
    }

    [[nodiscard]] std::optional<int> waitForUpdaterExit(int timeoutMs, const QString &tag = {}) const
    {
        return waitForUpdaterFile(tag, ".rc", timeoutMs);
    }
    [[nodiscard]] pid_t waitForUpdaterPid(int timeoutMs, const QString &tag = {}) const
    {
        return pid_t(waitForUpdaterFile(tag, ".pid", timeoutMs).value_or(-1));
    }
    QByteArray updaterOutput(const QString &tag = {}) const { return readFile(updaterFile(tag, ".out")); }

    // The starts the client recorded, oldest first.
    QList<QJsonObject> clientStarts(const QString &clientName = {}) const;
    [[nodiscard]] bool waitForClientStarts(int count, int timeoutMs, const QString &clientName = {}) const
    {
        return waitUntil([&] { return clientStarts(clientName).size() >= count; }, timeoutMs);
    }
    // What the maintenance tool recorded through "record tool.json".
    QJsonObject toolRecord() const { return QJsonDocument::fromJson(readFile(root() + u"/tool.json"_s)).object(); }
    QStringList tempEntries() const
    {
        return QDir(temp()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    }

private:
    [[nodiscard]] bool startDetached(const XSession &x, const QString &program, const QStringList &arguments) const;
    // The shell's arguments that run the updater under the recording wrapper.
    QStringList wrapped(const QString &tag, const QStringList &updaterArgs) const;
    QString updaterFile(const QString &tag, const char *suffix) const
    {
        return root() + u"/updater"_s + tag + QLatin1String(suffix);
    }
    // The number that the wrapper writes into one of its files, once it is there.
    std::optional<int> waitForUpdaterFile(const QString &tag, const char *suffix, int timeoutMs) const;

    QTemporaryDir m_root;
    QStringList m_clientNames;
    QMap<QString, QByteArray> m_original;
    bool m_valid = false;
};

} // namespace e2e
