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
    QString peerText() const;

    QByteArray m_rxBuffer;
    QHostAddress m_peerAddress;
    int m_sequence = 1;
    QUdpSocket *m_socket = nullptr;
    int m_peerPort = 0;
    bool m_debug = false;
};

#endif
