// A stand-in for the installation's maintenance tool. It accepts any command
// line and acts out the scenario kept beside its executable
// ("<executable>.scenario"), one directive a line:
//
//   record <file>            arguments, working directory and start time as JSON
//   stamp <file>             the wall-clock time in nanoseconds since the epoch
//   out <text> / err <text>  text to standard output / standard error
//   flood <bytes> <out|err>  that many bytes of filler lines
//   write <path> <text>      creates or overwrites a file
//   delete <path>            removes a file or a folder with its content
//   fill <path>              writes zeros into a new file until its disk is full
//   components <version>     writes components.xml for the client's package
//   sleep <ms>
//   exit <code> / crash
//
// <text> knows the escapes \n and \\. Relative paths are relative to the
// working directory, except the files of record and stamp, which are relative
// to the executable's folder. Without a scenario, or at its end, it exits with 0.
#include "standin_common.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <chrono>
#include <cstdlib>

namespace {

qint64 realtimeNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

QByteArray componentsXml(const QString &version)
{
    const QByteArray v = version.toHtmlEscaped().toUtf8();
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Packages>\n    <ApplicationName>Corvatone</ApplicationName>\n"
           "    <Package>\n        <Name>com.quintaver.tallyroom</Name>\n        <Title>Corvatone</Title>\n"
           "        <Version>" + v + "</Version>\n    </Package>\n</Packages>\n";
}

// Printable lines of 100 bytes, written a chunk at a time.
bool flood(qint64 bytes, int fd)
{
    QByteArray line(99, 'x');
    for (int i = 0; i < line.size(); ++i)
        line[i] = char('!' + (i % 90));
    const QByteArray chunk = (line + '\n').repeated(656);
    for (; bytes > 0; bytes -= chunk.size()) {
        if (!standin::writeFully(fd, chunk.constData(), qsizetype(qMin<qint64>(bytes, chunk.size()))))
            return false;
    }
    return true;
}

bool remove(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink())
        return QDir(path).removeRecursively();
    return (!info.exists() && !info.isSymLink()) || QFile::remove(path);
}

} // namespace

int main(int argc, char **argv)
{
    const qint64 startedNs = realtimeNanoseconds();
    QCoreApplication app(argc, argv);
    const QDir tool(QCoreApplication::applicationDirPath());

    const QByteArray scenario = testsupport::readFile(standin::besideExecutable(".scenario"));
    for (const QString &line : QString::fromUtf8(scenario).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QString command = line.section(QLatin1Char(' '), 0, 0);
        const QString rest = line.section(QLatin1Char(' '), 1);
        const QString path = QDir::current().absoluteFilePath(command == QLatin1String("write") ? rest.section(QLatin1Char(' '), 0, 0) : rest);
        const int fd = command == QLatin1String("out") ? STDOUT_FILENO : command == QLatin1String("err") ? STDERR_FILENO : -1;
        bool ok = true;
        if (command == QLatin1String("record")) {
            const QJsonObject object{{QStringLiteral("arguments"), QJsonArray::fromStringList(QCoreApplication::arguments().mid(1))},
                                     {QStringLiteral("workingDirectory"), QDir::currentPath()},
                                     {QStringLiteral("startedNs"), QString::number(startedNs)}};
            ok = testsupport::writeFile(tool.absoluteFilePath(rest), QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
        } else if (command == QLatin1String("stamp")) {
            ok = testsupport::writeFile(tool.absoluteFilePath(rest), QByteArray::number(realtimeNanoseconds()) + '\n');
        } else if (fd >= 0) {
            const QByteArray bytes = standin::unescape(rest);
            ok = standin::writeFully(fd, bytes.constData(), bytes.size());
        } else if (command == QLatin1String("flood")) {
            const QString stream = rest.section(QLatin1Char(' '), 1, 1);
            ok = (stream == QLatin1String("out") || stream == QLatin1String("err"))
                && flood(rest.section(QLatin1Char(' '), 0, 0).toLongLong(), stream == QLatin1String("out") ? STDOUT_FILENO : STDERR_FILENO);
        } else if (command == QLatin1String("write")) {
            ok = testsupport::writeFile(path, standin::unescape(rest.section(QLatin1Char(' '), 1)));
        } else if (command == QLatin1String("delete")) {
            ok = remove(path);
        } else if (command == QLatin1String("fill")) {
            ok = testsupport::fillDisk(path);
        } else if (command == QLatin1String("components")) {
            ok = testsupport::writeFile(QDir::current().absoluteFilePath(QStringLiteral("components.xml")), componentsXml(rest.trimmed()));
        } else if (command == QLatin1String("sleep")) {
            QThread::msleep(ulong(qMax(rest.toInt(&ok), 0)));
        } else if (command == QLatin1String("exit")) {
            const int code = rest.toInt(&ok);
            if (ok)
                standin::quitNow(code);
        } else if (command == QLatin1String("crash")) {
            std::fflush(nullptr);
            std::abort();
        } else {
            ok = false;
        }
        if (!ok) {
            const QByteArray message = "standin_maintenancetool: cannot carry out: " + line.toUtf8() + '\n';
            standin::writeFully(STDERR_FILENO, message.constData(), message.size());
            standin::quitNow(97);
        }
    }
    standin::quitNow(0);
}
