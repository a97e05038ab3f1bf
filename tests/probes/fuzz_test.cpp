// Fixed-seed fuzzing of the two probes that read files another program wrote:
// shortcut targets and the installer's component record. Nothing may crash,
// and broken input must give the smaller answer.
#include "probes/updateinstallation.h"
#include "probes/updateshortcuts.h"

#include "shelllink.h"

#include <QByteArray>
#include <QDir>
#include <QSet>
#include <QtEndian>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include "probetestsupport.h"

#include <gtest/gtest.h>

#include <random>

// Broken links carry sizes of up to 4 GiB that the link reader allocates before
// it finds the file short. Untouched, that memory costs nothing, but
// AddressSanitizer poisons all of it, a second per gigabyte; under it such
// allocations fail instead, which the reader has to survive as well.
extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1:max_allocation_size_mb=64";
}

namespace {

constexpr int LinkHeaderSize = 0x4C;
// The writer puts no item list in, so the location information follows the header.
constexpr int LinkInfoOffset = LinkHeaderSize;

struct Fuzzer
{
    int below(int bound) { return int(random() % std::uint32_t(bound)); }
    bool chance(int percent) { return below(100) < percent; }

    QByteArray bytes(int size)
    {
        QByteArray data(size, Qt::Uninitialized);
        for (char &c : data)
            c = char(below(256));
        return data;
    }

    void flip(QByteArray &data, int from = 0)
    {
        if (data.size() <= from)
            return;
        for (int n = 1 + below(8); n > 0; --n)
            data[from + below(int(data.size()) - from)] ^= char(1 << below(8));
    }

    std::mt19937 random;
};

QByteArray validLink(const shelllink::LinkContent &content)
{
    const std::vector<std::uint8_t> bytes = shelllink::build(content);
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size()));
}

TEST(FuzzTest, ShortcutTargetsSurviveBrokenFiles)
{
    QTemporaryDir dir;
    const QString kept = dir.filePath(QStringLiteral("kept"));
    const QString scratch = dir.filePath(QStringLiteral("scratch.lnk"));
    const QString installation = dir.filePath(QStringLiteral("App"));
    ASSERT_TRUE(QDir().mkpath(kept) && QDir().mkpath(installation));

    const QList<QByteArray> bases = {
        validLink({ (installation + QLatin1String("/Corvatone.exe")).toStdU16String(), std::nullopt }),
        validLink({ u"C:\\" + std::u16string(240, u'd') + u"\\Корватон.exe", std::nullopt }),
        validLink({ u"C:\\App\\Corvatone.exe", u"%ProgramFiles%\\App\\Corvatone.exe" }),
        validLink({ std::nullopt, u"%LOCALAPPDATA%\\Corvatone\\Corvatone.exe" }),
        validLink({}),
    };
    // How much of each base a reader needs before the target is complete.
    QList<int> needed;
    for (const QByteArray &base : bases) {
        ASSERT_GT(base.size(), LinkHeaderSize);
        const auto field = [&base](int offset) { return int(qFromLittleEndian<quint32>(base.constData() + offset)); };
        needed.append(field(20) & 0x2 ? LinkInfoOffset + field(LinkInfoOffset) : LinkHeaderSize);
    }

    Fuzzer fuzz{ std::mt19937(0x5eed1) };
    QSet<QString> keptPaths;
    for (int round = 0; round < 3000; ++round) {
        SCOPED_TRACE(round);
        QByteArray data;
        bool broken = false;
        const int kind = fuzz.below(6);
        const int baseIndex = fuzz.below(int(bases.size()));
        const QByteArray &base = bases[baseIndex];

        switch (kind) {
        case 0: // noise that does not even start like a link
            data = fuzz.bytes(fuzz.below(600));
            if (data.size() >= 4)
                data[0] = char(0x4D);
            broken = true;
            break;
        case 1: // a link cut short before its target is complete
            data = base.left(fuzz.below(needed[baseIndex]));
            broken = true;
            break;
        case 2: // a link cut anywhere
            data = base.left(fuzz.below(int(base.size()) + 1));
            break;
        case 3: // flipped bits anywhere after the header's size field
            data = base;
            fuzz.flip(data, 4);
            break;
        case 4: // odd sizes and offsets in the header and location information
            data = base;
            for (int n = 1 + fuzz.below(3); n > 0; --n) {
                const int offset = fuzz.chance(20) ? 20 + 4 * fuzz.below(2) : LinkInfoOffset + 4 * fuzz.below(13);
                const quint32 size = quint32(data.size());
                const quint32 values[] = { 0, 1, 4, 0x1C, 0x24, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFFE,
                                           size, size + 1, size - 1, 0x10000, quint32(fuzz.random()) };
                const quint32 value = values[fuzz.below(int(std::size(values)))];
                if (offset + 4 <= data.size())
                    qToLittleEndian<quint32>(value, data.data() + offset);
            }
            break;
        default: // a valid header followed by noise
            data = base.left(LinkHeaderSize) + fuzz.bytes(fuzz.below(400));
            break;
        }

        ASSERT_TRUE(writeFile(scratch, data));
        const QString target = UpdateShortcuts::target(scratch);
        EXPECT_TRUE(!broken || target.isNull()) << "kind " << kind << ", " << data.size() << " bytes: " << target.toStdString();
        EXPECT_FALSE(target.contains(QChar::Null));

        if (round % 10 == 0) {
            const QString path = kept + QStringLiteral("/%1.lnk").arg(round);
            ASSERT_TRUE(writeFile(path, data));
            keptPaths.insert(path);
        }
    }

    // The walk over the same broken files only ever names files it was given.
    for (const QString &found : UpdateShortcuts::forInstallation(installation, { kept }))
        EXPECT_TRUE(keptPaths.contains(found)) << found.toStdString();
}

// True when the whole document reads without an XML error.
bool wellFormed(const QByteArray &document)
{
    QXmlStreamReader reader(document);
    while (!reader.atEnd())
        reader.readNext();
    return reader.error() == QXmlStreamReader::NoError;
}

TEST(FuzzTest, VersionCheckSurvivesBrokenRecords)
{
    QTemporaryDir dir;
    const QString record = dir.filePath(QStringLiteral("components.xml"));

    const QByteArray valid = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Packages>\n"
                             " <ApplicationName>Corvatone</ApplicationName>\n"
                             " <Package>\n  <Name>com.quintaver.other</Name>\n  <Version>1.0.0</Version>\n"
                             "  <Dependencies><Name>x</Name></Dependencies>\n </Package>\n"
                             " <Package>\n  <Name>com.quintaver.tallyroom</Name>\n  <Title>Корватон</Title>\n"
                             "  <Version>2.3.2</Version>\n  <Virtual>false</Virtual>\n </Package>\n</Packages>\n";
    ASSERT_TRUE(writeFile(record, valid));
    ASSERT_TRUE(UpdateInstallation::matchesVersion(dir.path(), QStringLiteral("2.3.2")));
    const int rootEnd = int(valid.lastIndexOf("</Packages>"));

    const QList<QByteArray> tokens = {
        "<Package>", "</Package>", "<Name>", "</Name>", "<Version>", "</Version>", "com.quintaver.tallyroom",
        "2.3.2", "2.3.2.0", "<!--", "-->", "<![CDATA[", "]]>", "&amp;", "&#0;", "&#x10FFFF;", "&undefined;",
        "<?pi x?>", "<!DOCTYPE Packages [<!ENTITY v \"2.3.2\">]>", "&v;", "\xEF\xBB\xBF", QByteArray(1, '\0'), "\xFF\xFE",
        "<a:b xmlns:a=\"u\">", "</a:b>", "<Package/>", "<Version/>",
    };

    Fuzzer fuzz{ std::mt19937(0x5eed2) };
    for (int round = 0; round < 2000; ++round) {
        SCOPED_TRACE(round);
        QByteArray data;
        bool broken = false;
        switch (fuzz.below(5)) {
        case 0:
            data = fuzz.bytes(fuzz.below(800));
            broken = true;
            break;
        case 1: // cut before the record is closed
            data = valid.left(fuzz.below(rootEnd));
            broken = true;
            break;
        case 2:
            data = valid;
            fuzz.flip(data);
            break;
        case 3: // tokens spliced in, over or in place of parts of the record
            data = valid;
            for (int n = 1 + fuzz.below(4); n > 0; --n) {
                const int at = fuzz.below(int(data.size()) + 1);
                data = data.left(at) + tokens[fuzz.below(int(tokens.size()))]
                    + data.mid(at + (fuzz.chance(50) ? fuzz.below(12) : 0));
            }
            break;
        default: { // deep nesting around the client's package, mostly balanced
            const int depth = fuzz.below(3000);
            data = "<Packages>" + QByteArray("<g>").repeated(depth)
                + "<Package><Name>com.quintaver.tallyroom</Name><Version>2.3.2</Version></Package>"
                + QByteArray("</g>").repeated(fuzz.chance(80) ? depth : fuzz.below(3000)) + "</Packages>";
            break;
        }
        }

        ASSERT_TRUE(writeFile(record, data));
        const bool matches = UpdateInstallation::matchesVersion(dir.path(), QStringLiteral("2.3.2"));
        EXPECT_FALSE(broken && matches) << data.size() << " bytes";
        if (matches) {
            EXPECT_TRUE(wellFormed(data)) << data.toStdString();
            EXPECT_TRUE(data.contains("com.quintaver.tallyroom")) << data.toStdString();
        }
    }
}

} // namespace
