// Runs that need the client's real executable names. Every process on the
// machine is seen by the updater's process scan, so these run one at a time.
#include "e2esupport.h"

#include <gtest/gtest.h>

using namespace e2e;

namespace {

TEST(UpdaterNames, OlderClientNameRestartsTheNewExecutableBesideIt)
{
    XSession x;
    ASSERT_TRUE(x.isValid());
    Sandbox sandbox(QStringLiteral("Pellingwood.exe"));
    ASSERT_TRUE(sandbox.isValid());
    ASSERT_TRUE(sandbox.addClientCopy(QStringLiteral("Corvatone.exe")));
    ASSERT_TRUE(sandbox.setToolScenario("components 2.3.2\n"));

    // The client takes two seconds to answer; the answer still counts.
    ASSERT_TRUE(sandbox.startClient(x, {QStringLiteral("--answer"), QStringLiteral("late:2000")},
                                    sandbox.updaterArguments({QStringLiteral("--expected-version"), QStringLiteral("2.3.2"),
                                                              QStringLiteral("--application-argument"), QStringLiteral("--minimized")})));
    const std::optional<int> code = sandbox.waitForUpdaterExit(60000);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0) << sandbox.updaterOutput().constData();

    ASSERT_TRUE(sandbox.waitForClientStarts(1, 10000, QStringLiteral("Corvatone.exe")));
    const QJsonObject restarted = sandbox.clientStarts(QStringLiteral("Corvatone.exe")).at(0);
    EXPECT_EQ(toStrings(restarted.value(QStringLiteral("arguments"))), QStringList {QStringLiteral("--minimized")});
    EXPECT_EQ(restarted.value(QStringLiteral("workingDirectory")).toString(), canonical(sandbox.installation()));
    EXPECT_EQ(sandbox.clientStarts().size(), 1) << "the old executable was started again";
}

} // namespace
