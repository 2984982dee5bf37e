// What the log says of a failure: once when it begins, a new cause once,
// at most once a minute that it goes on, once when it ends; and how a log
// line looks on a plain stderr, under the journal and as JSON.
#include "Log.h"
#include "Outage.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryFile>
#include <QtTest>

#include <sys/stat.h>

using veskorgw::LogFormat;
using veskorgw::LogLevel;
using veskorgw::LogStyle;
using veskorgw::Outage;

namespace {

const char *sayName(Outage::Say s)
{
    switch (s) {
    case Outage::Say::Nothing: return "-";
    case Outage::Say::Began: return "began";
    case Outage::Say::NewCause: return "new";
    case Outage::Say::Still: return "still";
    case Outage::Say::Ended: return "ended";
    }
    return "?";
}

} // namespace

class tst_Outage : public QObject
{
    Q_OBJECT

private slots:
    void rule_data();
    void rule();
    void sinceEarlier();
    void causesKept();
    void lineFormats_data();
    void lineFormats();
    void journalStream_data();
    void journalStream();
};

void tst_Outage::rule_data()
{
    // Events "ms cause" (a failure) or "ms ok"; what each one says, and
    // after the last, how long the failure lasted.
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("says");
    QTest::addColumn<qint64>("lastedMs");
    QTest::newRow("works: nothing to say") << QStringList{"0 ok", "5000 ok"} << QStringList{"-", "-"} << qint64(-1);
    QTest::newRow("fails once, ends") << QStringList{"1000 refused", "4000 ok"} << QStringList{"began", "ended"}
                                      << qint64(3000);
    QTest::newRow("retries within the minute are quiet")
        << QStringList{"0 refused", "1000 refused", "2000 refused", "59999 refused", "61000 ok"}
        << QStringList{"began", "-", "-", "-", "ended"} << qint64(61000);
    QTest::newRow("still, once a minute")
        << QStringList{"0 refused", "60000 refused", "61000 refused", "119999 refused", "120000 refused", "150000 ok"}
        << QStringList{"began", "still", "-", "-", "still", "ended"} << qint64(150000);
    QTest::newRow("a new cause at once, then quiet")
        << QStringList{"0 refused", "2000 unreachable", "3000 unreachable", "62000 unreachable"}
        << QStringList{"began", "new", "-", "still"} << qint64(62000);
    QTest::newRow("alternating causes said once each")
        << QStringList{"0 tls-a", "10 tls-b", "2000 tls-a", "2010 tls-b", "60010 tls-a"}
        << QStringList{"began", "new", "-", "-", "still"} << qint64(60010);
    QTest::newRow("a second failure begins anew")
        << QStringList{"0 refused", "1000 ok", "2000 refused", "2500 refused", "3000 ok"}
        << QStringList{"began", "ended", "began", "-", "ended"} << qint64(1000);
    QTest::newRow("ok twice ends once") << QStringList{"0 closed", "700 ok", "800 ok"}
                                        << QStringList{"began", "ended", "-"} << qint64(800);
}

void tst_Outage::rule()
{
    QFETCH(QStringList, events);
    QFETCH(QStringList, says);
    QFETCH(qint64, lastedMs);
    Outage outage;
    qint64 now = 0;
    QStringList said;
    for (const QString &e : events) {
        now = e.section(QLatin1Char(' '), 0, 0).toLongLong();
        const QString what = e.section(QLatin1Char(' '), 1);
        said << QLatin1String(sayName(what == QLatin1String("ok") ? outage.recover(now) : outage.fail(now, what)));
        if (what != QLatin1String("ok"))
            QCOMPARE(outage.cause(), what);
    }
    QCOMPARE(said, says);
    if (lastedMs >= 0)   // -1: it never failed
        QCOMPARE(outage.lastedMs(now), lastedMs);
    QCOMPARE(outage.failing(), !events.last().endsWith(QLatin1String(" ok")));
}

// A controller is offline after some silent cycles: its failure began with
// the first of them; later ones do not move it.
void tst_Outage::sinceEarlier()
{
    Outage outage;
    QCOMPARE(outage.fail(3000, QStringLiteral("no answer"), 1000), Outage::Say::Began);
    QCOMPARE(outage.sinceMs(), qint64(1000));
    QCOMPARE(outage.fail(4000, QStringLiteral("no answer"), 3500), Outage::Say::Nothing);
    QCOMPARE(outage.sinceMs(), qint64(1000));
    // A minute after it was said, not after it began.
    QCOMPARE(outage.fail(62000, QStringLiteral("no answer")), Outage::Say::Nothing);
    QCOMPARE(outage.fail(63000, QStringLiteral("no answer")), Outage::Say::Still);
    QCOMPARE(outage.recover(70000), Outage::Say::Ended);
    QCOMPARE(outage.lastedMs(70000), qint64(69000));
}

// A failure that gives ever new causes is not a line per attempt.
void tst_Outage::causesKept()
{
    Outage outage;
    int said = 0;
    for (int i = 0; i < 100; ++i)
        said += outage.fail(i * 100, QStringLiteral("cause %1").arg(i)) == Outage::Say::Nothing ? 0 : 1;
    QCOMPARE(said, Outage::kCausesKept);
}

void tst_Outage::lineFormats_data()
{
    QTest::addColumn<bool>("json");
    QTest::addColumn<bool>("journal");
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("controller");
    QTest::addColumn<QByteArray>("expected");
    const int warning = int(LogLevel::Warning), info = int(LogLevel::Info), error = int(LogLevel::Error);
    QTest::newRow("plain, a controller's")
        << false << false << warning << "press1"
        << QByteArray("2024-05-02T09:14:03.512+02:00 warning veskor-gateway: press1: it \"failed\"\n");
    QTest::newRow("plain, the gateway's") << false << false << info << ""
                                          << QByteArray("2024-05-02T09:14:03.512+02:00 info veskor-gateway: it \"failed\"\n");
    QTest::newRow("journal") << false << true << error << "press1"
                             << QByteArray("<3>veskor-gateway: press1: it \"failed\"\n");
    QTest::newRow("json") << true << false << warning << "press1"
                          << QByteArray(R"({"controller":"press1","level":"warning","msg":"it \"failed\"",)"
                                        R"("time":"2024-05-02T09:14:03.512+02:00"})" "\n");
    QTest::newRow("json without a controller, journal")
        << true << true << info << ""
        << QByteArray(R"(<6>{"level":"info","msg":"it \"failed\"","time":"2024-05-02T09:14:03.512+02:00"})" "\n");
}

void tst_Outage::lineFormats()
{
    QFETCH(bool, json);
    QFETCH(bool, journal);
    QFETCH(int, level);
    QFETCH(QString, controller);
    QFETCH(QByteArray, expected);
    const QDateTime time(QDate(2024, 5, 2), QTime(9, 14, 3, 512), Qt::OffsetFromUTC, 2 * 3600);
    LogStyle style;
    style.format = json ? LogFormat::Json : LogFormat::Text;
    style.journal = journal;
    const QByteArray line = veskorgw::formatLogLine(style, time, LogLevel(level), controller, QStringLiteral("it \"failed\""));
    QCOMPARE(line, expected);
    if (json) {
        QJsonParseError e;
        QJsonDocument::fromJson(line.mid(line.indexOf('{')), &e);
        QCOMPARE(e.error, QJsonParseError::NoError);
    }
}

void tst_Outage::journalStream_data()
{
    QTest::addColumn<QString>("value");   // %1 device, %2 inode of stderr
    QTest::addColumn<bool>("journal");
    QTest::newRow("stderr's") << "%1:%2" << true;
    QTest::newRow("another inode") << "%1:1%2" << false;
    QTest::newRow("another device") << "1%1:%2" << false;
    QTest::newRow("garbage after") << "%1:%2x" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("unset") << QString() << false;
}

// JOURNAL_STREAM is compared with what stderr is, not merely looked for.
void tst_Outage::journalStream()
{
    QFETCH(QString, value);
    QFETCH(bool, journal);
    struct stat st{};
    QCOMPARE(::fstat(2, &st), 0);
    const QByteArray saved = qgetenv("JOURNAL_STREAM");
    if (value.isNull())
        qunsetenv("JOURNAL_STREAM");
    else
        qputenv("JOURNAL_STREAM", (value.isEmpty() ? value : value.arg(quint64(st.st_dev)).arg(quint64(st.st_ino))).toUtf8());
    const bool found = veskorgw::stderrIsJournal();
    if (saved.isNull())
        qunsetenv("JOURNAL_STREAM");
    else
        qputenv("JOURNAL_STREAM", saved);
    QCOMPARE(found, journal);
}

QTEST_GUILESS_MAIN(tst_Outage)
#include "tst_outage.moc"
