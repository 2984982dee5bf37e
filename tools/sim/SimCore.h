// The simulator's state, shared between its thread (VeskorSim.cpp) and the
// calls of the Simulator object (SimState.cpp); internal to the simulator
// library.
#ifndef VESKOR_SIM_SIMCORE_H
#define VESKOR_SIM_SIMCORE_H

#include "VeskorSim.h"

#include "Capture.h"
#include "SimPcap.h"

#include <QHostAddress>
#include <QList>
#include <QMutex>
#include <QVector>
#include <QWaitCondition>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>

namespace veskorsim {

// The index of an area code in areaTable(); -1 for a code it does not hold.
int areaIndex(quint32 code);

class SimThread;

// The simulator's state, shared between its thread and the callers.
struct SimCore
{
    explicit SimCore(const SimConfig &c) : config(c), rng(c.seed)
    {
        config.areaSize = std::clamp(config.areaSize, 0, kMaxAreaSize);
        memory.resize(areaTable().size());
        for (QByteArray &m : memory)
            m = QByteArray(config.areaSize, '\0');
    }

    // Everything below `mutex` is shared between the simulator thread and callers.
    SimConfig config;
    mutable QMutex mutex;
    mutable QWaitCondition changed;   // received list or pending count changed
    QVector<QByteArray> memory;
    QList<Fault> queued;
    std::mt19937 rng;
    SimStats stats;
    QList<QByteArray> received;
    int receivedCount = 0;            // counted even when not kept
    QHostAddress lastClient;
    quint16 lastClientPort = 0;
    QHostAddress lastLocal;           // address the last client reached us on
    int pending = 0;
    QHostAddress boundAddress;
    quint16 boundPort = 0;

    // Serialises start, stop and sendUnsolicited.
    QMutex control;
    SimThread *thread = nullptr;
    std::atomic<bool> running{false};

    PcapWriter pcap;

    // Replay: read at the first start, then only used on the simulator thread
    // (under mutex all the same, its cursors survive a restart).
    bool replayLoaded = false;
    ReplayTable replay;
    ReplayInfo replayInfo;

    Fault nextFault(bool isRead);       // call with mutex held
    void log(const QString &line) const
    {
        if (!config.verbose)
            return;
        const QByteArray l = line.toLocal8Bit();
        std::fprintf(stderr, "%s\n", l.constData());
        std::fflush(stderr);
    }
};

class Simulator::Private : public SimCore
{
public:
    using SimCore::SimCore;
};

} // namespace veskorsim

#endif
