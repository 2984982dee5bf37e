// The value record: construction, copying, and the thirteen element accessors.
#include <QtTest>

#include <climits>
#include <functional>
#include <limits>
#include <type_traits>

#include "CLabelVariable.h"
#include "UnitSupport.h"
#include "driver/ResultCodes.h"

// Hosts act on these numbers: the names must never move.
static_assert(veskor::RcDone == 0 && veskor::RcNothing == 1 && veskor::RcType == 2 && veskor::RcNoArea == 3
                  && veskor::RcLength == 4 && veskor::RcDevice == 7 && veskor::RcNoAnswer == 8
                  && veskor::RcNoSocket == 9,
              "result codes are part of the host interface");

using unit::listVar;

// Both 8-bit readers hand out 0 to 255 whatever the processor's char is.
static_assert(std::is_same<decltype(std::declval<CLabelVariable &>().atchar(0)), unsigned char>::value,
              "atchar returns unsigned char");
static_assert(std::is_same<decltype(std::declval<CLabelVariable &>().atInt8(0)), unsigned char>::value,
              "atInt8 returns unsigned char");

namespace {

using Reader = std::function<QString(CLabelVariable &, int)>;

// Accessor name -> call returning the element as text; a null QString shows as "<null>".
const QMap<QString, Reader> &readers()
{
    static const QMap<QString, Reader> map{
        {"atQString", [](CLabelVariable &r, int i) {
             const QString s = r.atQString(i);
             return s.isNull() ? QStringLiteral("<null>") : s;
         }},
        {"atbool", [](CLabelVariable &r, int i) { return unit::text(r.atbool(i)); }},
        {"atchar", [](CLabelVariable &r, int i) { return unit::text(r.atchar(i)); }},
        {"atInt8", [](CLabelVariable &r, int i) { return unit::text(r.atInt8(i)); }},
        {"atUInt8", [](CLabelVariable &r, int i) { return unit::text(r.atUInt8(i)); }},
        {"atInt16", [](CLabelVariable &r, int i) { return unit::text(r.atInt16(i)); }},
        {"atUInt16", [](CLabelVariable &r, int i) { return unit::text(r.atUInt16(i)); }},
        {"atInt32", [](CLabelVariable &r, int i) { return unit::text(r.atInt32(i)); }},
        {"atUInt32", [](CLabelVariable &r, int i) { return unit::text(r.atUInt32(i)); }},
        {"atFloat", [](CLabelVariable &r, int i) { return unit::text(r.atFloat(i)); }},
        {"atInt64", [](CLabelVariable &r, int i) { return unit::text(r.atInt64(i)); }},
        {"atUInt64", [](CLabelVariable &r, int i) { return unit::text(r.atUInt64(i)); }},
        {"atDouble", [](CLabelVariable &r, int i) { return unit::text(r.atDouble(i)); }},
    };
    return map;
}

struct ReaderCase {
    const char *reader;
    QVariant good;        // three elements of the accessor's own list type
    QStringList goodText;
    QVariant other;       // a list of another element type
    const char *failure;  // what the accessor returns when it fails
};

QList<ReaderCase> readerCases()
{
    using LL = long long;
    using ULL = unsigned long long;
    return {
        {"atQString", listVar<QString>({"a", "", "Zz"}), {"a", "", "Zz"}, listVar<int>({1}), "<null>"},
        {"atbool", listVar<bool>({true, false, true}), {"true", "false", "true"}, listVar<int>({1}), "false"},
        {"atchar", listVar<char>({char(0xFF), 0, 0x7F}), {"255", "0", "127"}, listVar<uchar>({1}), "0"},
        {"atInt8", listVar<char>({char(0xFF), 0, 0x7F}), {"255", "0", "127"}, listVar<uchar>({1}), "0"},
        {"atUInt8", listVar<uchar>({255, 0, 1}), {"255", "0", "1"}, listVar<char>({1}), "0"},
        {"atInt16", listVar<short>({-32768, 0, 32767}), {"-32768", "0", "32767"}, listVar<int>({1}), "0"},
        {"atUInt16", listVar<ushort>({65535, 0, 1}), {"65535", "0", "1"}, listVar<short>({1}), "0"},
        {"atInt32", listVar<int>({INT_MIN, -1, INT_MAX}), {"-2147483648", "-1", "2147483647"},
         listVar<uint>({1}), "0"},
        {"atUInt32", listVar<uint>({4294967295u, 0, 7}), {"4294967295", "0", "7"}, listVar<int>({1}), "0"},
        {"atFloat", listVar<float>({1.5f, -0.25f, 16777215.0f}), {"1.5", "-0.25", "16777215"},
         listVar<double>({1}), "0"},
        {"atInt64", listVar<LL>({std::numeric_limits<LL>::min(), 0, std::numeric_limits<LL>::max()}),
         {"-9223372036854775808", "0", "9223372036854775807"}, listVar<ULL>({1}), "0"},
        {"atUInt64", listVar<ULL>({std::numeric_limits<ULL>::max(), 0, 1}),
         {"18446744073709551615", "0", "1"}, listVar<LL>({1}), "0"},
        {"atDouble", listVar<double>({0.5, -2.5, 1e300}), {"0.5", "-2.5", "1.0000000000000001e+300"},
         listVar<float>({1}), "0"},
    };
}

CLabelVariable filledRecord()
{
    CLabelVariable r;
    r.resultCode = veskor::RcLength;
    r.accessStatus = 7;
    r.value = listVar<int>({5, 6});
    r.timeStamp = QDateTime(QDate(2023, 12, 18), QTime(11, 16, 0));
    r.labelName = QStringLiteral("ID4x100");
    r.elementCount = 2;
    r.dataType = DT_INT32;
    r.auxInt = 99;
    r.auxText = QStringLiteral("panel");
    return r;
}

} // namespace

class TestRecord : public QObject
{
    Q_OBJECT

private slots:
    void freshRecord();
    void copyConstructionCopiesEveryField();
    void assignmentKeepsTargetStatusAndAuxInt();
    void accessor_data();
    void accessor();
    void convertibleValue();
};

void TestRecord::freshRecord()
{
    const CLabelVariable r;
    QCOMPARE(r.resultCode, int(veskor::RcNothing));
    QCOMPARE(r.accessStatus, 1);
    QVERIFY(!r.value.isValid());
    QVERIFY(r.timeStamp.isNull());
    QVERIFY(r.labelName.isEmpty());
    QCOMPARE(r.elementCount, 0);
    QCOMPARE(int(r.dataType), 0);
    QCOMPARE(r.auxInt, 0);
    QVERIFY(r.auxText.isEmpty());
}

void TestRecord::copyConstructionCopiesEveryField()
{
    const CLabelVariable src = filledRecord();
    const CLabelVariable c(src);
    QCOMPARE(c.resultCode, int(veskor::RcLength));
    QCOMPARE(c.accessStatus, 7);
    QCOMPARE(unit::dump(c.value), QStringList({"5", "6"}));
    QCOMPARE(unit::listType(c.value), QStringLiteral("int"));
    QCOMPARE(c.timeStamp, src.timeStamp);
    QCOMPARE(c.labelName, QStringLiteral("ID4x100"));
    QCOMPARE(c.elementCount, 2);
    QCOMPARE(int(c.dataType), int(DT_INT32));
    QCOMPARE(c.auxInt, 99);
    QCOMPARE(c.auxText, QStringLiteral("panel"));
}

void TestRecord::assignmentKeepsTargetStatusAndAuxInt()
{
    const CLabelVariable src = filledRecord();
    CLabelVariable t;
    t.accessStatus = 11;
    t.auxInt = -3;
    t.value = listVar<QString>({"old"});
    t = src;
    QCOMPARE(t.resultCode, int(veskor::RcLength));
    QCOMPARE(unit::dump(t.value), QStringList({"5", "6"}));
    QCOMPARE(unit::listType(t.value), QStringLiteral("int"));
    QCOMPARE(t.timeStamp, src.timeStamp);
    QCOMPARE(t.labelName, QStringLiteral("ID4x100"));
    QCOMPARE(t.elementCount, 2);
    QCOMPARE(int(t.dataType), int(DT_INT32));
    QCOMPARE(t.auxText, QStringLiteral("panel"));
    QCOMPARE(t.accessStatus, 11);   // the target's own
    QCOMPARE(t.auxInt, -3);         // the target's own
}

void TestRecord::accessor_data()
{
    QTest::addColumn<QString>("reader");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("element");

    for (const ReaderCase &c : readerCases()) {
        const QByteArray n(c.reader);
        const QString reader = QString::fromLatin1(c.reader);
        const QString fail = QString::fromLatin1(c.failure);
        const int size = c.goodText.size();
        // No list of the accessor's type: 11, and that before any index test.
        QTest::newRow(n + " fresh") << reader << QVariant() << 0 << 11 << fail;
        QTest::newRow(n + " fresh, index -1") << reader << QVariant() << -1 << 11 << fail;
        QTest::newRow(n + " other list") << reader << c.other << 0 << 11 << fail;
        QTest::newRow(n + " other list, index 5") << reader << c.other << 5 << 11 << fail;
        // Index outside the list: 10.
        for (int index : {-1, size, INT_MAX, INT_MIN})
            QTest::newRow(n + " index " + QByteArray::number(index)) << reader << c.good << index << 10 << fail;
        QTest::newRow(n + " empty list") << reader << QVariant(c.good.userType(), nullptr) << 0 << 10 << fail;
        for (int index = 0; index < size; ++index)
            QTest::newRow(n + " element " + QByteArray::number(index))
                << reader << c.good << index << 0 << c.goodText.at(index);
    }
    // A plain QVariantList is no QList<int> to QVariant (canConvert says no).
    QTest::newRow("atInt32 QVariantList") << "atInt32" << QVariant(QVariantList{1, 2}) << 0 << 11 << "0";
    // QStringList is a type of its own in Qt 5, not QList<QString>.
    QTest::newRow("atQString QStringList") << "atQString" << QVariant(QStringList{"a"}) << 0 << 11 << "<null>";
}

void TestRecord::accessor()
{
    QFETCH(QString, reader);
    QFETCH(QVariant, value);
    QFETCH(int, index);
    QFETCH(int, status);
    QFETCH(QString, element);

    CLabelVariable r = filledRecord();
    r.value = value;
    const CLabelVariable before(r);

    QCOMPARE(readers().value(reader)(r, index), element);
    QCOMPARE(r.accessStatus, status);

    // Reading changes nothing but accessStatus.
    QCOMPARE(r.value.userType(), before.value.userType());
    QCOMPARE(unit::dump(r.value), unit::dump(before.value));
    QCOMPARE(r.resultCode, before.resultCode);
    QCOMPARE(r.timeStamp, before.timeStamp);
    QCOMPARE(r.labelName, before.labelName);
    QCOMPARE(r.elementCount, before.elementCount);
    QCOMPARE(int(r.dataType), int(before.dataType));
    QCOMPARE(r.auxInt, before.auxInt);
    QCOMPARE(r.auxText, before.auxText);
}

// A value QVariant can convert (here through a converter the host registered)
// is read through that conversion; converting to an empty list means index 10.
void TestRecord::convertibleValue()
{
    const auto toDoubles = [](const QVariantList &l) {
        QList<double> out;
        for (const QVariant &v : l)
            out << v.toDouble();
        return out;
    };
    const bool registered = QMetaType::registerConverter<QVariantList, QList<double>>(toDoubles);
    QVERIFY(registered);

    CLabelVariable r;
    r.value = QVariant(QVariantList{1, 2.5});
    QCOMPARE(r.atDouble(1), 2.5);
    QCOMPARE(r.accessStatus, 0);
    QCOMPARE(r.atDouble(2), 0.0);
    QCOMPARE(r.accessStatus, 10);
    QCOMPARE(r.value.userType(), int(QMetaType::QVariantList));   // the conversion works on a copy
    QCOMPARE(r.value.toList().size(), 2);
    QCOMPARE(r.atFloat(0), 0.0f);                                 // no converter to QList<float>
    QCOMPARE(r.accessStatus, 11);

    r.value = QVariant(QVariantList{});
    QCOMPARE(r.atDouble(0), 0.0);
    QCOMPARE(r.accessStatus, 10);
}

QTEST_GUILESS_MAIN(TestRecord)
#include "tst_record.moc"
