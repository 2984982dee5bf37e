// The tools take a controller's or a listener's host as an IPv4 address or a
// host name; the plug-in takes numeric addresses only. One lookup for all.
#ifndef VESKOR_TOOLS_RESOLVE_H
#define VESKOR_TOOLS_RESOLVE_H

#include <QHostAddress>
#include <QString>

#include <netdb.h>
#include <sys/socket.h>

namespace veskortools {

// host as its IPv4 address: taken as it is when numeric, else its first
// IPv4 address from the resolver. False with the reason in *error (a numeric
// address of another family, or a name that does not resolve, with the
// resolver's words).
inline bool resolveIPv4(const QString &host, QHostAddress *address, QString *error)
{
    if (address->setAddress(host)) {
        if (address->protocol() == QAbstractSocket::IPv4Protocol)
            return true;
        *error = QStringLiteral("'%1' is not an IPv4 address").arg(host);
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *found = nullptr;
    const int rc = ::getaddrinfo(host.toUtf8().constData(), nullptr, &hints, &found);
    if (rc != 0 || !found) {
        *error = QStringLiteral("cannot resolve %1 to an IPv4 address: %2")
                     .arg(host, QString::fromLocal8Bit(::gai_strerror(rc)));
        return false;
    }
    address->setAddress(found->ai_addr);
    ::freeaddrinfo(found);
    return true;
}

} // namespace veskortools

#endif
