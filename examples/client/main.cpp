// The client's side of an update, as docs/client-integration.md describes it.
//
//   client_example [<own arguments>...] [--update <helper> <maintenance tool> <repository>
//   <version>]
//
// Every start first says how the last handed-over update ended. Without
// --update the example then ends (a real client would go on with its work).
// With --update it hands over to the helper for the installation in its own
// folder, asking for <version>, with its own arguments for the restarted
// client, and ends with 0 once it has answered; when the handover failed it
// goes on running until it is ended, as a client must (the helper will not
// start it again). It ends with 2 when --update lacks one of its values. The
// handoff file is <installation>.handoff beside the installation folder, and
// <installation>.expected keeps the version asked for.
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QTextStream>
#include <QThread>
#include <QXmlStreamReader>

namespace {

void say(const QString &text)
{
    QTextStream(stdout) << text << Qt::endl;
}

// Outside the installation (which the backup, the maintenance tool and a
// rollback handle), one for each installation, in a folder that exists and
// that the user can write.
QString handoffFile()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral(".handoff");
}
QString expectedFile()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral(".expected");
}

// The helper inherits the client's environment, so its temporary folder too.
QString seeLog()
{
    return QStringLiteral(" See ") + QDir::temp().filePath(QStringLiteral("Corvatone-update.log"));
}

// The helper's journal of an update of this installation that has not ended:
// "Corvatone-update-" + the SHA-256 (lowercase hex) of the client's own path,
// made canonical and case-folded and taken as UTF-8, + ".journal".
QString journalFile()
{
    const QByteArray key = QFileInfo(QCoreApplication::applicationFilePath())
                                   .canonicalFilePath()
                                   .toCaseFolded()
                                   .toUtf8();
    return QDir::temp().filePath(
            QStringLiteral("Corvatone-update-")
            + QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex())
            + QStringLiteral(".journal"));
}

// The whole file; empty when it cannot be read. The file is closed again on
// return: on Windows a handle of the client's own would make replacing it fail.
QByteArray readWhole(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A new file renamed over the old one: the helper never reads half of it, and
// when the rename fails the old content stays.
bool replaceWhole(const QString &path, const QByteArray &content)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.flush()
           && file.commit();
}

// The version that components.xml records for the client's package; as for
// the helper, the last entry with its name counts.
QString installedVersion()
{
    QFile file(QCoreApplication::applicationDirPath() + QStringLiteral("/components.xml"));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QXmlStreamReader xml(&file);
    QString name, version, installed;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement() && xml.name() == u"Package")
            name = version = QString();
        else if (xml.isStartElement() && xml.name() == u"Name")
            name = xml.readElementText();
        else if (xml.isStartElement() && xml.name() == u"Version")
            version = xml.readElementText();
        else if (xml.isEndElement() && xml.name() == u"Package"
                 && name == QLatin1String("com.quintaver.tallyroom"))
            installed = version;
    }
    return xml.hasError() ? QString() : installed;
}

// Says how the last handed-over update ended, then removes what it has read.
void reportLastUpdate()
{
    const bool handedOver = QFile::exists(expectedFile());
    const bool recorded = QFile::exists(handoffFile());
    const QString expected = QString::fromUtf8(readWhole(expectedFile()));
    const QByteArray record = readWhole(handoffFile());
    if (!handedOver && !recorded) {
        say(QStringLiteral("No update was handed over since the last start."));
        return;
    }
    const QString installed = installedVersion();
    if (record.startsWith("error\n"))
        say(QStringLiteral("The last update failed:\n") + QString::fromUtf8(record.mid(6)));
    else if (record == "continue" && QFile::exists(journalFile()))
        say(QStringLiteral("The last update was cut short (or the helper is still at work): the "
                           "installation may be "
                           "half updated. Starting the update again brings it back as it was "
                           "first, then updates it."));
    else if (record == "continue" && !expected.isEmpty() && installed == expected)
        say(QStringLiteral("The last update installed version %1.").arg(expected));
    else if (record == "continue")
        say(QStringLiteral("The last update did not install version %1 (found: %2) and left no "
                           "reason: the helper "
                           "was ended before it finished, could not write its record, or is still "
                           "at work.%3")
                    .arg(expected, installed.isEmpty() ? QStringLiteral("none") : installed,
                         seeLog()));
    else if (record == "ready")
        say(QStringLiteral(
                    "The last update did not begin: the helper never saw the answer and could not "
                    "write its record.")
            + seeLog());
    else if (!recorded)
        say(QStringLiteral("The last update left no record: the helper could not write the handoff "
                           "file, or "
                           "did not run.")
            + seeLog());
    else
        say(QStringLiteral("The handoff file holds something unknown."));
    QFile::remove(handoffFile());
    QFile::remove(expectedFile());
}

// Starts the helper detached and answers its "ready"; true when the client must now end.
bool handOver(const QStringList &update, const QStringList &kept)
{
    // An old "ready" left there would be answered before this run's helper has taken over.
    if (!QFile::remove(handoffFile()) && QFile::exists(handoffFile())) {
        say(QStringLiteral("The old handoff file cannot be removed; the helper is not started."));
        return false;
    }
    const QString expected = update[3];
    if (!replaceWhole(expectedFile(), expected.toUtf8())) {
        say(QStringLiteral("The version asked for cannot be kept; the helper is not started."));
        return false;
    }
    // Absolute paths: the helper takes them as written, against its own working directory.
    QStringList arguments{
            QStringLiteral("--maintenance-tool"),  QFileInfo(update[1]).absoluteFilePath(),
            QStringLiteral("--repository"),        update[2],
            QStringLiteral("--application"),       QCoreApplication::applicationFilePath(),
            QStringLiteral("--working-directory"), QCoreApplication::applicationDirPath(),
            QStringLiteral("--handoff-file"),      handoffFile(),
            QStringLiteral("--expected-version"),  expected};
    for (const QString &argument : kept)
        arguments << QStringLiteral("--application-argument") << argument;

    // The helper gives up 15 seconds after it has written "ready"; counted from
    // before its start, the client's limit always ends first.
    QElapsedTimer timer;
    timer.start();
    if (!QProcess::startDetached(QFileInfo(update[0]).absoluteFilePath(), arguments)) {
        QFile::remove(expectedFile());
        say(QStringLiteral("The helper cannot be started."));
        return false;
    }
    while (timer.elapsed() < 15000) {
        const QByteArray content = readWhole(handoffFile());
        // A run refused at once, by the lock of a run still going on say.
        if (content.startsWith("error\n")) {
            reportLastUpdate();
            return false;
        }
        // Only in answer to "ready" and only within the limit. A replace that
        // fails (the helper or a scanner has the file open for a moment) is
        // tried again while the file still holds "ready".
        if (content == "ready" && replaceWhole(handoffFile(), "continue"))
            return true;
        QThread::msleep(20);
    }
    say(QStringLiteral("The helper did not take over within 15 seconds."));
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    reportLastUpdate();
    const QStringList arguments = QCoreApplication::arguments();
    const qsizetype update = arguments.indexOf(QStringLiteral("--update"));
    if (update < 0)
        return 0; // The client's own work goes here.
    if (update + 4 >= arguments.size()) {
        say(QStringLiteral("--update needs <helper> <maintenance tool> <repository> <version>"));
        return 2;
    }
    if (handOver(arguments.mid(update + 1, 4), arguments.mid(1, update - 1))) {
        // Every copy of the client must now end within 30 seconds: save and quit.
        say(QStringLiteral("Handed over to the update helper."));
        return 0;
    }
    say(QStringLiteral("The update was not handed over; the client goes on running."));
    return app.exec();
}
