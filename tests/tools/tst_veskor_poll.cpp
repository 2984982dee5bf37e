// veskor poll of several tags against veskor-sim over UDP on 127.0.0.1:
// what goes out per round now that a round is kept as its output, not as
// results. With --changes a round is printed when a tag's value or
// code differs from the round before; each printed round is whole, its tags
// in order; every read counts in the summary, printed or not.
#include "ToolProcess.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>

namespace {

const QString kSim = QString::fromUtf8(VESKOR_SIM_EXE);
const QStringList kTags{"ID4x0", "ID4x10", "ID4x20"};

// Each printed round as "TAG=values/code ..." in the order it came.
QStringList roundsOf(const ToolRun &r, bool json)
{
    QStringList rounds;
    if (json) {
        QStringList round;
        for (const QString &line : r.outLines()) {
            const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
            round << QStringLiteral("%1=%2/%3").arg(o.value("tag").toString(),
                                                    QString::fromUtf8(QJsonDocument(QJsonObject{{"v", o.value("values")}})
                                                                          .toJson(QJsonDocument::Compact)))
                         .arg(o.value("resultCode").toInt());
            if (round.size() == kTags.size()) {
                rounds << round.join(QLatin1Char(' '));
                round.clear();
            }
        }
        if (!round.isEmpty())
            rounds << QStringLiteral("part of a round: ") + round.join(QLatin1Char(' '));
        return rounds;
    }
    const QRegularExpression piece(QStringLiteral("  (ID4x\\d+): (.*?) \\((\\d+)\\)(?=  )"));
    for (const QString &line : r.outLines()) {
        QStringList round;
        for (auto it = piece.globalMatch(line); it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            round << QStringLiteral("%1=%2/%3").arg(m.captured(1), m.captured(2), m.captured(3));
        }
        rounds << round.join(QLatin1Char(' '));
    }
    return rounds;
}

} // namespace

class TstVeskorPoll : public QObject
{
    Q_OBJECT

private slots:
    void rounds_data();
    void rounds();
};

void TstVeskorPoll::rounds_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<bool>("json");
    QTest::addColumn<bool>("changesOnly");
    QTest::addColumn<int>("printed");    // rounds printed; -1: as the answers fall
    const QStringList steady{"--set", "ID4x:10:0700"};
    // Half the answers cut short: the codes change from round to round.
    const QStringList cut{"--fault", "truncate=0.5", "--seed", "7"};
    QTest::newRow("steady, every round") << steady << false << false << 12;
    QTest::newRow("steady, every round, json") << steady << true << false << 12;
    QTest::newRow("steady, changes only") << steady << false << true << 1;
    QTest::newRow("steady, changes only, json") << steady << true << true << 1;
    QTest::newRow("answers cut short, changes only") << cut << false << true << -1;
    QTest::newRow("answers cut short, changes only, json") << cut << true << true << -1;
}

void TstVeskorPoll::rounds()
{
    QFETCH(QStringList, simArgs);
    QFETCH(bool, json);
    QFETCH(bool, changesOnly);
    QFETCH(int, printed);
    const int times = 12;
    ToolProcess sim(kSim);
    QVERIFY2(sim.start(QStringList{"--listen", "127.0.0.1:0"} + simArgs), qPrintable(sim.error));
    const quint16 port = listeningPort(sim);
    QVERIFY2(port, sim.err.constData());
    QStringList args{"--connect", QStringLiteral("127.0.0.1:%1").arg(port)};
    if (json)
        args << "--json";
    args << "poll";
    for (const QString &t : kTags)
        args << t + ":int16";
    args << "--times" << QString::number(times) << "--interval" << "5";
    if (changesOnly)
        args << "--changes";
    const ToolRun r = runTool(args);
    sim.sendSignal(SIGTERM);
    sim.waitForFinished(30000);
    QVERIFY2(r.finished, qPrintable(r.error));

    // The summaries last (JSON on stdout): every read counted.
    ToolRun lines = r;
    if (json) {
        QStringList out = r.outLines();
        QCOMPARE(out.filter("\"poll summary\"").size(), kTags.size());
        lines.out = out.mid(0, out.size() - kTags.size()).join(QLatin1Char('\n')).toUtf8();
    } else {
        QCOMPARE(r.errText().count(QStringLiteral(": %1 reads, ").arg(times)), kTags.size());
    }
    const QStringList rounds = roundsOf(lines, json);
    if (printed >= 0)
        QCOMPARE(rounds.size(), printed);
    QVERIFY2(!rounds.isEmpty() && rounds.size() <= times, qPrintable(rounds.join('\n')));
    const QRegularExpression whole(QStringLiteral("^ID4x0=\\S+ ID4x10=\\S+ ID4x20=\\S+$"));
    for (int i = 0; i < rounds.size(); ++i) {
        QVERIFY2(whole.match(rounds.at(i)).hasMatch(), qPrintable(rounds.at(i)));
        if (changesOnly && i > 0)
            QVERIFY2(rounds.at(i) != rounds.at(i - 1), qPrintable(rounds.join('\n')));
    }
    if (printed == 12)
        QVERIFY2(rounds.first().contains(QStringLiteral("ID4x10=%1/0").arg(json ? "{\"v\":[7]}" : "7")),
                 qPrintable(rounds.first()));
}

QTEST_GUILESS_MAIN(TstVeskorPoll)
#include "tst_veskor_poll.moc"
