#include "protocol/UdpLink.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/errqueue.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

namespace veskor {

namespace {

// A bound on the loop over the socket's error queue, so that a flood can
// cost time but never hang a call.
constexpr int kMaxErrors = 64;

const sockaddr_in &v4(const Endpoint &e) { return *reinterpret_cast<const sockaddr_in *>(&e.addr); }
const sockaddr_in6 &v6(const Endpoint &e) { return *reinterpret_cast<const sockaddr_in6 *>(&e.addr); }

Endpoint anyAddress(int family)
{
    Endpoint e;
    if (family == AF_INET6) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&e.addr);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_any;
        e.length = sizeof(sockaddr_in6);
    } else {
        auto *a = reinterpret_cast<sockaddr_in *>(&e.addr);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_ANY);
        e.length = sizeof(sockaddr_in);
    }
    return e;
}

Endpoint withPort(Endpoint e, quint16 port)
{
    if (e.family() == AF_INET6)
        reinterpret_cast<sockaddr_in6 *>(&e.addr)->sin6_port = htons(port);
    else
        reinterpret_cast<sockaddr_in *>(&e.addr)->sin_port = htons(port);
    return e;
}

bool isAgain(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

} // namespace

Endpoint Endpoint::of(const QHostAddress &address, quint16 port)
{
    Endpoint e;
    bool isV4 = false;
    const quint32 ip4 = address.toIPv4Address(&isV4);
    if (isV4 && address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto *a = reinterpret_cast<sockaddr_in *>(&e.addr);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        a->sin_addr.s_addr = htonl(ip4);
        e.length = sizeof(sockaddr_in);
    } else if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&e.addr);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        const Q_IPV6ADDR ip6 = address.toIPv6Address();
        memcpy(&a->sin6_addr, ip6.c, sizeof ip6.c);
        const QString scope = address.scopeId();
        if (!scope.isEmpty()) {
            bool numeric = false;
            const uint id = scope.toUInt(&numeric);
            a->sin6_scope_id = numeric ? id : if_nametoindex(scope.toLatin1().constData());
        }
        e.length = sizeof(sockaddr_in6);
    }
    return e;
}

quint16 Endpoint::port() const
{
    if (family() == AF_INET)
        return ntohs(v4(*this).sin_port);
    if (family() == AF_INET6)
        return ntohs(v6(*this).sin6_port);
    return 0;
}

bool Endpoint::sameHost(const Endpoint &other) const
{
    if (family() != other.family())
        return false;
    if (family() == AF_INET)
        return v4(*this).sin_addr.s_addr == v4(other).sin_addr.s_addr;
    if (family() == AF_INET6)
        return memcmp(&v6(*this).sin6_addr, &v6(other).sin6_addr, sizeof(in6_addr)) == 0;
    return false;
}

bool Endpoint::operator==(const Endpoint &other) const
{
    return sameHost(other) && port() == other.port();
}

UdpLink::~UdpLink()
{
    close();
}

bool UdpLink::open(const Endpoint &peer, quint16 preferredPort, int receiveTimeoutMs)
{
    close();
    if (!peer.isValid())
        return false;
    const int fd = ::socket(peer.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const auto bindTo = [fd](const Endpoint &local) {
        return ::bind(fd, reinterpret_cast<const sockaddr *>(&local.addr), local.length) == 0;
    };
    // The binding the last socket had, when it can reach this peer: a host
    // that reconnects keeps its source port. Then the preferred port on the
    // peer's own address (when that is ours), then any address and port.
    const bool lastFits = m_lastBound.isValid() && m_lastBound.family() == peer.family()
        && (!m_lastBoundToPeer || m_lastBound.sameHost(peer));
    bool boundToPeer = false;
    if (lastFits && bindTo(m_lastBound)) {
        boundToPeer = m_lastBoundToPeer;
    } else if (bindTo(withPort(peer, preferredPort))) {
        boundToPeer = true;
    } else if (!bindTo(anyAddress(peer.family()))) {
        ::close(fd);
        return false;
    }
    const int on = 1;
    if (peer.family() == AF_INET6)
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on);
    else
        ::setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
    m_fd = fd;
    setReceiveTimeout(receiveTimeoutMs);
    m_family = peer.family();
    m_boundToPeer = boundToPeer;
    m_boundHost = boundToPeer ? peer : Endpoint();
    // Remember the binding with its real port.
    Endpoint local;
    local.length = sizeof local.addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&local.addr), &local.length) == 0) {
        m_lastBound = local;
        m_lastBoundToPeer = boundToPeer;
    }
    return true;
}

void UdpLink::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_family = AF_UNSPEC;
    m_boundToPeer = false;
    m_boundHost = Endpoint();
}

void UdpLink::setReceiveTimeout(int ms)
{
    if (m_fd < 0)
        return;
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

bool UdpLink::canReach(const Endpoint &peer) const
{
    return isOpen() && peer.isValid() && peer.family() == m_family
        && (!m_boundToPeer || m_boundHost.sameHost(peer));
}

quint16 UdpLink::localPort() const
{
    Endpoint e;
    e.length = sizeof e.addr;
    if (m_fd < 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&e.addr), &e.length) != 0)
        return 0;
    return e.port();
}

int UdpLink::send(const char *data, int size, const Endpoint &to)
{
    if (m_fd < 0)
        return EBADF;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const ssize_t n = ::sendto(m_fd, data, size_t(size), 0,
                                   reinterpret_cast<const sockaddr *>(&to.addr), to.length);
        if (n >= 0)
            return 0;
        if (errno == EINTR)
            continue;
        if (errno != ECONNREFUSED && errno != EHOSTUNREACH && errno != ENETUNREACH)
            return errno;
        // The socket still held an ICMP error of an earlier exchange.
        refusedBy(Endpoint(), false);
    }
    return EIO;
}

UdpLink::Received UdpLink::receive(char *buffer, int capacity, int waitMs, const Endpoint &peer)
{
    Received r;
    if (m_fd < 0) {
        r.status = Status::Failed;
        return r;
    }
    bool errorQueued = false;
    if (waitMs > 0) {
        pollfd p{m_fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, waitMs);
        if (ready == 0 || (ready < 0 && errno == EINTR))
            return r;   // Nothing: the caller works out what is left of its wait
        if (ready < 0) {
            r.status = Status::Failed;
            return r;
        }
        errorQueued = (p.revents & POLLERR) != 0;
    }
    r.from.length = sizeof r.from.addr;
    const ssize_t n = ::recvfrom(m_fd, buffer, size_t(capacity), waitMs == kBlock ? 0 : MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr *>(&r.from.addr), &r.from.length);
    if (n >= 0) {
        r.status = Status::Datagram;
        r.size = int(n);
        return r;
    }
    r.from = Endpoint();
    // Nothing (yet), interrupted, or an ICMP error: reported once as the
    // call's error, then kept in the socket's error queue.
    const int err = errno;
    if (err == EINTR || (isAgain(err) && !errorQueued))
        return r;
    if (refusedBy(peer, err == ECONNREFUSED))
        r.status = Status::Refused;
    return r;
}

bool UdpLink::refusedBy(const Endpoint &peer, bool reportedRefused)
{
    bool refused = false;
    bool detailed = false;
    for (int i = 0; i < kMaxErrors; ++i) {
        Endpoint offender;
        alignas(cmsghdr) char control[256];
        msghdr m{};
        m.msg_name = &offender.addr;
        m.msg_namelen = sizeof offender.addr;
        m.msg_control = control;
        m.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(m_fd, &m, MSG_ERRQUEUE | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;   // the queue is empty
        }
        offender.length = m.msg_namelen;
        for (cmsghdr *c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
            const bool ipError = (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR)
                || (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_RECVERR);
            if (!ipError)
                continue;
            detailed = true;
            sock_extended_err e;
            memcpy(&e, CMSG_DATA(c), sizeof e);
            const bool fromIcmp = e.ee_origin == SO_EE_ORIGIN_ICMP || e.ee_origin == SO_EE_ORIGIN_ICMP6;
            // The error names the request's destination: only a refusal of
            // this peer's port ends the wait.
            if (fromIcmp && e.ee_errno == ECONNREFUSED && peer.isValid() && offender == peer)
                refused = true;
        }
    }
    // Without details (user-mode emulators pass the error queue on empty)
    // the refusal the socket reported stands: it only ever sends to its peer.
    return refused || (reportedRefused && !detailed && peer.isValid());
}

} // namespace veskor
