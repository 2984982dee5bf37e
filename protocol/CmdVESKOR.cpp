#include "protocol/CmdVESKOR.h"

#include "protocol/Frames.h"

#include <QDateTime>
#include <QDebug>

#include <chrono>
#include <cstring>

using namespace veskor;

namespace {

// One log line: the placeholders are filled in a single pass, so text from a
// tag name is never taken for a placeholder. `hex` is the datagram's dump.
QString logLine(const QString &format, const QString &peer, int port, const QString &third,
                const QString &tag, int length, const QString &hex)
{
    return format.arg(peer, QString::number(port), third, tag, QString::number(length), hex);
}

QString logLine(const QString &format, const QString &peer, int port, const QString &tag,
                int length, const QByteArray &bytes)
{
    return format.arg(peer, QString::number(port), tag, QString::number(length),
                      QString::fromLatin1(bytes.toHex()));
}

QString fullHex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex());
}

// What an exchange that took no answer shows as its answer.
const QByteArray kEmptyAnswer;

} // namespace

CmdVESKOR::CmdVESKOR() : m_lastAnswer(&kEmptyAnswer) {}

void CmdVESKOR::forgetAnswer()
{
    m_lastAnswer = &kEmptyAnswer;
}

CmdVESKOR::~CmdVESKOR()
{
    deletetcpSocket();
}

int CmdVESKOR::protocolCode(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Answer: return ProtoOk;
    case Outcome::NoSocket: return ProtoNoSocket;
    case Outcome::NoAnswer:     // nothing came within the wait
    case Outcome::SendFailed:   // the datagram did not leave
    case Outcome::Refused:      // the controller's port is closed
        break;
    }
    return ProtoNoAnswer;
}

int CmdVESKOR::ConnectDrive(QString ip, int port)
{
    if (!m_socket)
        m_socket = std::make_unique<UdpLink>();
    m_peer.port = port;
    if (!m_peer.address.setAddress(ip)) {
        m_peer.endpoint = Endpoint();
        return -1;
    }
    m_peer.endpoint = Endpoint::of(m_peer.address, quint16(m_peer.port));
    m_exchange.talkTo(m_peer.endpoint);
    // A socket that can reach the peer is kept, and with it its local port.
    const Endpoint &to = m_peer.endpoint;
    if (!m_socket->canReach(to) && !m_socket->open(to, kLocalPort, blockingWaitMs())) {
        m_peer.endpoint = Endpoint();
        return -1;
    }
    return 0;
}

// The socket's own receive timeout, for the first wait of an exchange: it
// runs on the kernel's coarse clock and may end a tick or two late, so it
// stops well short of the wait and poll() bounds the rest to the millisecond.
// Waits too short for that are bounded by poll() alone.
int CmdVESKOR::blockingWaitMs() const
{
    constexpr int kMargin = 50;
    return m_answerWaitMs > 2 * kMargin ? m_answerWaitMs - kMargin : 0;
}

void CmdVESKOR::setAnswerWaitMs(int ms)
{
    m_answerWaitMs = ms;
    if (m_socket)
        m_socket->setReceiveTimeout(blockingWaitMs());
}

int CmdVESKOR::DisConnectDrive()
{
    if (m_socket)
        m_socket->close();
    return 0;
}

int CmdVESKOR::Connection_status()
{
    return linkUp() ? -1 : ProtoNoSocket;
}

int CmdVESKOR::deletetcpSocket()
{
    m_socket.reset();
    return 0;
}

int CmdVESKOR::DestroyFree()
{
    if (!m_socket)
        return 1;
    deletetcpSocket();
    return 0;
}

void CmdVESKOR::myconnected() {}
void CmdVESKOR::mydisconnected() {}

void CmdVESKOR::myreadyRead()
{
    // Drops what is pending: only what comes after a request answers it.
    if (!m_socket || !m_socket->isOpen())
        return;
    char datagram[kMaxDatagram];
    while (m_socket->receive(datagram, kMaxDatagram, 0, m_peer.endpoint).status == UdpLink::Status::Datagram) {
    }
}

namespace {

// The exchange's side of the real socket: the peer's address, the steady clock.
class SocketIo final : public ExchangeIo
{
public:
    SocketIo(UdpLink &socket, const Endpoint &peer) : m_socket(socket), m_peer(peer) {}
    int send(const char *data, int size) override { return m_socket.send(data, size, m_peer); }
    UdpLink::Received receive(char *buffer, int capacity, int waitMs) override
    {
        return m_socket.receive(buffer, capacity, waitMs, m_peer);
    }
    int receiveMany(UdpLink::Received *got, char *const *buffers, int capacity, int count,
                    int waitMs) override
    {
        return m_socket.receiveMany(got, buffers, capacity, count, waitMs, m_peer);
    }
    bool tellsArrivals() override { return m_socket.tellsArrivals(); }
    qint64 nowUs() override
    {
        return std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::steady_clock::now().time_since_epoch()).count();
    }
    qint64 readingUs() override { return m_socket.lastReading().monotonicNs() / 1000; }

private:
    UdpLink &m_socket;
    const Endpoint &m_peer;
};

} // namespace

qint64 CmdVESKOR::answerTimeMs() const
{
    const qint64 wallNs = m_socket ? m_socket->lastReading().wallNs : 0;
    return wallNs > 0 ? wallNs / 1000000 : QDateTime::currentMSecsSinceEpoch();
}

// One request, one answer (the rules are in Exchange).
CmdVESKOR::Reply CmdVESKOR::exchange(const char *request, int size, bool up)
{
    forgetAnswer();
    if (!up)
        return {Outcome::NoSocket, kEmptyAnswer};
    SocketIo io(*m_socket, m_peer.endpoint);
    const Outcome outcome = m_exchange.run(io, request, size, m_answerWaitMs, blockingWaitMs() > 0);
    if (m_exchange.takeNoEchoNews()) {
        qWarning().noquote() << QStringLiteral("lib[VESKOR]%1:%2 answers carry no sequence: a duplicated "
                                               "or late answer cannot be told from the next one")
                                    .arg(peerText(), QString::number(m_peer.port));
    }
    m_lastAnswer = &m_exchange.answer();
    return {outcome, m_exchange.answer()};
}

int CmdVESKOR::SendData(QByteArray request, int size, QByteArray &response, int expect)
{
    const Reply reply = exchange(request.constData(), qBound(0, size, request.size()), linkUp());
    if (reply.outcome != Outcome::Answer || expect <= 0)
        return -1;
    response.append(reply.answer);
    return 0;
}

QString CmdVESKOR::peerText() const
{
    return m_peer.address.toString();
}

int CmdVESKOR::Readmemory(int areaCode, int address, int length, int deviceId, QByteArray *out,
                          const QString &tagName)
{
    // The request is built in a buffer kept for the purpose (no allocation).
    m_readRequest.resize(kReadRequestSize);
    writeReadRequest(m_readRequest.data(), quint16(m_sequence & 0xFFFF), quint32(areaCode),
                     quint32(deviceId));
    m_sequence = m_sequence < 65536 ? m_sequence + 1 : 1;
    if (!linkUp())
        return ProtoNoSocket;
    return parseRead(m_readRequest, out, address, deviceId, length, tagName, true);
}

int CmdVESKOR::Message_parsing(const QByteArray &request, QByteArray *out, int offset, int deviceId,
                               int length, const QString &tagName)
{
    return parseRead(request, out, offset, deviceId, length, tagName, linkUp());
}

int CmdVESKOR::parseRead(const QByteArray &request, QByteArray *out, int offset, int deviceId, int length,
                         const QString &tagName, bool up)
{
    static const QString kRequest = QStringLiteral("lib[VESKOR]读命令 %1:%2 ID=%3 %4 len = %5 msg : %6");
    static const QString kAnswer = QStringLiteral("lib[VESKOR]读响应 %1:%2 ID=%3 %4 len = %5 msg : %6");
    static const QString kNoAnswer = QStringLiteral("lib[VESKOR]返回的报文长度为0 %1:%2 ID=%3 %4 len = %5 msg : %6");
    static const QString kShort = QStringLiteral("lib[VESKOR]报文返回长度错误 %1:%2 ID=%3 %4 len = %5 msg : %6");
    static const QString kDevice = QStringLiteral("lib[VESKOR]设备响应错误 %1:%2 ID=%3 %4 len = %5 msg : %6");

    // The device id's text is made only for a line that is written.
    const auto id = [deviceId] { return QString::number(deviceId); };
    if (m_debug)
        qDebug().noquote() << logLine(kRequest, peerText(), m_peer.port, id(), tagName, length, fullHex(request));

    const Reply reply = exchange(request.constData(), request.size(), up);
    const QByteArray &answer = reply.answer;
    if (m_debug)
        qDebug().noquote() << logLine(kAnswer, peerText(), m_peer.port, id(), tagName, length, fullHex(answer));
    const int verdict = reply.outcome == Outcome::Answer ? checkReadAnswer(request, answer, offset, length)
                                                         : int(ProtoNoAnswer);
    switch (verdict) {
    case ProtoOk:
        if (out && length > 0) {
            const char *wanted = answer.constData() + kReadAnswerHeader + offset;
            if (out->isEmpty()) {
                m_payload.setRawData(wanted, uint(length));
                *out = m_payload;
            } else {
                out->append(wanted, length);
            }
        }
        return ProtoOk;
    case ProtoNoAnswer:
        qWarning().noquote() << logLine(kNoAnswer, peerText(), m_peer.port, id(), tagName, length, hexForWarning(answer));
        return ProtoNoAnswer;
    case ProtoTooShort:
        qWarning().noquote() << logLine(kShort, peerText(), m_peer.port, id(), tagName, length, hexForWarning(answer));
        return ProtoTooShort;
    default:
        qWarning().noquote() << logLine(kDevice, peerText(), m_peer.port, id(), tagName, length, hexForWarning(answer));
        return ProtoDeviceError;
    }
}

int CmdVESKOR::Writememory(int areaCode, int address, int length, const QByteArray &data,
                           const QString &tagName)
{
    return writeRequest(WriteKind::Memory, areaCode, address, length, data, tagName);
}

int CmdVESKOR::Writebool(int areaCode, int address, int length, const QByteArray &data,
                         const QString &tagName)
{
    return writeRequest(WriteKind::Bool, areaCode, address, length, data, tagName);
}

int CmdVESKOR::writeRequest(WriteKind kind, int areaCode, int address, int length,
                            const QByteArray &data, const QString &tagName)
{
    static const QString kMemCommand = QStringLiteral("写命令 %1:%2 tag=%3  len = %4 msg : %5");
    static const QString kMemAnswer = QStringLiteral("响应 %1:%2 tag=%3  len = %4 msg : %5");
    static const QString kBoolCommand = QStringLiteral("写命令 %1:%2 Area=%3  len = %4 msg : %5");
    static const QString kBoolAnswer = QStringLiteral("响应 %1:%2 Area=%3  len = %4 msg : %5");

    if (!linkUp())
        return ProtoNoSocket;
    const QByteArray request = buildWriteRequest(quint32(areaCode), address, length, data);
    const Reply reply = exchange(request.constData(), request.size(), true);
    if (m_debug) {
        const bool isBool = kind == WriteKind::Bool;
        qDebug().noquote() << logLine(isBool ? kBoolCommand : kMemCommand, peerText(), m_peer.port,
                                      tagName, length, request);
        qDebug().noquote() << logLine(isBool ? kBoolAnswer : kMemAnswer, peerText(), m_peer.port,
                                      tagName, length, cutWriteAnswerForLog(reply.answer, length));
    }
    return protocolCode(reply.outcome);
}
