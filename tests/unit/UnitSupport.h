// Helpers shared by the unit tests: element lists as text, so that a test
// table can state a list's element type and contents in one readable column.
#ifndef VESKOR_UNIT_SUPPORT_H
#define VESKOR_UNIT_SUPPORT_H

#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <cmath>
#include <initializer_list>

namespace unit {

inline QString text(bool b) { return b ? QStringLiteral("true") : QStringLiteral("false"); }
// char is signed on some processors and unsigned on others: show the byte.
inline QString text(char c) { return QString::number(uchar(c)); }
inline QString text(unsigned char c) { return QString::number(c); }
inline QString text(short v) { return QString::number(v); }
inline QString text(unsigned short v) { return QString::number(v); }
inline QString text(int v) { return QString::number(v); }
inline QString text(unsigned int v) { return QString::number(v); }
inline QString text(long long v) { return QString::number(v); }
inline QString text(unsigned long long v) { return QString::number(v); }
inline QString text(const QString &s) { return s; }
inline QString text(double d)
{
    if (std::isnan(d))
        return QStringLiteral("nan");
    if (d == 0)
        return std::signbit(d) ? QStringLiteral("-0") : QStringLiteral("0");
    return QString::number(d, 'g', 17);
}
inline QString text(float f)
{
    if (std::isnan(f) || f == 0)
        return text(double(f));
    return QString::number(double(f), 'g', 9);
}

template <typename T>
QStringList dumpAs(const QVariant &v)
{
    QStringList out;
    const QList<T> list = qvariant_cast<QList<T>>(v);
    for (const T &e : list)
        out << text(e);
    return out;
}

// Short name of the element type of a list held in v: "bool", "char", "uchar",
// "short", "ushort", "int", "uint", "float", "int64", "uint64", "double",
// "QString"; "invalid" or the meta type name for anything else.
inline QString listType(const QVariant &v)
{
    const int t = v.userType();
    if (!v.isValid())
        return QStringLiteral("invalid");
    if (t == qMetaTypeId<QList<bool>>()) return QStringLiteral("bool");
    if (t == qMetaTypeId<QList<char>>()) return QStringLiteral("char");
    if (t == qMetaTypeId<QList<unsigned char>>()) return QStringLiteral("uchar");
    if (t == qMetaTypeId<QList<short>>()) return QStringLiteral("short");
    if (t == qMetaTypeId<QList<unsigned short>>()) return QStringLiteral("ushort");
    if (t == qMetaTypeId<QList<int>>()) return QStringLiteral("int");
    if (t == qMetaTypeId<QList<unsigned int>>()) return QStringLiteral("uint");
    if (t == qMetaTypeId<QList<float>>()) return QStringLiteral("float");
    if (t == qMetaTypeId<QList<long long>>()) return QStringLiteral("int64");
    if (t == qMetaTypeId<QList<unsigned long long>>()) return QStringLiteral("uint64");
    if (t == qMetaTypeId<QList<double>>()) return QStringLiteral("double");
    if (t == qMetaTypeId<QList<QString>>()) return QStringLiteral("QString");
    return QString::fromLatin1(v.typeName());
}

// The elements of a list held in v as text; empty for anything else.
inline QStringList dump(const QVariant &v)
{
    const QString t = listType(v);
    if (t == QLatin1String("bool")) return dumpAs<bool>(v);
    if (t == QLatin1String("char")) return dumpAs<char>(v);
    if (t == QLatin1String("uchar")) return dumpAs<unsigned char>(v);
    if (t == QLatin1String("short")) return dumpAs<short>(v);
    if (t == QLatin1String("ushort")) return dumpAs<unsigned short>(v);
    if (t == QLatin1String("int")) return dumpAs<int>(v);
    if (t == QLatin1String("uint")) return dumpAs<unsigned int>(v);
    if (t == QLatin1String("float")) return dumpAs<float>(v);
    if (t == QLatin1String("int64")) return dumpAs<long long>(v);
    if (t == QLatin1String("uint64")) return dumpAs<unsigned long long>(v);
    if (t == QLatin1String("double")) return dumpAs<double>(v);
    if (t == QLatin1String("QString")) return dumpAs<QString>(v);
    return QStringList();
}

template <typename T>
QVariant listVar(std::initializer_list<T> elements)
{
    return QVariant::fromValue(QList<T>(elements));
}

inline QByteArray hex(const char *spaced) { return QByteArray::fromHex(QByteArray(spaced)); }

} // namespace unit

#endif
