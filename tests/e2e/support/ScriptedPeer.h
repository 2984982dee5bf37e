// A scripted controller on 127.0.0.1: a UDP socket served by its own thread.
// It records every datagram it receives and answers each one with the next
// step of its script (or the default step when the script is empty).
#ifndef E2E_SCRIPTEDPEER_H
#define E2E_SCRIPTEDPEER_H

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace e2e {

class ScriptedPeer
{
public:
    // Makes one answer from the request it answers.
    using Reply = std::function<QByteArray(const QByteArray &request)>;

    struct Datagram {
        QByteArray bytes;
        quint16 senderPort;
    };

    // Where a datagram is sent from: the peer's socket, its second socket
    // (another port, same address), or a socket on 127.0.0.2 (another host).
    enum class Source { Main, OtherPort, Stranger };
    struct Send {
        Reply reply;
        int delayMs = 0;        // after the request came in, or after the send before
        Source from = Source::Main;
    };

    // The constructing thread is taken to be the one that calls the driver.
    ScriptedPeer();
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer &) = delete;
    ScriptedPeer &operator=(const ScriptedPeer &) = delete;

    quint16 port() const { return m_port; }
    quint16 otherPort() const { return m_otherPort; }   // the second socket's port
    quint16 strangerPort() const { return m_strangerPort; }   // the socket on 127.0.0.2
    QString endpoint() const;                          // "127.0.0.1:<port>"

    // Script steps, one per request received, in order.
    void answer(Reply reply);                 // one answer
    void answerTimes(Reply reply, int n);     // the same answer n times
    // Several answers that reach the driver together: the thread that made
    // the peer is held (by a signal handler) while they are sent.
    void answerTogether(QList<Reply> replies);
    void answerFromOtherPort(Reply reply);    // one answer, sent from the second socket
    // One answer, sent delayMs after the request came in (well inside the
    // driver's wait): a driver that takes something else for the answer has
    // done so by then.
    void answerAfter(Reply reply, int delayMs);
    // Any sequence of datagrams for one request; together: all of them reach
    // the driver at once (as answerTogether).
    void answerWith(QList<Send> sends, bool together = false);
    void silent();                            // no answer
    // What requests get once the script is used up (initially: no answer).
    void setDefault(Reply reply);
    void setDefaultSilent();

    // Sends a datagram that answers nothing, now, from the main socket.
    void sendUnsolicited(const QByteArray &bytes, quint16 toPort);

    QList<Datagram> received() const;
    // Datagrams sent so far (answers and unsolicited ones); a datagram counts
    // once the system call that sends it has returned.
    int sentCount() const;
    bool waitForSent(int count, int timeoutMs) const;
    void clearReceived();
    bool waitForReceived(int count, int timeoutMs) const;

private:
    struct Step {
        QList<Send> sends;      // empty: no answer
        bool together = false;
    };
    static Step stepOf(const QList<Reply> &replies, Source from, bool together, int delayMs = 0);
    void run();
    void sendTo(int fd, const QByteArray &bytes, quint16 port);

    pthread_t m_client;
    int m_fd = -1;
    int m_otherFd = -1;
    int m_strangerFd = -1;
    quint16 m_port = 0;
    quint16 m_otherPort = 0;
    quint16 m_strangerPort = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;

    mutable std::mutex m_lock;
    mutable std::condition_variable m_arrived;
    std::deque<Step> m_script;
    Step m_default;
    QList<Datagram> m_received;
    int m_sent = 0;
};

// Answer builders for read requests: the 16 request bytes echoed, then the payload.
QByteArray readAnswer(const QByteArray &request, const QByteArray &payload);
ScriptedPeer::Reply readReply(const QByteArray &payload);
// A fixed datagram whatever the request.
ScriptedPeer::Reply fixedReply(const QByteArray &bytes);

} // namespace e2e

#endif
