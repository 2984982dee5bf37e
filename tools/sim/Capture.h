// Reading a capture of a controller's traffic back, and pairing its requests
// with their answers, for the simulator's replay. No sockets here: the file
// goes in, the exchanges come out.
#ifndef VESKOR_SIM_CAPTURE_H
#define VESKOR_SIM_CAPTURE_H

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVector>

namespace veskorsim {

// One UDP/IPv4 datagram of a capture. Addresses are IPv4 in host order.
struct CapturedDatagram {
    qint64 timeUs = 0;        // time stamp, microseconds since the epoch
    quint32 srcAddr = 0;
    quint16 srcPort = 0;
    quint32 dstAddr = 0;
    quint16 dstPort = 0;
    QByteArray payload;
};

struct Capture {
    QString linkType;          // the file's link type by name ("EN10MB", "RAW", ...)
    QVector<CapturedDatagram> datagrams;   // every UDP/IPv4 datagram, in file order
    int packets = 0;           // records in the file
    int fragments = 0;         // IPv4 fragments: skipped
    int cutShort = 0;          // cut short by the snap length before the datagram's end: skipped
    int other = 0;             // not UDP/IPv4, or malformed: skipped
    int skipped() const { return fragments + cutShort + other; }
};

// Reads a pcap file (any format libpcap reads) of link type Ethernet (with
// 802.1Q/802.1ad tags), Linux cooked (v1 and v2), raw IP, IPv4 or BSD
// loopback. False with *error set when the file cannot be read or its link
// type is another.
bool readCapture(const QString &path, Capture *out, QString *error);

enum class RequestKind { None, Read, Write };
// Read: 16 bytes starting 'M' 'R'. Write: at least 11 bytes starting 02 01 01 00.
RequestKind requestKind(const QByteArray &datagram);
// What a recorded request is looked up by: a read without its sequence
// (bytes 4 and 5 zero), a write as it is. Empty for what is no request.
QByteArray requestKey(const QByteArray &request);

struct RecordedAnswer {
    qint64 offsetUs = 0;      // after the request
    QByteArray bytes;
};

struct RecordedExchange {
    QByteArray request;
    quint32 clientAddr = 0;
    quint16 clientPort = 0;
    qint64 timeUs = 0;
    QVector<RecordedAnswer> answers;   // empty: the request was left unanswered
};

struct Recording {
    bool found = false;        // a request was found, and with it the controller
    quint32 controllerAddr = 0;
    quint16 controllerPort = 0;
    QVector<RecordedExchange> exchanges;   // in recorded order
    int answered() const;
    int unanswered() const;
};

// The controller is the destination of the first request-shaped datagram;
// its requests are the request-shaped datagrams sent to it. The answers of a
// request are the datagrams from the controller's address (any port) to the
// request's client address and port, after the request and before that
// client's next request.
Recording pairExchanges(const QVector<CapturedDatagram> &datagrams);

// Hands out recorded exchanges to incoming requests: each request takes the
// next exchange with its key in recorded order, starting over after the last.
class ReplayTable
{
public:
    ReplayTable() = default;
    explicit ReplayTable(const Recording &recording);

    // The recorded answers to request, as they are to be sent: in a read
    // answer whose bytes 4 and 5 held the recorded request's sequence, they
    // hold request's. Empty when the exchange was left unanswered. False (and
    // *answers empty) when no exchange of that key was recorded.
    bool answersFor(const QByteArray &request, QVector<RecordedAnswer> *answers);

private:
    QVector<RecordedExchange> m_exchanges;
    QHash<QByteArray, QVector<int>> m_byKey;   // exchange indexes in recorded order
    QHash<QByteArray, int> m_next;             // next position in m_byKey's list
};

} // namespace veskorsim

#endif
