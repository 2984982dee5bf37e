// veskor with its standard output on a full disk (/dev/full), against a
// veskor-sim on 127.0.0.1: every command that prints results ends with
// status 5 and one line on stderr saying why, and the same command with
// stdout on a pipe ends with 0, so the status is the output's doing.
#include "ToolProcess.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kSim = QString::fromUtf8(VESKOR_SIM_EXE);
const int kExitOutput = 5;
const QByteArray kFullLine = "veskor: cannot write the output: No space left on device";

ToolRun runTo(const QByteArray &stdoutFile, const QStringList &args)
{
    return runTool(args, toolEnvironment(), stdoutFile);
}

} // namespace

class tst_VeskorOutput : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void fullDisk_data();
    void fullDisk();

private:
    ToolProcess m_sim{kSim};
    QString m_connect;
    QTemporaryDir m_dir;
};

void tst_VeskorOutput::initTestCase()
{
    if (!QFile::exists(QStringLiteral("/dev/full")))
        QSKIP("no /dev/full here");
    QVERIFY(m_dir.isValid());
    QVERIFY2(m_sim.start({QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                          QStringLiteral("--set"), QStringLiteral("ID4x:0:3412")}), qPrintable(m_sim.error));
    const quint16 port = listeningPort(m_sim);
    QVERIFY2(port, m_sim.err.constData());
    m_connect = QStringLiteral("127.0.0.1:%1").arg(port);
    QFile tags(m_dir.filePath(QStringLiteral("tags.csv")));
    QVERIFY(tags.open(QIODevice::WriteOnly));
    tags.write("tag,type,count,name\nID4x0,int16,1,speed\nID4x2,uint8,2,level\n");
}

void tst_VeskorOutput::cleanupTestCase()
{
    m_sim.sendSignal(SIGTERM);
    m_sim.waitForFinished(30000);
}

void tst_VeskorOutput::fullDisk_data()
{
    QTest::addColumn<QStringList>("command");
    QTest::addColumn<bool>("progressOnStderr");   // lines of its own before the failure's
    QTest::newRow("read") << QStringList{"read", "ID4x0", "int16"} << false;
    QTest::newRow("read --json") << QStringList{"--json", "read", "ID4x0", "int16"} << false;
    QTest::newRow("write") << QStringList{"write", "ID4x40", "int16", "7"} << false;
    QTest::newRow("poll") << QStringList{"poll", "ID4x0", "int16", "--interval", "10", "--times", "3"} << false;
    QTest::newRow("poll --json") << QStringList{"--json", "poll", "ID4x0", "int16", "--interval", "10", "--times", "3"} << false;
    QTest::newRow("poll without end") << QStringList{"poll", "ID4x0", "int16", "--interval", "10"} << false;
    QTest::newRow("read --tags") << QStringList{"read", "--tags", "TAGS"} << false;
    QTest::newRow("read then poll") << QStringList{"read", "ID4x0", "int16", "then", "poll", "ID4x0", "int16",
                                                   "--interval", "10"} << false;
    QTest::newRow("probe") << QStringList{"probe", "--count", "2"} << true;
}

void tst_VeskorOutput::fullDisk()
{
    QFETCH(QStringList, command);
    QFETCH(bool, progressOnStderr);
    command.replaceInStrings(QStringLiteral("TAGS"), m_dir.filePath(QStringLiteral("tags.csv")));
    const QStringList args = QStringList{QStringLiteral("--connect"), m_connect} + command;

    const ToolRun full = runTo("/dev/full", args);
    QVERIFY2(full.finished, qPrintable(full.error));
    QCOMPARE(full.exitCode, kExitOutput);
    const QList<QByteArray> lines = full.err.trimmed().split('\n');
    QCOMPARE(lines.last(), kFullLine);
    QCOMPARE(full.err.count(kFullLine), 1);
    if (!progressOnStderr)
        QCOMPARE(lines.size(), 1);

    // A poll without --times stops only for the failure; the others end by
    // themselves, with 0, when their output goes through.
    if (!command.contains(QStringLiteral("--times")) && command.contains(QStringLiteral("poll")))
        return;
    const ToolRun piped = runTo(QByteArray(), args);
    QVERIFY2(piped.finished, qPrintable(piped.error));
    QVERIFY2(piped.exitCode == 0, piped.err.constData());
    QVERIFY(!piped.out.isEmpty());
    QVERIFY(!piped.err.contains(kFullLine));
}

QTEST_GUILESS_MAIN(tst_VeskorOutput)
#include "tst_veskor_output.moc"
