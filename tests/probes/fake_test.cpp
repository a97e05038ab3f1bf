#include "probes/updateprocesses.h"
#include "probes/updateshortcuts.h"

#include "fakeos.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QStandardPaths>
#include <QTemporaryDir>

#include "qtprinters.h"

#include <gtest/gtest.h>

namespace {

class FakeTest : public ::testing::Test
{
protected:
    void SetUp() override { fakeos::reset(); }
    void TearDown() override { fakeos::reset(); }
};

os::ProcessEntry entry(std::uint32_t pid, const char16_t *name)
{
    return { pid, name };
}

TEST_F(FakeTest, ProcessIdsComeInSnapshotOrderAsPlainDecimals)
{
    fakeos::hooks().processSnapshot = [] {
        return os::ProcessSnapshot{ { entry(7, u"B.EXE"), entry(4, u"b.exe"), entry(12345, u"b.exe.x"),
                                      entry(31, u"b"), entry(4294967295u, u"b.Exe"), entry(0, u"") },
                                    0 };
    };
    const UpdateProcesses::Result result = UpdateProcesses::running(QStringLiteral("b.exe"));
    EXPECT_EQ(result.pids, QStringList({ QStringLiteral("7"), QStringLiteral("4"), QStringLiteral("4294967295") }));
    EXPECT_EQ(result.error, 0u);
    EXPECT_EQ(fakeos::counts().processSnapshot, 1);

    fakeos::hooks().processSnapshot = [] {
        return os::ProcessSnapshot{ { entry(10, u"КОРВАТОН.EXE"), entry(12345, u"корватон.exe") }, 0 };
    };
    EXPECT_EQ(UpdateProcesses::running(QStringLiteral("Корватон.exe")).pids,
              QStringList({ QStringLiteral("10"), QStringLiteral("12345") }));
}

TEST_F(FakeTest, ScanErrorsAreCopiedWithTheEntriesFoundBefore)
{
    fakeos::hooks().processSnapshot = [] { return os::ProcessSnapshot{ {}, 5 }; };
    UpdateProcesses::Result result = UpdateProcesses::running(QStringLiteral("Corvatone.exe"));
    EXPECT_TRUE(result.pids.isEmpty());
    EXPECT_EQ(result.error, 5u);

    fakeos::hooks().processSnapshot = [] {
        return os::ProcessSnapshot{ { entry(40, u"Corvatone.exe"), entry(41, u"other.exe") }, 299 };
    };
    result = UpdateProcesses::running(QStringLiteral("Corvatone.exe"));
    EXPECT_EQ(result.pids, QStringList{ QStringLiteral("40") });
    EXPECT_EQ(result.error, 299u);
}

TEST_F(FakeTest, LocationsKeepOrderDropEmptiesAndDuplicates)
{
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    const QString programs = QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation);
    ASSERT_FALSE(desktop.isEmpty());
    ASSERT_FALSE(programs.isEmpty());
    ASSERT_NE(desktop, programs);

    const auto common = [](std::optional<std::u16string> desktopPath, std::optional<std::u16string> programsPath) {
        fakeos::hooks().commonFolderPath = [=](os::CommonFolder folder) {
            return folder == os::CommonFolder::Desktop ? desktopPath : programsPath;
        };
    };

    common(std::nullopt, u"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs");
    EXPECT_EQ(UpdateShortcuts::locations(),
              QStringList({ desktop, programs, QStringLiteral("C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs") }));

    common(u"", u"C:\\Users\\Public\\Desktop");
    EXPECT_EQ(UpdateShortcuts::locations(), QStringList({ desktop, programs, QStringLiteral("C:\\Users\\Public\\Desktop") }));

    // Equal strings are listed once, at the first position; other spellings of
    // one folder are not equal strings.
    const QString backslashed = QString(desktop).replace(u'/', u'\\');
    common(desktop.toStdU16String(), backslashed.toStdU16String());
    EXPECT_EQ(UpdateShortcuts::locations(), QStringList({ desktop, programs, backslashed }));

    common(programs.toStdU16String(), desktop.toStdU16String());
    EXPECT_EQ(UpdateShortcuts::locations(), QStringList({ desktop, programs }));
}

TEST_F(FakeTest, TargetKeepsNullApartFromEmpty)
{
    fakeos::hooks().shellLinkTarget = [](const std::u16string &path) -> std::optional<std::u16string> {
        if (path == u"broken.lnk")
            return std::nullopt;
        if (path == u"padded.lnk")
            return std::u16string(u"C:\\App\\Corvatone.exe\0garbage", 28);
        if (path == u"C:/Links\\raw.lnk")
            return u"%LOCALAPPDATA%\\Corvatone\\Corvatone.exe";
        return u"";
    };
    EXPECT_TRUE(UpdateShortcuts::target(QStringLiteral("broken.lnk")).isNull());
    const QString empty = UpdateShortcuts::target(QStringLiteral("empty.lnk"));
    EXPECT_TRUE(empty.isEmpty());
    EXPECT_FALSE(empty.isNull());
    EXPECT_EQ(UpdateShortcuts::target(QStringLiteral("padded.lnk")), QStringLiteral("C:\\App\\Corvatone.exe"));
    // The path is handed over unchanged and the stored text is not expanded.
    EXPECT_EQ(UpdateShortcuts::target(QStringLiteral("C:/Links\\raw.lnk")),
              QStringLiteral("%LOCALAPPDATA%\\Corvatone\\Corvatone.exe"));
    EXPECT_EQ(fakeos::counts().shellLinkTarget, 4);

    // A path with a NUL inside would reach the system cut short.
    EXPECT_TRUE(UpdateShortcuts::target(QStringLiteral("a.lnk") + QChar::Null + QStringLiteral("b")).isNull());
    EXPECT_EQ(fakeos::counts().shellLinkTarget, 4);
}

// Shortcut files with targets served by the fake instead of a shell link.
class FakeShortcutsTest : public FakeTest
{
protected:
    void SetUp() override
    {
        FakeTest::SetUp();
        ASSERT_TRUE(QDir().mkpath(installation()));
        ASSERT_TRUE(QDir().mkpath(links()));
        serveTargets();
    }

    void serveTargets()
    {
        fakeos::hooks().shellLinkTarget = [this](const std::u16string &path) -> std::optional<std::u16string> {
            const auto found = targets.constFind(QString::fromStdU16String(path));
            if (found == targets.cend() || found->isNull())
                return std::nullopt;
            return found->toStdU16String();
        };
    }

    QString installation() const { return dir.path() + QLatin1String("/App"); }
    QString links() const { return dir.path() + QLatin1String("/Links"); }

    QString link(const QString &name, const QString &linkTarget)
    {
        const QString path = links() + QLatin1Char('/') + name;
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        targets.insert(path, linkTarget);
        return path;
    }

    QStringList found() { return UpdateShortcuts::forInstallation(installation(), { links() }); }

    QTemporaryDir dir;
    QMap<QString, QString> targets;
};

TEST_F(FakeShortcutsTest, ComIsLeftExactlyWhenItWasEntered)
{
    const QString good = link(QStringLiteral("good.lnk"), installation() + QLatin1String("/Corvatone.exe"));

    EXPECT_EQ(found(), QStringList{ good });
    EXPECT_EQ(fakeos::counts().initialiseCom, 1);
    EXPECT_EQ(fakeos::counts().uninitialiseCom, 1);

    fakeos::reset();
    serveTargets();
    fakeos::hooks().initialiseCom = [] { return os::ComInit::ChangedMode; };
    EXPECT_EQ(found(), QStringList{ good });
    EXPECT_EQ(fakeos::counts().uninitialiseCom, 0);

    fakeos::reset();
    serveTargets();
    fakeos::hooks().initialiseCom = [] { return os::ComInit::Failed; };
    EXPECT_TRUE(found().isEmpty());
    EXPECT_EQ(fakeos::counts().shellLinkTarget, 0);
    EXPECT_EQ(fakeos::counts().uninitialiseCom, 0);
}

TEST_F(FakeShortcutsTest, MissingInstallationReadsNoShortcut)
{
    link(QStringLiteral("good.lnk"), installation() + QLatin1String("/Corvatone.exe"));
    EXPECT_TRUE(UpdateShortcuts::forInstallation(dir.path() + QLatin1String("/Gone"), { links() }).isEmpty());
    EXPECT_TRUE(UpdateShortcuts::forInstallation(QString(), { links() }).isEmpty());
    EXPECT_EQ(fakeos::counts().shellLinkTarget, 0);
    EXPECT_EQ(fakeos::counts().initialiseCom, 2);
    EXPECT_EQ(fakeos::counts().uninitialiseCom, 2);
}

TEST_F(FakeShortcutsTest, UnusableTargetsAreSkipped)
{
    const QString good = link(QStringLiteral("good.lnk"), installation() + QLatin1String("/Corvatone.exe"));
    link(QStringLiteral("null.lnk"), QString());
    link(QStringLiteral("empty.lnk"), QStringLiteral(""));
    link(QStringLiteral("variable.lnk"), QStringLiteral("$HOME/App/Corvatone.exe"));
    link(QStringLiteral("relative.lnk"), QStringLiteral("App/Corvatone.exe"));
    link(QStringLiteral("windows.lnk"), QStringLiteral("%ProgramFiles%\\App\\Corvatone.exe"));
    EXPECT_EQ(found(), QStringList{ good });
    EXPECT_EQ(fakeos::counts().shellLinkTarget, 6);
}

} // namespace
