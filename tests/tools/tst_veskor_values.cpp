// The host tool's type names, value parser and value/result formatting.
#include "Output.h"
#include "Probe.h"
#include "common/Values.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>

#include <cfloat>
#include <cmath>
#include <limits>
#include <random>

using namespace veskortool;

class TstVeskorValues : public QObject
{
    Q_OBJECT

private slots:
    void typeNames_data();
    void typeNames();
    void typeErrors_data();
    void typeErrors();
    void canonicalNames();

    void valuesAccepted_data();
    void valuesAccepted();
    void valuesRejected_data();
    void valuesRejected();
    void valueListTypes_data();
    void valueListTypes();
    void jsonValueTexts_data();
    void jsonValueTexts();

    void counts_data();
    void counts();
    void deviceLists_data();
    void deviceLists();
    void stringSize_data();
    void stringSize();

    void floatsRoundTrip_data();
    void floatsRoundTrip();
    void doublesRoundTrip_data();
    void doublesRoundTrip();

    void json_data();
    void json();
    void timestamps_data();
    void timestamps();
    void meanings_data();
    void meanings();

    void valuesText_data();
    void valuesText();
    void pollStats_data();
    void pollStats();
    void rttSketch_data();
    void rttSketch();
    void causes_data();
    void causes();
    void resultJsonFields();
    void table();
    void tableLayoutFromTags();
};

void TstVeskorValues::typeNames_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("code");
    const char *names[] = {"bool", "int8", "uint8", "int16", "uint16", "int32",
                           "uint32", "float", "int64", "uint64", "double", "string"};
    for (int i = 0; i < 12; ++i)
        QTest::addRow("%s", names[i]) << QString::fromLatin1(names[i]) << i + 1;
    QTest::newRow("upper case") << "INT16" << 4;
    QTest::newRow("mixed case") << "Double" << 11;
    QTest::newRow("i8") << "i8" << 2;
    QTest::newRow("u8") << "u8" << 3;
    QTest::newRow("i16") << "i16" << 4;
    QTest::newRow("u16") << "u16" << 5;
    QTest::newRow("i32") << "i32" << 6;
    QTest::newRow("u32") << "u32" << 7;
    QTest::newRow("f32") << "f32" << 8;
    QTest::newRow("i64") << "i64" << 9;
    QTest::newRow("u64") << "u64" << 10;
    QTest::newRow("f64") << "f64" << 11;
    QTest::newRow("str") << "str" << 12;
    QTest::newRow("code 0") << "0" << 0;
    QTest::newRow("code 4") << "4" << 4;
    QTest::newRow("code 13") << "13" << 13;
    QTest::newRow("code 22") << "22" << 22;
    QTest::newRow("code 40") << "40" << 40;
    QTest::newRow("code past the host's") << "41" << 41;
    QTest::newRow("largest code") << "2147483647" << 2147483647;
}

void TstVeskorValues::typeNames()
{
    QFETCH(QString, text);
    QFETCH(int, code);
    int got = -1;
    QString error;
    QVERIFY2(parseType(text, &got, &error), qPrintable(error));
    QCOMPARE(got, code);
}

void TstVeskorValues::typeErrors_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("error");
    const QString unknown = QStringLiteral(
        "unknown type \"%1\" (use bool, int8, uint8, int16, uint16, int32, uint32, float, int64, "
        "uint64, double, string or a type code)");
    QTest::newRow("unknown name") << "foo" << unknown.arg(QStringLiteral("foo"));
    QTest::newRow("name with a space") << "int 16" << unknown.arg(QStringLiteral("int 16"));
    QTest::newRow("negative code") << "-1" << unknown.arg(QStringLiteral("-1"));
    QTest::newRow("code with a sign") << "+4" << unknown.arg(QStringLiteral("+4"));
    QTest::newRow("empty") << "" << "empty type";
    QTest::newRow("code past 32 bits") << "2147483648" << "type code \"2147483648\" is too large (at most 2147483647)";
    QTest::newRow("huge code") << "99999999999999999999999" << "type code \"99999999999999999999999\" is too large (at most 2147483647)";
}

void TstVeskorValues::typeErrors()
{
    QFETCH(QString, text);
    QFETCH(QString, error);
    int code = -7;
    QString got;
    QVERIFY(!parseType(text, &code, &got));
    QCOMPARE(got, error);
    QCOMPARE(code, -7);
}

void TstVeskorValues::canonicalNames()
{
    // Every canonical name parses back to its code; unnamed codes print as numbers.
    for (int code = 1; code <= 12; ++code) {
        int back = -1;
        QString error;
        QVERIFY(parseType(typeName(code), &back, &error));
        QCOMPARE(back, code);
        QVERIFY(isNamedType(code));
    }
    QCOMPARE(typeName(0), QStringLiteral("0"));
    QCOMPARE(typeName(14), QStringLiteral("14"));
    QVERIFY(!isNamedType(0));
    QVERIFY(!isNamedType(13));
}

void TstVeskorValues::valuesAccepted_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QStringList>("printed");

    QTest::newRow("bool words") << 1 << QStringList{"1", "0", "true", "false", "on", "off"}
                                << QStringList{"true", "false", "true", "false", "true", "false"};
    QTest::newRow("bool any case") << 1 << QStringList{"TRUE", "Off", "ON"} << QStringList{"true", "false", "true"};
    // int8 takes the signed and the unsigned view of the byte; bytes print 0..255.
    QTest::newRow("int8 ends") << 2 << QStringList{"-128", "255", "-1", "0", "127"}
                               << QStringList{"128", "255", "255", "0", "127"};
    QTest::newRow("uint8 ends") << 3 << QStringList{"0", "255", "0xff", "0x0A"} << QStringList{"0", "255", "255", "10"};
    QTest::newRow("int16 ends") << 4 << QStringList{"-32768", "32767", "+5", "-0"} << QStringList{"-32768", "32767", "5", "0"};
    QTest::newRow("uint16 ends") << 5 << QStringList{"0", "65535", "0xFFFF"} << QStringList{"0", "65535", "65535"};
    QTest::newRow("int32 ends") << 6 << QStringList{"-2147483648", "2147483647"} << QStringList{"-2147483648", "2147483647"};
    QTest::newRow("uint32 ends") << 7 << QStringList{"0", "4294967295"} << QStringList{"0", "4294967295"};
    QTest::newRow("float") << 8 << QStringList{"0.1", "-2.5e10", ".5", "3.", "1e-45", "3.4028234e38"}
                           << QStringList{"0.1", "-2.5e+10", "0.5", "3", "1.4013e-45", "3.4028235e+38"};
    QTest::newRow("float specials") << 8 << QStringList{"nan", "inf", "-inf", "+Infinity", "NaN"}
                                    << QStringList{"nan", "inf", "-inf", "inf", "nan"};
    QTest::newRow("int64 ends") << 9 << QStringList{"-9223372036854775808", "9223372036854775807"}
                                << QStringList{"-9223372036854775808", "9223372036854775807"};
    QTest::newRow("uint64 ends") << 10 << QStringList{"0", "18446744073709551615", "0xFFFFFFFFFFFFFFFF"}
                                 << QStringList{"0", "18446744073709551615", "18446744073709551615"};
    QTest::newRow("double") << 11 << QStringList{"0.1", "1e-310", "-1.7976931348623157e308", "0"}
                            << QStringList{"0.1", "1e-310", "-1.7976931348623157e+308", "0"};
    QTest::newRow("string") << 12 << QStringList{"héllo \"w\"\\"} << QStringList{"\"héllo \\\"w\\\"\\\\\""};
    QTest::newRow("empty string") << 12 << QStringList{""} << QStringList{"\"\""};
    QTest::newRow("string with a control") << 12 << QStringList{"a\tb\n"} << QStringList{"\"a\\tb\\n\""};
    QTest::newRow("unnamed code goes as text") << 14 << QStringList{"7", "x"} << QStringList{"\"7\"", "\"x\""};
}

void TstVeskorValues::valuesAccepted()
{
    QFETCH(int, type);
    QFETCH(QStringList, texts);
    QFETCH(QStringList, printed);
    QVariant v;
    QString error;
    QVERIFY2(parseValues(type, texts, &v, &error), qPrintable(error));
    QCOMPARE(formatValues(v), printed);
}

void TstVeskorValues::valuesRejected_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QString>("error");

    auto range = [](const char *v, const char *type, const char *r) {
        return QStringLiteral("value \"%1\" is out of range for %2 (%3)")
            .arg(QLatin1String(v), QLatin1String(type), QLatin1String(r));
    };
    auto notInt = [](const char *v, const char *type) {
        return QStringLiteral("value \"%1\" is not an integer (%2)").arg(QLatin1String(v), QLatin1String(type));
    };
    auto notNumber = [](const char *v, const char *type) {
        return QStringLiteral("value \"%1\" is not a number (%2)").arg(QLatin1String(v), QLatin1String(type));
    };

    // Out of range at both ends of every integer type.
    QTest::newRow("int8 above") << 2 << QStringList{"256"} << range("256", "int8", "-128..255");
    QTest::newRow("int8 below") << 2 << QStringList{"-129"} << range("-129", "int8", "-128..255");
    QTest::newRow("uint8 300") << 3 << QStringList{"300"} << range("300", "uint8", "0..255");
    QTest::newRow("uint8 below") << 3 << QStringList{"-1"} << range("-1", "uint8", "0..255");
    QTest::newRow("int16 above") << 4 << QStringList{"32768"} << range("32768", "int16", "-32768..32767");
    QTest::newRow("int16 below") << 4 << QStringList{"-32769"} << range("-32769", "int16", "-32768..32767");
    QTest::newRow("uint16 above") << 5 << QStringList{"65536"} << range("65536", "uint16", "0..65535");
    QTest::newRow("uint16 hex above") << 5 << QStringList{"0x10000"} << range("0x10000", "uint16", "0..65535");
    QTest::newRow("uint16 below") << 5 << QStringList{"-1"} << range("-1", "uint16", "0..65535");
    QTest::newRow("int32 above") << 6 << QStringList{"2147483648"} << range("2147483648", "int32", "-2147483648..2147483647");
    QTest::newRow("int32 below") << 6 << QStringList{"-2147483649"} << range("-2147483649", "int32", "-2147483648..2147483647");
    QTest::newRow("uint32 above") << 7 << QStringList{"4294967296"} << range("4294967296", "uint32", "0..4294967295");
    QTest::newRow("uint32 below") << 7 << QStringList{"-1"} << range("-1", "uint32", "0..4294967295");
    QTest::newRow("int64 above") << 9 << QStringList{"9223372036854775808"}
                                 << range("9223372036854775808", "int64", "-9223372036854775808..9223372036854775807");
    QTest::newRow("int64 below") << 9 << QStringList{"-9223372036854775809"}
                                 << range("-9223372036854775809", "int64", "-9223372036854775808..9223372036854775807");
    QTest::newRow("uint64 above") << 10 << QStringList{"18446744073709551616"}
                                  << range("18446744073709551616", "uint64", "0..18446744073709551615");
    QTest::newRow("uint64 far above") << 10 << QStringList{"99999999999999999999999"}
                                      << range("99999999999999999999999", "uint64", "0..18446744073709551615");
    QTest::newRow("uint64 below") << 10 << QStringList{"-1"} << range("-1", "uint64", "0..18446744073709551615");
    QTest::newRow("float above") << 8 << QStringList{"3.5e38"} << range("3.5e38", "float", "magnitude 1.4e-45 to 3.40282347e+38, or 0");
    QTest::newRow("float below") << 8 << QStringList{"-1e39"} << range("-1e39", "float", "magnitude 1.4e-45 to 3.40282347e+38, or 0");
    QTest::newRow("float vanishes") << 8 << QStringList{"1e-50"} << range("1e-50", "float", "magnitude 1.4e-45 to 3.40282347e+38, or 0");
    QTest::newRow("double above") << 11 << QStringList{"1e309"} << range("1e309", "double", "magnitude 4.9e-324 to 1.7976931348623157e+308, or 0");
    QTest::newRow("double vanishes") << 11 << QStringList{"1e-400"} << range("1e-400", "double", "magnitude 4.9e-324 to 1.7976931348623157e+308, or 0");

    // Not numbers.
    QTest::newRow("int16 abc") << 4 << QStringList{"abc"} << notInt("abc", "int16");
    QTest::newRow("int32 fraction") << 6 << QStringList{"1.5"} << notInt("1.5", "int32");
    QTest::newRow("uint8 trailing junk") << 3 << QStringList{"12abc"} << notInt("12abc", "uint8");
    QTest::newRow("int64 empty") << 9 << QStringList{""} << notInt("", "int64");
    QTest::newRow("uint32 bare 0x") << 7 << QStringList{"0x"} << notInt("0x", "uint32");
    QTest::newRow("int8 space") << 2 << QStringList{" 1"} << notInt(" 1", "int8");
    QTest::newRow("uint64 exponent") << 10 << QStringList{"1e3"} << notInt("1e3", "uint64");
    QTest::newRow("float abc") << 8 << QStringList{"abc"} << notNumber("abc", "float");
    QTest::newRow("float decimal comma") << 8 << QStringList{"1,5"} << notNumber("1,5", "float");
    QTest::newRow("double hex") << 11 << QStringList{"0x1p3"} << notNumber("0x1p3", "double");
    QTest::newRow("double empty") << 11 << QStringList{""} << notNumber("", "double");

    const QString notBool = QStringLiteral("value \"%1\" is not a bool (use 1/0, true/false or on/off)");
    QTest::newRow("bool 2") << 1 << QStringList{"2"} << notBool.arg(QStringLiteral("2"));
    QTest::newRow("bool yes") << 1 << QStringList{"yes"} << notBool.arg(QStringLiteral("yes"));
    QTest::newRow("bool empty") << 1 << QStringList{""} << notBool.arg(QString());

    // The first bad value of a list is named.
    QTest::newRow("second of three") << 4 << QStringList{"1", "x", "y"} << notInt("x", "int16");

    // Too few and too many values.
    QTest::newRow("no value") << 4 << QStringList{} << "no value to write";
    QTest::newRow("no string") << 12 << QStringList{} << "no value to write";
    QTest::newRow("two strings") << 12 << QStringList{"a", "b"}
                                 << "a string write takes one value, got 2 (quote text with spaces)";
    // Read back, the field's text would end at the zero byte: refused, not cut.
    QTest::newRow("string with NUL") << 12 << QStringList{QStringLiteral("a") + QChar(0) + QStringLiteral("b")}
                                     << "text \"a\\u0000b\" holds a NUL character: a string field ends at its "
                                        "first zero byte, so it cannot be stored whole";
}

void TstVeskorValues::valuesRejected()
{
    QFETCH(int, type);
    QFETCH(QStringList, texts);
    QFETCH(QString, error);
    QVariant v;
    QString got;
    QVERIFY(!parseValues(type, texts, &v, &got));
    QCOMPARE(got, error);
}

void TstVeskorValues::jsonValueTexts_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<int>("result");          // veskortool::JsonValues
    QTest::addColumn<QStringList>("texts");   // Taken: the texts; Refused: the error
    const int taken = int(JsonValues::Taken), refused = int(JsonValues::Refused), notJson = int(JsonValues::NotJson);
    QTest::newRow("digits as written") << QByteArray("9007199254740993") << taken << QStringList{"9007199254740993"};
    QTest::newRow("past 64 bits, still as written") << QByteArray("-99999999999999999999999") << taken
                                                    << QStringList{"-99999999999999999999999"};
    QTest::newRow("exact integers with fraction or exponent") << QByteArray("[5.0, -1.20e1, 1e19, 0.0e5, -0]") << taken
                                                              << QStringList{"5", "-12", "10000000000000000000", "0", "-0"};
    QTest::newRow("not integers stay as written") << QByteArray("[1.5, 1e-3, 1e21]") << taken
                                                  << QStringList{"1.5", "1e-3", "1e21"};
    QTest::newRow("object") << QByteArray(R"( {"ts": [1, {"a": null}], "value": [true, "x"]} )") << taken
                            << QStringList{"true", "x"};
    QTest::newRow("escapes") << QByteArray(R"("\"\\\/\b\f\n\r\t\u0041\u0000")") << taken
                             << QStringList{QStringLiteral("\"\\/\b\f\n\r\tA") + QChar(0)};
    QTest::newRow("empty array") << QByteArray("[]") << taken << QStringList();
    QTest::newRow("nested") << QByteArray("[1, [2]]") << refused << QStringList{"values are numbers, true/false or strings"};
    QTest::newRow("no value key") << QByteArray(R"({"v": 1})") << refused << QStringList{"a JSON object needs the key \"value\""};
    QTest::newRow("plain list") << QByteArray("1, 2") << notJson << QStringList();
    QTest::newRow("leading zero") << QByteArray("012") << notJson << QStringList();
    QTest::newRow("lone surrogate") << QByteArray(R"("\ud800")") << notJson << QStringList();
    QTest::newRow("raw control in string") << QByteArray("\"a\tb\"") << notJson << QStringList();
    QTest::newRow("too deep") << QByteArray(40, '[') + QByteArray(40, ']') << notJson << QStringList();
    QTest::newRow("trailing junk") << QByteArray("1 x") << notJson << QStringList();
}

// JSON read exactly: numbers keep their digits, strings every character.
void TstVeskorValues::jsonValueTexts()
{
    QFETCH(QByteArray, json);
    QFETCH(int, result);
    QFETCH(QStringList, texts);
    QStringList got;
    QString error;
    QCOMPARE(int(valueTextsFromJson(json, &got, &error)), result);
    if (result == int(JsonValues::Taken))
        QCOMPARE(got, texts);
    else if (result == int(JsonValues::Refused))
        QCOMPARE(error, texts.value(0));
}

void TstVeskorValues::valueListTypes_data()
{
    // The list type the plug-in expects for each element type.
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("listType");
    QTest::newRow("bool") << 1 << "1" << qMetaTypeId<QList<bool>>();
    QTest::newRow("int8") << 2 << "-1" << qMetaTypeId<QList<char>>();
    QTest::newRow("uint8") << 3 << "1" << qMetaTypeId<QList<unsigned char>>();
    QTest::newRow("int16") << 4 << "1" << qMetaTypeId<QList<short>>();
    QTest::newRow("uint16") << 5 << "1" << qMetaTypeId<QList<unsigned short>>();
    QTest::newRow("int32") << 6 << "1" << qMetaTypeId<QList<int>>();
    QTest::newRow("uint32") << 7 << "1" << qMetaTypeId<QList<unsigned int>>();
    QTest::newRow("float") << 8 << "1" << qMetaTypeId<QList<float>>();
    QTest::newRow("int64") << 9 << "1" << qMetaTypeId<QList<long long>>();
    QTest::newRow("uint64") << 10 << "1" << qMetaTypeId<QList<unsigned long long>>();
    QTest::newRow("double") << 11 << "1" << qMetaTypeId<QList<double>>();
    QTest::newRow("string") << 12 << "1" << qMetaTypeId<QList<QString>>();
}

void TstVeskorValues::valueListTypes()
{
    QFETCH(int, type);
    QFETCH(QString, text);
    QFETCH(int, listType);
    QVariant v;
    QString error;
    QVERIFY(parseValues(type, {text}, &v, &error));
    QCOMPARE(v.userType(), listType);
}

void TstVeskorValues::counts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("count");     // -1: rejected
    QTest::addColumn<QString>("error");
    QTest::newRow("one") << "1" << 1 << QString();
    QTest::newRow("plus sign") << "+3" << 3 << QString();
    QTest::newRow("largest") << "2147483647" << 2147483647 << QString();
    QTest::newRow("abc") << "abc" << -1 << "count \"abc\" is not a number";
    QTest::newRow("empty") << "" << -1 << "count \"\" is not a number";
    QTest::newRow("fraction") << "1.5" << -1 << "count \"1.5\" is not a number";
    QTest::newRow("leading space") << " 3" << -1 << "count \" 3\" is not a number";
    QTest::newRow("hex") << "0x10" << -1 << "count \"0x10\" is not a number";
    QTest::newRow("zero") << "0" << -1 << "count must be at least 1, got \"0\"";
    QTest::newRow("negative") << "-1" << -1 << "count must be at least 1, got \"-1\"";
    QTest::newRow("past int") << "2147483648" << -1 << "count \"2147483648\" is too large (at most 2147483647)";
    QTest::newRow("past 64 bits") << "99999999999999999999" << -1
                                  << "count \"99999999999999999999\" is too large (at most 2147483647)";
}

void TstVeskorValues::counts()
{
    QFETCH(QString, text);
    QFETCH(int, count);
    QFETCH(QString, error);
    int got = -5;
    QString message;
    QCOMPARE(parseCount(text, QStringLiteral("count"), &got, &message), count >= 0);
    if (count >= 0)
        QCOMPARE(got, count);
    else
        QCOMPARE(message, error);
}

void TstVeskorValues::deviceLists_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("ids");     // as deviceListText writes them; empty: refused
    QTest::addColumn<QString>("error");
    QTest::newRow("list") << "0,1,2,255" << "0, 1, 2, 255" << QString();
    QTest::newRow("runs of four") << "9,1-4,6" << "9, 1-4, 6" << QString();
    QTest::newRow("range") << "0-255" << "0-255" << QString();
    QTest::newRow("repeats once, order kept") << "7, 3-4,7,0-1" << "7, 3, 4, 0, 1" << QString();
    QTest::newRow("largest id") << "4294967294-4294967295" << "4294967294, 4294967295" << QString();
    QTest::newRow("backwards") << "9-3" << QString() << "--scan-devices \"9-3\": the range 9-3 runs backwards";
    QTest::newRow("past 32 bits") << "4294967296" << QString() << "--scan-devices \"4294967296\": a device id is 0..4294967295";
    QTest::newRow("too many") << "0-4096" << QString() << "--scan-devices \"0-4096\": at most 4096 device ids";
    QTest::newRow("word") << "all" << QString()
                          << "--scan-devices \"all\": want device ids and ranges such as 0,1,2,255 or 0-255";
    QTest::newRow("empty item") << "1,,2" << QString()
                                << "--scan-devices \"1,,2\": want device ids and ranges such as 0,1,2,255 or 0-255";
}

void TstVeskorValues::deviceLists()
{
    QFETCH(QString, text);
    QFETCH(QString, ids);
    QFETCH(QString, error);
    QVector<quint32> got;
    QString message;
    QCOMPARE(parseDeviceList(text, &got, &message), !ids.isEmpty());
    if (ids.isEmpty())
        QCOMPARE(message, error);
    else
        QCOMPARE(deviceListText(got), ids);
}

void TstVeskorValues::stringSize_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("size");
    QTest::newRow("empty") << "" << 1;
    QTest::newRow("ascii") << "hello" << 6;
    QTest::newRow("two-byte UTF-8") << "héllo" << 7;
    QTest::newRow("three-byte UTF-8") << QString::fromUtf8("\xe6\xb8\xa9") << 4;
}

void TstVeskorValues::stringSize()
{
    QFETCH(QString, text);
    QFETCH(int, size);
    QCOMPARE(defaultStringSize(text), size);
}

void TstVeskorValues::floatsRoundTrip_data()
{
    QTest::addColumn<float>("value");
    QTest::newRow("0.1") << 0.1f;
    QTest::newRow("1/3") << 1.0f / 3.0f;
    QTest::newRow("max") << FLT_MAX;
    QTest::newRow("min normal") << FLT_MIN;
    QTest::newRow("smallest denormal") << std::numeric_limits<float>::denorm_min();
    QTest::newRow("2^24 + 2") << 16777218.0f;
    QTest::newRow("negative") << -123.456f;
    QTest::newRow("pi") << 3.14159265f;
    QTest::newRow("next after 1") << std::nextafter(1.0f, 2.0f);
}

void TstVeskorValues::floatsRoundTrip()
{
    // What is printed reads back as the same float, through the parser too.
    QFETCH(float, value);
    const QString text = formatFloat(value);
    QVariant v;
    QString error;
    QVERIFY2(parseValues(8, {text}, &v, &error), qPrintable(error));
    QCOMPARE(v.value<QList<float>>().value(0), value);
    const QJsonArray json = valuesToJson(QVariant::fromValue(QList<float>{value}));
    QCOMPARE(float(json.at(0).toDouble()), value);
}

void TstVeskorValues::doublesRoundTrip_data()
{
    QTest::addColumn<double>("value");
    QTest::newRow("0.1") << 0.1;
    QTest::newRow("1/3") << 1.0 / 3.0;
    QTest::newRow("max") << DBL_MAX;
    QTest::newRow("denormal") << std::numeric_limits<double>::denorm_min();
    QTest::newRow("2^53 + 2") << 9007199254740994.0;
    QTest::newRow("next after 1") << std::nextafter(1.0, 2.0);
}

void TstVeskorValues::doublesRoundTrip()
{
    QFETCH(double, value);
    const QString text = formatDouble(value);
    QVariant v;
    QString error;
    QVERIFY2(parseValues(11, {text}, &v, &error), qPrintable(error));
    QCOMPARE(v.value<QList<double>>().value(0), value);
}

void TstVeskorValues::json_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QByteArray>("json");
    const qint64 p53 = qint64(1) << 53;
    QTest::newRow("int64 inside 2^53") << QVariant::fromValue(QList<long long>{p53 - 1, -(p53 - 1), 0})
                                       << QByteArray("[9007199254740991,-9007199254740991,0]");
    QTest::newRow("int64 at 2^53") << QVariant::fromValue(QList<long long>{p53, -p53})
                                   << QByteArray("[\"9007199254740992\",\"-9007199254740992\"]");
    QTest::newRow("int64 ends") << QVariant::fromValue(QList<long long>{LLONG_MIN, LLONG_MAX})
                                << QByteArray("[\"-9223372036854775808\",\"9223372036854775807\"]");
    QTest::newRow("uint64") << QVariant::fromValue(QList<unsigned long long>{quint64(p53) - 1, quint64(p53), ULLONG_MAX})
                            << QByteArray("[9007199254740991,\"9007199254740992\",\"18446744073709551615\"]");
    QTest::newRow("uint32 max") << QVariant::fromValue(QList<unsigned int>{4294967295u}) << QByteArray("[4294967295]");
    QTest::newRow("int8 as bytes") << QVariant::fromValue(QList<char>{char(-1), 5}) << QByteArray("[255,5]");
    QTest::newRow("float specials") << QVariant::fromValue(QList<float>{std::nanf(""), HUGE_VALF, -HUGE_VALF, 0.1f})
                                    << QByteArray("[\"nan\",\"inf\",\"-inf\",0.1]");
    QTest::newRow("double specials") << QVariant::fromValue(QList<double>{std::nan(""), -HUGE_VAL, 2.5})
                                     << QByteArray("[\"nan\",\"-inf\",2.5]");
    QTest::newRow("bools") << QVariant::fromValue(QList<bool>{true, false}) << QByteArray("[true,false]");
    QTest::newRow("strings") << QVariant::fromValue(QList<QString>{QStringLiteral("a\"b"), QString()})
                             << QByteArray("[\"a\\\"b\",\"\"]");
    QTest::newRow("no value") << QVariant() << QByteArray("[]");
}

void TstVeskorValues::json()
{
    QFETCH(QVariant, value);
    QFETCH(QByteArray, json);
    QCOMPARE(QJsonDocument(valuesToJson(value)).toJson(QJsonDocument::Compact), json);
}

void TstVeskorValues::timestamps_data()
{
    QTest::addColumn<QDateTime>("time");
    QTest::addColumn<QString>("text");
    const QDate d(2024, 5, 1);
    const QTime t(8, 9, 10, 7);
    QTest::newRow("east") << QDateTime(d, t, Qt::OffsetFromUTC, 2 * 3600) << "2024-05-01T08:09:10.007+02:00";
    QTest::newRow("utc") << QDateTime(d, t, Qt::UTC) << "2024-05-01T08:09:10.007+00:00";
    QTest::newRow("west, half hour") << QDateTime(d, t, Qt::OffsetFromUTC, -(3 * 3600 + 1800))
                                     << "2024-05-01T08:09:10.007-03:30";
    QTest::newRow("invalid") << QDateTime() << QString();
}

void TstVeskorValues::timestamps()
{
    QFETCH(QDateTime, time);
    QFETCH(QString, text);
    QCOMPARE(formatTimestamp(time), text);
}

void TstVeskorValues::meanings_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("meaning");
    QTest::newRow("0") << 0 << "done";
    QTest::newRow("1") << 1 << "nothing done";
    QTest::newRow("2") << 2 << "unsupported type";
    QTest::newRow("3") << 3 << "no area in the tag name";
    QTest::newRow("4") << 4 << "bad length";
    QTest::newRow("7") << 7 << "device error";
    QTest::newRow("8") << 8 << "no answer";
    QTest::newRow("9") << 9 << "no socket";
    QTest::newRow("5") << 5 << "unknown result code";
}

void TstVeskorValues::meanings()
{
    QFETCH(int, code);
    QFETCH(QString, meaning);
    QCOMPARE(resultMeaning(code), meaning);
}

void TstVeskorValues::valuesText_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("numbers") << QVariant::fromValue(QList<short>{1, -2, 3}) << "1 -2 3";
    QTest::newRow("nothing") << QVariant() << "(none)";
    QTest::newRow("empty list") << QVariant::fromValue(QList<int>()) << "(none)";
    QTest::newRow("string field") << QVariant::fromValue(QList<QString>{"hi", "", "", ""}) << "\"hi\" (+3 empty)";
    QTest::newRow("all empty") << QVariant::fromValue(QList<QString>{"", ""}) << "\"\" (+1 empty)";
    QTest::newRow("inner empty kept") << QVariant::fromValue(QList<QString>{"a", "", "b"}) << "\"a\" \"\" \"b\"";
}

void TstVeskorValues::valuesText()
{
    QFETCH(QVariant, value);
    QFETCH(QString, text);
    QCOMPARE(veskortool::valuesText(value), text);
}

void TstVeskorValues::pollStats_data()
{
    // Reads as "code/rtt" words; a tag given to add() when withTag.
    QTest::addColumn<QString>("tag");
    QTest::addColumn<QString>("reads");
    QTest::addColumn<bool>("withTag");
    QTest::addColumn<QString>("summary");
    QTest::addColumn<QString>("rttJson");    // min/median/p99/max of summaryJson; empty: none
    QTest::newRow("none") << "ID4x0" << "" << false << "poll ID4x0: 0 reads, 0 failed\n" << "";
    QTest::newRow("all answered") << "ID4x0" << "0/3 0/1 0/2" << false
                                  << "poll ID4x0: 3 reads, 0 failed; round trip ms min 1.000, median 2.000, max 3.000\n"
                                  << "1/2/3/3";
    // A read without an answer has no round trip; a device error came.
    QTest::newRow("timeouts and a device error")
        << "ID4x0" << "0/3 8/2001.5 0/1 8/2000 7/0.5" << false
        << "poll ID4x0: 5 reads, 3 failed (1 x device error (7), 2 x no answer (8)); round trip ms over the 3 "
           "answered: min 0.500, median 1.000, max 3.000\n"
        << "0.5/1/3/3";
    QTest::newRow("port closed") << "ID4x0" << "8/0.4 8/0.2" << false
                                 << "poll ID4x0: 2 reads, 2 failed (2 x port closed (8)); no round trip: none answered\n"
                                 << "";
    QTest::newRow("refused before sending") << "ID4X0" << "4/0.001 4/0.002" << false
        << "poll ID4X0: 2 reads, 2 failed (2 x not sent (4): the area name needs a lower-case x (ID4x0, not "
           "ID4X0)); no round trip: none answered\n"
        << "";
    QTest::newRow("refused, tag known") << "Q7" << "3/0.001" << true
        << "poll Q7: 1 read, 1 failed (1 x not sent (3): no area name (ID1x to ID23x) in \"Q7\"); no round trip: "
           "none answered\n"
        << "";
    // Code 4 of a tag that is sent: an answer came, too short.
    QTest::newRow("too short") << "ID4x2000" << "4/0.3 0/0.1" << false
        << "poll ID4x2000: 2 reads, 1 failed (1 x too short (4)); round trip ms min 0.100, median 0.200, max 0.300\n"
        << "0.1/0.2/0.3/0.3";
    QString hundred;
    for (int i = 1; i <= 100; ++i)
        hundred += QStringLiteral("0/%1 ").arg(i);
    // Past 16 answers the median and p99 come from the histogram: 50.5 and
    // 99 exactly, within their buckets here.
    QTest::newRow("p99 from 100 answers") << "ID4x0" << hundred.trimmed() << true
        << "poll ID4x0: 100 reads, 0 failed; round trip ms min 1.000, median 49.571, p99 98.585, max 100.000\n"
        << "1/49.571/98.585/100";
}

void TstVeskorValues::pollStats()
{
    QFETCH(QString, tag);
    QFETCH(QString, reads);
    QFETCH(bool, withTag);
    QFETCH(QString, summary);
    QFETCH(QString, rttJson);
    PollStats s;
    for (const QString &w : reads.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const int code = w.section(QLatin1Char('/'), 0, 0).toInt();
        const double rtt = w.section(QLatin1Char('/'), 1).toDouble();
        if (!withTag) {
            s.add(code, rtt);
            continue;
        }
        Result r;
        r.kind = Result::Poll;
        r.tag = tag;
        r.type = 4;
        r.count = 1;
        r.code = code;
        r.rttMs = rtt;
        s.add(r);
    }
    QCOMPARE(s.summary(tag), summary);
    const QJsonObject o = QJsonDocument::fromJson(s.summaryJson(tag).toUtf8()).object();
    QCOMPARE(o.value("reads").toInt(), s.reads());
    const QJsonObject rtt = o.value("rttMs").toObject();
    QCOMPARE(rtt.isEmpty() ? QString() : QStringLiteral("%1/%2/%3/%4").arg(rtt.value("min").toDouble())
                                             .arg(rtt.value("median").toDouble()).arg(rtt.value("p99").toDouble())
                                             .arg(rtt.value("max").toDouble()),
             rttJson);
    // The monitor's figures: none without an answer.
    QCOMPARE(std::isnan(s.minRtt()), s.answered() == 0);
}

void TstVeskorValues::rttSketch_data()
{
    // Round trips in ms drawn with a fixed seed: kind, how many, and the
    // two parameters of the draw.
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("n");
    QTest::addColumn<double>("a");
    QTest::addColumn<double>("b");
    QTest::newRow("few, exact") << "uniform" << 16 << 0.02 << 0.2;
    QTest::newRow("loopback") << "uniform" << 1000 << 0.02 << 0.2;
    QTest::newRow("field, log-normal") << "lognormal" << 5000 << std::log(5.0) << 0.6;
    QTest::newRow("one in a hundred slow") << "twogroups" << 20000 << 0.1 << 50.0;
    QTest::newRow("counters halved many times") << "lognormal" << 300000 << std::log(0.3) << 0.3;
}

void TstVeskorValues::rttSketch()
{
    QFETCH(QString, kind);
    QFETCH(int, n);
    QFETCH(double, a);
    QFETCH(double, b);
    std::mt19937 random(12345);
    std::uniform_real_distribution<double> uniform(a, b);
    std::lognormal_distribution<double> lognormal(a, b);
    std::uniform_int_distribution<int> percent(0, 99);
    QVector<double> all;
    RttSketch sketch;
    for (int i = 0; i < n; ++i) {
        double ms = kind == "uniform" ? uniform(random) : kind == "lognormal" ? lognormal(random)
                                                                              : (percent(random) == 0 ? b : a);
        ms = std::round(ms * 1000.0) / 1000.0;   // the sketch keeps microseconds
        all.append(ms);
        sketch.add(ms);
    }
    std::sort(all.begin(), all.end());
    const auto rank = [&all](double q) { return all.at(std::max(0, int(std::ceil(q * all.size())) - 1)); };
    QCOMPARE(sketch.count(), n);
    QCOMPARE(sketch.min(), all.first());
    QCOMPARE(sketch.max(), all.last());
    if (sketch.exact()) {
        QCOMPARE(sketch.quantile(0.99), rank(0.99));
        QCOMPARE(sketch.median(), (all.at(n / 2 - 1) + all.at(n / 2)) / 2.0);
        return;
    }
    // From the histogram: in the true value's bucket or next to it, less
    // than a fifth off.
    for (const double q : {0.5, 0.9, 0.99}) {
        const double got = sketch.quantile(q);
        QVERIFY2(std::abs(got - rank(q)) < 0.19 * rank(q),
                 qPrintable(QStringLiteral("q %1: %2, exact %3").arg(q).arg(got).arg(rank(q))));
    }
    QCOMPARE(sketch.median(), sketch.quantile(0.5));
}

void TstVeskorValues::causes_data()
{
    QTest::addColumn<int>("kind");           // Result::Kind
    QTest::addColumn<QString>("tag");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("code");
    QTest::addColumn<double>("rttMs");       // -1: not timed
    QTest::addColumn<int>("answerBytes");    // -1: not seen
    QTest::addColumn<QString>("cause");      // the cause line of resultText
    const int read = Result::Read, poll = Result::Poll, write = Result::Write;
    QTest::newRow("capital X") << read << "ID4X0" << 4 << 1 << 4 << -1.0 << -1
        << "not sent: the area name needs a lower-case x (ID4x0, not ID4X0)";
    QTest::newRow("capital X, two-digit area") << read << "ID14X20" << 4 << 1 << 4 << -1.0 << -1
        << "not sent: the area name needs a lower-case x (ID14x20, not ID14X20)";
    QTest::newRow("no address") << read << "ID4x" << 4 << 1 << 4 << -1.0 << -1
        << "not sent: no address after the x (e.g. ID4x0)";
    QTest::newRow("address not decimal") << read << "ID4x1A" << 4 << 1 << 4 << -1.0 << -1
        << "not sent: the address after the first lower-case x, \"1A\", is not a decimal number";
    QTest::newRow("address past 31 bits") << read << "ID4x2147483648" << 4 << 1 << 4 << -1.0 << -1
        << "not sent: the address 2147483648 is 2^31 or more";
    QTest::newRow("no area") << read << "Q7" << 4 << 1 << 3 << -1.0 << -1
        << "not sent: no area name (ID1x to ID23x) in \"Q7\"";
    QTest::newRow("type 0") << read << "ID4x0" << 0 << 1 << 2 << -1.0 << -1 << "not sent: type 0 names no type";
    QTest::newRow("past the image, answer seen") << read << "ID4x2000" << 4 << 1 << 4 << -1.0 << 1040
        << "too short: ID4x2000 needs bytes 2000-2001; the controller's ID4x image is 1024 bytes";
    QTest::newRow("past the image, answer not seen") << read << "ID4x2000" << 4 << 1 << 4 << -1.0 << -1
        << "too short: ID4x2000 needs bytes 2000-2001; the controller's ID4x answer does not reach them";
    QTest::newRow("answer shorter than a header") << poll << "ID1x0" << 3 << 1 << 4 << 0.2 << 8
        << "too short: the answer is 8 bytes, shorter than the 16-byte header";
    QTest::newRow("port closed") << poll << "ID4x0" << 4 << 1 << 8 << 0.213 << -1
        << "port closed: the controller's host refused the request after 0.213 ms, long before the driver's 2 s wait";
    QTest::newRow("no answer") << poll << "ID4x0" << 4 << 1 << 8 << 2000.638 << -1
        << "no answer: nothing came within 2000.638 ms";
    QTest::newRow("no answer, not timed") << read << "ID4x0" << 4 << 1 << 8 << -1.0 << -1
        << "no answer: nothing came within the driver's 2 s wait, or the port is closed (this call was not timed)";
    QTest::newRow("device error") << read << "ID4x0" << 4 << 1 << 7 << -1.0 << -1
        << "device error: an answer came, but no read answer for this device id (its first byte is not 'M', or "
           "bytes 12-14 are not the request's)";
    QTest::newRow("write past 24 bits") << write << "ID4x16777216" << 4 << 1 << 4 << -1.0 << -1
        << "not sent: address 16777216 is past 16777215, the most a write request carries";
}

void TstVeskorValues::causes()
{
    QFETCH(int, kind);
    QFETCH(QString, tag);
    QFETCH(int, type);
    QFETCH(int, count);
    QFETCH(int, code);
    QFETCH(double, rttMs);
    QFETCH(int, answerBytes);
    QFETCH(QString, cause);
    Result r;
    r.kind = Result::Kind(kind);
    r.tag = tag;
    r.type = type;
    r.count = count;
    r.code = code;
    r.rttMs = rttMs;
    r.answerBytes = answerBytes;
    const QStringList lines = resultText(r).split(QLatin1Char('\n')).filter(QRegularExpression(QStringLiteral("^cause ")));
    QCOMPARE(lines, QStringList{QStringLiteral("cause   ") + cause});
    // The same in JSON; a poll read without an answer has no round trip.
    const QJsonObject o = QJsonDocument::fromJson(resultJson(r).toUtf8()).object();
    QCOMPARE(o.value("cause").toString() + QStringLiteral(": ") + o.value("causeText").toString(), cause);
    if (r.kind == Result::Poll)
        QCOMPARE(o.value("rttMs").isNull(), !causeOf(r).answered);
    QVERIFY(pollLineText(r).contains(cause));
}

void TstVeskorValues::resultJsonFields()
{
    Result r;
    r.kind = Result::Poll;
    r.tag = QStringLiteral("ID4x10");
    r.type = 9;
    r.count = 2;
    r.code = 0;
    r.value = QVariant::fromValue(QList<long long>{-5, LLONG_MIN});
    r.timeStamp = QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5, 600), Qt::OffsetFromUTC, 3600);
    r.rttMs = 0.12345;
    const QJsonObject o = QJsonDocument::fromJson(resultJson(r).toUtf8()).object();
    QCOMPARE(o.value("command").toString(), QStringLiteral("poll"));
    QCOMPARE(o.value("tag").toString(), QStringLiteral("ID4x10"));
    QCOMPARE(o.value("type").toString(), QStringLiteral("int64"));
    QCOMPARE(o.value("typeCode").toInt(), 9);
    QCOMPARE(o.value("count").toInt(), 2);
    QCOMPARE(o.value("resultCode").toInt(), 0);
    QCOMPARE(o.value("meaning").toString(), QStringLiteral("done"));
    QCOMPARE(o.value("values").toArray().at(0).toDouble(), -5.0);
    QCOMPARE(o.value("values").toArray().at(1).toString(), QStringLiteral("-9223372036854775808"));
    QCOMPARE(o.value("timeStamp").toString(), QStringLiteral("2024-01-02T03:04:05.600+01:00"));
    QCOMPARE(o.value("rttMs").toDouble(), 0.123);

    // A record without a time stamp gives null; only polls have rttMs.
    r.kind = Result::Read;
    r.timeStamp = QDateTime();
    r.code = 8;
    r.value = QVariant();
    const QJsonObject read = QJsonDocument::fromJson(resultJson(r).toUtf8()).object();
    QVERIFY(read.value("timeStamp").isNull());
    QVERIFY(!read.contains("rttMs"));
    QCOMPARE(read.value("meaning").toString(), QStringLiteral("no answer"));
    QCOMPARE(read.value("values").toArray().size(), 0);

    const QJsonObject info = QJsonDocument::fromJson(infoJson("n", "v", "b").toUtf8()).object();
    QCOMPARE(info.value("name").toString(), QStringLiteral("n"));
    QCOMPARE(info.value("version").toString(), QStringLiteral("v"));
    QCOMPARE(info.value("buildVersion").toString(), QStringLiteral("b"));
}

void TstVeskorValues::table()
{
    Result a;
    a.tag = QStringLiteral("ID4x10");
    a.type = 4;
    a.count = 3;
    a.code = 0;
    a.value = QVariant::fromValue(QList<short>{1, -2, 3});
    Result b;
    b.tag = QStringLiteral("Q1");
    b.type = 8;
    b.count = 1;
    b.code = 3;
    QCOMPARE(tableText({a, b}),
             QStringLiteral("TAG     TYPE   COUNT  CODE  MEANING                  VALUES\n"
                            "ID4x10  int16  3      0     done                     1 -2 3\n"
                            "Q1      float  1      3     no area in the tag name  (none)\n"));
}

// A table whose rows go out as their reads end: its columns come from the
// tags, so every row, done or failed, puts its values where the header says.
void TstVeskorValues::tableLayoutFromTags()
{
    TableLayout layout;
    layout.addTag("Speed", "ID4x0", 4, 2, true);
    layout.addTag(QString(), "ID4x100", 12, 3, true);
    const QString header = QString::fromUtf8(layout.header());
    QCOMPARE(header, QStringLiteral("NAME   TAG      TYPE    COUNT  CODE  MEANING                  HEX        VALUES\n"));
    Result done;
    done.tag = "ID4x0";
    done.name = "Speed";
    done.type = 4;
    done.count = 2;
    done.code = 0;
    done.showHex = true;
    done.wire = QByteArray::fromHex("04000500");
    done.elementBytes = 2;
    done.value = QVariant::fromValue(QList<short>{4, 5});
    Result failed;
    failed.tag = "ID4x100";
    failed.type = 12;
    failed.count = 3;
    failed.code = 8;
    failed.showHex = true;
    for (const Result &r : {done, failed}) {
        const QString row = QString::fromUtf8(layout.row(r));
        QCOMPARE(row.indexOf(veskortool::valuesText(r.value)), int(header.indexOf("VALUES")));
        QCOMPARE(row.indexOf(resultMeaning(r.code)), int(header.indexOf("MEANING")));
    }
    QCOMPARE(QString::fromUtf8(layout.row(done)),
             QStringLiteral("Speed  ID4x0    int16   2      0     done                     0400 0500  4 5\n"));
}

QTEST_GUILESS_MAIN(TstVeskorValues)
#include "tst_veskor_values.moc"
