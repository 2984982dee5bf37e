// Tag data types, typed values and result codes as the tools read and print
// them: the veskor tool's words and the gateway's payloads and JSON. Pure
// functions: no plug-in, no I/O.
#ifndef VESKOR_TOOLS_VALUES_H
#define VESKOR_TOOLS_VALUES_H

#include <QDateTime>
#include <QJsonArray>
#include <QJsonValue>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

namespace veskortool {

// An offending text in an error message: in double quotes, at most
// kQuotedChars characters of it, and "..." after the closing quote when it
// goes on.
constexpr int kQuotedChars = 80;
QString quoted(const QString &text);

// A data type from the command line: a name ("int16"), an alias ("i16",
// "short") or a decimal code ("4", "14"). Letter case does not matter. Codes
// the plug-in does not name (0, 13 and up) are accepted as they are.
bool parseType(const QString &text, int *code, QString *error);

// "bool" ... "string" for codes 1 to 12, the decimal code otherwise.
QString typeName(int code);

// True for the codes 1 to 12, the types the plug-in names.
bool isNamedType(int code);

// The accepted range of an integer type as text, e.g. "-128..255"; empty for
// types that are not integers.
QString rangeText(int code);

// A count or size from the command line: a decimal integer from 1 to INT_MAX.
// `what` names it in the error ("count", "--size").
bool parseCount(const QString &text, const QString &what, int *out, QString *error);

// Device ids for the probe's scan: decimal ids and ranges, separated by
// commas ("0,1,2,255", "0-255", "1-10,200"), each 0..4294967295; kept in the
// order given, each once; at most kMaxScanDevices of them.
constexpr int kMaxScanDevices = 4096;
bool parseDeviceList(const QString &text, QVector<quint32> *out, QString *error);

// A bool: 1/0, true/false, on/off (any letter case).
bool parseBool(const QString &text, bool *out);

// Values for a write of the given type: a QVariant holding the QList of the
// element type the plug-in expects (QList<bool>, QList<char> for int8,
// QList<unsigned char>, QList<short>, ..., QList<QString> for string). For
// codes the plug-in does not name, the texts go as a QList<QString>.
// Integers are decimal or 0x hexadecimal; int8 takes -128..255 (the wire
// byte is unsigned). Floats take decimal notation, nan, inf and -inf.
// A string write takes exactly one value, without NUL characters: a string
// field's text ends at its first zero byte, so a NUL could not be stored
// whole and is refused rather than cut. At least one value is needed.
bool parseValues(int type, const QStringList &texts, QVariant *out, QString *error);

// The longest text parseValues takes for one element of a numeric or bool
// type, leading zeros aside: "-9223372036854775808" for int64, "false" for
// bool; for float and double 32 characters (their shortest exact texts
// take at most 24, "-2.2250738585072014e-308", and the rest is room for
// more digits). 0 for string and for unnamed codes.
int longestValueText(int type);

// A write's values from JSON text: a value, an array of values, or an
// object whose key "value" holds either (other keys are skipped). Numbers
// come as the characters written, never through a double, so 64-bit
// integers keep every digit; a number written with a fraction or an
// exponent that is an exact integer of at most 20 digits comes as its
// digits ("5.0" and "5e0" as "5"). Strings come with every character their
// escapes give, NUL included; bools as "true" and "false".
enum class JsonValues { NotJson, Taken, Refused };
JsonValues valueTextsFromJson(const QByteArray &json, QStringList *texts, QString *error);

// Bytes a string value takes in its field by default: UTF-8 length + 1.
int defaultStringSize(const QString &text);

// Shortest decimal text that reads back as the same number; "nan", "inf",
// "-inf" for the special values.
QString formatFloat(float v);
QString formatDouble(double v);

// Each element of a QList value as text: bools true/false, 8-bit types as
// numbers, floats round-trip, strings quoted with \" and \\ escaped. A value
// that is not a list of a known element type gives one element: its
// QVariant text, or nothing when it is empty.
QStringList formatValues(const QVariant &value);

// The elements as JSON: numbers, except 64-bit integers of 2^53 or more in
// magnitude (as decimal strings) and nan/inf/-inf (as those strings); bools
// as true/false, strings as strings.
QJsonArray valuesToJson(const QVariant &value);
QJsonValue int64ToJson(qint64 v);
QJsonValue uint64ToJson(quint64 v);

// ISO 8601 with milliseconds and the UTC offset, "2024-05-01T08:09:10.123+02:00";
// empty for an invalid time.
QString formatTimestamp(const QDateTime &t);

// What a record's result code means ("done", "no answer", ...).
QString resultMeaning(int code);

} // namespace veskortool

#endif
