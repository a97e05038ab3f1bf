#include "probes/updateprocesses.h"

#include "fakeos.h"
#include "testsupport.h"

#include <gtest/gtest.h>

TEST(UpdateProcesses, WholeNamesMatchInAnyLetterCaseInSnapshotOrder)
{
    fakeos::reset();
    fakeos::hooks().processSnapshot = [] {
        return os::ProcessSnapshot{{{7, u"B.EXE"}, {4, u"b.exe"}, {12345, u"b.exe.x"}, {31, u"b"}, {4294967295u, u"b.Exe"},
                                    {0, u""}, {10, u"КОРВАТОН.EXE"}, {11, u"корватон.exe"}},
                                   299};
    };
    // The walk broke off: what it found is kept beside the error.
    const UpdateProcesses::Result result = UpdateProcesses::running(QStringLiteral("b.exe"));
    EXPECT_EQ(result.pids, QStringList({"7", "4", "4294967295"}));
    EXPECT_EQ(result.error, 299u);
    EXPECT_EQ(UpdateProcesses::running(QStringLiteral("Корватон.exe")).pids, QStringList({"10", "11"}));
    fakeos::reset();
}
