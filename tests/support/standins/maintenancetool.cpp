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

#include <QDate>
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

// Resolves a record or stamp file against the executable's folder.
QString besideTool(const QString &file)
{
    return QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(file);
}

bool record(qint64 startedNs, const QString &file)
{
    const QJsonObject object {{QStringLiteral("arguments"), QJsonArray::fromStringList(QCoreApplication::arguments().mid(1))},
                              {QStringLiteral("workingDirectory"), QDir::currentPath()},
                              {QStringLiteral("startedNs"), QString::number(startedNs)}};
    return standin::writeFile(besideTool(file), QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
}

QByteArray componentsXml(const QString &version)
{
    const QByteArray v = version.toHtmlEscaped().toUtf8();
    const QByteArray today = QDate::currentDate().toString(Qt::ISODate).toUtf8();
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Packages>\n"
           "    <ApplicationName>Corvatone</ApplicationName>\n"
           "    <ApplicationVersion>" + v + "</ApplicationVersion>\n"
           "    <Package>\n"
           "        <Name>com.quintaver.tallyroom</Name>\n"
           "        <Title>Corvatone</Title>\n"
           "        <Description>Corvatone desktop client</Description>\n"
           "        <Version>" + v + "</Version>\n"
           "        <LastUpdateDate>" + today + "</LastUpdateDate>\n"
           "        <InstallDate>" + today + "</InstallDate>\n"
           "        <Size>48213504</Size>\n"
           "        <Checkable>true</Checkable>\n"
           "    </Package>\n</Packages>\n";
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

// The descriptor of "out" or "err", or -1.
int stream(const QString &name)
{
    return name == QLatin1String("out") ? STDOUT_FILENO : name == QLatin1String("err") ? STDERR_FILENO : -1;
}

bool remove(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink())
        return QDir(path).removeRecursively();
    return (!info.exists() && !info.isSymLink()) || QFile::remove(path);
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
            ok = standin::writeFile(besideTool(rest), QByteArray::number(realtimeNanoseconds()) + '\n');
        } else if (stream(command) >= 0) {
            const QByteArray bytes = standin::unescape(rest);
            ok = standin::writeFully(stream(command), bytes.constData(), bytes.size());
        } else if (command == QLatin1String("flood")) {
            const QStringList parts = rest.split(QLatin1Char(' '), Qt::SkipEmptyParts);
            const qint64 bytes = parts.value(0).toLongLong(&ok);
            ok = ok && stream(parts.value(1)) >= 0 && flood(bytes, stream(parts.value(1)));
        } else if (command == QLatin1String("write")) {
            const QString path = rest.section(QLatin1Char(' '), 0, 0);
            ok = !path.isEmpty()
                && standin::writeFile(QDir::current().absoluteFilePath(path), standin::unescape(rest.mid(path.size() + 1)));
        } else if (command == QLatin1String("delete")) {
            ok = remove(QDir::current().absoluteFilePath(rest));
        } else if (command == QLatin1String("components")) {
            ok = standin::writeFile(QDir::current().absoluteFilePath(QStringLiteral("components.xml")),
                                    componentsXml(rest.trimmed()));
        } else if (command == QLatin1String("sleep")) {
            const int ms = rest.trimmed().toInt(&ok);
            QThread::msleep(ok ? ulong(qMax(ms, 0)) : 0);
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
