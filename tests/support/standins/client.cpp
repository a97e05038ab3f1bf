// A stand-in for the client application. On every start it appends one JSON
// line {"pid", "arguments", "workingDirectory"} to "<executable>.starts".
//
//   --run-updater <program> ... -- <updater arguments>
//                      starts the updater detached, as the client does, and
//                      writes "continue" once the handoff file holds "ready"
//   --exit <mode>      now (default), after:<ms>, never
//
// Any other argument is only recorded.
#include "standin_common.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>

namespace {

// The value of the last occurrence of an option ("--name value" or "--name=value").
QString lastValue(const QStringList &arguments, const QString &option)
{
    QString value;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (arguments.at(i) == option && i + 1 < arguments.size())
            value = arguments.at(++i);
        else if (arguments.at(i).startsWith(option + QLatin1Char('=')))
            value = arguments.at(i).mid(option.size() + 1);
    }
    return value;
}

void recordStart(const QStringList &arguments)
{
    const QJsonObject object{{QStringLiteral("pid"), qint64(QCoreApplication::applicationPid())},
                             {QStringLiteral("arguments"), QJsonArray::fromStringList(arguments)},
                             {QStringLiteral("workingDirectory"), QDir::currentPath()}};
    // One write, so that the records of clients running side by side never interleave.
    QFile file(standin::besideExecutable(".starts"));
    if (file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        file.write(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
}

// Answers "continue" once the updater has written "ready", as the client does.
void answer(const QString &handoff)
{
    QElapsedTimer timer;
    timer.start();
    while (testsupport::readFile(handoff) != "ready") {
        if (timer.elapsed() > 60000) {
            qWarning("standin_client: the updater never wrote \"ready\"");
            return;
        }
        QThread::msleep(10);
    }
    if (!testsupport::writeFile(handoff, "continue"))
        qWarning("standin_client: cannot write the answer");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    recordStart(arguments);
    const qsizetype separator = arguments.indexOf(QStringLiteral("--"));
    const QStringList own = arguments.mid(0, separator);
    const QString exit = lastValue(own, QStringLiteral("--exit"));

    const QString updater = lastValue(own, QStringLiteral("--run-updater"));
    if (!updater.isEmpty()) {
        const QStringList updaterArguments = arguments.mid(separator + 1);
        if (separator < 0 || !QProcess::startDetached(updater, updaterArguments)) {
            qWarning("standin_client: cannot start the updater");
            standin::quitNow(3);
        }
        const QString handoff = lastValue(updaterArguments, QStringLiteral("--handoff-file"));
        if (!handoff.isEmpty())
            answer(handoff);
    }

    while (exit == QLatin1String("never"))
        QThread::sleep(3600);
    if (exit.startsWith(QLatin1String("after:")))
        QThread::msleep(ulong(qMax(exit.mid(6).toInt(), 0)));
    standin::quitNow(0);
}
