#include "protocol/UdpLink.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <linux/errqueue.h>
#include <linux/net_tstamp.h>
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

qint64 nsOf(const timespec &t) { return qint64(t.tv_sec) * 1000000000 + t.tv_nsec; }

// A reading of the clocks that took longer than this (the thread lost the
// CPU in the middle of it) shows nothing of their offset.
constexpr qint64 kMaxSpreadNs = 20000;

UdpLink::ClockReading readClocks()
{
    UdpLink::ClockReading r;
    // A thread just woken often gives the CPU back once more to the one that
    // woke it: a reading cut in two is made again.
    for (int attempt = 0; attempt < 4 && (r.spreadNs < 0 || r.spreadNs > kMaxSpreadNs); ++attempt) {
        timespec before{}, wall{}, after{};
        clock_gettime(CLOCK_MONOTONIC, &before);
        clock_gettime(CLOCK_REALTIME, &wall);
        clock_gettime(CLOCK_MONOTONIC, &after);
        r.wallNs = nsOf(wall);
        r.offsetNs = r.wallNs - (nsOf(before) + nsOf(after)) / 2;
        r.spreadNs = nsOf(after) - nsOf(before);
    }
    return r;
}

// The most two readings of the clocks' offset differ by when the wall clock
// was not set between them: half of each reading's spread, and some slack.
qint64 offsetSlackNs(const UdpLink::ClockReading &a, const UdpLink::ClockReading &b)
{
    return (a.spreadNs + b.spreadNs) / 2 + 100;
}

// Whether the wall clock was not set back between two readings: its offset
// from the monotonic clock did not shrink (adjustments of its rate move both
// clocks alike). A clock set forward makes what came before look older
// still, which does no harm; one set back could make it look newer.
bool notSetBack(const UdpLink::ClockReading &earlier, const UdpLink::ClockReading &later)
{
    if (earlier.spreadNs < 0 || later.spreadNs < 0 || earlier.spreadNs > kMaxSpreadNs
        || later.spreadNs > kMaxSpreadNs)
        return false;
    return later.offsetNs >= earlier.offsetNs - offsetSlackNs(earlier, later);
}

// The kernel's software receive stamp among a message's control data, on the
// wall clock; 0 when none came, or one of another layout (an emulator that
// passes the host's control data on unconverted).
qint64 receiveStamp(msghdr &m)
{
    if (m.msg_flags & MSG_CTRUNC)
        return 0;
    for (cmsghdr *c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SO_TIMESTAMPING
            || c->cmsg_len != CMSG_LEN(sizeof(scm_timestamping)))
            continue;
        scm_timestamping s;
        memcpy(&s, CMSG_DATA(c), sizeof s);
        const timespec &t = s.ts[0];
        if (t.tv_sec > 0 && t.tv_nsec >= 0 && t.tv_nsec < 1000000000)
            return nsOf(t);
    }
    return 0;
}

// Room for the receive stamp among a message's control data.
constexpr size_t kStampRoom = CMSG_SPACE(sizeof(scm_timestamping)) + 32;

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
    // Receive stamps, asked for before the socket can receive anything, so
    // that every datagram it holds bears one. A datagram the kernel did not
    // stamp on its way in comes without one (these flags never stamp it late).
    const int stampFlags = SOF_TIMESTAMPING_RX_SOFTWARE | SOF_TIMESTAMPING_SOFTWARE;
    m_stamps = Stamps();
    m_stamps.asked = ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPING, &stampFlags, sizeof stampFlags) == 0;
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
    m_stamps = Stamps();
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
        // What is received from now on came after this send.
        const ClockReading reading = readClocks();
        m_stamps.sentKept = notSetBack(m_stamps.last, reading);
        m_stamps.trusted = m_stamps.trusted && m_stamps.sentKept;
        m_stamps.sent = reading;
        m_stamps.last = reading;
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
    receiveMany(&r, &buffer, capacity, 1, waitMs, peer);
    return r;
}

int UdpLink::receiveMany(Received *got, char *const *buffers, int capacity, int count, int waitMs,
                         const Endpoint &peer)
{
    got[0] = Received();
    if (m_fd < 0 || count < 1) {
        got[0].status = Status::Failed;
        return 0;
    }
    count = qMin(count, kMaxBatch);
    bool errorQueued = false;
    if (waitMs > 0) {
        const Status waited = waitForFirst(waitMs, errorQueued);
        if (waited != Status::Datagram) {
            got[0].status = waited;
            return 0;
        }
    }
    mmsghdr msgs[kMaxBatch];
    iovec iov[kMaxBatch];
    alignas(cmsghdr) char control[kMaxBatch][kStampRoom];
    for (int i = 0; i < count; ++i) {
        iov[i] = {buffers[i], size_t(capacity)};
        msghdr &m = msgs[i].msg_hdr;
        m = msghdr();
        m.msg_name = &got[i].from.addr;
        m.msg_namelen = sizeof got[i].from.addr;
        m.msg_iov = &iov[i];
        m.msg_iovlen = 1;
        m.msg_control = m_stamps.asked ? control[i] : nullptr;
        m.msg_controllen = m_stamps.asked ? sizeof control[i] : 0;
    }
    // The first receive blocks (bounded by the socket's receive timeout) only
    // for kBlock; those behind it never wait.
    const int flags = waitMs == kBlock ? MSG_WAITFORONE : MSG_DONTWAIT;
    const int n = ::recvmmsg(m_fd, msgs, unsigned(count), flags, nullptr);
    const int err = errno;
    const ClockReading now = readClocks();
    // A clock set after the send cannot make what came before it look newer
    // than the send: only the stamps' trust for later exchanges suffers.
    m_stamps.trusted = m_stamps.trusted && notSetBack(m_stamps.last, now);
    const bool kept = m_stamps.sentKept;
    m_stamps.last = now;
    if (n <= 0) {
        got[0] = Received();
        got[0].status = failedReceive(n < 0 ? err : EAGAIN, errorQueued, waitMs != 0, peer);
        return 0;
    }
    for (int i = 0; i < n; ++i) {
        got[i].status = Status::Datagram;
        got[i].size = int(msgs[i].msg_len);
        got[i].from.length = msgs[i].msg_hdr.msg_namelen;
        got[i].arrival = arrivalOf(m_stamps.asked ? receiveStamp(msgs[i].msg_hdr) : 0, now, kept);
    }
    if (n < count)
        got[n] = Received();
    return n;
}

UdpLink::Status UdpLink::waitForFirst(int waitMs, bool &errorQueued)
{
    pollfd p{m_fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, waitMs);
    if (ready == 0 || (ready < 0 && errno == EINTR)) {
        m_stamps.trusted = false;   // a wait that ended with nothing
        return Status::Nothing;     // the caller works out what is left of its wait
    }
    if (ready < 0)
        return Status::Failed;
    errorQueued = (p.revents & POLLERR) != 0;
    return Status::Datagram;
}

// Nothing (yet), interrupted, or an ICMP error: reported once as the call's
// error, then kept in the socket's error queue.
UdpLink::Status UdpLink::failedReceive(int err, bool errorQueued, bool waited, const Endpoint &peer)
{
    if (err == EINTR || (isAgain(err) && !errorQueued)) {
        // After a wait that ended with nothing, the next exchange drops what
        // came meanwhile before it sends: were the stamps ever to tell an
        // answer for an earlier one, this is how it would show.
        m_stamps.trusted = m_stamps.trusted && !waited;
        return Status::Nothing;
    }
    m_stamps.trusted = false;
    // Only a refusal that came after the send is this exchange's; without
    // stamps that can be trusted, any that is left now counts.
    const qint64 notBefore = m_stamps.sentKept ? m_stamps.sent.wallNs : 0;
    return refusedBy(peer, err == ECONNREFUSED, notBefore) ? Status::Refused : Status::Nothing;
}

UdpLink::Arrival UdpLink::arrivalOf(qint64 stampNs, const ClockReading &now, bool sentKept)
{
    // Stamped at or after the send's reading, and no later than now (give or
    // take the clock set back since the send, or slack): received after the
    // send. A clock set back after the send can only make such a datagram
    // look older than the send, and be dropped.
    const qint64 setBack = qMax<qint64>(0, m_stamps.sent.offsetNs - now.offsetNs);
    const qint64 latest = now.wallNs + setBack + offsetSlackNs(m_stamps.sent, now);
    Arrival a = Arrival::Unknown;
    if (stampNs != 0 && sentKept) {
        if (stampNs < m_stamps.sent.wallNs)
            a = Arrival::BeforeSend;
        else if (stampNs <= latest)
            a = Arrival::AfterSend;
    }
    // No stamp, or one from the future: the stamps cannot be trusted.
    if (a == Arrival::Unknown && (stampNs == 0 || sentKept))
        m_stamps.trusted = false;
    // A datagram received after the send, stamped between the send and now.
    else if (a == Arrival::AfterSend)
        m_stamps.trusted = true;
    return a;
}

bool UdpLink::refusedBy(const Endpoint &peer, bool reportedRefused, qint64 notBeforeNs)
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
        const qint64 stamp = receiveStamp(m);
        const bool earlier = notBeforeNs != 0 && stamp != 0 && stamp < notBeforeNs;
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
            if (fromIcmp && e.ee_errno == ECONNREFUSED && peer.isValid() && offender == peer && !earlier)
                refused = true;
        }
    }
    // Without details (user-mode emulators pass the error queue on empty)
    // the refusal the socket reported stands: it only ever sends to its peer.
    return refused || (reportedRefused && !detailed && peer.isValid());
}

} // namespace veskor
