// The traffic log a host sees through its Qt message handler: debug lines
// for every exchange when debugging is on, one warning per failed read when
// it is off, and nothing else.
#include "E2E.h"
#include "driver/ResultCodes.h"

#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace e2e;

namespace {

QString describe(const QList<MessageCapture::Message> &messages)
{
    QStringList out;
    for (const MessageCapture::Message &m : messages)
        out.append(QStringLiteral("[%1] %2").arg(int(m.first)).arg(m.second));
    return out.join(QLatin1Char('\n'));
}

// A driver connected to the peer whose socket has already carried one
// exchange, so that what is logged belongs to the exchange under test alone.
void connectAndWarmUp(Driver &d, ScriptedPeer &peer)
{
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    peer.answer(readReply(QByteArray(1, '\0')));
    QCOMPARE(d->ReadVariable(QStringLiteral("ID4x0"), DT_UINT8).resultCode, int(veskor::RcDone));
    peer.clearReceived();
}

QString peerText(const ScriptedPeer &peer)
{
    return QStringLiteral("127.0.0.1:%1").arg(peer.port());
}

QString hex(const QByteArray &b)
{
    return QString::fromLatin1(b.toHex());
}

} // namespace

class TestLog : public QObject
{
    Q_OBJECT

private slots:
    void readLinesWithDebug();
    void quietReadWithoutDebug();
    void quietFirstReadWithLocalPortTaken();
    void readFailureWarning_data();
    void readFailureWarning();
    void readNoAnswerWarningTimeout();
    void writeLinesWithDebug_data();
    void writeLinesWithDebug();
    void placeholderInTagName();
    void debugFlagSurvivesReconnect();
    void unknownDebugCommands();
};

void TestLog::readLinesWithDebug()
{
    Driver d;
    ScriptedPeer peer;
    connectAndWarmUp(d, peer);
    QCOMPARE(d->DebugCmd(StartDebug).isNull(), false);

    peer.answer(readReply(QByteArray::fromHex("00112233445566778899")));
    MessageCapture capture;
    const CLabelVariable r = d->ReadVariable(QStringLiteral("ID4x2"), DT_INT16, 3);
    QCOMPARE(r.resultCode, int(veskor::RcDone));

    const QByteArray request = peer.received().at(0).bytes;
    const QString front = QStringLiteral(" %1 ID=1 ID4x2 len = 6 msg : ").arg(peerText(peer));
    const QList<MessageCapture::Message> expected = {
        {QtDebugMsg, QStringLiteral("lib[VESKOR]读命令") + front + hex(request)},
        {QtDebugMsg, QStringLiteral("lib[VESKOR]读响应") + front + hex(request) + "00112233445566778899"},
    };
    QVERIFY2(capture.messages() == expected, qPrintable(describe(capture.messages())));
}

void TestLog::quietReadWithoutDebug()
{
    Driver d;
    ScriptedPeer peer;
    connectAndWarmUp(d, peer);
    d->DebugCmd(StartDebug);
    d->DebugCmd(StopDebug);
    MessageCapture capture;
    peer.answer(readReply(QByteArray(8, '\x01')));
    QCOMPARE(d->ReadVariable(QStringLiteral("ID4x0"), DT_DOUBLE).resultCode, int(veskor::RcDone));
    peer.answer(fixedReply(QByteArray(1, '\0')));
    QCOMPARE(d->WriteVariable(QStringLiteral("ID4x0"), DT_INT8, recordOf(QList<char>{1})).resultCode,
             int(veskor::RcDone));
    QVERIFY2(capture.messages().isEmpty(), qPrintable(describe(capture.messages())));
}

void TestLog::quietFirstReadWithLocalPortTaken()
{
    // Another program (or another driver object) holds the driver's local
    // port, so the driver's socket is bound by its first send instead.
    const int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
    QVERIFY(holder >= 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(64000);
    // Failing to bind means someone else holds it: the same situation.
    ::bind(holder, reinterpret_cast<sockaddr *>(&a), sizeof a);

    Driver d;
    ScriptedPeer peer;
    peer.answer(readReply(QByteArray(2, '\0')));
    MessageCapture capture;
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    const CLabelVariable r = d->ReadVariable(QStringLiteral("ID4x0"), DT_INT16);
    ::close(holder);
    QCOMPARE(r.resultCode, int(veskor::RcDone));
    QVERIFY(peer.received().at(0).senderPort != 64000);
    QVERIFY2(capture.messages().isEmpty(), qPrintable(describe(capture.messages())));
}

void TestLog::readFailureWarning_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("byteToChange");   // -1: none
    QTest::addColumn<int>("payloadSize");
    QTest::addColumn<int>("result");

    QTest::newRow("wrong echo") << QStringLiteral("设备响应错误") << 12 << 4 << int(veskor::RcDevice);
    QTest::newRow("wrong first byte") << QStringLiteral("设备响应错误") << 0 << 4 << int(veskor::RcDevice);
    QTest::newRow("too short") << QStringLiteral("报文返回长度错误") << -1 << 3 << int(veskor::RcLength);
    // The largest datagram there is: the warning shows its first 64 bytes.
    QTest::newRow("65,507 bytes, wrong first byte")
        << QStringLiteral("设备响应错误") << 0 << 65507 - 16 << int(veskor::RcDevice);
}

void TestLog::readFailureWarning()
{
    QFETCH(QString, text);
    QFETCH(int, byteToChange);
    QFETCH(int, payloadSize);
    QFETCH(int, result);

    Driver d;
    ScriptedPeer peer;
    connectAndWarmUp(d, peer);
    auto makeAnswer = [byteToChange, payloadSize](const QByteArray &request) {
        QByteArray a = readAnswer(request, QByteArray(payloadSize, '\x7e'));
        if (byteToChange >= 0)
            a[byteToChange] = char(a.at(byteToChange) + 1);
        return a;
    };
    peer.answer(makeAnswer);
    MessageCapture capture;
    QCOMPARE(d->ReadVariable(QStringLiteral("ID4x0"), DT_INT32).resultCode, result);
    const QByteArray answer = makeAnswer(peer.received().at(0).bytes);

    const QString shown = answer.size() <= 64
        ? hex(answer)
        : hex(answer.left(64)) + QStringLiteral("…(%1 bytes)").arg(answer.size());
    const QList<MessageCapture::Message> expected = {
        {QtWarningMsg, QStringLiteral("lib[VESKOR]%1 %2 ID=1 ID4x0 len = 4 msg : %3")
                           .arg(text, peerText(peer), shown)},
    };
    QVERIFY2(capture.messages() == expected, qPrintable(describe(capture.messages())));
}

void TestLog::readNoAnswerWarningTimeout()
{
    Driver d;
    ScriptedPeer peer;
    connectAndWarmUp(d, peer);
    d->SetConnectPar(QStringLiteral("12"));
    MessageCapture capture;
    QCOMPARE(d->ReadVariable(QStringLiteral("ID9x40"), DT_UINT16, 5).resultCode, int(veskor::RcNoAnswer));

    const QList<MessageCapture::Message> expected = {
        {QtWarningMsg, QStringLiteral("lib[VESKOR]返回的报文长度为0 %1 ID=12 ID9x40 len = 10 msg : ")
                           .arg(peerText(peer))},
    };
    QVERIFY2(capture.messages() == expected, qPrintable(describe(capture.messages())));
}

void TestLog::writeLinesWithDebug_data()
{
    QTest::addColumn<QString>("tag");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("count");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("label");
    QTest::addColumn<int>("length");
    QTest::addColumn<QByteArray>("answer");

    QTest::newRow("memory, long answer cut")
        << "ID4x5" << int(DT_INT16) << 2 << listVariant(QList<short>{1, 2}) << "tag=" << 4
        << QByteArray::fromHex("02010100000005000004000100020099");
    QTest::newRow("memory, short answer whole")
        << "ID4x5" << int(DT_UINT32) << 1 << listVariant(QList<unsigned int>{9}) << "tag=" << 4
        << QByteArray::fromHex("0201");
    QTest::newRow("bool")
        << "ID4x6" << int(DT_BOOL) << 10 << listVariant(QList<bool>{true, true, true, true, true, true, true, true, true, true})
        << "Area=" << 2 << QByteArray::fromHex("0201010000000600000200ff03aabbcc");
}

void TestLog::writeLinesWithDebug()
{
    QFETCH(QString, tag);
    QFETCH(int, type);
    QFETCH(int, count);
    QFETCH(QVariant, value);
    QFETCH(QString, label);
    QFETCH(int, length);
    QFETCH(QByteArray, answer);

    Driver d;
    ScriptedPeer peer;
    connectAndWarmUp(d, peer);
    d->DebugCmd(StartDebug);
    peer.answer(fixedReply(answer));
    CLabelVariable v;
    v.value = value;
    MessageCapture capture;
    QCOMPARE(d->WriteVariable(tag, DataType(type), v, count).resultCode, int(veskor::RcDone));

    const QByteArray request = peer.received().at(0).bytes;
    const QString front = QStringLiteral(" %1 %2%3  len = %4 msg : ").arg(peerText(peer), label, tag).arg(length);
    const QList<MessageCapture::Message> expected = {
        {QtDebugMsg, QStringLiteral("写命令") + front + hex(request)},
        {QtDebugMsg, QStringLiteral("响应") + front + hex(answer.left(length + 4))},
    };
    QVERIFY2(capture.messages() == expected, qPrintable(describe(capture.messages())));
}

void TestLog::placeholderInTagName()
{
    const QString tag = QStringLiteral("ID4x100x%1%2");
    Driver d;
    ScriptedPeer peer;
    connectAndWarmUp(d, peer);
    d->DebugCmd(StartDebug);
    peer.answer(readReply(QByteArray(102, '\0')));
    peer.answer(fixedReply(QByteArray(1, '\0')));
    MessageCapture capture;
    QCOMPARE(d->ReadVariable(tag, DT_UINT16).resultCode, int(veskor::RcDone));
    QCOMPARE(d->WriteVariable(tag, DT_UINT16, recordOf(QList<unsigned short>{3})).resultCode, int(veskor::RcDone));

    const QList<MessageCapture::Message> got = capture.messages();
    QCOMPARE(got.size(), 4);
    const QString p = peerText(peer);
    QVERIFY2(got.at(0).second.startsWith(QStringLiteral("lib[VESKOR]读命令 %1 ID=1 ID4x100x%2 len = 2 msg : 4d52")
                                             .arg(p, QStringLiteral("%1%2"))),
             qPrintable(got.at(0).second));
    QVERIFY2(got.at(1).second.startsWith(QStringLiteral("lib[VESKOR]读响应 %1 ID=1 ID4x100x%2 len = 2 msg : 4d52")
                                             .arg(p, QStringLiteral("%1%2"))),
             qPrintable(got.at(1).second));
    QVERIFY2(got.at(2).second.startsWith(QStringLiteral("写命令 %1 tag=ID4x100x%2  len = 2 msg : 0201")
                                             .arg(p, QStringLiteral("%1%2"))),
             qPrintable(got.at(2).second));
    QCOMPARE(got.at(3).second,
             QStringLiteral("响应 %1 tag=ID4x100x%2  len = 2 msg : 00").arg(p, QStringLiteral("%1%2")));
}

void TestLog::debugFlagSurvivesReconnect()
{
    Driver d;
    ScriptedPeer peer;
    peer.setDefault(readReply(QByteArray(1, '\0')));
    d->DebugCmd(StartDebug);           // before any connection
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    QCOMPARE(d->ReadVariable(QStringLiteral("ID4x0"), DT_UINT8).resultCode, int(veskor::RcDone));   // warm-up
    QCOMPARE(d->DestroyFree(), 0);
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    QCOMPARE(d->ReadVariable(QStringLiteral("ID4x0"), DT_UINT8).resultCode, int(veskor::RcDone));   // warm-up
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);

    {
        MessageCapture capture;
        QCOMPARE(d->ReadVariable(QStringLiteral("ID4x0"), DT_UINT8).resultCode, int(veskor::RcDone));
        const QList<MessageCapture::Message> got = capture.messages();
        QCOMPARE(got.size(), 2);
        QCOMPARE(got.at(0).first, QtDebugMsg);
        QVERIFY(got.at(0).second.startsWith(QStringLiteral("lib[VESKOR]读命令 ")));
        QCOMPARE(got.at(1).first, QtDebugMsg);
        QVERIFY(got.at(1).second.startsWith(QStringLiteral("lib[VESKOR]读响应 ")));
    }

    d->DebugCmd(StopDebug);
    QCOMPARE(d->DestroyFree(), 0);
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    QCOMPARE(d->ReadVariable(QStringLiteral("ID4x0"), DT_UINT8).resultCode, int(veskor::RcDone));   // warm-up
    MessageCapture capture;
    QCOMPARE(d->ReadVariable(QStringLiteral("ID4x0"), DT_UINT8).resultCode, int(veskor::RcDone));
    QVERIFY2(capture.messages().isEmpty(), qPrintable(describe(capture.messages())));
}

void TestLog::unknownDebugCommands()
{
    Driver d;
    QVERIFY(d->DebugCmd(EDebugCmdType(4)).isNull());
    QVERIFY(d->DebugCmd(EDebugCmdType(-1)).isNull());

    // Neither changes the debug flag.
    ScriptedPeer peer;
    peer.setDefault(readReply(QByteArray(1, '\0')));
    QCOMPARE(d->ConnectDrive(peer.endpoint()), 0);
    QCOMPARE(d->ReadVariable(QStringLiteral("ID4x0"), DT_UINT8).resultCode, int(veskor::RcDone));   // warm-up
    {
        MessageCapture capture;
        QCOMPARE(d->ReadVariable(QStringLiteral("ID4x0"), DT_UINT8).resultCode, int(veskor::RcDone));
        QVERIFY2(capture.messages().isEmpty(), qPrintable(describe(capture.messages())));
    }
    d->DebugCmd(StartDebug);
    QVERIFY(d->DebugCmd(EDebugCmdType(4)).isNull());
    MessageCapture capture;
    QCOMPARE(d->ReadVariable(QStringLiteral("ID4x0"), DT_UINT8).resultCode, int(veskor::RcDone));
    QCOMPARE(capture.messages().size(), 2);
}

QTEST_GUILESS_MAIN(TestLog)
#include "tst_e2e_log.moc"
