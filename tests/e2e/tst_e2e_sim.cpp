// The plug-in against the controller simulator: reads of what the controller
// holds, its answer faults, and write-then-read round trips for every type.
#include "E2E.h"
#include "VeskorSim.h"
#include "driver/ResultCodes.h"

#include <QtTest>

#include <cfloat>
#include <climits>
#include <cmath>

using namespace e2e;
using veskorsim::Fault;

namespace {

QString endpointOf(const veskorsim::Simulator &sim)
{
    return QStringLiteral("127.0.0.1:%1").arg(sim.port());
}

} // namespace

class TestSim : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void readWhatTheControllerHolds_data();
    void readWhatTheControllerHolds();
    void areasAreApart();
    void answerFaults_data();
    void answerFaults();
    void roundTrip_data();
    void roundTrip();
    void stringRoundTrip_data();
    void stringRoundTrip();

private:
    veskorsim::Simulator m_sim;
    Driver m_drv;
};

void TestSim::initTestCase()
{
    QString error;
    QVERIFY2(m_sim.start(&error), qPrintable(error));
    QCOMPARE(m_drv->ConnectDrive(endpointOf(m_sim)), 0);
}

void TestSim::init()
{
    // Something that is neither zero nor any value written below.
    m_sim.fillAll(char(0xa5));
    m_sim.clearReceived();
}

void TestSim::readWhatTheControllerHolds_data()
{
    QTest::addColumn<QString>("tag");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("count");
    QTest::addColumn<QByteArray>("memory");   // at the tag's address
    QTest::addColumn<QVariant>("expected");

    QTest::newRow("int16 x3") << "ID4x10" << int(DT_INT16) << 3 << QByteArray::fromHex("0100feff3412")
                              << listVariant(QList<short>{1, -2, 0x1234});
    QTest::newRow("int64") << "ID1x100" << int(DT_INT64) << 1 << QByteArray::fromHex("efcdab8967452301")
                           << listVariant(QList<long long>{0x0123456789abcdefLL});
    QTest::newRow("bool x12") << "ID23x1000" << int(DT_BOOL) << 12 << QByteArray::fromHex("0108")
                              << listVariant(QList<bool>{true, false, false, false, false, false, false, false,
                                                         false, false, false, true});
    QTest::newRow("string x6") << "ID12x0" << int(DT_STRING) << 6 << QByteArray::fromHex("026869000000")
                               << listVariant(QList<QString>{"hi", "", "", "", "", ""});
    QTest::newRow("last bytes of the area") << "ID9x1020" << int(DT_UINT32) << 1 << QByteArray::fromHex("04030201")
                                            << listVariant(QList<unsigned int>{0x01020304});
}

void TestSim::readWhatTheControllerHolds()
{
    QFETCH(QString, tag);
    QFETCH(int, type);
    QFETCH(int, count);
    QFETCH(QByteArray, memory);
    QFETCH(QVariant, expected);

    const QString area = tag.left(tag.indexOf(QLatin1Char('x')) + 1);
    const int address = tag.mid(area.size()).toInt();
    QVERIFY(m_sim.setArea(veskorsim::areaCodeOf(area), address, memory));

    const CLabelVariable r = m_drv->ReadVariable(tag, DataType(type), count);
    QCOMPARE(r.resultCode, int(veskor::RcDone));
    QVERIFY2(sameList(r.value, expected),
             qPrintable(listText(r.value) + QStringLiteral(" instead of ") + listText(expected)));
    QCOMPARE(m_sim.received().size(), 1);
}

void TestSim::areasAreApart()
{
    QVERIFY(m_sim.setArea(veskorsim::areaCodeOf(QStringLiteral("ID1x")), 4, QByteArray::fromHex("11")));
    QVERIFY(m_sim.setArea(veskorsim::areaCodeOf(QStringLiteral("ID10x")), 4, QByteArray::fromHex("10")));
    QVERIFY(m_sim.setArea(veskorsim::areaCodeOf(QStringLiteral("ID19x")), 4, QByteArray::fromHex("19")));
    QCOMPARE(listIn<unsigned char>(m_drv->ReadVariable(QStringLiteral("ID1x4"), DT_UINT8)),
             QList<unsigned char>{0x11});
    QCOMPARE(listIn<unsigned char>(m_drv->ReadVariable(QStringLiteral("ID10x4"), DT_UINT8)),
             QList<unsigned char>{0x10});
    QCOMPARE(listIn<unsigned char>(m_drv->ReadVariable(QStringLiteral("ID19x4"), DT_UINT8)),
             QList<unsigned char>{0x19});
}

void TestSim::answerFaults_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("readResult");

    QTest::newRow("corrupt magic") << int(Fault::CorruptMagic) << int(veskor::RcDevice);
    QTest::newRow("corrupt echo") << int(Fault::CorruptEcho) << int(veskor::RcDevice);
    QTest::newRow("truncated") << int(Fault::Truncate) << int(veskor::RcLength);
    QTest::newRow("duplicated") << int(Fault::Duplicate) << int(veskor::RcDone);
    QTest::newRow("from a foreign port") << int(Fault::ForeignPort) << int(veskor::RcDone);
}

void TestSim::answerFaults()
{
    QFETCH(int, fault);
    QFETCH(int, readResult);

    QVERIFY(m_sim.setArea(veskorsim::areaCodeOf(QStringLiteral("ID4x")), 0, QByteArray::fromHex("3412")));
    m_sim.queueFault(Fault(fault));
    const CLabelVariable r = m_drv->ReadVariable(QStringLiteral("ID4x0"), DT_INT16);
    QCOMPARE(r.resultCode, readResult);
    if (readResult == veskor::RcDone)
        QCOMPARE(listIn<short>(r), QList<short>{0x1234});
    else
        QVERIFY(!r.value.isValid());

    // The next exchange is clean, whatever was left over from this one. A
    // datagram sent now is handled by the simulator after everything it sent
    // for that request; it looks like an answer and must not be taken as one.
    const QByteArray lastRequest = m_sim.received().last();
    m_sim.sendUnsolicited(lastRequest + QByteArray::fromHex("adde"));
    QVERIFY(m_sim.setArea(veskorsim::areaCodeOf(QStringLiteral("ID4x")), 0, QByteArray::fromHex("7856")));
    m_sim.setDelayMs(100);   // well inside the driver's wait: nothing else may pass for the answer
    m_sim.queueFault(Fault::Delay);
    const CLabelVariable next = m_drv->ReadVariable(QStringLiteral("ID4x0"), DT_INT16);
    QCOMPARE(next.resultCode, int(veskor::RcDone));
    QCOMPARE(listIn<short>(next), QList<short>{0x5678});

    // A write is done by any answer, short or from another port.
    m_sim.queueFault(Fault(fault));
    QCOMPARE(m_drv->WriteVariable(QStringLiteral("ID4x0"), DT_INT16, recordOf(QList<short>{9})).resultCode,
             int(veskor::RcDone));
    QCOMPARE(listIn<short>(m_drv->ReadVariable(QStringLiteral("ID4x0"), DT_INT16)), QList<short>{9});
}

void TestSim::roundTrip_data()
{
    QTest::addColumn<QString>("tag");
    QTest::addColumn<int>("type");
    QTest::addColumn<QVariant>("value");   // count = its number of elements

    QTest::newRow("bool x1 true") << "ID4x0" << int(DT_BOOL) << listVariant(QList<bool>{true});
    QTest::newRow("bool x1 false") << "ID4x1" << int(DT_BOOL) << listVariant(QList<bool>{false});
    QTest::newRow("bool x10") << "ID4x2" << int(DT_BOOL)
                              << listVariant(QList<bool>{false, true, true, false, true, false, false, true, true, false});
    QTest::newRow("bool x16") << "ID7x8" << int(DT_BOOL)
                              << listVariant(QList<bool>{true, false, false, false, false, false, false, true,
                                                         false, true, true, true, true, true, true, false});
    QTest::newRow("int8") << "ID4x10" << int(DT_INT8) << listVariant(QList<char>{char(-128), 0, 127, char(-1)});
    QTest::newRow("uint8") << "ID4x20" << int(DT_UINT8) << listVariant(QList<unsigned char>{0, 255, 1});
    QTest::newRow("int16") << "ID4x30" << int(DT_INT16) << listVariant(QList<short>{SHRT_MIN, SHRT_MAX, -1, 0});
    QTest::newRow("uint16") << "ID4x41" << int(DT_UINT16) << listVariant(QList<unsigned short>{0, 65535, 0x1234});
    QTest::newRow("int32") << "ID4x50" << int(DT_INT32) << listVariant(QList<int>{INT_MIN, INT_MAX, -5});
    QTest::newRow("uint32") << "ID4x70" << int(DT_UINT32) << listVariant(QList<unsigned int>{0, UINT_MAX, 0x12345678});
    QTest::newRow("float") << "ID4x90" << int(DT_FLOAT)
                           << listVariant(QList<float>{1.5f, -0.0f, FLT_MAX, FLT_TRUE_MIN, -3.25e-7f});
    QTest::newRow("int64") << "ID4x120" << int(DT_INT64) << listVariant(QList<long long>{LLONG_MIN, LLONG_MAX, -2});
    QTest::newRow("uint64") << "ID4x150" << int(DT_UINT64) << listVariant(QList<unsigned long long>{0, ULLONG_MAX, 1});
    QTest::newRow("double") << "ID4x180" << int(DT_DOUBLE)
                            << listVariant(QList<double>{M_PI, -1e300, 0.1, -0.0, DBL_TRUE_MIN});
    QTest::newRow("int32 in another area, odd address") << "ID22x333" << int(DT_INT32)
                                                         << listVariant(QList<int>{0x01020304, -0x01020304});
}

void TestSim::roundTrip()
{
    QFETCH(QString, tag);
    QFETCH(int, type);
    QFETCH(QVariant, value);
    const int count = value.value<QVariantList>().size();
    QVERIFY(count > 0);

    CLabelVariable v;
    v.value = value;
    const CLabelVariable w = m_drv->WriteVariable(tag, DataType(type), v, count);
    QCOMPARE(w.resultCode, int(veskor::RcDone));
    const CLabelVariable r = m_drv->ReadVariable(tag, DataType(type), count);
    QCOMPARE(r.resultCode, int(veskor::RcDone));
    QVERIFY2(sameList(r.value, value),
             qPrintable(listText(r.value) + QStringLiteral(" instead of ") + listText(value)));
    QCOMPARE(m_sim.received().size(), 2);
}

void TestSim::stringRoundTrip_data()
{
    QTest::addColumn<QString>("tag");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("text");

    QTest::newRow("abc in 8") << "ID4x300" << 8 << "abc";
    QTest::newRow("full field") << "ID4x310" << 8 << "abcdefg";
    QTest::newRow("non-ASCII") << "ID4x320" << 16 << QStringLiteral("Grüße");
    QTest::newRow("empty") << "ID4x340" << 4 << QString();
    QTest::newRow("one-byte field, empty") << "ID4x350" << 1 << QString();
    QTest::newRow("255 bytes") << "ID4x400" << 256 << QString(255, QLatin1Char('z'));
}

void TestSim::stringRoundTrip()
{
    QFETCH(QString, tag);
    QFETCH(int, count);
    QFETCH(QString, text);

    const CLabelVariable w = m_drv->WriteVariable(tag, DT_STRING, recordOf(QList<QString>{text}), count);
    QCOMPARE(w.resultCode, int(veskor::RcDone));
    const CLabelVariable r = m_drv->ReadVariable(tag, DT_STRING, count);
    QCOMPARE(r.resultCode, int(veskor::RcDone));
    QVERIFY(holdsList<QString>(r));
    const QList<QString> got = listIn<QString>(r);
    // One field of `count` bytes: the text, then nothing but empty strings.
    QCOMPARE(got.size(), count);
    QCOMPARE(got.first(), text);
    for (int i = 1; i < got.size(); ++i)
        QVERIFY2(got.at(i).isEmpty(), qPrintable(got.at(i)));
}

QTEST_GUILESS_MAIN(TestSim)
#include "tst_e2e_sim.moc"
