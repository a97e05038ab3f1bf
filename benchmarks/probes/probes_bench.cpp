// Costs of the probes on a loaded system: a process poll among a few hundred
// processes, set against a bare walk of /proc that reads each process's stat
// file and nothing else; and a shortcut search over a tree of 1,000 links.
#include "probes/updateprocesses.h"
#include "probes/updateshortcuts.h"

#include "os/os.h"
#include "shelllink.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <csignal>
#include <cstdio>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

constexpr int SleepingProcesses = 300;
constexpr int LinkFolders = 20;
constexpr int LinksPerFolder = 50;

const QString SleeperName = QStringLiteral("probes-bench-sleeper");

// What every benchmark shares: the sleeping processes and the link tree.
struct Setting
{
    QTemporaryDir dir;
    std::vector<pid_t> sleepers;
    QString installation;
    QString links;
};

Setting *g_setting = nullptr;

bool startSleepers(Setting &setting)
{
    const QString program = setting.dir.path() + QLatin1Char('/') + SleeperName;
    if (!QFile::copy(QStringLiteral("/bin/sleep"), program)
        || !QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner))
        return false;
    const QByteArray path = QFile::encodeName(program);
    char *const argv[] = {const_cast<char *>(path.constData()), const_cast<char *>("600"), nullptr};
    for (int i = 0; i < SleepingProcesses; ++i) {
        pid_t pid = 0;
        if (posix_spawn(&pid, path.constData(), nullptr, nullptr, argv, environ) != 0)
            return false;
        setting.sleepers.push_back(pid);
    }
    return true;
}

void stopSleepers(Setting &setting)
{
    for (const pid_t pid : setting.sleepers)
        kill(pid, SIGKILL);
    for (const pid_t pid : setting.sleepers)
        waitpid(pid, nullptr, 0);
}

// Half of the links lead directly into the installation, half one folder below.
bool writeLinks(Setting &setting)
{
    setting.installation = setting.dir.path() + QLatin1String("/App");
    setting.links = setting.dir.path() + QLatin1String("/Links");
    if (!QDir().mkpath(setting.installation + QLatin1String("/bin")))
        return false;
    for (int folder = 0; folder < LinkFolders; ++folder) {
        const QString folderPath = setting.links + QStringLiteral("/Group %1/Sub").arg(folder);
        if (!QDir().mkpath(folderPath))
            return false;
        for (int link = 0; link < LinksPerFolder; ++link) {
            shelllink::LinkContent description;
            const QString target = setting.installation
                                   + (link % 2 ? QStringLiteral("/bin/tool%1.exe")
                                               : QStringLiteral("/Program%1.exe"))
                                             .arg(link);
            description.localPath = target.toStdU16String();
            const QString path = folderPath + QStringLiteral("/Shortcut %1.lnk").arg(link);
            if (!shelllink::write(QFile::encodeName(path).toStdString(), description))
                return false;
        }
    }
    return true;
}

// The floor: list /proc and read each process's stat file once.
int walkProc()
{
    const int procFd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = fdopendir(procFd);
    int processes = 0;
    char buffer[512];
    char path[64];
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9')
            continue;
        std::snprintf(path, sizeof path, "%.20s/stat", entry->d_name);
        const int fd = openat(procFd, path, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (read(fd, buffer, sizeof buffer) > 0)
            ++processes;
        close(fd);
    }
    closedir(dir);
    return processes;
}

void BM_ProcWalkFloor(benchmark::State &state)
{
    int processes = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(processes = walkProc());
    state.counters["processes"] = processes;
}
BENCHMARK(BM_ProcWalkFloor)->Unit(benchmark::kMicrosecond);

// The OS layer's share of a poll.
void BM_ProcessSnapshot(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(os::processSnapshot());
}
BENCHMARK(BM_ProcessSnapshot)->Unit(benchmark::kMicrosecond);

void BM_RunningNoMatch(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(UpdateProcesses::running(QStringLiteral("Corvatone.exe")));
}
BENCHMARK(BM_RunningNoMatch)->Unit(benchmark::kMicrosecond);

void BM_RunningAllSleepers(benchmark::State &state)
{
    qsizetype found = 0;
    for (auto _ : state)
        found = UpdateProcesses::running(SleeperName).pids.size();
    state.counters["matches"] = double(found);
}
BENCHMARK(BM_RunningAllSleepers)->Unit(benchmark::kMicrosecond);

// The walk's share: listing the link files without reading them.
void BM_LinkWalkOnly(benchmark::State &state)
{
    int files = 0;
    for (auto _ : state) {
        files = 0;
        QDirIterator it(g_setting->links, {QStringLiteral("*.lnk")}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            ++files;
        }
    }
    state.counters["links"] = files;
}
BENCHMARK(BM_LinkWalkOnly)->Unit(benchmark::kMillisecond);

// The link reader's share: every target read once, nothing resolved.
void BM_LinkTargetsOnly(benchmark::State &state)
{
    QStringList paths;
    QDirIterator it(g_setting->links, {QStringLiteral("*.lnk")}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        paths.append(it.next());
    for (auto _ : state) {
        for (const QString &path : paths)
            benchmark::DoNotOptimize(UpdateShortcuts::target(path));
    }
}
BENCHMARK(BM_LinkTargetsOnly)->Unit(benchmark::kMillisecond);

void BM_ForInstallation(benchmark::State &state)
{
    qsizetype found = 0;
    for (auto _ : state)
        found = UpdateShortcuts::forInstallation(g_setting->installation, {g_setting->links})
                        .size();
    state.counters["links"] = LinkFolders * LinksPerFolder;
    state.counters["found"] = double(found);
}
BENCHMARK(BM_ForInstallation)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    Setting setting;
    g_setting = &setting;
    const bool ready = setting.dir.isValid() && startSleepers(setting) && writeLinks(setting);
    if (ready)
        benchmark::RunSpecifiedBenchmarks();
    else
        std::fprintf(stderr, "could not set up the processes or the link tree\n");
    stopSleepers(setting);
    benchmark::Shutdown();
    return ready ? 0 : 1;
}
