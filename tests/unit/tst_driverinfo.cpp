// The driver's identity and debug commands.
#include <QtTest>

#include <QRegularExpression>
#include <QSemaphore>
#include <QThread>

#include <memory>
#include <vector>

#include "libVESKOR.h"

class TestDriverInfo : public QObject
{
    Q_OBJECT

private slots:
    // Declared first: the build version's first use in this process happens
    // on four threads at once.
    void buildVersionFromThreads();
    void buildVersionCommand();
    void buildVersionText_data();
    void buildVersionText();
    void names();
    void debugSwitch();
    void unknownCommand_data();
    void unknownCommand();
};

namespace {
const QRegularExpression kVersionPattern(
    QStringLiteral("^v1\\.0\\.1 \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$"));
}

void TestDriverInfo::buildVersionFromThreads()
{
    constexpr int kThreads = 4;
    QSemaphore ready, go;
    std::vector<QString> answers(kThreads);
    std::vector<std::unique_ptr<QThread>> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back(QThread::create([&, i] {
            LibVESKORS driver;
            ready.release();
            go.acquire();
            answers[i] = driver.DebugCmd(BuildVersion);
        }));
        threads.back()->start();
    }
    ready.acquire(kThreads);
    go.release(kThreads);
    for (auto &t : threads)
        QVERIFY(t->wait());
    for (const QString &a : answers) {
        QVERIFY2(kVersionPattern.match(a).hasMatch(), qPrintable(a));
        QCOMPARE(a, answers.front());
    }
}

void TestDriverInfo::buildVersionCommand()
{
    LibVESKORS one, two;
    const QString first = one.DebugCmd(BuildVersion);
    QVERIFY2(kVersionPattern.match(first).hasMatch(), qPrintable(first));
    QCOMPARE(first.size(), 26);
    QCOMPARE(one.DebugCmd(BuildVersion), first);
    QCOMPARE(two.DebugCmd(BuildVersion), first);
}

void TestDriverInfo::buildVersionText_data()
{
    QTest::addColumn<QString>("date");
    QTest::addColumn<QString>("time");
    QTest::addColumn<QString>("text");

    QTest::newRow("two-digit day") << "Dec 18 2023" << "11:16:00" << "v1.0.1 2023-12-18 11:16:00";
    QTest::newRow("padded one-digit day") << "Dec  7 2026" << "11:16:00" << "v1.0.1 2026-12-07 11:16:00";
    QTest::newRow("first of January") << "Jan  1 2024" << "00:00:00" << "v1.0.1 2024-01-01 00:00:00";
    QTest::newRow("leap day") << "Feb 29 2024" << "23:59:59" << "v1.0.1 2024-02-29 23:59:59";
    QTest::newRow("September 9") << "Sep  9 2025" << "09:05:03" << "v1.0.1 2025-09-09 09:05:03";
}

void TestDriverInfo::buildVersionText()
{
    QFETCH(QString, date);
    QFETCH(QString, time);
    QFETCH(QString, text);

    QCOMPARE(LibVESKORS::buildVersionText(date, time), text);
}

void TestDriverInfo::names()
{
    LibVESKORS driver;
    QCOMPARE(driver.DebugCmd(DriveName), QStringLiteral("Oxbrin"));
    QCOMPARE(driver.getDriveName(), QStringLiteral("Oxbrin"));
    QCOMPARE(driver.getversion_number(), QStringLiteral("V1.0.1 202001031"));
}

void TestDriverInfo::debugSwitch()
{
    LibVESKORS driver;
    QVERIFY(!driver.transport().debug());
    QCOMPARE(driver.DebugCmd(StartDebug), QStringLiteral("StartDebug"));
    QVERIFY(driver.transport().debug());
    QCOMPARE(driver.DebugCmd(StartDebug), QStringLiteral("StartDebug"));
    QVERIFY(driver.transport().debug());
    QCOMPARE(driver.DebugCmd(StopDebug), QStringLiteral("StopDebug"));
    QVERIFY(!driver.transport().debug());
}

void TestDriverInfo::unknownCommand_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<bool>("debugOn");
    for (int cmd : {4, -1, 100})
        for (bool on : {false, true})
            QTest::newRow(qPrintable(QString("%1, debug %2").arg(cmd).arg(on ? "on" : "off"))) << cmd << on;
}

void TestDriverInfo::unknownCommand()
{
    QFETCH(int, command);
    QFETCH(bool, debugOn);

    LibVESKORS driver;
    driver.DebugCmd(debugOn ? StartDebug : StopDebug);
    QVERIFY(driver.DebugCmd(EDebugCmdType(command)).isNull());
    QCOMPARE(driver.transport().debug(), debugOn);
}

QTEST_GUILESS_MAIN(TestDriverInfo)
#include "tst_driverinfo.moc"
