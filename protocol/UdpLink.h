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
    struct Received {
        Status status = Status::Nothing;
        int size = 0;
        Endpoint from;
    };
    // Waits up to waitMs (0: not at all; kBlock: the receive timeout, in one
    // system call) for one datagram and reads it into buffer (at most
    // capacity bytes). An ICMP port-unreachable is Refused only
    // when it concerns `peer` (address and port); others are read and dropped.
    static constexpr int kBlock = -1;
    Received receive(char *buffer, int capacity, int waitMs, const Endpoint &peer);

private:
    // Reads the socket's error queue empty; true when it held a refusal of
    // `peer`'s port (or, when the queue gives no details, when the socket
    // reported a refusal: reportedRefused).
    bool refusedBy(const Endpoint &peer, bool reportedRefused);

    int m_fd = -1;
    int m_family = AF_UNSPEC;
    bool m_boundToPeer = false;
    Endpoint m_boundHost;   // the peer address it is bound to, when m_boundToPeer
    Endpoint m_lastBound;   // the last socket's local address and port, kept after close
    bool m_lastBoundToPeer = false;
};

} // namespace veskor

#endif
