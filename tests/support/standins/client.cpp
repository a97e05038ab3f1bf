// A stand-in for the client application. On every start it appends one JSON
// line {"pid", "arguments", "workingDirectory"} to "<executable>.starts".
//
//   --run-updater <program> ... -- <updater arguments>
//                      starts the updater detached, as the client does
//   --answer <mode>    continue (default), late:<ms>, wrong:<text>, never:
//                      what to write once the handoff file holds "ready"
//   --exit <mode>      now (default), after:<ms>, never
//
// Any other argument is only recorded. A copy started without --run-updater
// reads "<executable>.scenario", where a line "stay <ms>" keeps it running for
// that long.
#include "standin_common.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>

namespace {

// How long the client waits for the updater's "ready" before it gives up.
constexpr qint64 ReadyTimeoutMs = 60000;

struct Options
{
    QString updater;
    QStringList updaterArguments;
    QString answer = QStringLiteral("continue");
    QString exit;
};

Options parse(const QStringList &arguments)
{
    Options options;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &a = arguments.at(i);
        if (a == QLatin1String("--")) {
            options.updaterArguments = arguments.mid(i + 1);
            break;
        }
        QString *value = a == QLatin1String("--run-updater") ? &options.updater
            : a == QLatin1String("--answer")                  ? &options.answer
            : a == QLatin1String("--exit")                    ? &options.exit
                                                              : nullptr;
        if (value && i + 1 < arguments.size())
            *value = arguments.at(++i);
    }
    return options;
}

// The value of the last --handoff-file among the updater's arguments.
QString handoffFile(const QStringList &arguments)
{
    QString path;
    const QLatin1String option("--handoff-file");
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &a = arguments.at(i);
        if (a == option && i + 1 < arguments.size())
            path = arguments.at(++i);
        else if (a.startsWith(option + QLatin1Char('=')))
            path = a.mid(option.size() + 1);
    }
    return path;
}

void recordStart(const QStringList &arguments)
{
    const QJsonObject object {{QStringLiteral("pid"), qint64(QCoreApplication::applicationPid())},
                              {QStringLiteral("arguments"), QJsonArray::fromStringList(arguments.mid(1))},
                              {QStringLiteral("workingDirectory"), QDir::currentPath()}};
    // One write, so that the records of clients running side by side never interleave.
    QFile file(standin::besideExecutable(".starts"));
    if (file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        file.write(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
}

int stayFromScenario()
{
    QFile scenario(standin::besideExecutable(".scenario"));
    int stay = 0;
    for (const QByteArray &line : scenario.open(QIODevice::ReadOnly) ? scenario.readAll().split('\n') : QList<QByteArray>()) {
        if (line.trimmed().startsWith("stay "))
            stay = line.trimmed().mid(5).trimmed().toInt();
    }
    return stay;
}

bool waitForReady(const QString &path)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ReadyTimeoutMs) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly) && file.readAll() == "ready")
            return true;
        QThread::msleep(10);
    }
    return false;
}

void answer(const Options &options)
{
    const QString path = handoffFile(options.updaterArguments);
    if (path.isEmpty() || options.answer == QLatin1String("never"))
        return;
    if (!waitForReady(path)) {
        qWarning("standin_client: the updater never wrote \"ready\"");
        return;
    }
    QByteArray text = "continue";
    if (options.answer.startsWith(QLatin1String("late:")))
        QThread::msleep(ulong(qMax(options.answer.mid(5).toInt(), 0)));
    else if (options.answer.startsWith(QLatin1String("wrong:")))
        text = standin::unescape(options.answer.mid(6));
    if (!standin::writeFile(path, text))
        qWarning("standin_client: cannot write the answer");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    recordStart(arguments);
    const Options options = parse(arguments);

    if (!options.updater.isEmpty()) {
        if (!QProcess::startDetached(options.updater, options.updaterArguments)) {
            qWarning("standin_client: cannot start the updater");
            standin::quitNow(3);
        }
        answer(options);
    } else if (options.exit.isEmpty()) {
        QThread::msleep(ulong(stayFromScenario()));
    }

    while (options.exit == QLatin1String("never"))
        QThread::sleep(3600);
    if (options.exit.startsWith(QLatin1String("after:")))
        QThread::msleep(ulong(qMax(options.exit.mid(6).toInt(), 0)));
    standin::quitNow(0);
}
