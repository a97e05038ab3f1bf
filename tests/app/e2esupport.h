// Helpers for driving the real updater executable as the client and a user
// would: a private X display, a throw-away installation with the stand-in
// client and maintenance tool, and ways to wait for what the run leaves behind.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QProcessEnvironment>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <optional>
#include <ostream>

#include <sys/types.h>

// Readable test failures for the Qt types the tests compare.
inline void PrintTo(const QByteArray &bytes, std::ostream *os)
{
    *os << '"' << bytes.toStdString() << '"';
}
inline void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QStringList &list, std::ostream *os)
{
    *os << '[' << list.join(QStringLiteral(", ")).toStdString() << ']';
}
inline void PrintTo(const QSize &size, std::ostream *os)
{
    *os << size.width() << 'x' << size.height();
}

namespace e2e {

// Polls a condition until it holds or the time is up.
[[nodiscard]] bool waitUntil(const std::function<bool()> &condition, int timeoutMs, int intervalMs = 25);

[[nodiscard]] QByteArray readFile(const QString &path);
[[nodiscard]] bool writeFile(const QString &path, const QByteArray &content);
[[nodiscard]] qint64 realtimeNanoseconds();

// Whether a process with this id exists and has not ended.
[[nodiscard]] bool isRunning(pid_t pid);

// A finished helper program.
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
    ~XSession();
    XSession(const XSession &) = delete;
    XSession &operator=(const XSession &) = delete;

    [[nodiscard]] bool isValid() const { return !m_display.isEmpty() && m_windowManagerReady; }
    QString display() const { return m_display; }
    // What the server and the window manager said, for failure messages.
    QString diagnostics() const;
    // Environment for programs that talk to this display.
    QProcessEnvironment environment() const;

    [[nodiscard]] ProgramResult xdotool(const QStringList &arguments) const;
    // Ids of the visible windows whose title is exactly this text, of one
    // process when a process id is given.
    [[nodiscard]] QStringList windows(const QString &title, pid_t pid = 0) const;
    [[nodiscard]] QString waitForWindow(const QString &title, int timeoutMs, pid_t pid = 0) const;
    [[nodiscard]] bool waitForNoWindow(const QString &title, int timeoutMs) const;
    [[nodiscard]] QSize windowSize(const QString &window) const;
    // Gives the window the keyboard focus and types the key into it.
    [[nodiscard]] bool pressKey(const QString &window, const QString &key) const;

private:
    void start();

    pid_t m_server = -1;
    pid_t m_windowManager = -1;
    QString m_display;
    QTemporaryDir m_home;
    bool m_windowManagerReady = false;
};

// A throw-away installation of the client, with the updater's own temporary
// folder and home, and the stand-ins copied in under the names a test needs.
class Sandbox
{
public:
    explicit Sandbox(const QString &clientName);
    ~Sandbox();
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    [[nodiscard]] bool isValid() const { return m_valid; }

    QString root() const { return m_root.path(); }
    QString installation() const { return root() + QStringLiteral("/install"); }
    QString temp() const { return root() + QStringLiteral("/tmp"); }
    QString home() const { return root() + QStringLiteral("/home"); }
    QString handoffFile() const { return root() + QStringLiteral("/handoff"); }
    QString clientPath() const { return installation() + QLatin1Char('/') + m_clientName; }
    QString toolPath() const { return installation() + QStringLiteral("/maintenancetool.exe"); }
    QString logPath() const { return temp() + QStringLiteral("/Corvatone-update.log"); }
    QString repository() const { return QStringLiteral("https://updates.example.invalid/corvatone/win64"); }

    // Installs one more copy of the stand-in client under another name.
    [[nodiscard]] bool addClientCopy(const QString &name);
    void setToolScenario(const QByteArray &scenario);
    void setClientScenario(const QByteArray &scenario, const QString &clientName = QString());

    // The files of the installation before any update, relative path to content.
    QMap<QString, QByteArray> originalFiles() const { return m_original; }
    QMap<QString, QByteArray> currentFiles() const;

    // The environment of the processes under test: their own TMPDIR and HOME
    // and the test's display.
    QProcessEnvironment environment(const XSession &x) const;
    // The updater's options as the client passes them.
    QStringList updaterArguments(const QStringList &extra = {}) const;

    // Starts the stand-in client with its own options, which starts the
    // updater with these arguments; the updater's id and exit code are
    // recorded beside the sandbox.
    [[nodiscard]] bool startClient(const XSession &x, const QStringList &clientOptions,
                                   const QStringList &updaterArgs);
    // Starts the updater directly, without a client.
    [[nodiscard]] bool startUpdater(const XSession &x, const QStringList &updaterArgs, const QString &tag);

    [[nodiscard]] std::optional<int> waitForUpdaterExit(int timeoutMs, const QString &tag = QString()) const;
    [[nodiscard]] pid_t waitForUpdaterPid(int timeoutMs, const QString &tag = QString()) const;
    QByteArray updaterOutput(const QString &tag = QString()) const;

    // The starts the client recorded, oldest first.
    QList<QJsonObject> clientStarts(const QString &clientName = QString()) const;
    [[nodiscard]] bool waitForClientStarts(int count, int timeoutMs, const QString &clientName = QString()) const;
    // What the maintenance tool recorded through "record tool.json".
    QJsonObject toolRecord() const;
    QStringList tempEntries() const;

private:
    void killLeftovers();

    QTemporaryDir m_root;
    QString m_clientName;
    QStringList m_clientNames;
    QMap<QString, QByteArray> m_original;
    bool m_valid = false;
};

// The canonical form of a path, for comparing what processes report.
QString canonical(const QString &path);

} // namespace e2e
