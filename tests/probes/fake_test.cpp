#include "probes/updateprocesses.h"
#include "probes/updateshortcuts.h"

#include "fakeos.h"

#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>

#include "probetestsupport.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

class FakeTest : public ::testing::Test
{
protected:
    void SetUp() override { fakeos::reset(); }
    void TearDown() override { fakeos::reset(); }
};

TEST_F(FakeTest, ProcessesMatchInSnapshotOrderAndKeepTheScanError)
{
    fakeos::hooks().processSnapshot = [] {
        return os::ProcessSnapshot{ { { 7, u"B.EXE" }, { 4, u"b.exe" }, { 12345, u"b.exe.x" }, { 31, u"b" },
                                      { 4294967295u, u"b.Exe" }, { 0, u"" }, { 10, u"КОРВАТОН.EXE" },
                                      { 11, u"корватон.exe" } },
                                    299 };
    };
    const UpdateProcesses::Result result = UpdateProcesses::running("b.exe");
    EXPECT_EQ(result.pids, QStringList({ "7", "4", "4294967295" }));
    EXPECT_EQ(result.error, 299u);
    EXPECT_EQ(UpdateProcesses::running("Корватон.exe").pids, QStringList({ "10", "11" }));
}

TEST_F(FakeTest, LocationsKeepOrderDropEmptiesAndDuplicates)
{
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    const QString programs = QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation);
    ASSERT_NE(desktop, programs);
    const QString backslashed = QString(desktop).replace(u'/', u'\\');

    using Folder = std::optional<std::u16string>;
    const std::tuple<Folder, Folder, QStringList> cases[] = {
        { std::nullopt, u"C:\\Programs", { desktop, programs, "C:\\Programs" } },
        { u"", u"C:\\Users\\Public\\Desktop", { desktop, programs, "C:\\Users\\Public\\Desktop" } },
        // Equal strings are listed once, at the first position; other spellings
        // of one folder are not equal strings.
        { desktop.toStdU16String(), backslashed.toStdU16String(), { desktop, programs, backslashed } },
        { programs.toStdU16String(), desktop.toStdU16String(), { desktop, programs } },
    };
    for (const auto &[commonDesktop, commonPrograms, expected] : cases) {
        fakeos::hooks().commonFolderPath = [desktop = commonDesktop, programs = commonPrograms](os::CommonFolder folder) {
            return folder == os::CommonFolder::Desktop ? desktop : programs;
        };
        EXPECT_EQ(UpdateShortcuts::locations(), expected);
    }
}

TEST_F(FakeTest, TargetEndsAtTheFirstNul)
{
    fakeos::hooks().shellLinkTarget = [](const std::u16string &) -> std::optional<std::u16string> {
        return std::u16string(u"C:\\App\\Corvatone.exe\0garbage", 28);
    };
    EXPECT_EQ(UpdateShortcuts::target("padded.lnk"), "C:\\App\\Corvatone.exe");
}

TEST_F(FakeTest, ComIsLeftExactlyWhenItWasEntered)
{
    QTemporaryDir dir;
    const QString installation = dir.filePath("App");
    ASSERT_TRUE(QDir().mkpath(installation));
    const QString link = dir.filePath("client.lnk");
    ASSERT_TRUE(writeFile(link, {}));

    // (what COM says, shortcuts found, links read, COM left)
    const std::tuple<os::ComInit, QStringList, int, int> cases[] = {
        { os::ComInit::Initialised, { link }, 1, 1 },
        { os::ComInit::ChangedMode, { link }, 1, 0 },
        { os::ComInit::Failed, {}, 0, 0 },
    };
    for (const auto &[comInit, expected, reads, uninitialised] : cases) {
        fakeos::reset();
        fakeos::hooks().initialiseCom = [comInit = comInit] { return comInit; };
        fakeos::hooks().shellLinkTarget = [&](const std::u16string &) -> std::optional<std::u16string> {
            return (installation + "/Corvatone.exe").toStdU16String();
        };
        EXPECT_EQ(UpdateShortcuts::forInstallation(installation, { dir.path() }), expected);
        EXPECT_EQ(fakeos::counts().shellLinkTarget, reads);
        EXPECT_EQ(fakeos::counts().uninitialiseCom, uninitialised);
    }

    // A missing installation reads no shortcut.
    fakeos::reset();
    EXPECT_EQ(UpdateShortcuts::forInstallation(dir.filePath("Gone"), { dir.path() }), QStringList());
    EXPECT_EQ(UpdateShortcuts::forInstallation(QString(), { dir.path() }), QStringList());
    EXPECT_EQ(fakeos::counts().shellLinkTarget, 0);
    EXPECT_EQ(fakeos::counts().uninitialiseCom, 2);
}

} // namespace
