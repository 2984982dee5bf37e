// Engineering values: raw x scale + offset on the way in, and on the way
// out the raw value a controller can hold, or a refusal.
#include "common/Scaling.h"
#include "host/DataType.h"

#include <QtTest>

using veskortool::Scaling;

class tst_Scaling : public QObject
{
    Q_OBJECT

private slots:
    void check_data();
    void check();
    void raw_data();
    void raw();
};

void tst_Scaling::check_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<double>("scale");
    QTest::addColumn<double>("offset");
    QTest::addColumn<QString>("error");   // empty: taken

    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("int16 tenths") << int(DT_INT16) << 0.1 << -40.0 << "";
    QTest::newRow("double") << int(DT_DOUBLE) << 2.0 << 0.0 << "";
    QTest::newRow("bool unscaled") << int(DT_BOOL) << 1.0 << 0.0 << "";
    QTest::newRow("bool scaled") << int(DT_BOOL) << 2.0 << 0.0 << "scale and offset need a numeric type";
    QTest::newRow("string offset") << int(DT_STRING) << 1.0 << 1.0 << "scale and offset need a numeric type";
    QTest::newRow("scale 0") << int(DT_INT16) << 0.0 << 0.0 << "scale must be a finite number other than 0";
    QTest::newRow("scale inf") << int(DT_INT16) << inf << 0.0 << "scale must be a finite number other than 0";
    QTest::newRow("offset inf") << int(DT_INT16) << 1.0 << -inf << "offset must be a finite number";
}

void tst_Scaling::check()
{
    QFETCH(int, type);
    QFETCH(double, scale);
    QFETCH(double, offset);
    QFETCH(QString, error);
    Scaling s;
    s.scale = scale;
    s.offset = offset;
    QString said;
    QCOMPARE(veskortool::checkScaling(type, s, &said), error.isEmpty());
    QCOMPARE(said, error);
}

void tst_Scaling::raw_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<double>("scale");
    QTest::addColumn<double>("offset");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("raw");     // empty: refused
    QTest::addColumn<QString>("error");

    QTest::newRow("tenths") << int(DT_INT16) << 0.1 << 0.0 << "12.3" << "123" << "";
    QTest::newRow("tenths with offset") << int(DT_INT16) << 0.1 << -40.0 << "-12.5" << "275" << "";
    QTest::newRow("negative scale") << int(DT_INT32) << -2.0 << 0.0 << "10" << "-5" << "";
    QTest::newRow("not a whole step") << int(DT_INT16) << 0.1 << 0.0 << "12.34" << ""
        << "12.34 is no whole step of the scale 0.1 (raw value 123.39999999999999): the controller could not hold it";
    QTest::newRow("int16 top") << int(DT_INT16) << 0.1 << 0.0 << "3276.7" << "32767" << "";
    QTest::newRow("int16 past the top") << int(DT_INT16) << 0.1 << 0.0 << "3276.8" << ""
        << "3276.8 is raw value 32768, out of the range -32768..32767 of int16";
    QTest::newRow("uint16 below 0") << int(DT_UINT16) << 1.0 << 10.0 << "9" << ""
        << "9 is raw value -1, out of the range 0..65535 of uint16";
    QTest::newRow("int8 takes its wire byte") << int(DT_INT8) << 1.0 << 0.0 << "255" << "255" << "";
    QTest::newRow("int64 at 2^63 refused") << int(DT_INT64) << 1024.0 << 0.0 << "9444732965739290427392" << ""
        << "9444732965739290427392 is raw value 9223372036854775808, out of the range "
           "-9223372036854775808..9223372036854775807 of int64";
    QTest::newRow("float") << int(DT_FLOAT) << 0.5 << 1.0 << "2" << "2" << "";
    QTest::newRow("float past its range") << int(DT_FLOAT) << 1e-300 << 0.0 << "1" << ""
        << "1 is raw value 9.999999999999999e+299, out of the type's range";
    QTest::newRow("double fraction") << int(DT_DOUBLE) << 4.0 << 0.0 << "1" << "0.25" << "";
    QTest::newRow("not a number") << int(DT_DOUBLE) << 1.0 << 0.0 << "warm" << "" << "warm is no finite number";
    QTest::newRow("nan") << int(DT_DOUBLE) << 1.0 << 0.0 << "nan" << "" << "nan is no finite number";
}

void tst_Scaling::raw()
{
    QFETCH(int, type);
    QFETCH(double, scale);
    QFETCH(double, offset);
    QFETCH(QString, value);
    QFETCH(QString, raw);
    QFETCH(QString, error);
    Scaling s;
    s.scale = scale;
    s.offset = offset;
    QString got, said;
    QCOMPARE(veskortool::rawTextForValue(value, type, s, &got, &said), error.isEmpty());
    QCOMPARE(said, error);
    QCOMPARE(got, raw);
    // What a read of that raw value shows is the value written.
    if (!raw.isEmpty())
        QCOMPARE(veskortool::scaledValue(raw.toDouble(), s), value.toDouble());
}

QTEST_GUILESS_MAIN(tst_Scaling)
#include "tst_scaling.moc"
