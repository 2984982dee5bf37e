// HOST:PORT as the tools read it: veskor --connect, a tag file's controller,
// the gateway's "connect" and metrics listener, veskor-sim --listen.
#include "common/HostPort.h"

#include <QtTest>

using namespace veskortools;

Q_DECLARE_METATYPE(veskortools::HostPortError)

namespace {

HostPortForm formNamed(const QString &name)
{
    if (name == QLatin1String("connect"))
        return kConnectForm;
    if (name == QLatin1String("listen"))
        return kListenForm;
    return kAddressForm;
}

} // namespace

class TstHostPort : public QObject
{
    Q_OBJECT

private slots:
    void taken_data();
    void taken();
    void refused_data();
    void refused();
};

void TstHostPort::taken_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("portText");
    QTest::addColumn<int>("port");

    for (const char *form : {"connect", "address", "listen"}) {
        const QString f = QLatin1String(form);
        QTest::addRow("%s: IPv4", form) << f << "192.168.0.10:5000" << "192.168.0.10" << "5000" << 5000;
        QTest::addRow("%s: name", form) << f << "plc-1.local:50200" << "plc-1.local" << "50200" << 50200;
        QTest::addRow("%s: lowest port", form) << f << "h:1" << "h" << "1" << 1;
        QTest::addRow("%s: highest port", form) << f << "h:65535" << "h" << "65535" << 65535;
        QTest::addRow("%s: leading zeros", form) << f << "h:0080" << "h" << "0080" << 80;
        QTest::addRow("%s: one-letter host", form) << f << "x:9" << "x" << "9" << 9;
    }
    // The host runs to the last colon where colons may stand in it; the
    // port is read as a number with blanks or a sign.
    for (const char *form : {"address", "listen"}) {
        const QString f = QLatin1String(form);
        QTest::addRow("%s: IPv6 host", form) << f << "::1:9100" << "::1" << "9100" << 9100;
        QTest::addRow("%s: brackets kept", form) << f << "[::1]:9100" << "[::1]" << "9100" << 9100;
        QTest::addRow("%s: plus sign", form) << f << "h:+80" << "h" << "+80" << 80;
        QTest::addRow("%s: blank before the port", form) << f << "h: 80" << "h" << " 80" << 80;
    }
    QTest::addRow("listen: port 0") << "listen" << "127.0.0.1:0" << "127.0.0.1" << "0" << 0;
    QTest::addRow("listen: hex port") << "listen" << "h:0xC3A8" << "h" << "0xC3A8" << 50088;
    QTest::addRow("listen: hex upper X") << "listen" << "h:0XFFFF" << "h" << "0XFFFF" << 65535;
}

void TstHostPort::taken()
{
    QFETCH(QString, form);
    QFETCH(QString, text);
    HostPort got;
    QString reason = QStringLiteral("untouched");
    QCOMPARE(parseHostPort(text, formNamed(form), &got, &reason), HostPortError::None);
    QTEST(got.host, "host");
    QTEST(got.portText, "portText");
    QTEST(int(got.port), "port");
    QCOMPARE(reason, QStringLiteral("untouched"));
}

void TstHostPort::refused_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("text");
    QTest::addColumn<HostPortError>("error");
    QTest::addColumn<QString>("reason");

    const auto form = HostPortError::Form;
    const auto port = HostPortError::Port;
    const QString hostForm = QStringLiteral("expected HOST:PORT");
    const QString addrForm = QStringLiteral("expected ADDR:PORT");
    const QString from1 = QStringLiteral("port out of range 1..65535");
    const QString from0 = QStringLiteral("port out of range 0..65535");

    for (const char *f : {"connect", "address"}) {
        const QString n = QLatin1String(f);
        QTest::addRow("%s: empty", f) << n << "" << form << hostForm;
        QTest::addRow("%s: no colon", f) << n << "192.168.0.10" << form << hostForm;
        QTest::addRow("%s: no host", f) << n << ":5000" << form << hostForm;
        QTest::addRow("%s: port 0", f) << n << "h:0" << port << from1;
        QTest::addRow("%s: port 65536", f) << n << "h:65536" << port << from1;
        QTest::addRow("%s: port past 64 bits", f) << n << "h:99999999999999999999999" << port << from1;
    }
    // veskor --connect: the host holds no colon, the port is digits only.
    QTest::addRow("connect: no port") << "connect" << "h:" << form << hostForm;
    QTest::addRow("connect: two colons") << "connect" << "a:b:5000" << form << hostForm;
    QTest::addRow("connect: IPv6") << "connect" << "::1:5000" << form << hostForm;
    QTest::addRow("connect: brackets") << "connect" << "[::1]:5000" << form << hostForm;
    QTest::addRow("connect: plus sign") << "connect" << "h:+80" << form << hostForm;
    QTest::addRow("connect: blank") << "connect" << "h: 80" << form << hostForm;
    QTest::addRow("connect: minus") << "connect" << "h:-1" << form << hostForm;
    QTest::addRow("connect: hex") << "connect" << "h:0x50" << form << hostForm;
    QTest::addRow("connect: newline after") << "connect" << "h:80\n" << form << hostForm;
    QTest::addRow("connect: Arabic digits") << "connect" << QStringLiteral("h:\u0668\u0660") << form << hostForm;
    // The gateway's and the tag file's form: the last colon splits.
    QTest::addRow("address: no port") << "address" << "h:" << port << from1;
    QTest::addRow("address: minus") << "address" << "h:-1" << port << from1;
    QTest::addRow("address: hex") << "address" << "h:0x50" << port << from1;
    QTest::addRow("address: letters") << "address" << "h:http" << port << from1;
    QTest::addRow("address: exponent") << "address" << "h:1e3" << port << from1;
    // veskor-sim --listen: port 0 is a free port, 0x is hexadecimal.
    QTest::addRow("listen: empty") << "listen" << "" << form << addrForm;
    QTest::addRow("listen: no colon") << "listen" << "127.0.0.1" << form << addrForm;
    QTest::addRow("listen: no host") << "listen" << ":50200" << form << addrForm;
    QTest::addRow("listen: no port") << "listen" << "h:" << port << from0;
    QTest::addRow("listen: port 65536") << "listen" << "h:65536" << port << from0;
    QTest::addRow("listen: hex 0x10000") << "listen" << "h:0x10000" << port << from0;
    QTest::addRow("listen: bare 0x") << "listen" << "h:0x" << port << from0;
    QTest::addRow("listen: bad hex digit") << "listen" << "h:0xG1" << port << from0;
    QTest::addRow("listen: minus") << "listen" << "h:-1" << port << from0;
}

void TstHostPort::refused()
{
    QFETCH(QString, form);
    QFETCH(QString, text);
    HostPort got;
    got.host = QStringLiteral("kept");
    got.port = 7;
    QString reason;
    QTEST(parseHostPort(text, formNamed(form), &got, &reason), "error");
    QTEST(reason, "reason");
    QCOMPARE(got.host, QStringLiteral("kept"));
    QCOMPARE(int(got.port), 7);
    // Without a place for the reason the answer is the same.
    QTEST(parseHostPort(text, formNamed(form), &got), "error");
}

QTEST_APPLESS_MAIN(TstHostPort)
#include "tst_hostport.moc"
