// The client's side of an update, as docs/client-integration.md describes it:
// hand over to the update helper, and on the next start read what it left.
//
//   client_example [<own arguments>...] [--update <updater> <maintenance tool> <repository>]
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSaveFile>
#include <QThread>

// A real client keeps this file where only its user can write, one for each
// installation; the example keeps it simple.
static QString handoffFile()
{
    return QDir::temp().filePath(QStringLiteral("corvatone-handoff"));
}

// After a failed update the helper leaves "error\n" and the reason in UTF-8.
static void reportLastUpdate()
{
    QFile file(handoffFile());
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray record = file.readAll();
    if (record.startsWith("error\n"))
        qWarning("The last update failed: %s", record.mid(6).constData());
    file.remove();
}

// Starts the helper detached and answers its "ready"; true when the client must now exit.
static bool handOver(const QString &updater, const QString &maintenanceTool, const QString &repository, const QStringList &kept)
{
    QFile::remove(handoffFile());
    QStringList arguments{QStringLiteral("--maintenance-tool"), maintenanceTool, QStringLiteral("--repository"), repository,
                          QStringLiteral("--application"), QCoreApplication::applicationFilePath(),
                          QStringLiteral("--working-directory"), QCoreApplication::applicationDirPath(),
                          QStringLiteral("--handoff-file"), handoffFile(), QStringLiteral("--expected-version"), QStringLiteral("2.3.2")};
    // The restarted client gets these arguments again.
    for (const QString &argument : kept)
        arguments << QStringLiteral("--application-argument") << argument;
    if (!QProcess::startDetached(updater, arguments))
        return false;

    // The helper gives up 15 seconds after it has written "ready".
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 15000) {
        QFile file(handoffFile());
        if (file.open(QIODevice::ReadOnly) && file.readAll() == "ready") {
            // Exactly these 8 bytes, and the file replaced whole.
            QSaveFile answer(handoffFile());
            return answer.open(QIODevice::WriteOnly) && answer.write("continue") == 8 && answer.flush() && answer.commit();
        }
        QThread::msleep(50);
    }
    return false;
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    reportLastUpdate();
    const QStringList arguments = QCoreApplication::arguments();
    const qsizetype update = arguments.indexOf(QStringLiteral("--update"));
    if (update > 0 && update + 3 < arguments.size()) {
        // Once handed over, every copy of the client must end within 30 seconds: save and quit now.
        return handOver(arguments[update + 1], arguments[update + 2], arguments[update + 3], arguments.mid(1, update - 1)) ? 0 : 1;
    }
    // The client's own work goes here.
    return 0;
}
