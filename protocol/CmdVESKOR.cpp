#include "CmdVESKOR.h"

#include "Frames.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QUdpSocket>

#include <cstring>

using namespace veskor;

namespace {

// One log line: the placeholders are filled in a single pass, so text from a
// tag name is never taken for a placeholder.
QString logLine(const QString &format, const QString &peer, int port, const QString &third,
                const QString &tag, int length, const QByteArray &bytes)
{
    return format.arg(peer, QString::number(port), third, tag, QString::number(length),
                      QString::fromLatin1(bytes.toHex()));
}

QString logLine(const QString &format, const QString &peer, int port, const QString &tag,
                int length, const QByteArray &bytes)
{
    return format.arg(peer, QString::number(port), tag, QString::number(length),
                      QString::fromLatin1(bytes.toHex()));
}

} // namespace

CmdVESKOR::CmdVESKOR() = default;

CmdVESKOR::~CmdVESKOR()
{
    if (m_socket) {
        if (m_socket->state() != QAbstractSocket::UnconnectedState)
            DisConnectDrive();
        deletetcpSocket();
    }
}

int CmdVESKOR::ConnectDrive(QString ip, int port)
{
    if (!m_socket)
        m_socket = new QUdpSocket(this);
    m_peerPort = port;
    m_readEchoStreak = 0;    // another controller may answer from now on
    m_writeEchoStreak = 0;
    if (!m_peerAddress.setAddress(ip))
        return -1;
    connect(m_socket, &QUdpSocket::readyRead, this, &CmdVESKOR::myreadyRead);
    connect(m_socket, &QUdpSocket::connected, this, &CmdVESKOR::myconnected);
    connect(m_socket, &QUdpSocket::disconnected, this, &CmdVESKOR::mydisconnected);
    // Binding fails when the controller's address is not one of ours; the
    // first send then binds the socket to any address and a free port.
    // A socket that is bound already keeps its binding (a second bind could
    // only fail, with a warning from Qt).
    if (m_socket->state() == QAbstractSocket::UnconnectedState)
        m_socket->bind(m_peerAddress, kLocalPort);
    return 0;
}

int CmdVESKOR::DisConnectDrive()
{
    if (!m_socket)
        return 0;
    m_socket->close();
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->waitForDisconnected(kDisconnectWaitMs);
    disconnect(m_socket, &QUdpSocket::connected, this, &CmdVESKOR::myconnected);
    disconnect(m_socket, &QUdpSocket::disconnected, this, &CmdVESKOR::mydisconnected);
    disconnect(m_socket, &QUdpSocket::readyRead, this, &CmdVESKOR::myreadyRead);
    return 0;
}

int CmdVESKOR::Connection_status()
{
    return m_socket ? -1 : ProtoNoSocket;
}

int CmdVESKOR::deletetcpSocket()
{
    delete m_socket;
    m_socket = nullptr;
    return 0;
}

int CmdVESKOR::DestroyFree()
{
    if (!m_socket)
        return 1;
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        DisConnectDrive();
    deletetcpSocket();
    return 0;
}

void CmdVESKOR::myconnected() {}
void CmdVESKOR::mydisconnected() {}

void CmdVESKOR::myreadyRead()
{
    if (!m_socket)
        return;
    // Drain everything pending; the last datagram that may answer the waiting
    // request stays. Datagrams from any sender are taken in.
    // pendingDatagramSize() is one peek that both tells whether a datagram is
    // pending (-1 when none) and how long it is; the sender's address is not
    // asked for, as nothing uses it.
    for (;;) {
        const qint64 size = m_socket->pendingDatagramSize();
        if (size < 0)
            break;
        m_scratch.resize(int(size));
        const qint64 got = m_socket->readDatagram(m_scratch.data(), m_scratch.size());
        if (got < 0)
            break;
        ++m_datagramsRead;
        m_scratch.resize(int(got));
        if (answersRequest(m_scratch))
            m_rxBuffer.swap(m_scratch);
    }
}

namespace {

bool isReadRequest(const QByteArray &r)
{
    return r.size() == kReadRequestSize && r.at(0) == 'M' && r.at(1) == 'R';
}

bool isWriteRequest(const QByteArray &r)
{
    return r.size() >= kWriteHeaderSize && r.startsWith(QByteArray::fromRawData("\x02\x01\x01\x00", 4));
}

bool echoesSequence(const QByteArray &request, const QByteArray &answer)
{
    return answer.size() >= 6 && answer.at(4) == request.at(4) && answer.at(5) == request.at(5);
}

bool echoesWriteHeader(const QByteArray &request, const QByteArray &answer)
{
    return answer.size() >= kWriteHeaderSize
        && memcmp(answer.constData(), request.constData(), kWriteHeaderSize) == 0;
}

} // namespace

bool CmdVESKOR::answersRequest(const QByteArray &datagram) const
{
    if (isReadRequest(m_request) && m_readEchoStreak >= kEchoLearned)
        return echoesSequence(m_request, datagram);
    if (isWriteRequest(m_request) && m_writeEchoStreak >= kEchoLearned) {
        // Any answer acknowledges a write, a cut one included; only an answer
        // that is plainly another request's is passed over: a read answer, or
        // the echo of another write's header.
        if (datagram.size() >= kReadAnswerHeader && datagram.at(0) == 'M')
            return false;
        if (isWriteRequest(datagram) && !echoesWriteHeader(m_request, datagram))
            return false;
    }
    return true;
}

void CmdVESKOR::learnEcho(const QByteArray &request, const QByteArray &answer)
{
    if (isReadRequest(request)) {
        if (m_readEchoStreak < kEchoLearned)
            m_readEchoStreak = echoesSequence(request, answer) ? m_readEchoStreak + 1 : 0;
    } else if (isWriteRequest(request)) {
        if (m_writeEchoStreak < kEchoLearned)
            m_writeEchoStreak = echoesWriteHeader(request, answer) ? m_writeEchoStreak + 1 : 0;
    }
}

void CmdVESKOR::discardStale()
{
    // Only a datagram that arrives after the send may answer it: drop what an
    // earlier exchange left behind, in the buffer or still on the socket.
    m_rxBuffer.clear();
    // An unbound socket (its bind failed and nothing was sent yet) holds nothing.
    if (!m_socket || m_socket->state() != QAbstractSocket::BoundState)
        return;
    while (m_socket->hasPendingDatagrams()) {
        if (m_socket->readDatagram(nullptr, 0) < 0)
            break;
    }
}

int CmdVESKOR::SendData(QByteArray request, int size, QByteArray &response, int expect)
{
    discardStale();
    if (m_socket) {
        const int n = qBound(0, size, request.size());
        m_request = request.left(n);
        m_socket->writeDatagram(request.constData(), n, m_peerAddress, quint16(m_peerPort));
        m_socket->flush();
        // One wait of at most kAnswerWaitMs. It goes on only past datagrams
        // that cannot answer this request (see answersRequest).
        QElapsedTimer clock;
        clock.start();
        int remaining = kAnswerWaitMs;
        for (;;) {
            const quint64 before = m_datagramsRead;
            if (!m_socket->waitForReadyRead(remaining))
                break;
            if (!m_rxBuffer.isEmpty() || m_datagramsRead == before)
                break;
            remaining = kAnswerWaitMs - int(clock.elapsed());
            if (remaining <= 0)
                break;
        }
        m_request.clear();
    }
    if (expect <= 0)
        return -1;
    if (m_rxBuffer.isEmpty())
        return -1;
    learnEcho(request, m_rxBuffer);
    response.append(m_rxBuffer);
    m_rxBuffer.clear();
    return 0;
}

QString CmdVESKOR::peerText() const
{
    return m_peerAddress.toString();
}

int CmdVESKOR::Readmemory(int areaCode, int address, int length, int deviceId, QByteArray *out,
                          QString tagName)
{
    const QByteArray request =
        buildReadRequest(quint16(m_sequence & 0xFFFF), quint32(areaCode), quint32(deviceId));
    m_sequence = m_sequence < 65536 ? m_sequence + 1 : 1;
    if (Connection_status() == ProtoNoSocket)
        return ProtoNoSocket;
    return Message_parsing(request, out, address, deviceId, length, tagName);
}

int CmdVESKOR::Message_parsing(QByteArray request, QByteArray *out, int offset, int deviceId,
                               int length, QString tagName)
{
    static const QString kRequest = QStringLiteral("lib[VESKOR]读命令 %1:%2 ID=%3 %4 len = %5 msg : %6");
    static const QString kAnswer = QStringLiteral("lib[VESKOR]读响应 %1:%2 ID=%3 %4 len = %5 msg : %6");
    static const QString kNoAnswer = QStringLiteral("lib[VESKOR]返回的报文长度为0 %1:%2 ID=%3 %4 len = %5 msg : %6");
    static const QString kShort = QStringLiteral("lib[VESKOR]报文返回长度错误 %1:%2 ID=%3 %4 len = %5 msg : %6");
    static const QString kDevice = QStringLiteral("lib[VESKOR]设备响应错误 %1:%2 ID=%3 %4 len = %5 msg : %6");

    // The device id's text is made only for a line that is written.
    const auto id = [deviceId] { return QString::number(deviceId); };
    if (m_debug)
        qDebug().noquote() << logLine(kRequest, peerText(), m_peerPort, id(), tagName, length, request);

    QByteArray answer;
    const int sent = SendData(request, request.size(), answer, kExpect);

    if (m_debug)
        qDebug().noquote() << logLine(kAnswer, peerText(), m_peerPort, id(), tagName, length, answer);

    int verdict = sent != 0 ? int(ProtoNoAnswer) : checkReadAnswer(request, answer, offset, length);
    switch (verdict) {
    case ProtoOk:
        if (out && length > 0)
            out->append(readAnswerPayload(answer, offset, length));
        return ProtoOk;
    case ProtoNoAnswer:
        qWarning().noquote() << logLine(kNoAnswer, peerText(), m_peerPort, id(), tagName, length, answer);
        return ProtoNoAnswer;
    case ProtoTooShort:
        qWarning().noquote() << logLine(kShort, peerText(), m_peerPort, id(), tagName, length, answer);
        return ProtoTooShort;
    default:
        qWarning().noquote() << logLine(kDevice, peerText(), m_peerPort, id(), tagName, length, answer);
        return ProtoDeviceError;
    }
}

int CmdVESKOR::Writememory(int areaCode, int address, int length, QByteArray data, QString tagName)
{
    return writeRequest(WriteKind::Memory, areaCode, address, length, data, tagName);
}

int CmdVESKOR::Writebool(int areaCode, int address, int length, QByteArray data, QString tagName)
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

    const QByteArray request = buildWriteRequest(quint32(areaCode), address, length, data);
    if (Connection_status() == ProtoNoSocket)
        return ProtoNoSocket;

    QByteArray answer;
    const int sent = SendData(request, request.size(), answer, kExpect);

    if (m_debug) {
        const bool isBool = kind == WriteKind::Bool;
        qDebug().noquote() << logLine(isBool ? kBoolCommand : kMemCommand, peerText(), m_peerPort,
                                      tagName, length, request);
        qDebug().noquote() << logLine(isBool ? kBoolAnswer : kMemAnswer, peerText(), m_peerPort,
                                      tagName, length, cutWriteAnswerForLog(answer, length));
    }
    return sent == 0 ? ProtoOk : ProtoNoAnswer;
}
