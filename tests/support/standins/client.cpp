// A stand-in for the client application. On every start it appends one JSON
// line {"pid", "arguments", "workingDirectory"} to "<executable>.starts". With
// "--answer <handoff file>" it then answers the updater's "ready" with
// "continue" as the client does; it exits at once, or "--exit after:<ms>"
// later. Any argument is recorded.
#include "standin_common.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

namespace {

// Replaces "ready" whole with "continue", holding no handle on the file: on
// Windows the replace fails while the updater reads the file, and is tried
// again until the updater's limit is over.
bool answer(const QString &handoff)
{
    QElapsedTimer timer;
    timer.start();
    while (testsupport::readFile(handoff) != "ready") {
        if (timer.elapsed() > 15000)
            return false;
        QThread::msleep(20);
    }
    while (!testsupport::writeFile(handoff, "continue")) {
        if (timer.elapsed() > 15000)
            return false;
        QThread::msleep(20);
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    const QJsonObject start{{QStringLiteral("pid"), qint64(QCoreApplication::applicationPid())},
                            {QStringLiteral("arguments"), QJsonArray::fromStringList(arguments)},
                            {QStringLiteral("workingDirectory"), QDir::currentPath()}};
    // One write, so that the records of clients running side by side never interleave.
    QFile starts(standin::besideExecutable(".starts"));
    if (starts.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        starts.write(QJsonDocument(start).toJson(QJsonDocument::Compact) + '\n');
    starts.close();
    const qsizetype handoff = arguments.indexOf(QStringLiteral("--answer"));
    if (handoff >= 0 && !answer(arguments.value(handoff + 1)))
        standin::quitNow(3);
    const qsizetype exit = arguments.indexOf(QStringLiteral("--exit"));
    if (exit >= 0 && arguments.value(exit + 1).startsWith(QLatin1String("after:")))
        QThread::msleep(arguments.value(exit + 1).mid(6).toULong());
    standin::quitNow(0);
}
