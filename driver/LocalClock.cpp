#include "driver/LocalClock.h"

#include <QtEndian>

#include <cstring>

namespace veskor {

namespace {

// QDateTime's compact form on 64-bit little-endian builds: bits 0-7 status
// (bit 0: compact; bits 1-3: date, time and date-time valid), bits 8-63 the
// milliseconds since 1970 in its own time zone setting, local time here.
constexpr quint64 kCompactValid = 0x0F;

bool compactFormPossible()
{
    return sizeof(void *) == 8 && sizeof(QDateTime) == sizeof(quint64)
        && QSysInfo::ByteOrder == QSysInfo::LittleEndian;
}

quint64 bitsOf(const QDateTime &t)
{
    quint64 bits = 0;
    memcpy(&bits, static_cast<const void *>(&t), sizeof bits);
    return bits;
}

QDateTime fromBits(quint64 bits)
{
    QDateTime t;   // compact and null: nothing to release when overwritten
    memcpy(static_cast<void *>(&t), &bits, sizeof bits);
    return t;
}

bool isCompactAndValid(quint64 bits)
{
    return (bits & kCompactValid) == kCompactValid;
}

// Local time of `start` plus ms milliseconds of the same UTC second.
quint64 plusMs(quint64 startBits, qint64 ms)
{
    return startBits + (quint64(ms) << 8);
}

qint64 floorDiv(qint64 a, qint64 b)
{
    return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0);
}

// Whether the compact form behaves here as plusMs assumes: two stamps Qt
// makes 123 ms apart in one second differ by exactly that in the form.
bool compactFormHolds()
{
    if (!compactFormPossible())
        return false;
    const qint64 base = floorDiv(QDateTime::currentMSecsSinceEpoch(), 1000) * 1000;
    const quint64 a = bitsOf(QDateTime::fromMSecsSinceEpoch(base, Qt::LocalTime));
    const quint64 b = bitsOf(QDateTime::fromMSecsSinceEpoch(base + 123, Qt::LocalTime));
    return isCompactAndValid(a) && plusMs(a, 123) == b
        && fromBits(b) == QDateTime::fromMSecsSinceEpoch(base + 123, Qt::UTC);
}

} // namespace

LocalClock::LocalClock()
    : m_fast(compactFormHolds())
{
}

QDateTime LocalClock::now()
{
    return at(QDateTime::currentMSecsSinceEpoch());
}

QDateTime LocalClock::at(qint64 utcMs)
{
    if (!m_fast)
        return QDateTime::fromMSecsSinceEpoch(utcMs, Qt::LocalTime);
    const qint64 second = floorDiv(utcMs, 1000);
    if (second != m_second) {
        m_start = QDateTime::fromMSecsSinceEpoch(second * 1000, Qt::LocalTime);
        m_second = second;
    }
    const quint64 start = bitsOf(m_start);
    if (!isCompactAndValid(start))   // a date too far out for the compact form
        return QDateTime::fromMSecsSinceEpoch(utcMs, Qt::LocalTime);
    return fromBits(plusMs(start, utcMs - second * 1000));
}

} // namespace veskor
