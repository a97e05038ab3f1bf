#include "probes/updateprocesses.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "qtprinters.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

// Copies of sleep running under chosen executable names, ended with the test.
class ProcessesTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        for (const std::unique_ptr<QProcess> &process : processes) {
            process->kill();
            process->waitForFinished(5000);
        }
    }

    // The copy of sleep named name, in a folder of its own.
    QString program(const QString &name)
    {
        const QString folder = dir.path() + QLatin1Char('/') + QString::number(++folders);
        EXPECT_TRUE(QDir().mkpath(folder));
        const QString path = folder + QLatin1Char('/') + name;
        EXPECT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), path));
        EXPECT_TRUE(QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner));
        return path;
    }

    QString start(const QString &name)
    {
        auto process = std::make_unique<QProcess>();
        process->start(program(name), { QStringLiteral("60") });
        EXPECT_TRUE(process->waitForStarted(5000)) << name.toStdString();
        const QString pid = QString::number(process->processId());
        processes.push_back(std::move(process));
        return pid;
    }

    // Names no other test of the machine uses at the same time.
    static QString unique(const char *pattern)
    {
        return QString::fromLatin1(pattern).arg(QCoreApplication::applicationPid());
    }

    QTemporaryDir dir;
    int folders = 0;
    std::vector<std::unique_ptr<QProcess>> processes;
};

TEST_F(ProcessesTest, WholeNameMatchesInAnyLetterCase)
{
    const QString name = unique("cv%1.exe");
    const QString lower = start(name.toLower());
    const QString upper = start(name.toUpper());
    start(name + QLatin1String(".old"));
    start(name.chopped(4));
    start(QLatin1Char('x') + name);

    const UpdateProcesses::Result result = UpdateProcesses::running(name);
    EXPECT_EQ(result.error, 0u);
    EXPECT_EQ(result.pids, QStringList({ lower, upper }));
}

TEST_F(ProcessesTest, LongNamesAreComparedWhole)
{
    // Longer than the 15 characters the kernel keeps as a process's short name.
    const QString name = unique("cv%1-test-version-of-the-client.exe");
    const QString pid = start(name);
    start(name.left(15));

    const UpdateProcesses::Result result = UpdateProcesses::running(name);
    EXPECT_EQ(result.error, 0u);
    EXPECT_EQ(result.pids, QStringList{ pid });
    EXPECT_TRUE(UpdateProcesses::running(name.left(15)).pids.size() == 1);
}

TEST_F(ProcessesTest, NoMatchIsEmptyWithoutError)
{
    const UpdateProcesses::Result result = UpdateProcesses::running(unique("absent%1.exe"));
    EXPECT_TRUE(result.pids.isEmpty());
    EXPECT_EQ(result.error, 0u);
}

TEST_F(ProcessesTest, ExitedChildWaitingToBeReapedDoesNotCount)
{
    const QString name = unique("gone%1.exe");
    const QByteArray path = QFile::encodeName(program(name));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char *const argv[] = { const_cast<char *>(path.constData()), const_cast<char *>("0"), nullptr };
        execv(path.constData(), argv);
        _exit(127);
    }

    // Wait until the child has run and exited, without reaping it.
    siginfo_t info {};
    const int waited = waitid(P_PID, child, &info, WEXITED | WNOWAIT);
    const UpdateProcesses::Result result = UpdateProcesses::running(name);
    waitpid(child, nullptr, 0);

    ASSERT_EQ(waited, 0);
    ASSERT_EQ(info.si_status, 0) << "the copy of sleep did not run";
    EXPECT_EQ(result.error, 0u);
    EXPECT_TRUE(result.pids.isEmpty()) << result.pids.join(u' ').toStdString();
}

} // namespace
