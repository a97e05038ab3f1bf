// The update run's own cost, measured on the real executable:
//
// 1. Overhead: the time from the start of the updater process to the start of
//    the maintenance tool, for an installation of about 3,000 files and
//    250 MB, against `rsync -r --fsync` of the same tree. The run backs the
//    installation up in that time, so a plain durable copy is the yardstick;
//    the bar is 1.2 times the copy.
// 2. Output: CPU time and peak memory of the updater while the tool writes
//    200 MB of output, against a run with almost no output. The log must hold
//    every byte and the memory must stay flat.
//
// The updater runs on the offscreen platform, with its own TMPDIR and HOME.
// Run by hand; exits with 1 when a bar is missed.
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <optional>
#include <vector>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr double OverheadBar = 1.2;
constexpr qint64 FlatMemoryBarKiB = 10 * 1024;
constexpr qint64 FloodBytes = 200LL * 1024 * 1024;
constexpr int Rounds = 3;

qint64 realtimeNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

using testsupport::readFile;
using testsupport::writeFile;

// An installation of the client: the stand-ins and a realistic mix of file
// sizes, most of them small, a few large libraries.
struct Installation
{
    QString directory;
    qint64 files = 0;
    qint64 bytes = 0;
};

std::optional<Installation> makeInstallation(const QString &directory, int smallFiles,
                                             int mediumFiles, int largeFiles)
{
    Installation installation{directory, 0, 0};
    if (!QDir().mkpath(directory))
        return std::nullopt;
    QByteArray pool(48 * 1024 * 1024, '\0');
    QRandomGenerator random(20240301);
    random.fillRange(reinterpret_cast<quint32 *>(pool.data()), pool.size() / 4);

    auto add = [&](const QString &relative, qint64 size) {
        const qint64 offset = qint64(random.bounded(quint32(pool.size() - size + 1)));
        if (!writeFile(directory + QLatin1Char('/') + relative, pool.mid(offset, size)))
            return false;
        ++installation.files;
        installation.bytes += size;
        return true;
    };
    // Icons, translations, scripts, small plugins: 1 to 24 KiB.
    for (int i = 0; i < smallFiles; ++i) {
        if (!add(QStringLiteral("resources/group%1/item%2.dat").arg(i % 40).arg(i),
                 1024 + random.bounded(23 * 1024)))
            return std::nullopt;
    }
    // Plugins and data files: 100 KiB to 1 MiB.
    for (int i = 0; i < mediumFiles; ++i) {
        if (!add(QStringLiteral("plugins/kind%1/plugin%2.dll").arg(i % 12).arg(i),
                 100 * 1024 + random.bounded(924 * 1024)))
            return std::nullopt;
    }
    // The big libraries: 8 to 24 MiB.
    for (int i = 0; i < largeFiles; ++i) {
        if (!add(QStringLiteral("lib%1.dll").arg(i),
                 8 * 1024 * 1024 + random.bounded(16 * 1024 * 1024)))
            return std::nullopt;
    }
    if (!QFile::copy(QStringLiteral(STANDIN_CLIENT_PATH),
                     directory + QStringLiteral("/CorvatoneBench.exe"))
        || !QFile::copy(QStringLiteral(STANDIN_MAINTENANCETOOL_PATH),
                        directory + QStringLiteral("/maintenancetool.exe")))
        return std::nullopt;
    return installation;
}

// What one run of the updater left and cost.
struct RunFigures
{
    bool ok = false;
    qint64 toolStartNs = 0; // from the updater's start to the tool's start
    double cpuSeconds = 0;  // user and system time of the updater alone
    qint64 peakRssKiB = 0;
    qint64 logBytes = 0;
};

// Reads the updater's own CPU ticks and peak resident size while it runs.
void sample(pid_t pid, RunFigures &figures)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype close = stat.lastIndexOf(')');
    if (close > 0) {
        const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
        // Fields 14 and 15 of the line (utime, stime) are 11 and 12 after the name.
        if (fields.size() > 12) {
            const double ticks = double(fields.at(11).toLongLong() + fields.at(12).toLongLong());
            figures.cpuSeconds = std::max(figures.cpuSeconds, ticks / double(sysconf(_SC_CLK_TCK)));
        }
    }
    for (const QByteArray &line :
         readFile(QStringLiteral("/proc/%1/status").arg(pid)).split('\n')) {
        if (line.startsWith("VmHWM:"))
            figures.peakRssKiB = std::max(figures.peakRssKiB,
                                          line.mid(6).trimmed().split(' ').value(0).toLongLong());
    }
}

RunFigures runUpdater(const QString &workspace, const QString &installation,
                      const QByteArray &scenario)
{
    RunFigures figures;
    const QString temp = workspace + QStringLiteral("/tmp");
    const QString home = workspace + QStringLiteral("/home");
    const QString record = workspace + QStringLiteral("/tool.json");
    QDir(temp).removeRecursively();
    QDir().mkpath(temp);
    QDir().mkpath(home + QStringLiteral("/Desktop"));
    QFile::remove(record);
    (void)writeFile(installation + QStringLiteral("/maintenancetool.exe.scenario"),
                    "record " + record.toUtf8() + "\n" + scenario);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString &key : environment.keys()) {
        if (key.startsWith(QLatin1String("XDG_")) || key == QLatin1String("DISPLAY"))
            environment.remove(key);
    }
    environment.insert(QStringLiteral("TMPDIR"), temp);
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), workspace);

    const QStringList arguments{QStringLiteral("--maintenance-tool"),
                                installation + QStringLiteral("/maintenancetool.exe"),
                                QStringLiteral("--repository"),
                                QStringLiteral("https://updates.example.invalid/corvatone"),
                                QStringLiteral("--application"),
                                installation + QStringLiteral("/CorvatoneBench.exe"),
                                QStringLiteral("--working-directory"),
                                installation};
    QList<QByteArray> argumentBytes{QFile::encodeName(QStringLiteral(UPDATER_HELPER_PATH))};
    for (const QString &a : arguments)
        argumentBytes.append(QFile::encodeName(a));
    QList<QByteArray> environmentBytes;
    for (const QString &e : environment.toStringList())
        environmentBytes.append(e.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &a : argumentBytes)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (QByteArray &e : environmentBytes)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    const qint64 started = realtimeNanoseconds();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    if (pid < 0)
        return figures;

    int status = 0;
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        sample(pid, figures);
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (timer.elapsed() > 600000) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            std::fprintf(stderr, "the updater did not finish\n");
            return figures;
        }
        QThread::msleep(20);
    }
    const QJsonObject tool = QJsonDocument::fromJson(readFile(record)).object();
    figures.toolStartNs = tool.value(QStringLiteral("startedNs")).toString().toLongLong() - started;
    figures.logBytes = QFileInfo(temp + QStringLiteral("/Corvatone-update.log")).size();
    figures.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && !tool.isEmpty();
    if (!figures.ok)
        std::fprintf(
                stderr, "the updater failed (status %d): %s\n", status,
                readFile(temp + QStringLiteral("/Corvatone-update.log")).right(400).constData());
    return figures;
}

std::optional<qint64> rsyncNanoseconds(const QString &source, const QString &destination)
{
    QDir(destination).removeRecursively();
    QProcess rsync;
    const qint64 started = realtimeNanoseconds();
    rsync.start(QStringLiteral("rsync"),
                {QStringLiteral("-r"), QStringLiteral("--fsync"), source + QLatin1Char('/'),
                 destination + QLatin1Char('/')});
    if (!rsync.waitForFinished(600000) || rsync.exitStatus() != QProcess::NormalExit
        || rsync.exitCode() != 0)
        return std::nullopt;
    return realtimeNanoseconds() - started;
}

qint64 median(std::vector<qint64> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

double ms(qint64 ns)
{
    return double(ns) / 1e6;
}

bool measureOverhead(const QString &workspace)
{
    std::printf("Overhead: updater start to maintenance tool start\n");
    const std::optional<Installation> installation =
            makeInstallation(workspace + QStringLiteral("/Corvatone"), 2790, 200, 6);
    if (!installation) {
        std::fprintf(stderr, "cannot make the installation\n");
        return false;
    }
    std::printf("  installation: %lld files, %.1f MB\n", installation->files + 2,
                double(installation->bytes) / 1e6);

    // The new tree's dirty pages would otherwise be written out during the first round.
    ::sync();
    std::vector<qint64> updater;
    std::vector<qint64> rsync;
    // Round 0 warms the caches and is not counted.
    for (int round = 0; round <= Rounds; ++round) {
        const RunFigures run = runUpdater(workspace, installation->directory, "exit 0\n");
        const std::optional<qint64> copy = rsyncNanoseconds(
                installation->directory, workspace + QStringLiteral("/rsync-copy"));
        if (!run.ok || !copy) {
            std::fprintf(stderr, "a round failed\n");
            return false;
        }
        std::printf("  round %d%s: updater %.0f ms, rsync -r --fsync %.0f ms\n", round,
                    round == 0 ? " (warm-up)" : "", ms(run.toolStartNs), ms(*copy));
        if (round == 0)
            continue;
        updater.push_back(run.toolStartNs);
        rsync.push_back(*copy);
    }
    QDir(workspace + QStringLiteral("/rsync-copy")).removeRecursively();
    const double ratio = double(median(updater)) / double(median(rsync));
    const bool ok = ratio <= OverheadBar;
    std::printf("  median: updater %.0f ms, rsync %.0f ms, ratio %.2f (bar %.1f): %s\n",
                ms(median(updater)), ms(median(rsync)), ratio, OverheadBar,
                ok ? "ok" : "OVER THE BAR");
    return ok;
}

bool measureOutput(const QString &workspace)
{
    std::printf("Output: the updater while the tool writes %lld MB\n", FloodBytes / (1024 * 1024));
    const std::optional<Installation> installation =
            makeInstallation(workspace + QStringLiteral("/Small"), 20, 2, 0);
    if (!installation)
        return false;
    const RunFigures quiet =
            runUpdater(workspace, installation->directory, "out Nothing to update.\\n\n");
    const RunFigures loud = runUpdater(workspace, installation->directory,
                                       "flood " + QByteArray::number(FloodBytes) + " out\n");
    if (!quiet.ok || !loud.ok)
        return false;
    const QByteArray header =
            "Repository: https://updates.example.invalid/corvatone\nInstallation backup created.\n";
    const bool logWhole = loud.logBytes == header.size() + FloodBytes;
    const qint64 growth = loud.peakRssKiB - quiet.peakRssKiB;
    const bool flat = growth < FlatMemoryBarKiB;
    std::printf("  small output: CPU %.2f s, peak RSS %lld KiB\n", quiet.cpuSeconds,
                quiet.peakRssKiB);
    std::printf("  %lld MB output: CPU %.2f s, peak RSS %lld KiB (%+lld KiB; bar < %lld KiB): %s\n",
                FloodBytes / (1024 * 1024), loud.cpuSeconds, loud.peakRssKiB, growth,
                FlatMemoryBarKiB, flat ? "ok" : "OVER THE BAR");
    std::printf("  log: %lld bytes, expected %lld: %s\n", loud.logBytes, header.size() + FloodBytes,
                logWhole ? "ok" : "BYTES LOST");
    return flat && logWhole;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir workspace;
    if (!workspace.isValid()) {
        std::fprintf(stderr, "cannot make a working folder\n");
        return 1;
    }
    const bool overhead = measureOverhead(workspace.path());
    const bool output = measureOutput(workspace.path());
    return overhead && output ? 0 : 1;
}
