// A stand-in for the installation's maintenance tool. It accepts any command
// line and acts out the scenario kept beside its executable
// ("<executable>.scenario"), one directive a line:
//
//   record <file>            arguments and working directory as JSON (also a time stamp)
//   stamp <file>             the wall-clock time in nanoseconds since the epoch
//   out <text> / err <text>  text to standard output / standard error
//   flood <bytes> <out|err>  that many bytes of filler lines
//   write <path> <text>      creates or overwrites a file
//   delete <path>            removes a file or a folder with its content
//   components <version>     writes components.xml for the client's package
//   sleep <ms>
//   exit <code> / crash
//
// <text> knows the escapes \n \t \\ \xHH. Relative paths are relative to the
// working directory, except the files of record and stamp, which are relative
// to the executable's folder. Without a scenario, or at its end, it exits with 0.
#include "standin_common.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QThread>

#include <cstdlib>
#include <ctime>
#include <unistd.h>

namespace {

qint64 realtimeNanoseconds()
{
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Resolves a record or stamp file against the executable's folder.
QString besideTool(const QString &file)
{
    return QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(file);
}

bool writeFile(const QString &path, const QByteArray &content)
{
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath()))
        return false;
    QSaveFile file(path);
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(content) != content.size())
        return false;
    return file.commit();
}

bool record(qint64 startedNs, const QString &file)
{
    QJsonArray arguments;
    const QStringList all = QCoreApplication::arguments();
    for (qsizetype i = 1; i < all.size(); ++i)
        arguments.append(all.at(i));
    QJsonObject object;
    object.insert(QStringLiteral("arguments"), arguments);
    object.insert(QStringLiteral("workingDirectory"), QDir::currentPath());
    object.insert(QStringLiteral("startedNs"), QString::number(startedNs));
    return writeFile(besideTool(file), QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
}

QByteArray componentsXml(const QString &version)
{
    const QByteArray v = version.toHtmlEscaped().toUtf8();
    const QByteArray today = QDate::currentDate().toString(Qt::ISODate).toUtf8();
    return QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<Packages>\n"
                      "    <ApplicationName>Corvatone</ApplicationName>\n"
                      "    <ApplicationVersion>") + v + "</ApplicationVersion>\n"
        "    <Package>\n"
        "        <Name>com.quintaver.tallyroom</Name>\n"
        "        <Title>Corvatone</Title>\n"
        "        <Description>Corvatone desktop client</Description>\n"
        "        <Version>" + v + "</Version>\n"
        "        <LastUpdateDate>" + today + "</LastUpdateDate>\n"
        "        <InstallDate>" + today + "</InstallDate>\n"
        "        <Size>48213504</Size>\n"
        "        <Checkable>true</Checkable>\n"
        "    </Package>\n"
        "</Packages>\n";
}

bool flood(qint64 bytes, int fd)
{
    // Printable lines of 100 bytes, written a chunk at a time.
    QByteArray line(99, 'x');
    for (int i = 0; i < line.size(); ++i)
        line[i] = char('!' + (i % 90));
    line.append('\n');
    QByteArray chunk;
    while (chunk.size() < 64 * 1024)
        chunk += line;
    while (bytes > 0) {
        const qsizetype n = qsizetype(qMin<qint64>(bytes, chunk.size()));
        if (!standin::writeFully(fd, chunk.constData(), n))
            return false;
        bytes -= n;
    }
    return true;
}

[[noreturn]] void fail(const QString &line)
{
    const QByteArray message = "standin_maintenancetool: cannot carry out: " + line.toUtf8() + '\n';
    standin::writeFully(STDERR_FILENO, message.constData(), message.size());
    standin::quitNow(97);
}

} // namespace

int main(int argc, char **argv)
{
    const qint64 startedNs = realtimeNanoseconds();
    QCoreApplication app(argc, argv);

    QFile scenario(standin::besideExecutable(".scenario"));
    if (!scenario.open(QIODevice::ReadOnly))
        standin::quitNow(0);
    const QStringList lines = QString::fromUtf8(scenario.readAll()).split(QLatin1Char('\n'));
    scenario.close();

    for (QString line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (line.trimmed().isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const qsizetype space = line.indexOf(QLatin1Char(' '));
        const QString command = space < 0 ? line : line.left(space);
        const QString rest = space < 0 ? QString() : line.mid(space + 1);

        bool ok = true;
        if (command == QLatin1String("record")) {
            ok = record(startedNs, rest);
        } else if (command == QLatin1String("stamp")) {
            ok = writeFile(besideTool(rest), QByteArray::number(realtimeNanoseconds()) + '\n');
        } else if (command == QLatin1String("out") || command == QLatin1String("err")) {
            const QByteArray bytes = standin::unescape(rest);
            const int fd = command == QLatin1String("out") ? STDOUT_FILENO : STDERR_FILENO;
            ok = standin::writeFully(fd, bytes.constData(), bytes.size());
        } else if (command == QLatin1String("flood")) {
            const QStringList parts = rest.split(QLatin1Char(' '), Qt::SkipEmptyParts);
            const qint64 bytes = parts.value(0).toLongLong(&ok);
            const QString stream = parts.value(1);
            ok = ok && (stream == QLatin1String("out") || stream == QLatin1String("err"))
                && flood(bytes, stream == QLatin1String("out") ? STDOUT_FILENO : STDERR_FILENO);
        } else if (command == QLatin1String("write")) {
            const qsizetype pathEnd = rest.indexOf(QLatin1Char(' '));
            const QString path = pathEnd < 0 ? rest : rest.left(pathEnd);
            const QString text = pathEnd < 0 ? QString() : rest.mid(pathEnd + 1);
            ok = !path.isEmpty() && writeFile(QDir::current().absoluteFilePath(path), standin::unescape(text));
        } else if (command == QLatin1String("delete")) {
            const QString path = QDir::current().absoluteFilePath(rest);
            const QFileInfo info(path);
            if (info.isDir() && !info.isSymLink())
                ok = QDir(path).removeRecursively();
            else
                ok = !info.exists() && !info.isSymLink() ? true : QFile::remove(path);
        } else if (command == QLatin1String("components")) {
            ok = writeFile(QDir::current().absoluteFilePath(QStringLiteral("components.xml")),
                           componentsXml(rest.trimmed()));
        } else if (command == QLatin1String("sleep")) {
            const int ms = rest.trimmed().toInt(&ok);
            if (ok)
                QThread::msleep(ulong(qMax(ms, 0)));
        } else if (command == QLatin1String("exit")) {
            const int code = rest.trimmed().toInt(&ok);
            if (ok)
                standin::quitNow(code);
        } else if (command == QLatin1String("crash")) {
            std::fflush(nullptr);
            std::abort();
        } else {
            ok = false;
        }
        if (!ok)
            fail(line);
    }
    standin::quitNow(0);
}
