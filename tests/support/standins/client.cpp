// A stand-in for the client application. On every start it appends one JSON
// line {"pid", "arguments", "workingDirectory"} to "<executable>.starts", then
// exits at once, or after "--exit after:<ms>"; any argument is recorded.
#include "standin_common.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

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
    const qsizetype exit = arguments.indexOf(QStringLiteral("--exit"));
    if (exit >= 0 && arguments.value(exit + 1).startsWith(QLatin1String("after:")))
        QThread::msleep(arguments.value(exit + 1).mid(6).toULong());
    standin::quitNow(0);
}
