// How the Windows program answers Windows while it backs up and rolls back a
// large installation, measured on the deliverable under Wine in a real window.
// An installation of 3,000 files of 64 KiB fails to update, round by round:
//
// 1. The longest time that the update window leaves WM_NULL unanswered: a
//    probe sends one every 100 ms and waits 200 ms at most for each answer.
//    Windows offers to end a window that has answered nothing for 5 s; the
//    bar is 1 s.
// 2. The answers to WM_QUERYENDSESSION while the maintenance tool runs (the
//    bar: 0, the session must not end) and once the run has ended (1).
// 3. How long the backup and the rollback take.
//
// Run by hand on a display with a window manager, after
// scripts/make-windows-package, from the checkout:
//     tests/app/xsession build/native/benchmarks/run/answer_bench build/windows [another build]
// Another Windows build (of an earlier commit, say) is measured in the same
// rounds, with the first build's probe. Exits with 1 when a bar is missed.
#include "testsupport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int Files = 3000;
constexpr int Rounds = 3;
constexpr qint64 SilenceBarMs = 1000;
constexpr qint64 RunLimitMs = 600000;

QString windowsPath(const QString &path)
{
    return QStringLiteral("Z:") + QString(path).replace(QLatin1Char('/'), QLatin1Char('\\'));
}

using testsupport::readFile;
using testsupport::writeFile;

// Windows programs in a Wine prefix of their own, on the display of this process.
struct Wine
{
    QString state;
    QString packageFolder;

    std::unique_ptr<QProcess> start(const QStringList &command) const
    {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // Qt and the runtime for the stand-in tool, which lies in the installation.
        environment.insert(QStringLiteral("WINEPATH"), windowsPath(packageFolder));
        environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
        process->setProcessEnvironment(environment);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(QStringLiteral(WINE_RUN_PATH),
                       QStringList{QStringLiteral("--display"), state} + command);
        return process;
    }
    QByteArray output(const QStringList &command) const
    {
        const auto process = start(command);
        // Making a new prefix takes a minute or more.
        process->waitForFinished(300000);
        return process->readAllStandardOutput().simplified();
    }
    // What the probe printed after the line that says it found the window.
    QByteArray probe(const QString &probe, const QStringList &arguments = {}) const
    {
        return afterFound(output(QStringList{probe} + arguments));
    }
    static QByteArray afterFound(const QByteArray &output)
    {
        return output.mid(output.indexOf(' ') + 1);
    }
    void endAll() const
    {
        QProcess::execute(QStringLiteral(WINE_RUN_PATH),
                          {state, QStringLiteral("--server"), QStringLiteral("-k")});
        QProcess::execute(QStringLiteral(WINE_RUN_PATH),
                          {state, QStringLiteral("--server"), QStringLiteral("-w")});
    }
};

struct Round
{
    bool ok = false;
    qint64 backupMs = 0;
    qint64 rollbackMs = 0;
    qint64 longestSilenceMs = 0;
    QByteArray pings;
    QByteArray duringTool;
    QByteArray afterEnd;
};

// One failing update of the installation by the build's program.
Round runOnce(Wine &wine, const QString &build, const QString &probe, const QString &workspace)
{
    Round round;
    const QString installation = workspace + QStringLiteral("/Corvatone");
    const QString temp = workspace + QStringLiteral("/tmp");
    const QString handoff = workspace + QStringLiteral("/handoff");
    const auto marker = [&](const char *name) {
        return workspace + QLatin1String("/") + QLatin1String(name);
    };
    for (const char *name : {"handoff", "started", "asked", "ended", "stop"})
        QFile::remove(marker(name));
    QDir(temp).removeRecursively();
    QDir().mkpath(temp);
    const QString client = installation + QStringLiteral("/CorvatoneBench.exe");
    const QString tool = installation + QStringLiteral("/maintenancetool.exe");
    QFile::remove(client);
    QFile::remove(tool);
    if (!QFile::copy(build + QStringLiteral("/tests/support/standin_client.exe"), client)
        || !QFile::copy(build + QStringLiteral("/tests/support/standin_maintenancetool.exe"), tool))
        return round;
    // The tool waits until the session's end has been asked about, then changes a file and fails.
    (void)writeFile(tool + QStringLiteral(".scenario"),
                    "write " + windowsPath(marker("started")).toUtf8() + " x\nawait "
                            + windowsPath(marker("asked")).toUtf8()
                            + "\nwrite resources/group0/pack0.dat changed\nwrite "
                            + windowsPath(marker("ended")).toUtf8() + " x\nexit 1\n");
    wine.packageFolder = build + QStringLiteral("/package/updater_helper");
    const auto updater =
            wine.start({wine.packageFolder + QStringLiteral("/updater_helper.exe"),
                        QStringLiteral("--maintenance-tool"), windowsPath(tool),
                        QStringLiteral("--repository"),
                        QStringLiteral("https://updates.example.invalid/win64"),
                        QStringLiteral("--application"), windowsPath(client),
                        QStringLiteral("--working-directory"), windowsPath(installation),
                        QStringLiteral("--handoff-file"), windowsPath(handoff)});
    QElapsedTimer clock;
    clock.start();
    while (readFile(handoff) != "ready" && clock.elapsed() < 60000)
        QThread::msleep(20);
    const auto pinging = wine.start({probe, windowsPath(marker("stop"))});
    if (!pinging->waitForReadyRead(60000) || !writeFile(handoff, "continue"))
        return round;

    qint64 backupStart = -1;
    qint64 backupEnd = -1;
    QDateTime toolEnd;
    clock.restart();
    while (clock.elapsed() < RunLimitMs) {
        if (backupStart < 0
            && !QDir(temp)
                        .entryList({QStringLiteral("Corvatone-update-backup-*")}, QDir::Dirs)
                        .isEmpty())
            backupStart = clock.elapsed();
        if (backupEnd < 0
            && readFile(temp + QStringLiteral("/Corvatone-update.log"))
                       .contains("Installation backup created."))
            backupEnd = clock.elapsed();
        if (round.duringTool.isEmpty() && QFileInfo::exists(marker("started"))) {
            round.duringTool = wine.probe(probe);
            (void)writeFile(marker("asked"), QByteArray());
        }
        if (!toolEnd.isValid() && QFileInfo::exists(marker("ended")))
            toolEnd = QFileInfo(marker("ended")).lastModified();
        if (readFile(handoff).startsWith("error")) {
            round.rollbackMs = toolEnd.msecsTo(QFileInfo(handoff).lastModified());
            break;
        }
        QThread::msleep(10);
    }
    round.backupMs = backupEnd - backupStart;
    (void)writeFile(marker("stop"), QByteArray());
    pinging->waitForFinished(30000);
    round.pings = Wine::afterFound(pinging->readAllStandardOutput().simplified());
    round.longestSilenceMs = round.pings.split(' ').value(0).toLongLong();
    round.afterEnd = wine.probe(probe);
    updater->waitForFinished(30000);
    round.ok = backupStart >= 0 && backupEnd > backupStart && toolEnd.isValid()
               && round.rollbackMs > 0;
    return round;
}

qint64 median(std::vector<qint64> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList builds = QCoreApplication::arguments().mid(1);
    QTemporaryDir workspace;
    if (builds.isEmpty() || !workspace.isValid()) {
        std::fprintf(stderr, "usage: answer_bench <Windows build folder> [another build folder]\n");
        return 2;
    }
    for (QString &build : builds)
        build = QFileInfo(build).absoluteFilePath();
    const QString probe = builds.first() + QStringLiteral("/tests/support/window_probe.exe");

    // A prefix of its own, whose temporary folder is the workspace's.
    Wine wine{workspace.filePath(QStringLiteral("wine")), QString()};
    wine.output({QStringLiteral("cmd.exe"), QStringLiteral("/c"), QStringLiteral("exit")});
    const QDir users(wine.state + QStringLiteral("/prefix/drive_c/users"));
    QStringList names = users.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    names.removeAll(QStringLiteral("Public"));
    const QString wineTemp = users.filePath(names.value(0) + QStringLiteral("/Temp"));
    if (names.size() != 1 || !QDir(wineTemp).removeRecursively()
        || !QFile::link(workspace.filePath(QStringLiteral("tmp")), wineTemp)) {
        std::fprintf(stderr, "cannot set up Wine in %s\n", qPrintable(wine.state));
        return 1;
    }

    QByteArray block(65536, '\0');
    QRandomGenerator random(20240301);
    random.fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
    for (int i = 0; i < Files; ++i) {
        if (!writeFile(workspace.filePath(QStringLiteral("Corvatone/resources/group%1/pack%2.dat")
                                                  .arg(i % 30)
                                                  .arg(i)),
                       block.mid(i % 1024) + block.left(i % 1024))) {
            std::fprintf(stderr, "cannot make the installation\n");
            return 1;
        }
    }
    std::printf("A failing update of %d files of 64 KiB, %d rounds\n", Files, Rounds);

    bool ok = true;
    std::vector<std::vector<qint64>> backups(builds.size()), rollbacks(builds.size()),
            silences(builds.size());
    for (int number = 1; number <= Rounds; ++number) {
        for (qsizetype b = 0; b < builds.size(); ++b) {
            const Round round = runOnce(wine, builds.at(b), probe, workspace.path());
            wine.endAll();
            if (!round.ok) {
                std::fprintf(stderr, "round %d of %s failed\n", number, qPrintable(builds.at(b)));
                return 1;
            }
            const bool met = round.longestSilenceMs < SilenceBarMs && round.duringTool == "0"
                             && round.afterEnd == "1";
            ok = ok && met;
            std::printf("  %s, round %d: backup %.1f s, rollback %.1f s; longest silence %lld ms "
                        "(bar %lld; sent, "
                        "unanswered: %s); session end while the tool runs: %s (bar 0), after the "
                        "end: %s: %s\n",
                        qPrintable(builds.at(b)), number, double(round.backupMs) / 1000,
                        double(round.rollbackMs) / 1000, round.longestSilenceMs, SilenceBarMs,
                        round.pings.mid(round.pings.indexOf(' ') + 1).constData(),
                        round.duringTool.constData(), round.afterEnd.constData(),
                        met ? "ok" : "BAR MISSED");
            backups[b].push_back(round.backupMs);
            rollbacks[b].push_back(round.rollbackMs);
            silences[b].push_back(round.longestSilenceMs);
        }
    }
    for (qsizetype b = 0; b < builds.size(); ++b) {
        std::printf("%s, median: backup %.1f s, rollback %.1f s, longest silence %lld ms\n",
                    qPrintable(builds.at(b)), double(median(backups[b])) / 1000,
                    double(median(rollbacks[b])) / 1000, median(silences[b]));
    }
    return ok ? 0 : 1;
}
