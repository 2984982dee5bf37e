// The driver object the host holds: identity, connection, tag reads and
// writes, debug commands, and the codecs between byte images and elements.
#ifndef VESKOR_LIBVESKOR_H
#define VESKOR_LIBVESKOR_H

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QVariant>

#include "host/CDriveBaseClass.h"
#include "protocol/CmdVESKOR.h"
#include "driver/LocalClock.h"

class LibVESKORS : public QObject, public CDriveBaseClass
{
    Q_OBJECT
    Q_INTERFACES(CDriveBaseClass)

public:
    LibVESKORS();
    ~LibVESKORS() override;

    QString getDriveName() override;
    QString getversion_number() override;
    QString DebugCmd(EDebugCmdType cmd) override;
    int DisConnectDrive() override;
    int ConnectDrive(QString par) override;
    void SetConnectPar(QString par) override;
    CLabelVariable ReadVariable(QString tag, DataType type) override;
    CLabelVariable ReadVariable(QString tag, DataType type, int count) override;
    CLabelVariable WriteVariable(QString tag, DataType type, CLabelVariable v) override;
    CLabelVariable WriteVariable(QString tag, DataType type, CLabelVariable v, int count) override;
    int DestroyFree() override;

    // The read and write paths behind ReadVariable and WriteVariable.
    CLabelVariable Read_data(int area, int address, DataType type, int count, const QString &tag);
    CLabelVariable Write_data(int area, int address, DataType type, CLabelVariable v, int count,
                              const QString &tag);

    // For a tool that loaded this plug-in into its own process and shows the
    // wire (reached through the meta-object, no symbol is exported for it):
    // the whole answer datagram the last read or write took, as it came;
    // empty when none came. Call it on the thread that made the call.
    Q_INVOKABLE QByteArray lastAnswer() const { return m_cmd.lastAnswer(); }

    // The transport, for tests and tools that look at the wire.
    CmdVESKOR &transport() { return m_cmd; }
    quint32 connectPar() const { return m_connectPar; }
    QString ip() const { return m_ip; }
    quint32 port() const { return m_port; }

    // "v1.0.1 yyyy-MM-dd hh:mm:ss" from a compiler date text ("Dec 18 2023",
    // "Dec  7 2026") and time text ("11:16:00").
    static QString buildVersionText(const QString &dateText, const QString &timeText);

    // Kept for the host contract: names the host and its driver interface
    // fix. Each is one call into the real code (Tags, Codec).

    // Tag addressing.
    int getArea(QString tag);
    int getAddr(QString tag);
    int getBytelen(DataType type, int n);

    // Decoders: byte image to a QVariant holding a QList of the element type.
    QVariant set_variant_bool(QByteArray image, int count);
    QVariant set_variant_Int8(QByteArray image, int count);
    QVariant set_variant_UInt8(QByteArray image, int count);
    QVariant set_variant_Int16(QByteArray image, int count);
    QVariant set_variant_UInt16(QByteArray image, int count);
    QVariant set_variant_Int32(QByteArray image, int count);
    QVariant set_variant_UInt32(QByteArray image, int count);
    QVariant set_variant_fload(QByteArray image, int count);
    QVariant set_variant_Int64(QByteArray image, int count);
    QVariant set_variant_UInt64(QByteArray image, int count);
    QVariant set_variant_double(QByteArray image, int count);
    QVariant set_variant_string(QByteArray image, int count);

    // Encoders: the first count elements of v's value appended to out.
    int Wset_variant_bool(CLabelVariable v, int count, QByteArray *out);
    int Wset_variant_Int8(CLabelVariable v, int count, QByteArray *out);
    int Wset_variant_UInt8(CLabelVariable v, int count, QByteArray *out);
    int Wset_variant_Int16(CLabelVariable v, int count, QByteArray *out);
    int Wset_variant_uInt16(CLabelVariable v, int count, QByteArray *out);
    int Wset_variant_Int32(CLabelVariable v, int count, QByteArray *out);
    int Wset_variant_UInt32(CLabelVariable v, int count, QByteArray *out);
    int Wset_variant_float(CLabelVariable v, int count, QByteArray *out);
    int Wset_variant_Int64(CLabelVariable v, int count, QByteArray *out);
    int Wset_variant_UInt64(CLabelVariable v, int count, QByteArray *out);
    int Wset_variant_double(CLabelVariable v, int count, QByteArray *out);
    int Wset_variant_string(CLabelVariable v, int count, QByteArray *out);

private:
    CmdVESKOR m_cmd;
    veskor::LocalClock m_clock;   // the records' time stamps
    quint32 m_connectPar = 1;
    QString m_ip;
    quint32 m_port = 0;
};

#endif
