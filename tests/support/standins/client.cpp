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

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSaveFile>
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
        const bool hasValue = i + 1 < arguments.size();
        if (a == QLatin1String("--run-updater") && hasValue)
            options.updater = arguments.at(++i);
        else if (a == QLatin1String("--answer") && hasValue)
            options.answer = arguments.at(++i);
        else if (a == QLatin1String("--exit") && hasValue)
            options.exit = arguments.at(++i);
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
    QJsonObject object;
    object.insert(QStringLiteral("pid"), qint64(QCoreApplication::applicationPid()));
    object.insert(QStringLiteral("arguments"), QJsonArray::fromStringList(arguments.mid(1)));
    object.insert(QStringLiteral("workingDirectory"), QDir::currentPath());
    standin::appendRecord(standin::besideExecutable(".starts"),
                          QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
}

int stayFromScenario()
{
    QFile scenario(standin::besideExecutable(".scenario"));
    if (!scenario.open(QIODevice::ReadOnly))
        return 0;
    int stay = 0;
    for (const QByteArray &line : scenario.readAll().split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed.startsWith("stay "))
            stay = trimmed.mid(5).trimmed().toInt();
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

bool writeAnswer(const QString &path, const QByteArray &answer)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(answer) != answer.size())
        return false;
    return file.commit();
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
    if (options.answer.startsWith(QLatin1String("late:"))) {
        QThread::msleep(ulong(qMax(options.answer.mid(5).toInt(), 0)));
    } else if (options.answer.startsWith(QLatin1String("wrong:"))) {
        text = standin::unescape(options.answer.mid(6));
    }
    if (!writeAnswer(path, text))
        qWarning("standin_client: cannot write the answer");
}

[[noreturn]] void runForever()
{
    for (;;)
        QThread::sleep(3600);
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

    if (options.exit == QLatin1String("never"))
        runForever();
    if (options.exit.startsWith(QLatin1String("after:")))
        QThread::msleep(ulong(qMax(options.exit.mid(6).toInt(), 0)));
    standin::quitNow(0);
}
