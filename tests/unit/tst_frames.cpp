// Read and write datagrams byte by byte.
#include <QtTest>

#include <climits>
#include <vector>

#include "Frames.h"
#include "UnitSupport.h"

using unit::hex;

namespace {

const QByteArray kRequest = veskor::buildReadRequest(0x1234, 0x20009700u, 0x0A0B0C0Du);

// A well-formed answer to kRequest with `payload` bytes after the header.
QByteArray answer(int payload)
{
    QByteArray a = kRequest;
    for (int i = 0; i < payload; ++i)
        a.append(char(0xA0 + i));
    return a;
}

QByteArray withByte(QByteArray a, int index, char value)
{
    a[index] = value;
    return a;
}

} // namespace

class TestFrames : public QObject
{
    Q_OBJECT

private slots:
    void readRequest();
    void readAnswer_data();
    void readAnswer();
    void hostileReadAnswer();
    void writeRequest_data();
    void writeRequest();
    void writeRequestReadsOnlyData();
    void writeAnswerForLog_data();
    void writeAnswerForLog();
};

void TestFrames::readRequest()
{
    QCOMPARE(kRequest, hex("4D 52 0E 00 34 12 1E 00 20 00 97 00 0D 0C 0B 0A"));
    QCOMPARE(veskor::buildReadRequest(1, 0xE4008200u, 1), hex("4D 52 0E 00 01 00 1E 00 E4 00 82 00 01 00 00 00"));
}

void TestFrames::readAnswer_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("rc");

    QTest::newRow("exact size") << answer(6) << 2 << 4 << 0;
    QTest::newRow("one byte short") << answer(5) << 2 << 4 << -4;
    QTest::newRow("longer") << answer(20) << 2 << 4 << 0;
    QTest::newRow("other sequence") << withByte(withByte(answer(4), 4, 0x77), 5, 0x01) << 0 << 4 << 0;
    QTest::newRow("byte 15 differs") << withByte(answer(4), 15, 0x7F) << 0 << 4 << 0;
    QTest::newRow("byte 0 not M") << withByte(answer(4), 0, 'm') << 0 << 4 << -1;
    QTest::newRow("byte 12 differs") << withByte(answer(4), 12, 0) << 0 << 4 << -1;
    QTest::newRow("byte 13 differs") << withByte(answer(4), 13, 0) << 0 << 4 << -1;
    QTest::newRow("byte 14 differs") << withByte(answer(4), 14, 0) << 0 << 4 << -1;
    QTest::newRow("short and wrong") << withByte(withByte(answer(3), 0, 'X'), 13, 0) << 0 << 4 << -4;
    QTest::newRow("empty") << QByteArray() << 0 << 4 << -2;
    QTest::newRow("empty, length 0") << QByteArray() << 0 << 0 << -2;
    QTest::newRow("length 0") << answer(0) << 0 << 0 << 0;
    QTest::newRow("offset -1 exact") << answer(3) << -1 << 4 << 0;
    QTest::newRow("offset -1 short") << answer(2) << -1 << 4 << -4;
    for (int size : {1, 8, 14})
        for (int offset : {-16, -15, -1, 0})
            for (int length : {0, 1})
                QTest::newRow(qPrintable(QString("size %1 offset %2 length %3").arg(size).arg(offset).arg(length)))
                    << kRequest.left(size) << offset << length << -4;
}

void TestFrames::readAnswer()
{
    QFETCH(QByteArray, answer);
    QFETCH(int, offset);
    QFETCH(int, length);
    QFETCH(int, rc);

    QCOMPARE(veskor::checkReadAnswer(kRequest, answer, offset, length), rc);
    if (rc == 0)
        QCOMPARE(veskor::readAnswerPayload(answer, offset, length), answer.mid(16 + offset, length));
}

// Whatever offset and length arrive, an accepted answer holds the whole payload.
void TestFrames::hostileReadAnswer()
{
    const int offsets[] = {INT_MIN, INT_MIN + 1, -17, -16, -15, -1, 0, 1, 4, INT_MAX - 16, INT_MAX - 1, INT_MAX};
    const int lengths[] = {INT_MIN, -1, 0, 1, 4, 5, INT_MAX - 16, INT_MAX};
    int accepted = 0;
    for (int size : {0, 1, 14, 15, 16, 20}) {
        // Exactly `size` bytes, so that reading past them is caught by the address sanitizer.
        std::vector<char> storage(size_t(size), '\0');
        const QByteArray full = answer(qMax(0, size - 16)).left(size);
        std::copy(full.begin(), full.end(), storage.begin());
        const QByteArray a = QByteArray::fromRawData(storage.data(), size);
        for (int offset : offsets) {
            for (int length : lengths) {
                const int rc = veskor::checkReadAnswer(kRequest, a, offset, length);
                QVERIFY2(rc == 0 || rc == -1 || rc == -2 || rc == -4, qPrintable(QString::number(rc)));
                if (rc != 0)
                    continue;
                ++accepted;
                const QString what = QString("size %1 offset %2 length %3").arg(size).arg(offset).arg(length);
                if (length > 0) {
                    const qint64 start = 16 + qint64(offset);
                    QVERIFY2(start >= 0 && start + length <= size, qPrintable(what));
                    QCOMPARE(veskor::readAnswerPayload(a, offset, length), full.mid(int(start), length));
                } else {
                    QVERIFY2(veskor::readAnswerPayload(a, offset, length).isEmpty(), qPrintable(what));
                }
            }
        }
    }
    QVERIFY(accepted > 0);
}

void TestFrames::writeRequest_data()
{
    QTest::addColumn<uint>("area");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("length");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("request");

    QTest::newRow("address 70000") << 0x30008200u << 70000 << 2 << hex("AB CD")
                                   << hex("02 01 01 00 00 01 70 11 00 02 00 AB CD");
    QTest::newRow("address 300") << 0x30008200u << 300 << 2 << hex("AB CD")
                                 << hex("02 01 01 00 00 00 2C 01 00 02 00 AB CD");
    QTest::newRow("ID1x area") << 0x20009700u << 100 << 1 << hex("01") << hex("02 01 01 00 00 00 64 00 00 01 00 01");
    QTest::newRow("ID4x area") << 0x30008200u << 100 << 1 << hex("01") << hex("02 01 01 00 00 00 64 00 00 01 00 01");
    QTest::newRow("low area byte") << 0x123456ABu << 0 << 1 << hex("01") << hex("02 01 01 00 AB 00 00 00 00 01 00 01");
    QTest::newRow("length 0") << 0x30008200u << 5 << 0 << hex("AB CD") << hex("02 01 01 00 00 00 05 00 00 00 00");
    QTest::newRow("length 1 of 3") << 0x30008200u << 5 << 1 << hex("AB CD EF")
                                   << hex("02 01 01 00 00 00 05 00 00 01 00 AB");
    QTest::newRow("length 300") << 0x30008200u << 0xFFFFFF << 300 << QByteArray(300, 'z')
                                << hex("02 01 01 00 00 FF FF FF 00 2C 01") + QByteArray(300, 'z');
    QTest::newRow("short data padded") << 0x30008200u << 5 << 4 << hex("AB")
                                       << hex("02 01 01 00 00 00 05 00 00 04 00 AB 00 00 00");
}

void TestFrames::writeRequest()
{
    QFETCH(uint, area);
    QFETCH(int, address);
    QFETCH(int, length);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, request);

    QCOMPARE(veskor::buildWriteRequest(area, address, length, data), request);
}

// Data shorter than the length is padded, never read past its end.
void TestFrames::writeRequestReadsOnlyData()
{
    std::vector<char> storage = {'\x11', '\x22', '\x33'};
    const QByteArray data = QByteArray::fromRawData(storage.data(), 3);
    QCOMPARE(veskor::buildWriteRequest(0x30008200u, 1, 8, data),
             hex("02 01 01 00 00 00 01 00 00 08 00 11 22 33 00 00 00 00 00"));
    QCOMPARE(veskor::buildWriteRequest(0x30008200u, 1, 2, QByteArray()),
             hex("02 01 01 00 00 00 01 00 00 02 00 00 00"));
}

void TestFrames::writeAnswerForLog_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("length");
    QTest::addColumn<QByteArray>("logged");

    QByteArray big(2000, '\0');
    for (int i = 0; i < big.size(); ++i)
        big[i] = char(i * 7);
    const QByteArray hundred = big.left(100);

    QTest::newRow("100 bytes, length 2") << hundred << 2 << hundred.left(6);
    QTest::newRow("6 bytes, length 2") << hundred.left(6) << 2 << hundred.left(6);
    QTest::newRow("3 bytes, length 2") << hundred.left(3) << 2 << hundred.left(3);
    QTest::newRow("2000 bytes, length 2") << big << 2 << big.left(6) + big.mid(1472);
    QTest::newRow("length 1467") << big << 1467 << big.left(1471) + big.mid(1472);
    QTest::newRow("length 1468") << big << 1468 << big;
    QTest::newRow("length 5000") << big << 5000 << big;
    QTest::newRow("length INT_MAX") << big << INT_MAX << big;
}

void TestFrames::writeAnswerForLog()
{
    QFETCH(QByteArray, answer);
    QFETCH(int, length);
    QFETCH(QByteArray, logged);

    QCOMPARE(veskor::cutWriteAnswerForLog(answer, length), logged);
}

QTEST_GUILESS_MAIN(TestFrames)
#include "tst_frames.moc"
