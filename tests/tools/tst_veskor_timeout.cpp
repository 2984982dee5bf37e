// The veskor program against an address where no controller answers: each
// request ends with "no answer" after the plug-in's 2000 ms wait.
#include "ToolProcess.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>

class TstVeskorTimeout : public QObject
{
    Q_OBJECT

private slots:
    void unreachableControllerTimeout();
    void unreachableControllerTimeoutDebug();
};

// Port 9 on the loopback address: nothing listens there.
static const char kNobody[] = "127.0.0.1:9";

void TstVeskorTimeout::unreachableControllerTimeout()
{
    const ToolRun r = runTool({"--connect", kNobody, "read", "ID4x0", "int16", "then", "write", "ID4x0", "int16", "1"});
    QVERIFY2(r.finished, qPrintable(r.error));
    QCOMPARE(r.exitCode, 1);
    const QStringList results = r.outLines().filter(QRegularExpression(QStringLiteral("^result ")));
    QCOMPARE(results, (QStringList{"result  8 (no answer)", "result  8 (no answer)"}));
    QCOMPARE(r.outLines().filter(QRegularExpression(QStringLiteral("^time "))),
             (QStringList{"time    -", "time    -"}));
    // Without --debug the plug-in's warning about the missing answer stays hidden.
    QCOMPARE(r.errText(), QString());
}

void TstVeskorTimeout::unreachableControllerTimeoutDebug()
{
    const ToolRun r = runTool({"--debug", "--json", "--connect", kNobody, "read", "ID4x0", "int16", "2"});
    QVERIFY2(r.finished, qPrintable(r.error));
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(r.outLines().size(), 1);
    const QJsonObject o = QJsonDocument::fromJson(r.outLines().first().toUtf8()).object();
    QCOMPARE(o.value("resultCode").toInt(), 8);
    QCOMPARE(o.value("meaning").toString(), QStringLiteral("no answer"));
    QVERIFY(o.value("timeStamp").isNull());
    QVERIFY(o.value("values").toArray().isEmpty());
    QVERIFY2(r.errText().contains(QStringLiteral("lib[VESKOR]返回的报文长度为0 127.0.0.1:9 ID=1 ID4x0 len = 4")),
             r.err.constData());
}

QTEST_GUILESS_MAIN(TstVeskorTimeout)
#include "tst_veskor_timeout.moc"
