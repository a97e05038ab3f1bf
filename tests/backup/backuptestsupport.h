// Shared helpers of the backup tests: small file functions and a fixture that
// gives each test a private folder with the system temporary folder in it.
#pragma once

#include "fakeos.h"

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
    return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray("<unreadable>");
}

// Every file (not folder) below a folder, relative, sorted.
inline QStringList filesBelow(const QString &folder)
{
    QStringList found;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        found.append(QDir(folder).relativeFilePath(it.next()));
    found.sort();
    return found;
}

class BackupSandbox : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fakeos::reset();
        setTempPath(path("tmp"));
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
    }

    // Lets the test's shortcut files be plain text files holding their target.
    static void useTextShortcuts()
    {
        fakeos::hooks().shellLinkTarget = [](const std::u16string &link) -> std::optional<std::u16string> {
            QFile file(QString::fromStdU16String(link));
            if (!file.open(QIODevice::ReadOnly))
                return std::nullopt;
            return QString::fromUtf8(file.readAll()).toStdU16String();
        };
    }

private:
    QTemporaryDir m_root;
    const bool m_hadTmpDir = qEnvironmentVariableIsSet("TMPDIR");
    const QByteArray m_oldTmpDir = qgetenv("TMPDIR");
};
