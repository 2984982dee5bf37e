// What the gateway's end-to-end tests share to start their peers.
#ifndef VESKOR_GATEWAYTESTTOOLS_H
#define VESKOR_GATEWAYTESTTOOLS_H

#include <QByteArrayList>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QProcess>
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

// The lines a process writes on its standard output, as they come.
class OutputLines
{
public:
    explicit OutputLines(QProcess *p) : m_proc(p) {}
    // Index of the first line from `from` on that contains `text` (and
    // `also`), waiting up to ms; -1 when none came.
    int waitFor(const QByteArray &text, int ms, int from = 0, const QByteArray &also = QByteArray())
    {
        QElapsedTimer t;
        t.start();
        pump(0);
        for (int i = from;;) {
            for (; i < m_lines.size(); ++i)
                if (m_lines.at(i).contains(text) && m_lines.at(i).contains(also))
                    return i;
            if (t.elapsed() >= ms)
                return -1;
            pump(20);
        }
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
    QByteArray joined(int from) { pump(0); return m_lines.mid(from).join('\n'); }

private:
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

#endif
