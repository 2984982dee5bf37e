// The driver's link to the controller: one UDP socket, one peer, one request
// at a time. Each request is one datagram and one bounded wait for one answer.
//
// Threads: a CmdVESKOR works from whichever thread calls it, one call at a
// time (the host serialises its calls to one driver object). The exchange
// runs on the socket's descriptor with blocking calls on the caller's thread:
// no signal, slot, timer or event loop is involved, nothing is queued to
// another thread, and the socket has no QObject parent.
#ifndef VESKOR_CMDVESKOR_H
#define VESKOR_CMDVESKOR_H

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <array>
#include <memory>

#include "protocol/AnswerMatch.h"
#include "protocol/Exchange.h"
#include "protocol/UdpLink.h"

class CmdVESKOR : public QObject
{
    Q_OBJECT

public:
    CmdVESKOR();
    ~CmdVESKOR() override;

    static constexpr quint16 kLocalPort = 64000;
    static constexpr int kAnswerWaitMs = 2000;
    static constexpr int kMaxDatagram = veskor::Exchange::kMaxDatagram;

    // 0, or -1 when ip is not an address (or no socket could be made). The
    // socket is made on the first call and kept, with its local port, by
    // later calls whose peer it can reach.
    int ConnectDrive(QString ip, int port);
    // Closes the socket: nothing is sent until the next ConnectDrive. 0.
    int DisConnectDrive();
    // -3 when no request can go out (no socket, socket closed, no usable
    // peer), else -1.
    int Connection_status();
    int deletetcpSocket();
    // 1 when there was no socket, 0 after freeing it.
    int DestroyFree();

    int Readmemory(int areaCode, int address, int length, int deviceId, QByteArray *out,
                   const QString &tagName);
    // On success the wanted bytes go to out: appended when out holds bytes
    // already; when it is empty, out becomes a view of the receive buffer,
    // valid until the next exchange (the read path decodes it at once).
    int Message_parsing(const QByteArray &request, QByteArray *out, int offset, int deviceId, int length,
                        const QString &tagName);
    int Writememory(int areaCode, int address, int length, const QByteArray &data, const QString &tagName);
    int Writebool(int areaCode, int address, int length, const QByteArray &data, const QString &tagName);

    void setDebug(bool on) { m_debug = on; }
    bool debug() const { return m_debug; }
    int sequence() const { return m_sequence; }

    // How an exchange ended; protocolCode() maps each to the protocol codes.
    using Outcome = veskor::Exchange::Outcome;
    static int protocolCode(Outcome outcome);

    // What one exchange gave: how it ended and a view of the answer taken
    // (empty unless answered), in the buffer the exchange keeps: valid until
    // the next exchange.
    struct Reply {
        Outcome outcome;
        const QByteArray &answer;
    };

    // The whole answer datagram the last exchange took, as it came (empty
    // when none came); valid until the next exchange.
    const QByteArray &lastAnswer() const { return *m_lastAnswer; }
    // A call that ends before any exchange shows no answer.
    void forgetAnswer();
    // When the last exchange's answer was taken, on the wall clock in ms
    // since the epoch (the clocks are read there anyway).
    qint64 answerTimeMs() const;

    // Diagnostics: what is known of the controller, datagrams passed over by
    // reason (index: Verdict), the socket's local port (0 when closed).
    const veskor::PeerHabits &habits() const { return m_exchange.habits(); }
    quint64 passedOver(veskor::Verdict reason) const { return m_exchange.passedOver(reason); }
    quint16 localPort() const { return m_socket ? m_socket->localPort() : 0; }
    // Tests only: a shorter answer wait, so that long fault runs finish.
    void setAnswerWaitMs(int ms);

    // Kept for the host contract: names the driver interface fixes, unused by
    // the read and write paths.
    static constexpr int kExpect = 50;
    // One exchange of the first size bytes of request: 0 and the answer
    // appended to response, or -1 (no answer, or expect <= 0).
    int SendData(QByteArray request, int size, QByteArray &response, int expect);

public slots:
    // Kept for the host contract: the socket's signals once went here. The
    // exchange needs none of them; myreadyRead drops what is pending.
    void myconnected();
    void mydisconnected();
    void myreadyRead();

private:
    enum class WriteKind { Memory, Bool };
    int writeRequest(WriteKind kind, int areaCode, int address, int length, const QByteArray &data,
                     const QString &tagName);
    // Whether a request can go out: a socket, open, and a usable peer. Each
    // call checks it once and hands the answer on.
    bool linkUp() const { return m_socket && m_socket->isOpen() && m_peer.endpoint.isValid(); }
    // One exchange, or none (NoSocket) when the link is not up.
    Reply exchange(const char *request, int size, bool up);
    // Message_parsing, with the link's state already known.
    int parseRead(const QByteArray &request, QByteArray *out, int offset, int deviceId, int length,
                  const QString &tagName, bool up);
    int blockingWaitMs() const;
    QString peerText() const;

    // The peer ConnectDrive named: its address and port as the log lines show
    // them (kept when it proves unusable), and where requests go (invalid: no
    // usable peer).
    struct Peer {
        QHostAddress address;
        int port = 0;
        veskor::Endpoint endpoint;
    };
    Peer m_peer;
    int m_sequence = 1;
    std::unique_ptr<veskor::UdpLink> m_socket;
    bool m_debug = false;

    // What the socket sent and what the peer showed; the answer taken.
    veskor::Exchange m_exchange;
    int m_answerWaitMs = kAnswerWaitMs;
    const QByteArray *m_lastAnswer;   // the exchange's answer, or an empty array

    // Buffers kept from one exchange to the next, so that a read allocates
    // nothing here: the read request and a view of the answer's payload.
    QByteArray m_readRequest;
    QByteArray m_payload;
};

#endif
