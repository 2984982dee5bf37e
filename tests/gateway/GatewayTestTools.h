// What the gateway's end-to-end tests share to start their peers.
#ifndef VESKOR_GATEWAYTESTTOOLS_H
#define VESKOR_GATEWAYTESTTOOLS_H

#include <QByteArrayList>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>

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

// The lines a process writes on its standard output, as they come.
class OutputLines
{
public:
    explicit OutputLines(QProcess *p) : m_proc(p) {}
    // Index of the first line from `from` on that contains `text` (and
    // `also`), waiting up to ms; -1 when none came.
    int waitFor(const QByteArray &text, int ms, int from = 0, const QByteArray &also = QByteArray())
    {
        return waitUntil([&](const QByteArray &l) { return l.contains(text) && l.contains(also); }, ms, from);
    }
    // The same for the first line that `re` matches.
    int waitFor(const QRegularExpression &re, int ms, int from = 0)
    {
        return waitUntil([&](const QByteArray &l) { return matches(re, l); }, ms, from);
    }
    // How many of the lines from `from` on, as they are now, contain `text`
    // (or match `re`).
    int count(const QByteArray &text, int from = 0)
    {
        return countIf([&](const QByteArray &l) { return l.contains(text); }, from);
    }
    int count(const QRegularExpression &re, int from = 0)
    {
        return countIf([&](const QByteArray &l) { return matches(re, l); }, from);
    }
    // The lines from `from` on that start with `prefix`, after reading
    // for ms.
    QByteArrayList startingWith(const QByteArray &prefix, int from, int ms = 0)
    {
        QElapsedTimer t;
        t.start();
        do
            pump(20);
        while (t.elapsed() < ms);
        QByteArrayList found;
        for (int i = from; i < m_lines.size(); ++i)
            if (m_lines.at(i).startsWith(prefix))
                found << m_lines.at(i);
        return found;
    }
    int size() { pump(0); return m_lines.size(); }
    const QByteArrayList &lines() { pump(0); return m_lines; }
    QByteArray joined(int from) { pump(0); return m_lines.mid(from).join('\n'); }

    // The index of the first line from `from` on that `found` accepts,
    // waiting up to ms; -1 when none came.
    template<typename Pred>
    int waitUntil(Pred found, int ms, int from)
    {
        QElapsedTimer t;
        t.start();
        pump(0);
        for (int i = from;;) {
            for (; i < m_lines.size(); ++i)
                if (found(m_lines.at(i)))
                    return i;
            if (t.elapsed() >= ms)
                return -1;
            pump(20);
        }
    }
    // How many lines from `from` on, as they are now, `found` accepts.
    template<typename Pred>
    int countIf(Pred found, int from)
    {
        pump(0);
        int n = 0;
        for (int i = from; i < m_lines.size(); ++i)
            n += found(m_lines.at(i)) ? 1 : 0;
        return n;
    }
private:
    static bool matches(const QRegularExpression &re, const QByteArray &line)
    {
        return re.match(QString::fromUtf8(line)).hasMatch();
    }
    void pump(int ms)
    {
        m_proc->waitForReadyRead(ms);
        m_buffer += m_proc->readAllStandardOutput();
        int nl;
        while ((nl = m_buffer.indexOf('\n')) >= 0) {
            m_lines << m_buffer.left(nl);
            m_buffer.remove(0, nl + 1);
        }
    }
    QProcess *m_proc;
    QByteArray m_buffer;
    QByteArrayList m_lines;
};

// A mosquitto of the test's own on 127.0.0.1, its configuration written to
// `confFile`. Its port was free when first asked for and stays the same over
// restarts.
class Broker
{
public:
    explicit Broker(const QString &confFile) : m_confFile(confFile) {}
    ~Broker() { stop(); }
    quint16 port() const
    {
        if (!m_port)
            m_port = freeTcpPort();
        return m_port;
    }
    // Started with one listener on port() that takes anyone, nothing kept
    // on disk, and the lines `more` after that (a bridge, say).
    bool start(const QString &more = QString())
    {
        return startWith(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\npersistence false\n").arg(port())
                         + more);
    }
    // Started with the configuration `conf`, which has a listener on port();
    // true once that takes a connection, within 5 s.
    bool startWith(const QString &conf)
    {
        QFile f(m_confFile);
        if (!f.open(QIODevice::WriteOnly))
            return false;
        f.write(conf.toUtf8());
        f.close();
        // mosquitto started as root reads its file as the user mosquitto.
        QFile::setPermissions(f.fileName(), QFile::permissions(f.fileName()) | QFileDevice::ReadOther);
        m_proc.reset(new QProcess);
        m_proc->setProcessChannelMode(QProcess::MergedChannels);
        m_proc->start(findTool("mosquitto"), {QStringLiteral("-c"), f.fileName()});
        if (!m_proc->waitForStarted())
            return false;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 5000) {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, port());
            if (s.waitForConnected(200))
                return true;
            QTest::qWait(50);
        }
        return false;
    }
    // What it wrote (stdout and stderr) since last asked.
    QByteArray output() { return m_proc ? m_proc->readAll() : QByteArray(); }
    // SIGKILL, as a crash or a power cut would; whether it was running and
    // is gone within 2 s.
    bool stop()
    {
        if (!m_proc || m_proc->state() == QProcess::NotRunning)
            return false;
        m_proc->kill();
        return m_proc->waitForFinished(2000);
    }

private:
    QString m_confFile;
    mutable quint16 m_port = 0;   // picked when first asked for
    std::unique_ptr<QProcess> m_proc;
};

#endif
