// What the gateway's end-to-end tests share to start their peers.
#ifndef VESKOR_GATEWAYTESTTOOLS_H
#define VESKOR_GATEWAYTESTTOOLS_H

#include <QHostAddress>
#include <QStandardPaths>
#include <QString>
#include <QTcpServer>

// On PATH, or in the sbin folders a user's PATH may leave out (mosquitto).
inline QString findTool(const char *name)
{
    const QString found = QStandardPaths::findExecutable(QLatin1String(name));
    return found.isEmpty() ? QStandardPaths::findExecutable(QLatin1String(name),
                                                            {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin")})
                           : found;
}

// A TCP port of 127.0.0.1 that was free a moment ago.
inline quint16 freeTcpPort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

#endif
