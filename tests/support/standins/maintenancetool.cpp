// A stand-in for the installation's maintenance tool. It accepts any command
// line and acts out the scenario kept beside its executable
// ("<executable>.scenario"), one directive a line:
//
//   record <file>            arguments, working directory and start time as JSON
//   out <text> / err <text>  text to standard output / standard error
//   flood <bytes> <out|err>  that many bytes of filler lines
//   write <path> <text>      creates or overwrites a file
//   delete <path>            removes a file or a folder with its content
//   fill <path>              writes zeros into a new file until its disk is full
//   components <version>     writes components.xml for the client's package
//   sleep <ms>
//   await <path>             waits until the file exists, a minute at most
//   exit <code> / crash
//
// <text> knows the escape \n. Relative paths are relative to the working
// directory, except the file of record, which is relative to the executable's
// folder. Without a scenario, or at its end, it exits with 0.
#include "standin_common.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

bool writeFully(std::FILE *stream, const QByteArray &bytes)
{
    return std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) == size_t(bytes.size())
           && std::fflush(stream) == 0;
}

// Printable lines of 100 bytes, written a chunk at a time.
bool flood(qint64 bytes, std::FILE *stream)
{
    QByteArray line(99, 'x');
    for (int i = 0; i < line.size(); ++i)
        line[i] = char('!' + (i % 90));
    const QByteArray chunk = (line + '\n').repeated(656);
    for (; bytes > 0; bytes -= chunk.size()) {
        if (!writeFully(stream, chunk.left(qMin<qint64>(bytes, chunk.size()))))
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
    const qint64 startedNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count();
    QCoreApplication app(argc, argv);
    const QByteArray scenario = testsupport::readFile(standin::besideExecutable(".scenario"));
    for (const QString &line :
         QString::fromUtf8(scenario).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QString command = line.section(QLatin1Char(' '), 0, 0);
        const QString rest = line.section(QLatin1Char(' '), 1);
        const QString text =
                rest.section(QLatin1Char(' '), command == QLatin1String("write") ? 1 : 0)
                        .replace(QLatin1String("\\n"), QLatin1String("\n"));
        const QString path = QDir::current().absoluteFilePath(
                command == QLatin1String("write") ? rest.section(QLatin1Char(' '), 0, 0) : rest);
        const QString stream =
                command == QLatin1String("flood") ? rest.section(QLatin1Char(' '), 1, 1) : command;
        std::FILE *const out = stream == QLatin1String("out") ? stdout : stderr;
        bool ok = true;
        if (command == QLatin1String("record")) {
            const QJsonObject object{
                    {QStringLiteral("arguments"),
                     QJsonArray::fromStringList(QCoreApplication::arguments().mid(1))},
                    {QStringLiteral("workingDirectory"), QDir::currentPath()},
                    {QStringLiteral("startedNs"), QString::number(startedNs)}};
            ok = testsupport::writeFile(
                    QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(rest),
                    QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
        } else if (command == QLatin1String("out") || command == QLatin1String("err")) {
            ok = writeFully(out, text.toUtf8());
        } else if (command == QLatin1String("flood")) {
            ok = flood(rest.section(QLatin1Char(' '), 0, 0).toLongLong(), out);
        } else if (command == QLatin1String("write")) {
            ok = testsupport::writeFile(path, text.toUtf8());
        } else if (command == QLatin1String("delete")) {
            ok = remove(path);
        } else if (command == QLatin1String("fill")) {
            ok = testsupport::fillDisk(path);
        } else if (command == QLatin1String("components")) {
            ok = testsupport::writeFile(
                    QStringLiteral("components.xml"),
                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Packages>\n    <Package>\n"
                    "        <Name>com.quintaver.tallyroom</Name>\n        <Version>"
                            + rest.toHtmlEscaped().toUtf8()
                            + "</Version>\n    </Package>\n</Packages>\n");
        } else if (command == QLatin1String("sleep")) {
            QThread::msleep(rest.toULong(&ok));
        } else if (command == QLatin1String("await")) {
            QElapsedTimer timer;
            timer.start();
            while (!(ok = QFileInfo::exists(path)) && timer.elapsed() < 60000)
                QThread::msleep(10);
        } else if (command == QLatin1String("exit")) {
            standin::quitNow(rest.toInt());
        } else if (command == QLatin1String("crash")) {
            std::abort();
        } else {
            ok = false;
        }
        if (!ok) {
            writeFully(stderr,
                       "standin_maintenancetool: cannot carry out: " + line.toUtf8() + '\n');
            standin::quitNow(97);
        }
    }
    standin::quitNow(0);
}
