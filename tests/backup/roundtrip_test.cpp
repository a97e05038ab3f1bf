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
    for (const QString &file : files)
        tree[file] = { readFile(QDir(folder).filePath(file)), QFile::permissions(QDir(folder).filePath(file)) };
    return tree;
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

    void run()
    {
        build();
        QStringList files = filesBelow(m_installation);
        files.removeIf([](const QString &file) {
            const QString first = file.section('/', 0, 0).toCaseFolded();
            return first == "downloads" || first == "log" || first == "corvatone-web-cache";
        });
        const Tree before = treeOf(m_installation, files);
        const Tree shortcutsBefore = treeOf(QString(), m_shortcuts);

        UpdateBackup backup;
        QString message;
        ASSERT_TRUE(backup.create(m_installation, message, m_shortcutFolders)) << message.toStdString();
        QStringList savedFiles = backup.files;
        savedFiles.sort();
        ASSERT_EQ(savedFiles, files);
        QStringList savedShortcuts;
        for (const auto &[shortcut, copy] : std::as_const(backup.shortcuts))
            savedShortcuts.append(shortcut);
        savedShortcuts.sort();
        ASSERT_EQ(savedShortcuts, m_shortcuts);

        update(files);
        ASSERT_TRUE(backup.restore(message)) << message.toStdString();
        EXPECT_TRUE(treeOf(m_installation, files) == before);
        EXPECT_TRUE(treeOf(QString(), m_shortcuts) == shortcutsBefore);
    }

private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }
    bool chance(int percent) { return pick(1, 100) <= percent; }
    template<typename List>
    auto any(const List &list) { return list[pick(0, int(list.size()) - 1)]; }

    // Random bytes, at times none or more than one chunk of the copy, and random permission bits.
    void writeRandomFile(const QString &file)
    {
        QByteArray bytes(chance(10) ? 0 : chance(5) ? pick(1048576 - 3, 2 * 1048576 + 5) : pick(1, 8192),
                         Qt::Uninitialized);
        for (char &c : bytes)
            c = char(m_random());
        writeFile(file, bytes);
        const QFile::Permissions owner = QFile::ReadOwner | QFile::WriteOwner;
        QFile::setPermissions(file, any(QList<QFile::Permissions>{
                                        owner, owner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup,
                                        owner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther }));
    }

    void build()
    {
        const QStringList names{ "data", "Плагины", "with blank", "100%", "%1 and %2", "Größe",
                                 ".hidden", "конфиг файл", "日本語", "Downloads", "log", "logs" };
        QStringList folders{ m_installation };
        for (int i = pick(2, 10); i > 0; --i) {
            folders.append(any(folders) + '/' + any(names));
            QDir().mkpath(folders.last());
        }
        QStringList topLevel;
        for (int i = pick(5, 40); i > 0; --i) {
            const QString folder = any(folders);
            const QString name = any(names) + QString::number(i) + any(QStringList{ ".dll", ".exe", "", ".lnk", ".LNK" });
            writeRandomFile(folder + '/' + name);
            if (folder == m_installation)
                topLevel.append(name);
        }

        for (int i = pick(0, 6); i > 0; --i) {
            const QString shortcut = any(m_shortcutFolders) + (chance(30) ? "/Sub folder" : "")
                    + QStringLiteral("/Ярлык %1 %%2.lnk").arg(i);
            const bool inside = !topLevel.isEmpty() && chance(70);
            writeFile(shortcut, (inside ? m_installation + '/' + any(topLevel) : m_root + "/elsewhere.exe").toUtf8());
            if (inside)
                m_shortcuts.append(shortcut);
        }
        m_shortcuts.sort();
    }

    // Changes, deletes and adds files and folders as an update would.
    void update(const QStringList &files)
    {
        for (const QString &file : files) {
            const int action = pick(1, 100);
            if (action <= 30)
                writeRandomFile(m_installation + '/' + file);
            else if (action <= 50)
                QFile::remove(m_installation + '/' + file);
            else if (action <= 60)
                QFile::setPermissions(m_installation + '/' + file, QFile::ReadOwner | QFile::WriteOwner);
        }
        for (const QString &folder : QDir(m_installation).entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)) {
            if (chance(30))
                QDir(m_installation + '/' + folder).removeRecursively();
        }
        for (const QString &shortcut : std::as_const(m_shortcuts)) {
            if (chance(50))
                QFile::remove(shortcut);
        }
        if (chance(30))
            QDir(m_shortcutFolders[0]).removeRecursively();
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
