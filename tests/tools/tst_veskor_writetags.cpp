// veskor write with a tag file: the row a name picks, the raw values a
// scaled tag's engineering values send, what is refused, and the one
// warning for writes that land on other tags.
#include "CommandLine.h"
#include "common/Values.h"
#include "common/WriteOverlap.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace veskortool;

class TstVeskorWriteTags : public QObject
{
    Q_OBJECT

private slots:
    void writeFromTagFile_data();
    void writeFromTagFile();
    void overlapWarning_data();
    void overlapWarning();
};

void TstVeskorWriteTags::writeFromTagFile_data()
{
    QTest::addColumn<QString>("args");     // after "write --tags FILE"
    QTest::addColumn<QString>("sent");     // "TAG TYPECODE COUNT: values sent", or the error
    QTest::addColumn<QStringList>("warnings");

    QTest::newRow("by name, scaled") << "temp 21.5 -40 0" << "ID4x10 4 3: 615 0 400" << QStringList();
    QTest::newRow("by tag when no name matches") << "ID4x20 50" << "ID4x20 5 1: 100" << QStringList();
    QTest::newRow("unscaled as given") << "plain 0x10" << "ID4x30 4 1: 16" << QStringList();
    QTest::newRow("string takes the file's field size") << "label hi" << "ID4x40 12 8: \"hi\"" << QStringList();
    QTest::newRow("float scaled") << "flow 2.5" << "ID4x50 8 1: 0.25" << QStringList();
    QTest::newRow("no whole step") << "temp 21.55" << "value \"21.55\" of temp: 21.55 is no whole step of the scale "
                                                      "0.1 (raw value 615.4999999999999): the controller could not hold it"
                                   << QStringList();
    QTest::newRow("out of range") << "level -1" << "value \"-1\" of level: -1 is raw value -2, out of the range 0..65535 "
                                                   "of uint16" << QStringList();
    QTest::newRow("more values than the row holds") << "plain 1 2" << "\"plain\" holds 1 element(s), got 2 values"
                                                    << QStringList();
    QTest::newRow("unknown name") << "oven 1" << "\"oven\" is no name or tag of FILE" << QStringList();
    QTest::newRow("no value") << "temp" << "write needs at least one value after the name" << QStringList();
    QTest::newRow("nothing") << "" << "write --tags FILE needs NAME VALUE..." << QStringList();
    QTest::newRow("a second write meets the first") << "temp 1 then write ID3x11 int8 2" << "ID4x10 4 1: 410"
        << QStringList{"warning: a write to temp (ID4x10, bytes 10..11) also lands on ID3x11 (bytes 11..11), as the "
                       "controller stores a write at its address in every area"};
}

void TstVeskorWriteTags::writeFromTagFile()
{
    QFETCH(QString, args);
    QFETCH(QString, sent);
    QFETCH(QStringList, warnings);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("plant.csv"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("name,tag,type,count,scale,offset,unit\n"
            "temp,ID4x10,int16,3,0.1,-40,degC\n"
            "level,ID4x20,uint16,,0.5,,%\n"
            "plain,ID4x30,int16,,,,\n"
            "label,ID4x40,string,8,,,\n"
            "flow,ID4x50,float,,10,,l/s\n");
    f.close();
    QStringList words{QStringLiteral("write"), QStringLiteral("--tags"), path};
    words << args.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const ParseResult r = parseCommandLine(words);
    if (r.outcome != ParseResult::Run) {
        QCOMPARE(r.text, QString(sent).replace(QStringLiteral("FILE"), path));
        return;
    }
    const Command &c = r.options.commands.first();
    const TagRequest &t = c.tags.first();
    QCOMPARE(QStringLiteral("%1 %2 %3: %4").arg(t.tag).arg(t.type).arg(t.count).arg(formatValues(c.values).join(' ')),
             sent);
    QCOMPARE(r.options.warnings, warnings);
}

void TstVeskorWriteTags::overlapWarning_data()
{
    QTest::addColumn<QStringList>("tags");   // "TAG TYPE COUNT [CONTROLLER]"
    QTest::addColumn<QString>("warning");    // the start of the line; empty: none

    const QString lands = QStringLiteral("warning: a write to ");
    QTest::newRow("apart") << QStringList{"ID4x0 int16 1", "ID4x2 int16 1"} << "";
    QTest::newRow("another area, same bytes") << QStringList{"ID4x0 int16 1", "ID3x1 int8 1"}
                                              << lands + "ID4x0 (bytes 0..1) also lands on ID3x1 (bytes 1..1)";
    QTest::newRow("the same tag twice") << QStringList{"ID4x0 int16 1", "ID4x0 int16 1"} << "";
    QTest::newRow("other controllers") << QStringList{"ID4x0 int16 1", "ID3x0 int16 1 10.0.0.2:5000"} << "";
    QTest::newRow("bits take their bytes") << QStringList{"ID1x16 bool 9", "ID4x17 int8 1"}
                                           << lands + "ID1x16 (bytes 16..17) also lands on ID4x17 (bytes 17..17)";
    QTest::newRow("three pairs, one line") << QStringList{"ID4x0 int32 1", "ID3x0 int16 1", "ID2x2 int16 1", "ID5x1 int8 1"}
                                           << lands + "ID4x0 (bytes 0..3) also lands on ID3x0";
}

void TstVeskorWriteTags::overlapWarning()
{
    QFETCH(QStringList, tags);
    QFETCH(QString, warning);
    QVector<TagRequest> requests;
    for (const QString &t : tags) {
        const QStringList w = t.split(QLatin1Char(' '));
        TagRequest r;
        QString error;
        QVERIFY2(parseTagRequest(w.at(0), w.at(1), &w.at(2), &r, &error), qPrintable(error));
        r.controller = w.value(3);
        requests << r;
    }
    const QString got = writeOverlapWarning(requests, QString());
    QVERIFY2(warning.isEmpty() ? got.isEmpty() : got.startsWith(warning), qPrintable(got));
    QCOMPARE(got.count(QLatin1Char('\n')), 0);
}

QTEST_GUILESS_MAIN(TstVeskorWriteTags)
#include "tst_veskor_writetags.moc"
