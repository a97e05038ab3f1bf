#include "probes/updateprocesses.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "probetestsupport.h"

#include <gtest/gtest.h>

#include <list>

#include <sys/wait.h>
#include <unistd.h>

namespace {

// A name no other test of the machine uses at the same time.
QString unique(const char *pattern)
{
    return QString::fromLatin1(pattern).arg(QCoreApplication::applicationPid());
}

// Copies of sleep running under chosen executable names, ended with the test.
class ProcessesTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        for (QProcess &process : processes) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    QString program(const QString &name)
    {
        const QString path = dir.filePath(name);
        EXPECT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), path));
        EXPECT_TRUE(QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner));
        return path;
    }

    QString start(const QString &name)
    {
        QProcess &process = processes.emplace_back();
        process.start(program(name), { QStringLiteral("60") });
        EXPECT_TRUE(process.waitForStarted(5000)) << name.toStdString();
        return QString::number(process.processId());
    }

    QTemporaryDir dir;
    std::list<QProcess> processes;
};

TEST_F(ProcessesTest, WholeNameMatchesInAnyLetterCase)
{
    const QString name = unique("cv%1.exe");
    const QString lower = start(name.toLower());
    const QString upper = start(name.toUpper());
    start(name + QLatin1String(".old"));
    start(name.chopped(4));
    start(QLatin1Char('x') + name);
    // Longer than the 15 characters the kernel keeps as a process's short name.
    const QString longName = unique("cv%1-test-version-of-the-client.exe");
    const QString longPid = start(longName);
    start(longName.left(15));

    UpdateProcesses::Result result = UpdateProcesses::running(name);
    EXPECT_EQ(result.error, 0u);
    EXPECT_EQ(result.pids, QStringList({ lower, upper }));
    result = UpdateProcesses::running(longName);
    EXPECT_EQ(result.error, 0u);
    EXPECT_EQ(result.pids, QStringList{ longPid });
    EXPECT_EQ(UpdateProcesses::running(longName.left(15)).pids.size(), 1);
    EXPECT_TRUE(UpdateProcesses::running(unique("absent%1.exe")).pids.isEmpty());
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
    EXPECT_EQ(result.pids, QStringList());
}

} // namespace
