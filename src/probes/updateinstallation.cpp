#include "probes/updateinstallation.h"

#include <QFile>
#include <QVersionNumber>
#include <QXmlStreamReader>

namespace UpdateInstallation {

namespace {

constexpr qint64 MaximumRecordSize = 4194304;
constexpr QStringView ClientPackage = u"com.quintaver.tallyroom";

// The installed version text of the last client package; empty when there is none.
QString recordedVersion(QXmlStreamReader &reader)
{
    QString installed;
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement || reader.name() != u"Package")
            continue;
        QString name;
        QString version;
        // A nested Package is an unknown child here and is skipped whole.
        while (reader.readNextStartElement()) {
            if (reader.name() == u"Name")
                name = reader.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement);
            else if (reader.name() == u"Version")
                version = reader.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement);
            else
                reader.skipCurrentElement();
        }
        if (name == ClientPackage)
            installed = version;
    }
    return installed;
}

// The version of a text made only of dot-separated decimal segments, or a null
// version. Qt's parser on its own skips blanks and '+' signs before a segment,
// which would let " 2.3.2" or "2.+3" pass as complete.
QVersionNumber completeVersion(const QString &text)
{
    for (const QChar c : text) {
        if (c != u'.' && (c < u'0' || c > u'9'))
            return QVersionNumber();
    }
    qsizetype suffixIndex = -1;
    const QVersionNumber version = QVersionNumber::fromString(text, &suffixIndex);
    if (suffixIndex != text.size())
        return QVersionNumber();
    return version;
}

} // namespace

bool matchesVersion(const QString &installationDirectory, const QString &expectedVersion)
{
    QFile file(installationDirectory + QLatin1String("/components.xml"));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    if (file.size() > MaximumRecordSize)
        return false;

    QXmlStreamReader reader(&file);
    const QString installedText = recordedVersion(reader);
    if (reader.error() != QXmlStreamReader::NoError)
        return false;

    const QVersionNumber expected = completeVersion(expectedVersion);
    const QVersionNumber installed = completeVersion(installedText);
    if (expected.isNull() || installed.isNull())
        return false;
    return QVersionNumber::compare(expected, installed) == 0;
}

} // namespace UpdateInstallation
