// Local-time stamps at the cost of a clock read.
//
// QDateTime::currentDateTime() works out the local time afresh on every call
// (the C library's zone lookup, with file checks when TZ is unset). Zone
// offsets change only on whole seconds, so all instants of one UTC second
// share one offset: the clock keeps Qt's local time of the start of the
// current second and adds the milliseconds, and asks Qt again when the
// second changes. The result is the value Qt would give, field for field.
//
// The addition works on QDateTime's compact form (a 64-bit word of local
// milliseconds and status bits, as its public header lays it out). The clock
// checks that form at start and falls back to Qt for every stamp where it
// does not hold, for instance on 32-bit builds, which keep dates elsewhere.
#ifndef VESKOR_LOCALCLOCK_H
#define VESKOR_LOCALCLOCK_H

#include <QDateTime>

#include <limits>

namespace veskor {

class LocalClock
{
public:
    LocalClock();

    // Equal in every field to QDateTime::currentDateTime().
    QDateTime now();
    // Equal in every field to QDateTime::fromMSecsSinceEpoch(utcMs, Qt::LocalTime).
    QDateTime at(qint64 utcMs);

    bool isFast() const { return m_fast; }

private:
    bool m_fast = false;
    qint64 m_second = std::numeric_limits<qint64>::min();   // UTC second of m_start
    QDateTime m_start;                                       // local time at its start
};

} // namespace veskor

#endif
