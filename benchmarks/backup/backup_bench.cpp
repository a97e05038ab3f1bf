// Times UpdateBackup::create and restore on a synthetic installation, side by
// side with cp -r and rsync -r --fsync of the same tree, and measures the peak
// memory of backing up one large file.
//
// Usage: backup_bench [--rounds N] [--files N] [--skip-memory] [--work FOLDER]
#include "backup/updatebackup.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include <unistd.h>

namespace {

struct Options
{
    int rounds = 3;
    int files = 3000;
    bool memory = true;
    QString work;
};

struct TreeSize
{
    int files = 0;
    qint64 bytes = 0;
};

// Resident-set figures of this process, in KiB, from /proc/self/status.
qint64 statusValue(const char *key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(key) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Starts a new peak (VmHWM) from the present resident set.
bool resetPeak()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    return clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1;
}

// A folder tree of about `count` files with a mix of sizes like an installed
// desktop program's: many small files, some of a few hundred KiB, a dozen
// libraries of several MiB. Contents are random, from a seeded generator.
TreeSize generateInstallation(const QString &root, int count)
{
    std::mt19937_64 random(20240611);
    QByteArray pool(64 * 1024 * 1024, Qt::Uninitialized);
    for (int i = 0; i + 8 <= pool.size(); i += 8) {
        const quint64 value = random();
        std::memcpy(pool.data() + i, &value, 8);
    }

    QStringList folders{root};
    QDir().mkpath(root);
    for (int i = 0; i < count / 15; ++i) {
        const QString parent =
                folders[std::uniform_int_distribution<int>(0, folders.size() - 1)(random)];
        const QString folder = parent + QStringLiteral("/folder %1").arg(i);
        QDir().mkpath(folder);
        folders.append(folder);
    }

    const int large = std::max(1, count / 250);
    std::uniform_real_distribution<double> logSize(std::log(200.0), std::log(512.0 * 1024));
    std::uniform_int_distribution<qint64> largeSize(3 * 1024 * 1024, 7 * 1024 * 1024);
    std::uniform_int_distribution<int> whichFolder(0, folders.size() - 1);
    TreeSize size;
    for (int i = 0; i < count; ++i) {
        const qint64 bytes = i < large ? largeSize(random) : qint64(std::exp(logSize(random)));
        const QString file = folders[i < large ? 0 : whichFolder(random)]
                             + QStringLiteral("/file %1.dat").arg(i);
        QFile out(file);
        if (!out.open(QIODevice::WriteOnly))
            return {};
        for (qint64 written = 0; written < bytes;) {
            const qint64 chunk = std::min<qint64>(bytes - written, pool.size());
            const qint64 offset =
                    std::uniform_int_distribution<qint64>(0, pool.size() - chunk)(random);
            if (out.write(pool.constData() + offset, chunk) != chunk)
                return {};
            written += chunk;
        }
        ++size.files;
        size.bytes += bytes;
    }
    return size;
}

// Seconds that one run of the work takes, after flushing earlier writes so
// that each run pays only for its own.
double timed(const std::function<bool()> &work)
{
    ::sync();
    QElapsedTimer timer;
    timer.start();
    if (!work()) {
        std::fprintf(stderr, "a timed step failed\n");
        return NAN;
    }
    return timer.nsecsElapsed() / 1e9;
}

bool run(const QString &program, const QStringList &arguments)
{
    return QProcess::execute(program, arguments) == 0;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? NAN : values[values.size() / 2];
}

void measureMemory(const QString &work)
{
    const QString installation = work + QStringLiteral("/large installation");
    QDir().mkpath(installation);
    QFile big(installation + QStringLiteral("/Corvatone.dat"));
    // A sparse file: reading it costs no disk time, writing the copy does.
    if (!big.open(QIODevice::WriteOnly) || !big.resize(2LL * 1024 * 1024 * 1024)) {
        std::fprintf(stderr, "cannot make the 2 GiB file\n");
        return;
    }
    big.close();

    UpdateBackup backup;
    QString message;
    const qint64 before = statusValue("VmRSS");
    const bool reset = resetPeak();
    QElapsedTimer timer;
    timer.start();
    const bool ok = backup.create(installation, message, {});
    const double seconds = timer.nsecsElapsed() / 1e9;
    const qint64 peak = statusValue("VmHWM");
    std::printf("memory: backup of one 2 GiB file %s in %.1f s; VmRSS before %lld KiB, VmHWM "
                "during %lld KiB%s,"
                " growth %lld KiB (limit 8192 KiB)\n",
                ok ? "succeeded" : qPrintable(QStringLiteral("FAILED (%1)").arg(message)), seconds,
                before, peak, reset ? "" : " (peak since start: clear_refs unavailable)",
                peak - before);
    QDir(installation).removeRecursively();
}

Options parseOptions(const QStringList &arguments)
{
    Options options;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments[i];
        if (argument == QLatin1String("--rounds") && i + 1 < arguments.size())
            options.rounds = std::max(1, arguments[++i].toInt());
        else if (argument == QLatin1String("--files") && i + 1 < arguments.size())
            options.files = std::max(1, arguments[++i].toInt());
        else if (argument == QLatin1String("--work") && i + 1 < arguments.size())
            options.work = arguments[++i];
        else if (argument == QLatin1String("--skip-memory"))
            options.memory = false;
    }
    return options;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const Options options = parseOptions(application.arguments());

    std::unique_ptr<QTemporaryDir> ownWork;
    QString work = options.work;
    if (work.isEmpty()) {
        ownWork = std::make_unique<QTemporaryDir>(QDir::tempPath()
                                                  + QStringLiteral("/backup-bench-XXXXXX"));
        if (!ownWork->isValid())
            return 1;
        work = ownWork->path();
    }
    // Backups go to the same file system as the copies they are compared with.
    const QString temporary = work + QStringLiteral("/tmp");
    QDir().mkpath(temporary);
    qputenv("TMPDIR", QFile::encodeName(temporary));

    if (options.memory)
        measureMemory(work);

    const QString installation = work + QStringLiteral("/Corvatone");
    const TreeSize size = generateInstallation(installation, options.files);
    if (size.files == 0) {
        std::fprintf(stderr, "cannot generate the installation\n");
        return 1;
    }
    std::printf("installation: %d files, %.1f MiB\n", size.files, size.bytes / 1048576.0);

    // The tree was just written, so every run reads it from the page cache.
    const QString cpCopy = work + QStringLiteral("/cp-copy");
    const QString rsyncCopy = work + QStringLiteral("/rsync-copy");
    std::vector<double> create, restore, cp, rsyncFresh, rsyncOver;
    for (int round = 0; round < options.rounds; ++round) {
        {
            UpdateBackup backup;
            QString message;
            create.push_back(timed([&] { return backup.create(installation, message, {}); }));
            restore.push_back(timed([&] { return backup.restore(message); }));
        }
        cp.push_back(timed([&] {
            return run(QStringLiteral("cp"), {QStringLiteral("-r"), installation, cpCopy});
        }));
        QDir(cpCopy).removeRecursively();
        // -I copies every file whatever its time stamp, as the backup does.
        rsyncFresh.push_back(timed([&] {
            return run(QStringLiteral("rsync"),
                       {QStringLiteral("-r"), QStringLiteral("-I"), QStringLiteral("--fsync"),
                        installation + '/', rsyncCopy + '/'});
        }));
        rsyncOver.push_back(timed([&] {
            return run(QStringLiteral("rsync"),
                       {QStringLiteral("-r"), QStringLiteral("-I"), QStringLiteral("--fsync"),
                        rsyncCopy + '/', installation + '/'});
        }));
        QDir(rsyncCopy).removeRecursively();
        std::printf("round %d: create %.2f s, restore %.2f s, cp -r %.2f s, rsync -r --fsync %.2f "
                    "s (new) / %.2f s (over)\n",
                    round + 1, create.back(), restore.back(), cp.back(), rsyncFresh.back(),
                    rsyncOver.back());
        std::fflush(stdout);
    }

    const double mib = size.bytes / 1048576.0;
    auto line = [mib](const char *name, double seconds) {
        std::printf("  %-34s %6.2f s  %7.1f MiB/s\n", name, seconds, mib / seconds);
    };
    std::printf("medians of %d rounds:\n", options.rounds);
    line("UpdateBackup::create", median(create));
    line("UpdateBackup::restore", median(restore));
    line("cp -r", median(cp));
    line("rsync -r -I --fsync (new tree)", median(rsyncFresh));
    line("rsync -r -I --fsync (over tree)", median(rsyncOver));
    std::printf("create / rsync (new) = %.2f, restore / rsync (over) = %.2f (bar: 1.20)\n",
                median(create) / median(rsyncFresh), median(restore) / median(rsyncOver));
    return 0;
}
