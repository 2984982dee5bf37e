#include "ScriptedPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace e2e {

namespace {

int boundSocket(quint16 *port, quint32 address = INADDR_LOOPBACK)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        std::perror("socket");
        std::abort();
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(address);
    a.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        std::perror("bind");
        std::abort();
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

sockaddr_in loopback(quint16 port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

// Holding a thread: a signal handler that waits until it is let go. It only
// touches a lock-free atomic and nanosleep, both safe in a handler.
enum HoldState { Idle, Held, Released };
std::atomic<int> g_hold{Idle};

void holdHandler(int)
{
    g_hold.store(Held);
    while (g_hold.load() != Released) {
        timespec t{0, 100000};
        nanosleep(&t, nullptr);
    }
}

bool holdThread(pthread_t thread)
{
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction sa{};
        sa.sa_handler = holdHandler;
        sa.sa_flags = SA_RESTART;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGUSR1, &sa, nullptr);
    });
    g_hold.store(Idle);
    if (pthread_kill(thread, SIGUSR1) != 0)
        return false;
    for (int i = 0; i < 20000 && g_hold.load() != Held; ++i) {
        timespec t{0, 100000};
        nanosleep(&t, nullptr);
    }
    return g_hold.load() == Held;
}

void releaseThread()
{
    g_hold.store(Released);
}

} // namespace

ScriptedPeer::ScriptedPeer() : m_client(pthread_self())
{
    m_fd = boundSocket(&m_port);
    m_otherFd = boundSocket(&m_otherPort);
    m_strangerFd = boundSocket(&m_strangerPort, 0x7f000002);   // 127.0.0.2
    m_thread = std::thread([this] { run(); });
}

ScriptedPeer::~ScriptedPeer()
{
    m_stop = true;
    m_thread.join();
    ::close(m_fd);
    ::close(m_otherFd);
    ::close(m_strangerFd);
}

QString ScriptedPeer::endpoint() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_port);
}

ScriptedPeer::Step ScriptedPeer::stepOf(const QList<Reply> &replies, Source from, bool together,
                                        int delayMs)
{
    Step s;
    s.together = together;
    for (const Reply &r : replies)
        s.sends.append(Send{r, s.sends.isEmpty() ? delayMs : 0, from});
    return s;
}

void ScriptedPeer::answer(Reply reply)
{
    std::lock_guard<std::mutex> l(m_lock);
    m_script.push_back(stepOf({reply}, Source::Main, false));
}

void ScriptedPeer::answerTimes(Reply reply, int n)
{
    QList<Reply> replies;
    for (int i = 0; i < n; ++i)
        replies.append(reply);
    std::lock_guard<std::mutex> l(m_lock);
    m_script.push_back(stepOf(replies, Source::Main, false));
}

void ScriptedPeer::answerTogether(QList<Reply> replies)
{
    std::lock_guard<std::mutex> l(m_lock);
    m_script.push_back(stepOf(replies, Source::Main, true));
}

void ScriptedPeer::answerFromOtherPort(Reply reply)
{
    std::lock_guard<std::mutex> l(m_lock);
    m_script.push_back(stepOf({reply}, Source::OtherPort, false));
}

void ScriptedPeer::answerAfter(Reply reply, int delayMs)
{
    std::lock_guard<std::mutex> l(m_lock);
    m_script.push_back(stepOf({reply}, Source::Main, false, delayMs));
}

void ScriptedPeer::answerWith(QList<Send> sends, bool together)
{
    std::lock_guard<std::mutex> l(m_lock);
    m_script.push_back(Step{sends, together});
}

void ScriptedPeer::silent()
{
    std::lock_guard<std::mutex> l(m_lock);
    m_script.push_back(Step{});
}

void ScriptedPeer::setDefault(Reply reply)
{
    std::lock_guard<std::mutex> l(m_lock);
    m_default = stepOf({reply}, Source::Main, false);
}

void ScriptedPeer::setDefaultSilent()
{
    std::lock_guard<std::mutex> l(m_lock);
    m_default = Step{};
}

void ScriptedPeer::sendUnsolicited(const QByteArray &bytes, quint16 toPort)
{
    sendTo(m_fd, bytes, toPort);
}

QList<ScriptedPeer::Datagram> ScriptedPeer::received() const
{
    std::lock_guard<std::mutex> l(m_lock);
    return m_received;
}

void ScriptedPeer::clearReceived()
{
    std::lock_guard<std::mutex> l(m_lock);
    m_received.clear();
}

bool ScriptedPeer::waitForReceived(int count, int timeoutMs) const
{
    std::unique_lock<std::mutex> l(m_lock);
    return m_arrived.wait_for(l, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_received.size() >= count; });
}

int ScriptedPeer::sentCount() const
{
    std::lock_guard<std::mutex> l(m_lock);
    return m_sent;
}

bool ScriptedPeer::waitForSent(int count, int timeoutMs) const
{
    std::unique_lock<std::mutex> l(m_lock);
    return m_arrived.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return m_sent >= count; });
}

void ScriptedPeer::sendTo(int fd, const QByteArray &bytes, quint16 port)
{
    const sockaddr_in to = loopback(port);
    if (::sendto(fd, bytes.constData(), size_t(bytes.size()), 0,
                 reinterpret_cast<const sockaddr *>(&to), sizeof to) != bytes.size())
        std::perror("sendto");
    {
        std::lock_guard<std::mutex> l(m_lock);
        ++m_sent;
    }
    m_arrived.notify_all();
}

void ScriptedPeer::run()
{
    QByteArray buf(65536, '\0');
    while (!m_stop) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            continue;
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        const ssize_t n = ::recvfrom(m_fd, buf.data(), size_t(buf.size()), 0,
                                     reinterpret_cast<sockaddr *>(&from), &fromLen);
        if (n < 0)
            continue;
        const QByteArray request(buf.constData(), int(n));
        const quint16 senderPort = ntohs(from.sin_port);

        Step step;
        {
            std::lock_guard<std::mutex> l(m_lock);
            m_received.append(Datagram{request, senderPort});
            if (!m_script.empty()) {
                step = m_script.front();
                m_script.pop_front();
            } else {
                step = m_default;
            }
        }
        m_arrived.notify_all();

        // Several answers "together": the requesting thread is held while all
        // of them are sent, so all are queued at its socket before it can
        // act on the first one.
        bool hold = false;
        for (const Send &send : step.sends) {
            if (send.delayMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(send.delayMs));
            if (step.together && !hold)
                hold = holdThread(m_client);
            const int fd = send.from == Source::OtherPort ? m_otherFd
                         : send.from == Source::Stranger ? m_strangerFd : m_fd;
            sendTo(fd, send.reply(request), senderPort);
        }
        if (hold)
            releaseThread();
    }
}

QByteArray readAnswer(const QByteArray &request, const QByteArray &payload)
{
    return request + payload;
}

ScriptedPeer::Reply readReply(const QByteArray &payload)
{
    return [payload](const QByteArray &request) { return readAnswer(request, payload); };
}

ScriptedPeer::Reply fixedReply(const QByteArray &bytes)
{
    return [bytes](const QByteArray &) { return bytes; };
}

} // namespace e2e
