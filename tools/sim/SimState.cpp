// The Simulator object's calls on its state: memory, faults, statistics and
// what it received, each under the state's lock; and the thread's pick of
// the fault for an answer, from the faults queued and the rates set here.
#include "SimCore.h"

#include <QDeadlineTimer>
#include <QMutexLocker>

namespace veskorsim {

QHostAddress Simulator::address() const
{
    QMutexLocker lock(&d->mutex);
    return d->boundAddress;
}

quint16 Simulator::port() const
{
    QMutexLocker lock(&d->mutex);
    return d->boundPort;
}

ReplayInfo Simulator::replayInfo() const
{
    QMutexLocker lock(&d->mutex);
    return d->replayInfo;
}

QByteArray Simulator::area(quint32 code) const
{
    const int i = areaIndex(code);
    if (i < 0)
        return QByteArray();
    QMutexLocker lock(&d->mutex);
    return d->memory[i];
}

bool Simulator::setArea(quint32 code, int offset, const QByteArray &bytes)
{
    const int i = areaIndex(code);
    if (i < 0 || offset < 0)
        return false;
    QMutexLocker lock(&d->mutex);
    if (qint64(offset) + bytes.size() > d->config.areaSize)
        return false;
    d->memory[i].replace(offset, bytes.size(), bytes);
    return true;
}

void Simulator::fillAll(char byte)
{
    QMutexLocker lock(&d->mutex);
    for (QByteArray &m : d->memory)
        m.fill(byte);
}

int Simulator::areaSize() const
{
    return d->config.areaSize;   // fixed at construction
}

void Simulator::queueFault(Fault f)
{
    QMutexLocker lock(&d->mutex);
    d->queued.append(f);
}

void Simulator::setFaultRate(Fault f, double probability)
{
    QMutexLocker lock(&d->mutex);
    d->config.faultRates[f] = std::clamp(probability, 0.0, 1.0);
}

void Simulator::setDelayMs(int ms)
{
    QMutexLocker lock(&d->mutex);
    d->config.delayMs = std::max(0, ms);
}

namespace {

// Kinds tried by the random choice, in this order; the first hit wins.
const Fault kRandomKinds[] = {Fault::Drop,     Fault::Delay,        Fault::Duplicate,
                              Fault::Truncate, Fault::CorruptMagic, Fault::CorruptEcho,
                              Fault::ForeignPort};

} // namespace

Fault SimCore::nextFault(bool isRead)
{
    Fault f = Fault::None;
    if (!queued.isEmpty()) {
        f = queued.takeFirst();
    } else {
        for (Fault kind : kRandomKinds) {
            const double rate = config.faultRates.value(kind, 0.0);
            if (rate <= 0.0)
                continue;
            const double u = double(rng()) / 4294967296.0;
            if (u < rate) {
                f = kind;
                break;
            }
        }
    }
    if (!isRead && (f == Fault::CorruptMagic || f == Fault::CorruptEcho))
        f = Fault::None;
    if (f != Fault::None)
        ++stats.faults[f];
    return f;
}

SimStats Simulator::stats() const
{
    QMutexLocker lock(&d->mutex);
    return d->stats;
}

void Simulator::resetStats()
{
    QMutexLocker lock(&d->mutex);
    d->stats = SimStats();
}

QList<QByteArray> Simulator::received() const
{
    QMutexLocker lock(&d->mutex);
    return d->received;
}

void Simulator::clearReceived()
{
    QMutexLocker lock(&d->mutex);
    d->received.clear();
    d->receivedCount = 0;
}

bool Simulator::waitForReceived(int count, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    QMutexLocker lock(&d->mutex);
    while (d->receivedCount < count) {
        if (!d->changed.wait(&d->mutex, deadline))
            return d->receivedCount >= count;
    }
    return true;
}

int Simulator::pendingAnswers() const
{
    QMutexLocker lock(&d->mutex);
    return d->pending;
}

bool Simulator::waitForPendingAnswers(int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    QMutexLocker lock(&d->mutex);
    while (d->pending > 0) {
        if (!d->changed.wait(&d->mutex, deadline))
            return d->pending == 0;
    }
    return true;
}

} // namespace veskorsim
