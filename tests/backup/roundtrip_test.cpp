// Backs up random installations, changes them as an update would, restores
// them and checks that everything saved is back exactly as it was.
#include "backup/updatebackup.h"

#include "backuptestsupport.h"

#include <QFile>
#include <QSet>

#include <map>
#include <random>

#include <sys/stat.h>

namespace {

struct Snapshot
{
    QByteArray content;
    mode_t mode = 0;
    bool operator==(const Snapshot &other) const
    {
        return content == other.content && mode == other.mode;
    }
};

using Tree = std::map<QString, Snapshot>;

Snapshot snapshotOf(const QString &file)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(file).constData(), &info) != 0)
        return { QByteArray("<missing>"), 0 };
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly))
        return { QByteArray("<unreadable>"), 0 };
    return { in.readAll(), mode_t(info.st_mode & 07777) };
}

// Every file below a folder with its content and permission bits.
Tree treeOf(const QString &folder)
{
    Tree tree;
    const QDir base(folder);
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        tree[base.relativeFilePath(file)] = snapshotOf(file);
    }
    return tree;
}

class RoundTrip
{
public:
    RoundTrip(unsigned seed, const QString &root)
        : m_random(seed)
        , m_root(root)
        , m_installation(root + QStringLiteral("/Corvatone"))
        , m_shortcutFolders{ root + QStringLiteral("/desktop"), root + QStringLiteral("/menu/Programs") }
    {
    }

    void run()
    {
        buildInstallation();
        if (::testing::Test::HasFatalFailure())
            return;
        buildShortcuts();
        const Tree savedBefore = savedPart();
        Tree shortcutsBefore;
        for (const QString &shortcut : std::as_const(m_expectedShortcuts))
            shortcutsBefore[shortcut] = snapshotOf(shortcut);

        UpdateBackup backup;
        QString message;
        ASSERT_TRUE(backup.create(m_installation, message, m_shortcutFolders)) << message.toStdString();
        QStringList files = backup.files;
        files.sort();
        QStringList expectedFiles;
        for (const auto &entry : savedBefore)
            expectedFiles.append(entry.first);
        expectedFiles.sort();
        ASSERT_EQ(files, expectedFiles);
        QSet<QString> savedShortcuts;
        for (int i = 0; i < backup.shortcuts.size(); ++i) {
            savedShortcuts.insert(backup.shortcuts[i].first);
            EXPECT_EQ(backup.shortcuts[i].second,
                      backup.backupDirectory->filePath(QStringLiteral("external-shortcuts/%1.lnk").arg(i)));
        }
        ASSERT_EQ(savedShortcuts, m_expectedShortcuts);

        const Tree added = simulateUpdate();
        const Tree excludedAfterUpdate = excludedPart();

        ASSERT_TRUE(backup.restore(message)) << message.toStdString();

        const Tree after = treeOf(m_installation);
        for (const auto &[relative, before] : savedBefore) {
            const auto found = after.find(relative);
            ASSERT_NE(found, after.end()) << relative.toStdString();
            EXPECT_TRUE(found->second == before) << relative.toStdString();
        }
        for (const auto &[relative, content] : added) {
            const auto found = after.find(relative);
            ASSERT_NE(found, after.end()) << relative.toStdString();
            EXPECT_TRUE(found->second == content) << relative.toStdString();
        }
        EXPECT_TRUE(excludedPart() == excludedAfterUpdate);
        for (const auto &[shortcut, before] : shortcutsBefore)
            EXPECT_TRUE(snapshotOf(shortcut) == before) << shortcut.toStdString();
    }

private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }
    bool chance(int percent) { return pick(1, 100) <= percent; }

    QByteArray randomBytes(int size)
    {
        QByteArray bytes(size, Qt::Uninitialized);
        std::uniform_int_distribution<int> byte(0, 255);
        for (char &c : bytes)
            c = char(byte(m_random));
        return bytes;
    }

    int randomSize()
    {
        const int kind = pick(1, 100);
        if (kind <= 10)
            return 0;
        if (kind <= 70)
            return pick(1, 4096);
        if (kind <= 96)
            return pick(4097, 200000);
        // Crosses the copy's 1 MiB chunks.
        return pick(1048576 - 3, 2 * 1048576 + 5);
    }

    QString randomName(bool topLevel)
    {
        static const QStringList names{
            "data", "Плагины", "with blank", "100%", "%1 and %2", "Größe", "x", ".hidden",
            "конфиг файл", "a b  c", "日本語", "Downloads-old", "logs",
        };
        // The excluded names count only at the top level.
        static const QStringList deepNames{ "log", "Downloads", "corvatone-web-cache" };
        if (!topLevel && chance(10))
            return deepNames[pick(0, deepNames.size() - 1)];
        return names[pick(0, names.size() - 1)];
    }

    void writeRandomFile(const QString &file, int size)
    {
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate)) << file.toStdString();
        const QByteArray bytes = randomBytes(size);
        ASSERT_EQ(out.write(bytes), bytes.size());
        out.close();
        static const mode_t modes[] = { 0644, 0755, 0600, 0700, 0640 };
        ASSERT_EQ(::chmod(QFile::encodeName(file).constData(), modes[pick(0, 4)]), 0);
    }

    void buildInstallation()
    {
        QStringList folders{ QString() };
        ASSERT_TRUE(QDir().mkpath(m_installation));
        const int folderCount = pick(2, 10);
        for (int i = 0; i < folderCount; ++i) {
            const QString parent = folders[pick(0, folders.size() - 1)];
            const QString folder = parent.isEmpty() ? randomName(true) : parent + '/' + randomName(false);
            if (QFileInfo(m_installation + '/' + folder).isFile())
                continue;
            ASSERT_TRUE(QDir().mkpath(m_installation + '/' + folder));
            if (!folders.contains(folder))
                folders.append(folder);
        }
        static const QStringList extensions{ ".dll", ".exe", "", ".txt", ".lnk", ".LNK", ".qm" };
        const int fileCount = pick(5, 40);
        for (int i = 0; i < fileCount; ++i) {
            const QString folder = folders[pick(0, folders.size() - 1)];
            const QString name = randomName(folder.isEmpty()) + QString::number(i)
                    + extensions[pick(0, extensions.size() - 1)];
            const QString relative = folder.isEmpty() ? name : folder + '/' + name;
            writeRandomFile(m_installation + '/' + relative, randomSize());
            if (::testing::Test::HasFatalFailure())
                return;
            m_createdFiles.append(relative);
        }
        // The excluded top-level names, in several letter cases.
        static const QStringList excluded{ "downloads/setup.bin", "Log/update.txt",
                                           "CORVATONE-WEB-CACHE/cache/entry.lnk" };
        for (const QString &relative : excluded) {
            if (chance(70)) {
                ASSERT_TRUE(QDir().mkpath(QFileInfo(m_installation + '/' + relative).absolutePath()));
                writeRandomFile(m_installation + '/' + relative, pick(0, 5000));
            }
        }
    }

    void buildShortcuts()
    {
        QStringList topLevel;
        for (const QString &file : std::as_const(m_createdFiles)) {
            if (!file.contains('/'))
                topLevel.append(file);
        }
        const int count = pick(0, 6);
        for (int i = 0; i < count; ++i) {
            const QString folder = m_shortcutFolders[pick(0, 1)] + (chance(30) ? "/Sub folder" : "");
            const QString shortcut = folder + QStringLiteral("/Ярлык %1 %%2.lnk").arg(i);
            QString target;
            const int kind = pick(1, 100);
            if (kind <= 60 && !topLevel.isEmpty())
                target = m_installation + '/' + topLevel[pick(0, topLevel.size() - 1)];
            else if (kind <= 80)
                target = m_installation + QStringLiteral("/absent/Corvatone.exe"); // not directly inside
            else
                target = m_root + QStringLiteral("/elsewhere.exe");
            ASSERT_TRUE(QDir().mkpath(folder));
            QFile out(shortcut);
            ASSERT_TRUE(out.open(QIODevice::WriteOnly));
            out.write(target.toUtf8());
            if (QFileInfo(target).absolutePath() == m_installation)
                m_expectedShortcuts.insert(shortcut);
        }
    }

    // What the update changed: files it added, with their content.
    Tree simulateUpdate()
    {
        Tree added;
        const Tree saved = savedPart();
        for (const auto &entry : saved) {
            const QString file = m_installation + '/' + entry.first;
            const int action = pick(1, 100);
            if (action <= 30)
                writeRandomFile(file, randomSize());
            else if (action <= 50)
                QFile::remove(file);
            else if (action <= 60)
                ::chmod(QFile::encodeName(file).constData(), 0644);
        }
        // Whole folders go, then files appear under names the installation never had.
        QDirIterator folders(m_installation, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot,
                             QDirIterator::Subdirectories);
        QStringList doomed;
        while (folders.hasNext()) {
            const QString folder = folders.next();
            if (chance(15))
                doomed.append(folder);
        }
        for (const QString &folder : std::as_const(doomed))
            QDir(folder).removeRecursively();
        const int addedCount = pick(0, 5);
        for (int i = 0; i < addedCount; ++i) {
            const QString relative = (chance(50) ? QStringLiteral("added folder/") : QString())
                    + QStringLiteral("added %1.dll").arg(i);
            QDir().mkpath(QFileInfo(m_installation + '/' + relative).absolutePath());
            writeRandomFile(m_installation + '/' + relative, pick(0, 3000));
            added[relative] = snapshotOf(m_installation + '/' + relative);
        }
        const QString excludedLog = m_installation + QStringLiteral("/LOG/written by update.txt");
        QDir().mkpath(QFileInfo(excludedLog).absolutePath());
        writeRandomFile(excludedLog, 100);
        for (const QString &shortcut : std::as_const(m_expectedShortcuts)) {
            if (chance(50))
                QFile::remove(shortcut);
        }
        if (chance(30))
            QDir(m_shortcutFolders[0]).removeRecursively();
        return added;
    }

    static bool isExcluded(const QString &relative)
    {
        const QString first = relative.section('/', 0, 0).toCaseFolded();
        return first == "downloads" || first == "log" || first == "corvatone-web-cache";
    }

    Tree savedPart() const
    {
        Tree tree = treeOf(m_installation);
        for (auto it = tree.begin(); it != tree.end();)
            it = isExcluded(it->first) ? tree.erase(it) : std::next(it);
        return tree;
    }

    Tree excludedPart() const
    {
        Tree tree = treeOf(m_installation);
        for (auto it = tree.begin(); it != tree.end();)
            it = isExcluded(it->first) ? std::next(it) : tree.erase(it);
        return tree;
    }

    std::mt19937 m_random;
    QString m_root;
    QString m_installation;
    QStringList m_shortcutFolders;
    QStringList m_createdFiles;
    QSet<QString> m_expectedShortcuts;
};

class BackupRoundTrip : public BackupSandbox
{
};

TEST_F(BackupRoundTrip, RestoreBringsBackEverySavedFileAndShortcut)
{
    useTextShortcuts();
    for (unsigned seed = 1; seed <= 20; ++seed) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        const QString root = path(QStringLiteral("run-%1").arg(seed));
        ASSERT_TRUE(QDir().mkpath(root));
        RoundTrip(seed, QDir(root).canonicalPath()).run();
        if (HasFailure())
            return;
        QDir(root).removeRecursively();
    }
}

} // namespace
