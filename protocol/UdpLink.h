// The transport's UDP socket: a descriptor that belongs to it alone, used
// with plain blocking calls. No event loop, no notifier, no thread affinity:
// it works on whichever thread calls it, one call at a time.
#ifndef VESKOR_UDPLINK_H
#define VESKOR_UDPLINK_H

#include <QHostAddress>
#include <QtGlobal>

#include <sys/socket.h>

namespace veskor {

// An IPv4 or IPv6 address and port as the socket calls take them.
struct Endpoint {
    sockaddr_storage addr{};
    socklen_t length = 0;

    static Endpoint of(const QHostAddress &address, quint16 port);
    bool isValid() const { return length != 0; }
    int family() const { return addr.ss_family; }
    quint16 port() const;
    bool sameHost(const Endpoint &other) const;     // address only, port ignored
    bool operator==(const Endpoint &other) const;   // address and port
};

class UdpLink
{
public:
    UdpLink() = default;
    ~UdpLink();
    UdpLink(const UdpLink &) = delete;
    UdpLink &operator=(const UdpLink &) = delete;

    // Opens a socket for talking to `peer`: bound as the last socket was when
    // that binding is free and fits the peer (so a reconnect keeps its source
    // port), else to `preferredPort` on the peer's own address when that is
    // one of this machine's, else to any local address and a port the system
    // chooses. ICMP errors are reported to the
    // socket (IP_RECVERR), so a closed port on the peer is seen at once.
    // Closes what was open before. False when no socket could be made.
    // A receive told to block (kBlock) waits at most receiveTimeoutMs.
    bool open(const Endpoint &peer, quint16 preferredPort, int receiveTimeoutMs);
    void setReceiveTimeout(int ms);
    void close();
    bool isOpen() const { return m_fd >= 0; }
    int family() const { return m_family; }
    bool boundToPeerAddress() const { return m_boundToPeer; }
    // Whether the open socket, bound as it is, can talk to `peer`: same
    // address family, and bound to any address or to the peer's own.
    bool canReach(const Endpoint &peer) const;
    quint16 localPort() const;

    // One datagram to `to`; errno-style code: 0 when sent.
    int send(const char *data, int size, const Endpoint &to);

    enum class Status {
        Datagram,   // one datagram read; size and sender are set
        Nothing,    // none came within the wait
        Refused,    // the peer's host reported its port closed (ICMP)
        Failed      // the socket reported another error
    };
    // When a datagram came, against the last send, as the kernel's receive
    // time stamp tells it (see tellsArrivals).
    enum class Arrival {
        Unknown,      // no stamp that can be trusted came with it
        BeforeSend,   // it was received before the last send
        AfterSend     // it was received after the last send
    };
    struct Received {
        Status status = Status::Nothing;
        int size = 0;
        Endpoint from;
        Arrival arrival = Arrival::Unknown;
    };
    // Waits up to waitMs (0: not at all; kBlock: the receive timeout, in one
    // system call) for one datagram and reads it into buffer (at most
    // capacity bytes). An ICMP port-unreachable is Refused only
    // when it concerns `peer` (address and port); others are read and dropped.
    static constexpr int kBlock = -1;
    Received receive(char *buffer, int capacity, int waitMs, const Endpoint &peer);
    // The same wait for the first datagram, then the ones pending behind it
    // without waiting, up to `count` (at most kMaxBatch), the i-th into
    // buffers[i]: all in one system call. Returns how many came; when none
    // did, got[0] says why. When fewer than count came, got[n] says Nothing:
    // an error met after the first datagram is reported by the next call.
    static constexpr int kMaxBatch = 8;
    int receiveMany(Received *got, char *const *buffers, int capacity, int count, int waitMs,
                    const Endpoint &peer);

    // Whether every datagram received after the next send will say whether
    // it was received before or after that send (Received::arrival), so that
    // what is pending need not be read and dropped before it. The kernel
    // stamps each datagram with the wall clock as it receives it; the stamps
    // are trusted once one datagram received after a send bore a stamp
    // between that send and its receive call's return, and until a datagram
    // comes without one (or with one from the future), a wait ends with
    // nothing, a refusal comes, or the wall clock is set back (its offset
    // from the monotonic clock shrinks; set forward, it only makes what came
    // before look older): each of these makes the next exchange drop what
    // is pending before its send again. The socket of an emulator that
    // takes no stamps never tells.
    bool tellsArrivals() const { return m_stamps.trusted; }

    // The clocks as the arrivals are told against them, read together.
    struct ClockReading {
        qint64 wallNs = 0;     // the wall clock, as the kernel's stamps are
        qint64 offsetNs = 0;   // the wall clock less the monotonic one
        qint64 spreadNs = -1;  // how long the reading took; -1: not read
        qint64 monotonicNs() const { return wallNs - offsetNs; }
    };
    // The clocks as the last send or receive read them (just before the
    // send, just after the receive): exchanges take their times from here
    // instead of reading the clocks again.
    const ClockReading &lastReading() const { return m_stamps.last; }

private:
    // Reads the socket's error queue empty; true when it held a refusal of
    // `peer`'s port (or, when the queue gives no details, when the socket
    // reported a refusal: reportedRefused). A refusal stamped before
    // notBeforeNs on the wall clock (0: any) is an earlier exchange's.
    bool refusedBy(const Endpoint &peer, bool reportedRefused, qint64 notBeforeNs = 0);
    // What the wait before a batch gave when it gave no datagram.
    Status waitForFirst(int waitMs, bool &errorQueued);
    Status failedReceive(int err, bool errorQueued, bool waited, const Endpoint &peer);
    // Arrival of a datagram stamped at stampNs (0: no stamp), and what it
    // shows of the stamps.
    Arrival arrivalOf(qint64 stampNs, const ClockReading &now, bool sentKept);
    void stopTrusting();

    // How the kernel's receive stamps stand (see tellsArrivals).
    struct Stamps {
        bool asked = false;       // the socket was asked to stamp
        bool trusted = false;
        bool sentKept = false;    // the wall clock was not set back up to the last send
        ClockReading sent;        // read just before the last send
        ClockReading last;        // the last reading, at a send or a receive
    };
    Stamps m_stamps;

    int m_fd = -1;
    int m_family = AF_UNSPEC;
    bool m_boundToPeer = false;
    Endpoint m_boundHost;   // the peer address it is bound to, when m_boundToPeer
    Endpoint m_lastBound;   // the last socket's local address and port, kept after close
    bool m_lastBoundToPeer = false;
};

} // namespace veskor

#endif
