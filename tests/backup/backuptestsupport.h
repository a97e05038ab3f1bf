// Shared helpers of the backup tests: small file functions and a fixture that
// gives each test a private folder with the system temporary folder in it.
#pragma once

#include "fakeos.h"

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <ostream>

// Readable QString values in assertion messages.
inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}

inline void writeFile(const QString &file, const QByteArray &content)
{
    ASSERT_TRUE(QDir().mkpath(QFileInfo(file).absolutePath()));
    QFile out(file);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate)) << file.toStdString();
    ASSERT_EQ(out.write(content), content.size());
}

inline QByteArray readFile(const QString &file)
{
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly))
        return QByteArray("<unreadable>");
    return in.readAll();
}

// Every file (not folder) below a folder, relative, sorted.
inline QStringList filesBelow(const QString &folder)
{
    QStringList found;
    const QDir base(folder);
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        found.append(base.relativeFilePath(it.next()));
    found.sort();
    return found;
}

class BackupSandbox : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fakeos::reset();
        ASSERT_TRUE(m_root.isValid());
        m_hadTmpDir = qEnvironmentVariableIsSet("TMPDIR");
        m_oldTmpDir = qgetenv("TMPDIR");
        setTempPath(path(QStringLiteral("tmp")));
    }

    void TearDown() override
    {
        if (m_hadTmpDir)
            qputenv("TMPDIR", m_oldTmpDir);
        else
            qunsetenv("TMPDIR");
        fakeos::reset();
    }

    // An absolute path inside this test's own folder.
    QString path(const QString &relative) const { return m_root.filePath(relative); }

    // Points QDir::tempPath() at a folder, creating it.
    static void setTempPath(const QString &folder)
    {
        ASSERT_TRUE(QDir().mkpath(folder));
        qputenv("TMPDIR", QFile::encodeName(folder));
        ASSERT_EQ(QDir(QDir::tempPath()).canonicalPath(), QDir(folder).canonicalPath());
    }

    // Lets the test's shortcut files be plain text files holding their target.
    static void useTextShortcuts()
    {
        fakeos::hooks().shellLinkTarget =
            [](const std::u16string &linkPath) -> std::optional<std::u16string> {
            QFile link(QString::fromStdU16String(linkPath));
            if (!link.open(QIODevice::ReadOnly))
                return std::nullopt;
            return QString::fromUtf8(link.readAll()).toStdU16String();
        };
    }

private:
    QTemporaryDir m_root;
    bool m_hadTmpDir = false;
    QByteArray m_oldTmpDir;
};
