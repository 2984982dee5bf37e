// The driver's link to the controller: one UDP socket, one peer, one request
// at a time. Each request is one datagram and one bounded wait for one answer.
#ifndef VESKOR_CMDVESKOR_H
#define VESKOR_CMDVESKOR_H

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>

class QUdpSocket;

class CmdVESKOR : public QObject
{
    Q_OBJECT

public:
    CmdVESKOR();
    ~CmdVESKOR() override;

    static constexpr quint16 kLocalPort = 64000;
    static constexpr int kAnswerWaitMs = 2000;
    static constexpr int kDisconnectWaitMs = 30000;
    static constexpr int kExpect = 50;

    int ConnectDrive(QString ip, int port);
    int DisConnectDrive();
    int SendData(QByteArray request, int size, QByteArray &response, int expect);
    int Connection_status();
    int deletetcpSocket();
    int DestroyFree();

    int Readmemory(int areaCode, int address, int length, int deviceId, QByteArray *out,
                   QString tagName);
    int Message_parsing(QByteArray request, QByteArray *out, int offset, int deviceId, int length,
                        QString tagName);
    int Writememory(int areaCode, int address, int length, QByteArray data, QString tagName);
    int Writebool(int areaCode, int address, int length, QByteArray data, QString tagName);

    void setDebug(bool on) { m_debug = on; }
    bool debug() const { return m_debug; }
    int sequence() const { return m_sequence; }

public slots:
    void myconnected();
    void mydisconnected();
    void myreadyRead();

private:
    enum class WriteKind { Memory, Bool };
    int writeRequest(WriteKind kind, int areaCode, int address, int length, const QByteArray &data,
                     const QString &tagName);
    void discardStale();
    bool answersRequest(const QByteArray &datagram) const;
    void learnEcho(const QByteArray &request, const QByteArray &answer);
    QString peerText() const;

    QByteArray m_rxBuffer;
    QHostAddress m_peerAddress;
    int m_sequence = 1;
    QUdpSocket *m_socket = nullptr;
    int m_peerPort = 0;
    bool m_debug = false;

    // Controllers that echo a request's identity in their answer (the read
    // request's sequence number, the write request's header) let a late
    // answer to an earlier request be told apart. After kEchoLearned answers
    // in a row that echo, an answer that does not is not taken for this
    // request; the wait goes on. Until then, as with a controller that does
    // not echo, the first datagram is the answer.
    static constexpr int kEchoLearned = 3;
    QByteArray m_request;        // the request waiting for its answer
    QByteArray m_scratch;        // receive buffer of the datagram being read
    quint64 m_datagramsRead = 0;
    int m_readEchoStreak = 0;
    int m_writeEchoStreak = 0;
};

#endif
