// Element-wise arithmetic and equality of value records.
#include <QtTest>

#include <climits>
#include <limits>

#include "CLabelVariable.h"
#include "UnitSupport.h"
#include "driver/ResultCodes.h"

using unit::listVar;

namespace {

using LL = long long;
using ULL = unsigned long long;

CLabelVariable record(int type, const QVariant &value, int count, const QString &name)
{
    CLabelVariable r;
    r.dataType = DataType(type);
    r.value = value;
    r.elementCount = count;
    r.labelName = name;
    return r;
}

CLabelVariable apply(char op, CLabelVariable &l, const CLabelVariable &r)
{
    switch (op) {
    case '+': return l + r;
    case '-': return l - r;
    case '*': return l * r;
    default: return l / r;
    }
}

// Element type names as unit::listType() gives them, by left data type.
QString elementOf(int type)
{
    if (type == 1) return "bool";
    if (type == 2) return "char";
    if (type == 3) return "uchar";
    if (type == 4 || type == 13 || type == 14) return "short";
    if (type == 5 || type == 15 || type == 16) return "ushort";
    if (type == 6 || (type >= 17 && type <= 20)) return "int";
    if (type == 7 || (type >= 21 && type <= 24)) return "uint";
    if (type == 8 || (type >= 33 && type <= 36)) return "float";
    if (type == 9) return "int64";
    if (type == 10) return "uint64";
    if (type == 11 || (type >= 37 && type <= 40)) return "double";
    return "QString";
}

// The two-element list {1, 2} (or {3, 4}) of the element type of a data type.
QVariant smallList(int type, int a, int b)
{
    const QString e = elementOf(type);
    if (e == "short") return listVar<short>({short(a), short(b)});
    if (e == "ushort") return listVar<ushort>({ushort(a), ushort(b)});
    if (e == "int") return listVar<int>({a, b});
    if (e == "uint") return listVar<uint>({uint(a), uint(b)});
    if (e == "float") return listVar<float>({float(a), float(b)});
    return listVar<double>({double(a), double(b)});
}

} // namespace

class TestArithmetic : public QObject
{
    Q_OBJECT

private slots:
    void operators_data();
    void operators();
    void equality_data();
    void equality();
    void equalityReadsBothRecords();
};

void TestArithmetic::operators_data()
{
    QTest::addColumn<QString>("op");
    QTest::addColumn<int>("leftType");
    QTest::addColumn<QVariant>("left");
    QTest::addColumn<int>("count");        // elementCount of the left operand
    QTest::addColumn<int>("rightType");
    QTest::addColumn<QVariant>("right");
    QTest::addColumn<int>("rightCount");
    QTest::addColumn<QString>("type");     // element type of the result, or "default"
    QTest::addColumn<QStringList>("result");

    auto row = [](const char *name, const char *op, int lt, const QVariant &l, int n, int rt,
                  const QVariant &r, const QString &type, const QStringList &res) {
        QTest::newRow(name) << QString(op) << lt << l << n << rt << r << n << type << res;
    };
    const int i16min = -32768;
    const LL i64min = std::numeric_limits<LL>::min();
    const LL i64max = std::numeric_limits<LL>::max();

    // Wrapping two's complement and unsigned arithmetic.
    row("int16 max+1", "+", 4, listVar<short>({32767}), 1, 4, listVar<short>({1}), "short", {"-32768"});
    row("int16 min/-1", "/", 4, listVar<short>({short(i16min)}), 1, 4, listVar<short>({-1}), "short", {"-32768"});
    row("uint8 0-1", "-", 3, listVar<uchar>({0}), 1, 3, listVar<uchar>({1}), "uchar", {"255"});
    row("uint8 200*2", "*", 3, listVar<uchar>({200}), 1, 3, listVar<uchar>({2}), "uchar", {"144"});
    row("uint16 0-1", "-", 5, listVar<ushort>({0}), 1, 5, listVar<ushort>({1}), "ushort", {"65535"});
    row("uint16 65535*65535", "*", 5, listVar<ushort>({65535}), 1, 5, listVar<ushort>({65535}), "ushort", {"1"});
    row("int8 0xFC/2 unsigned", "/", 2, listVar<char>({char(0xFC)}), 1, 2, listVar<char>({2}), "char", {"126"});
    row("int8 0xFC+0x05", "+", 2, listVar<char>({char(0xFC)}), 1, 2, listVar<char>({5}), "char", {"1"});
    row("int32 -7/2", "/", 6, listVar<int>({-7}), 1, 6, listVar<int>({2}), "int", {"-3"});
    row("int32 min/-1", "/", 6, listVar<int>({INT_MIN}), 1, 6, listVar<int>({-1}), "int", {"-2147483648"});
    row("int32 max+1", "+", 6, listVar<int>({INT_MAX}), 1, 6, listVar<int>({1}), "int", {"-2147483648"});
    row("int32 min-1", "-", 6, listVar<int>({INT_MIN}), 1, 6, listVar<int>({1}), "int", {"2147483647"});
    row("int32 65536*65536", "*", 6, listVar<int>({65536}), 1, 6, listVar<int>({65536}), "int", {"0"});
    row("uint32 0-1", "-", 7, listVar<uint>({0}), 1, 7, listVar<uint>({1}), "uint", {"4294967295"});
    row("uint64 0-1", "-", 10, listVar<ULL>({0}), 1, 10, listVar<ULL>({1}), "uint64", {"18446744073709551615"});
    row("int64 2^32*2^32", "*", 9, listVar<LL>({1LL << 32}), 1, 9, listVar<LL>({1LL << 32}), "int64", {"0"});
    row("int64 min/-1", "/", 9, listVar<LL>({i64min}), 1, 9, listVar<LL>({-1}), "int64", {"-9223372036854775808"});
    row("int64 max+1", "+", 9, listVar<LL>({i64max}), 1, 9, listVar<LL>({1}), "int64", {"-9223372036854775808"});

    // Integer division by zero gives 0; the other elements are still computed.
    row("int8 /0", "/", 2, listVar<char>({7, 9}), 2, 2, listVar<char>({0, 3}), "char", {"0", "3"});
    row("uint8 /0", "/", 3, listVar<uchar>({7, 9}), 2, 3, listVar<uchar>({0, 3}), "uchar", {"0", "3"});
    row("int16 /0", "/", 4, listVar<short>({7, 9}), 2, 4, listVar<short>({0, 3}), "short", {"0", "3"});
    row("uint16 /0", "/", 5, listVar<ushort>({7, 9}), 2, 5, listVar<ushort>({0, 3}), "ushort", {"0", "3"});
    row("int32 /0", "/", 6, listVar<int>({INT_MIN, 9, 5}), 3, 6, listVar<int>({0, 3, -1}), "int", {"0", "3", "-5"});
    row("uint32 /0", "/", 7, listVar<uint>({7, 9}), 2, 7, listVar<uint>({0, 3}), "uint", {"0", "3"});
    row("int64 /0", "/", 9, listVar<LL>({i64min, 9}), 2, 9, listVar<LL>({0, 3}), "int64", {"0", "3"});
    row("uint64 /0", "/", 10, listVar<ULL>({7, 9}), 2, 10, listVar<ULL>({0, 3}), "uint64", {"0", "3"});
    row("int16 code 14 /0", "/", 14, listVar<short>({7, 9}), 2, 14, listVar<short>({0, 3}), "short", {"0", "3"});
    row("uint32 code 22 /0", "/", 22, listVar<uint>({7, 9}), 2, 22, listVar<uint>({0, 3}), "uint", {"0", "3"});

    // Bools.
    const QVariant t = listVar<bool>({true}), f = listVar<bool>({false});
    row("bool true+true", "+", 1, t, 1, 1, t, "bool", {"true"});
    row("bool true-true", "-", 1, t, 1, 1, t, "bool", {"false"});
    row("bool true*false", "*", 1, t, 1, 1, f, "bool", {"false"});
    row("bool true/true", "/", 1, t, 1, 1, t, "bool", {"true"});
    row("bool false/true", "/", 1, f, 1, 1, t, "bool", {"false"});
    row("bool true/false", "/", 1, t, 1, 1, f, "bool", {"false"});
    row("bool false/false", "/", 1, f, 1, 1, f, "bool", {"false"});

    // Floating point follows IEEE 754.
    row("float 1/0", "/", 8, listVar<float>({1}), 1, 8, listVar<float>({0}), "float", {"inf"});
    row("float -1/0", "/", 8, listVar<float>({-1}), 1, 8, listVar<float>({0}), "float", {"-inf"});
    row("float 0/0", "/", 8, listVar<float>({0}), 1, 8, listVar<float>({0}), "float", {"nan"});
    row("float 2^24+1", "+", 8, listVar<float>({16777216.0f}), 1, 8, listVar<float>({1}), "float", {"16777216"});
    row("double three in order", "-", 11, listVar<double>({1.5, 10, -3}), 3, 11, listVar<double>({0.5, 20, 3}),
        "double", {"1", "-10", "-6"});
    row("double 1/0", "/", 11, listVar<double>({1}), 1, 11, listVar<double>({0}), "double", {"inf"});

    // Every host code of a numeric group uses that group's element type.
    for (int code : {13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 33, 34, 35, 36, 37, 38, 39, 40}) {
        const QByteArray name = "code " + QByteArray::number(code) + " 1+3, 2+4";
        QTest::newRow(name) << "+" << code << smallList(code, 1, 2) << 2 << code << smallList(code, 3, 4) << 2
                            << elementOf(code) << QStringList({"4", "6"});
    }

    // Both lists must hold exactly the left operand's elementCount elements.
    const QVariant d2 = listVar<double>({1, 2}), d3 = listVar<double>({1, 2, 3});
    row("right has 2 of 3", "+", 11, d3, 3, 11, d2, "double", {});
    row("left has 2 of 3", "+", 11, d2, 3, 11, d3, "double", {});
    row("both have 3 of 2", "+", 11, d3, 2, 11, d3, "double", {});
    row("count 0", "+", 11, listVar<double>({}), 0, 11, listVar<double>({}), "double", {});
    row("count -1", "+", 11, d2, -1, 11, d2, "double", {});
    row("int16 + int32 list", "+", 4, listVar<short>({1}), 1, 6, listVar<int>({1}), "short", {});
    QTest::newRow("right header count differs") << "+" << 6 << listVar<int>({1, 2}) << 2 << 6 << listVar<int>({3, 4})
                                                << 5 << "int" << QStringList({"4", "6"});

    // Strings: concatenation only.
    const QVariant s1 = listVar<QString>({"ab", "c"}), s2 = listVar<QString>({"x", ""});
    row("string +", "+", 12, s1, 2, 12, s2, "QString", {"abx", "c"});
    row("string + short list", "+", 12, s1, 2, 12, listVar<QString>({"x"}), "QString", {});
    row("string -", "-", 12, s1, 2, 12, s2, "default", {});
    row("string *", "*", 12, s1, 2, 12, s2, "default", {});
    row("string /", "/", 12, s1, 2, 12, s2, "default", {});

    // Left types without arithmetic give a default record.
    for (int code : {0, 25, 26, 27, 28, 29, 30, 31, 32, -1, 41, INT_MIN, INT_MAX})
        for (const char *op : {"+", "-", "*", "/"})
            row(qPrintable(QString("type %1 %2").arg(code).arg(op)), op, code, listVar<int>({1}), 1, 6,
                listVar<int>({1}), "default", {});
}

void TestArithmetic::operators()
{
    QFETCH(QString, op);
    QFETCH(int, leftType);
    QFETCH(QVariant, left);
    QFETCH(int, count);
    QFETCH(int, rightType);
    QFETCH(QVariant, right);
    QFETCH(int, rightCount);
    QFETCH(QString, type);
    QFETCH(QStringList, result);

    CLabelVariable l = record(leftType, left, count, "left");
    l.resultCode = 5;
    l.accessStatus = 9;
    l.auxInt = 3;
    l.auxText = "lt";
    CLabelVariable r = record(rightType, right, rightCount, "right");
    r.resultCode = veskor::RcDone;
    r.accessStatus = 8;
    r.auxInt = 4;
    r.auxText = "rt";
    const CLabelVariable l0(l), r0(r);

    const QDateTime before = QDateTime::currentDateTime();
    const CLabelVariable res = apply(op.at(0).toLatin1(), l, r);

    if (type == "default") {
        QCOMPARE(res.resultCode, int(veskor::RcNothing));
        QCOMPARE(res.accessStatus, 1);
        QVERIFY(!res.value.isValid());
        QVERIFY(res.timeStamp.isNull());
        QCOMPARE(int(res.dataType), 0);
        QCOMPARE(res.elementCount, 0);
        QVERIFY(res.labelName.isEmpty());
        QVERIFY(res.auxText.isEmpty());
        QCOMPARE(res.auxInt, 0);
    } else {
        QCOMPARE(res.resultCode, int(veskor::RcDone));
        QCOMPARE(res.labelName, QStringLiteral("right"));
        QCOMPARE(res.elementCount, rightCount);
        QCOMPARE(int(res.dataType), rightType);
        QCOMPARE(res.auxText, QStringLiteral("rt"));
        QCOMPARE(res.accessStatus, 1);
        QCOMPARE(res.auxInt, 0);
        QVERIFY(res.timeStamp.isValid());
        QVERIFY(res.timeStamp >= before);
        QCOMPARE(unit::listType(res.value), type);
        QCOMPARE(unit::dump(res.value), result);
    }

    // The operands keep their values and headers; having been read, their
    // accessStatus is 0.
    if (!result.isEmpty()) {
        QCOMPARE(l.accessStatus, 0);
        QCOMPARE(r.accessStatus, 0);
    }
    for (const auto &pair : {qMakePair(&l, &l0), qMakePair(&r, &r0)}) {
        const CLabelVariable &now = *pair.first;
        const CLabelVariable &was = *pair.second;
        QCOMPARE(now.value.userType(), was.value.userType());
        QCOMPARE(unit::dump(now.value), unit::dump(was.value));
        QCOMPARE(now.resultCode, was.resultCode);
        QCOMPARE(now.labelName, was.labelName);
        QCOMPARE(now.elementCount, was.elementCount);
        QCOMPARE(int(now.dataType), int(was.dataType));
        QCOMPARE(now.auxInt, was.auxInt);
        QCOMPARE(now.auxText, was.auxText);
    }
}

void TestArithmetic::equality_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QVariant>("left");
    QTest::addColumn<QVariant>("right");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("change");   // a field set differently in the right record
    QTest::addColumn<bool>("equal");

    const QVariant i123 = listVar<int>({1, 2, 3});
    for (const char *field : {"resultCode", "labelName", "elementCount", "dataType", "auxText"})
        QTest::newRow(field) << 6 << i123 << i123 << 3 << field << false;
    for (const char *field : {"timeStamp", "accessStatus", "auxInt", ""})
        QTest::newRow(*field ? field : "identical") << 6 << i123 << i123 << 3 << field << true;
    QTest::newRow("int32 last differs") << 6 << i123 << listVar<int>({1, 2, 4}) << 3 << "" << false;
    QTest::newRow("int64 high bits differ") << 9 << listVar<LL>({1LL << 32}) << listVar<LL>({0}) << 1 << "" << false;
    QTest::newRow("uint64 high bits differ") << 10 << listVar<ULL>({1ULL << 32}) << listVar<ULL>({0}) << 1 << "" << false;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    QTest::newRow("double NaN") << 11 << listVar<double>({nan}) << listVar<double>({nan}) << 1 << "" << false;
    QTest::newRow("double +0 -0") << 11 << listVar<double>({0.0}) << listVar<double>({-0.0}) << 1 << "" << true;
    QTest::newRow("float +0 -0") << 8 << listVar<float>({0.0f}) << listVar<float>({-0.0f}) << 1 << "" << true;
    QTest::newRow("string case") << 12 << listVar<QString>({"abc"}) << listVar<QString>({"Abc"}) << 1 << "" << false;
    QTest::newRow("string same") << 12 << listVar<QString>({"abc"}) << listVar<QString>({"abc"}) << 1 << "" << true;
    QTest::newRow("2 of 3") << 6 << listVar<int>({1, 2}) << listVar<int>({1, 2}) << 3 << "" << false;
    QTest::newRow("list of other type") << 6 << listVar<short>({1}) << listVar<short>({1}) << 1 << "" << false;
    for (int code : {0, 25, 41})
        QTest::newRow(qPrintable(QString("type %1").arg(code)))
            << code << listVar<int>({1}) << listVar<QString>({"z", "y"}) << 1 << "" << true;
    QTest::newRow("count 0 empty") << 6 << listVar<int>({}) << listVar<int>({}) << 0 << "" << true;
}

void TestArithmetic::equality()
{
    QFETCH(int, type);
    QFETCH(QVariant, left);
    QFETCH(QVariant, right);
    QFETCH(int, count);
    QFETCH(QString, change);
    QFETCH(bool, equal);

    CLabelVariable a = record(type, left, count, "tag");
    a.resultCode = veskor::RcDone;
    a.auxText = "aux";
    a.timeStamp = QDateTime(QDate(2024, 1, 1), QTime(0, 0));
    CLabelVariable b = record(type, right, count, "tag");
    b.resultCode = veskor::RcDone;
    b.auxText = "aux";
    b.timeStamp = a.timeStamp;
    if (change == "resultCode") b.resultCode = veskor::RcDevice;
    if (change == "labelName") b.labelName = "TAG";
    if (change == "elementCount") b.elementCount = count + 1;
    if (change == "dataType") b.dataType = DT_UINT32;
    if (change == "auxText") b.auxText = "Aux";
    if (change == "timeStamp") b.timeStamp = a.timeStamp.addDays(1);
    if (change == "accessStatus") b.accessStatus = 10;
    if (change == "auxInt") b.auxInt = 42;

    QCOMPARE(a == b, equal);
    QCOMPARE(b == a, equal);
}

void TestArithmetic::equalityReadsBothRecords()
{
    CLabelVariable a = record(DT_INT16, listVar<short>({1, -2}), 2, "x");
    CLabelVariable b(a);
    a.accessStatus = 5;
    b.accessStatus = 6;
    QVERIFY(a == b);
    QCOMPARE(a.accessStatus, 0);
    QCOMPARE(b.accessStatus, 0);

    // Unequal even to themselves: a short list, and NaN.
    CLabelVariable c = record(DT_INT32, listVar<int>({1, 2}), 3, "x");
    QVERIFY(!(c == c));
    CLabelVariable n = record(DT_DOUBLE, listVar<double>({std::numeric_limits<double>::quiet_NaN()}), 1, "x");
    QVERIFY(!(n == n));
}

QTEST_GUILESS_MAIN(TestArithmetic)
#include "tst_arithmetic.moc"
