// Backs up random installations, changes them as an update would, restores
// them and checks that everything saved is back exactly as it was.
#include "backup/updatebackup.h"

#include "backuptestsupport.h"

#include <map>
#include <random>

namespace {

// Content and permission bits of each file, by path.
using Tree = std::map<QString, std::pair<QByteArray, QFile::Permissions>>;

Tree treeOf(const QString &folder, const QStringList &files)
{
    Tree tree;
    for (const QString &file : files) {
        const QString full = QDir(folder).filePath(file);
        tree[file] = { readFile(full), QFile::permissions(full) };
    }
    return tree;
}

bool isExcluded(const QString &relative)
{
    const QString first = relative.section('/', 0, 0).toCaseFolded();
    return first == "downloads" || first == "log" || first == "corvatone-web-cache";
}

class RoundTrip
{
public:
    RoundTrip(unsigned seed, const QString &root)
        : m_random(seed)
        , m_root(root)
        , m_installation(root + "/Corvatone")
        , m_shortcutFolders{ root + "/desktop", root + "/menu/Programs" }
    {
    }

    // The installation's files, split into the part that is saved and the excluded part.
    std::pair<Tree, Tree> installationTrees() const
    {
        QStringList saved, excluded;
        for (const QString &file : filesBelow(m_installation))
            (isExcluded(file) ? excluded : saved).append(file);
        return { treeOf(m_installation, saved), treeOf(m_installation, excluded) };
    }

    void run()
    {
        build();
        const Tree before = installationTrees().first;
        const Tree shortcutsBefore = treeOf(QString(), m_shortcuts);

        UpdateBackup backup;
        QString message;
        ASSERT_TRUE(backup.create(m_installation, message, m_shortcutFolders)) << message.toStdString();
        ASSERT_EQ(int(before.size()), backup.files.size());
        QStringList saved;
        for (const auto &pair : std::as_const(backup.shortcuts))
            saved.append(pair.first);
        saved.sort();
        ASSERT_EQ(saved, m_shortcuts);

        const Tree added = update();
        const Tree excludedAfterUpdate = installationTrees().second;
        ASSERT_TRUE(backup.restore(message)) << message.toStdString();

        const auto [after, excludedAfter] = installationTrees();
        for (const Tree *expected : { &before, &added }) {
            for (const auto &[file, content] : *expected) {
                const auto found = after.find(file);
                EXPECT_TRUE(found != after.end() && found->second == content) << file.toStdString();
            }
        }
        EXPECT_TRUE(excludedAfter == excludedAfterUpdate);
        EXPECT_TRUE(treeOf(QString(), m_shortcuts) == shortcutsBefore);
    }

private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }
    bool chance(int percent) { return pick(1, 100) <= percent; }
    template<typename List>
    auto any(const List &list) { return list[pick(0, int(list.size()) - 1)]; }

    void writeRandomFile(const QString &file, int size)
    {
        QByteArray bytes(size, Qt::Uninitialized);
        for (char &c : bytes)
            c = char(m_random());
        writeFile(file, bytes);
        static const QList<QFile::Permissions> modes{
            QFile::ReadOwner | QFile::WriteOwner,
            QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup,
            QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther,
        };
        QFile::setPermissions(file, any(modes));
    }

    int randomSize()
    {
        const int kind = pick(1, 100);
        if (kind <= 10)
            return 0;
        if (kind <= 96)
            return pick(1, kind <= 70 ? 4096 : 200000);
        return pick(1048576 - 3, 2 * 1048576 + 5); // across the copy's chunks
    }

    void build()
    {
        static const QStringList names{ "data", "Плагины", "with blank", "100%", "%1 and %2", "Größe",
                                        ".hidden", "конфиг файл", "日本語", "Downloads-old", "logs" };
        // The excluded names count only at the top level.
        static const QStringList deepNames{ "log", "Downloads", "corvatone-web-cache" };
        QStringList folders{ m_installation };
        for (int i = pick(2, 10); i > 0; --i) {
            const QString parent = any(folders);
            const QString folder = parent + '/' + (parent != m_installation && chance(10) ? any(deepNames) : any(names));
            QDir().mkpath(folder);
            folders.append(folder);
        }
        static const QStringList extensions{ ".dll", ".exe", "", ".txt", ".lnk", ".LNK" };
        QStringList topLevel;
        for (int i = pick(5, 40); i > 0; --i) {
            const QString folder = any(folders);
            const QString name = any(names) + QString::number(i) + any(extensions);
            writeRandomFile(folder + '/' + name, randomSize());
            if (folder == m_installation)
                topLevel.append(name);
        }
        for (const QString file : { "downloads/setup.bin", "Log/update.txt", "CORVATONE-WEB-CACHE/cache/a.lnk" }) {
            if (chance(70))
                writeRandomFile(m_installation + '/' + file, pick(0, 5000));
        }

        for (int i = pick(0, 6); i > 0; --i) {
            const QString shortcut = any(m_shortcutFolders) + (chance(30) ? "/Sub folder" : "")
                    + QStringLiteral("/Ярлык %1 %%2.lnk").arg(i);
            QString target = m_root + "/elsewhere.exe";
            if (chance(20))
                target = m_installation + "/absent/Corvatone.exe"; // not directly inside
            else if (!topLevel.isEmpty() && chance(75))
                target = m_installation + '/' + any(topLevel);
            writeFile(shortcut, target.toUtf8());
            if (QFileInfo(target).absolutePath() == m_installation)
                m_shortcuts.append(shortcut);
        }
        m_shortcuts.sort();
    }

    // Changes, deletes and adds files as an update would; returns what it added.
    Tree update()
    {
        for (const auto &entry : installationTrees().first) {
            const QString file = m_installation + '/' + entry.first;
            const int action = pick(1, 100);
            if (action <= 30)
                writeRandomFile(file, randomSize());
            else if (action <= 50)
                QFile::remove(file);
            else if (action <= 60)
                QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
        }
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

        // Only names the installation never had, so that no file lands where a saved folder was.
        QStringList added{ "LOG/written by update.txt" };
        for (int i = pick(0, 5); i > 0; --i)
            added.append((chance(50) ? "added folder/" : "") + QStringLiteral("added %1.dll").arg(i));
        for (const QString &file : std::as_const(added))
            writeRandomFile(m_installation + '/' + file, pick(0, 3000));
        added.removeFirst();

        for (const QString &shortcut : std::as_const(m_shortcuts)) {
            if (chance(50))
                QFile::remove(shortcut);
        }
        if (chance(30))
            QDir(m_shortcutFolders[0]).removeRecursively();
        return treeOf(m_installation, added);
    }

    std::mt19937 m_random;
    QString m_root;
    QString m_installation;
    QStringList m_shortcutFolders;
    QStringList m_shortcuts; // those that point directly into the installation, sorted
};

using BackupRoundTrip = BackupSandbox;

TEST_F(BackupRoundTrip, RestoreBringsBackEverySavedFileAndShortcut)
{
    useTextShortcuts();
    for (unsigned seed = 1; seed <= 20 && !HasFailure(); ++seed) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        const QString root = path(QStringLiteral("run-%1").arg(seed));
        ASSERT_TRUE(QDir().mkpath(root));
        RoundTrip(seed, QDir(root).canonicalPath()).run();
        QDir(root).removeRecursively();
    }
}

} // namespace
