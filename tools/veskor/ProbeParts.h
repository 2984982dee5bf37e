// The probe's parts share these: the fields of requests and answers, the
// areas in report order and the small texts of the reports. Internal to the
// veskor tool (Probe.cpp, ProbeJudge.cpp, ProbeVerdict.cpp, ProbeText.cpp).
#ifndef VESKOR_TOOL_PROBEPARTS_H
#define VESKOR_TOOL_PROBEPARTS_H

#include "Probe.h"

#include "protocol/Frames.h"
#include "driver/Tags.h"
#include "common/Areas.h"

#include <QStringList>
#include <QVector>

#include <algorithm>

namespace veskortool {
namespace probeparts {

// The fields of a read request, or of an answer long enough to hold them.
inline quint16 sequenceOf(const QByteArray &b)
{
    return veskor::sequenceOf(b.constData());
}

inline quint32 areaCodeOf(const QByteArray &b)
{
    return veskor::areaCodeOf(b.constData());
}

inline quint32 deviceIdOf(const QByteArray &b)
{
    return veskor::deviceIdOf(b.constData());
}

// "4-5": the bytes of the field of `size` bytes at `offset`.
inline QString fieldBytes(int offset, int size)
{
    return QStringLiteral("%1-%2").arg(offset).arg(offset + size - 1);
}

// `value` in `digits` hexadecimal digits, zeros in front.
inline QString hex(uint value, int digits)
{
    return QStringLiteral("%1").arg(value, digits, 16, QLatin1Char('0'));
}

inline bool isRead(const ProbeRequest &r)
{
    return r.phase != ProbeRequest::WriteTest;
}

// How long a datagram was, kept whole or cut.
inline int lengthOf(const ProbeDatagram &d)
{
    return d.bytes.size() + d.cut;
}

// Long enough for the sequence, or for a whole read answer header (the
// area code and the device id with it).
inline bool carriesSequence(const ProbeDatagram &d)
{
    return lengthOf(d) >= veskor::kSequenceOffset + veskor::kSequenceSize;
}

inline bool carriesHeader(const ProbeDatagram &d)
{
    return lengthOf(d) >= veskor::kReadAnswerHeader;
}

inline bool carriesHeader(const QByteArray &b)
{
    return b.size() >= veskor::kReadAnswerHeader;
}

inline bool sameDatagram(const ProbeDatagram &a, const ProbeDatagram &b)
{
    return a.bytes == b.bytes && a.cut == b.cut && a.digest == b.digest;
}

// Areas by number: ID1x, ID2x, ... ID23x (sorted once).
inline const QVector<veskor::AreaEntry> &areasInOrder()
{
    static const QVector<veskor::AreaEntry> areas = [] {
        int n = 0;
        const veskor::AreaEntry *table = veskor::areaTable(&n);
        QVector<veskor::AreaEntry> sorted(table, table + n);
        std::sort(sorted.begin(), sorted.end(), [](const veskor::AreaEntry &a, const veskor::AreaEntry &b) {
            return QByteArray(a.name).mid(2).chopped(1).toInt() < QByteArray(b.name).mid(2).chopped(1).toInt();
        });
        return sorted;
    }();
    return areas;
}

inline QString areaName(quint32 code)
{
    if (const veskor::AreaEntry *area = veskortools::areaByCode(code))
        return QString::fromLatin1(area->name);
    return QStringLiteral("0x") + hex(code, 8);
}

inline QString ms(double v)
{
    return QString::number(v, 'f', 3) + QStringLiteral(" ms");
}

// "4-5 8-15" for the bytes where `copies` holds `what`; "none" when none.
inline QString byteRanges(const QByteArray &copies, char what)
{
    QStringList parts;
    for (int i = 0; i < copies.size(); ++i) {
        if (copies.at(i) != what)
            continue;
        int j = i;
        while (j + 1 < copies.size() && copies.at(j + 1) == what)
            ++j;
        parts << (i == j ? QString::number(i) : QStringLiteral("%1-%2").arg(i).arg(j));
        i = j;
    }
    return parts.isEmpty() ? QStringLiteral("none") : parts.join(QLatin1Char(' '));
}

inline QString percent(int n, int of)
{
    return QString::number(of > 0 ? 100.0 * n / of : 0.0, 'f', 1) + QStringLiteral(" %");
}

inline QString shortHex(const QByteArray &b, int length)
{
    QString s = QString::fromLatin1(b.left(24).toHex());
    if (length > 24)
        s += QStringLiteral("... (%1 bytes)").arg(length);
    return s;
}

inline int repeatOf(const ProbeSettings &s)
{
    return std::max(1, s.repeat);
}

// The verdict in words: what each habit means for the driver.
void writeVerdict(const ProbeSettings &s, ProbeReport *r);

} // namespace probeparts
} // namespace veskortool

#endif
