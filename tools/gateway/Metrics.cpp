#include "Metrics.h"

#include "Config.h"
#include "Controller.h"
#include "Log.h"
#include "ProcessMetrics.h"
#include "common/HostPort.h"

#include <httplib.h>

#include <QLocale>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>

namespace veskorgw {

using Clock = std::chrono::steady_clock;
using L = MetricsLimits;

// ---- The HTTP server ------------------------------------------------------
//
// cpp-httplib parses requests and writes responses; how long and how much a
// connection may take is decided here. Each connection runs on a thread of
// BoundedPool through GuardedHttpServer::process_and_close_socket, which
// replaces the library's own keep-alive loop with one whose reads and writes
// all end at a deadline (ConnectionStream), whatever a client trickles.

namespace {

// Set on the accepting thread while it closes a connection no thread can take.
thread_local bool t_refuse = false;

// Waits until fd is ready for events, or the deadline passed (false).
bool waitReady(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, int(left));
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
}

void socketAddress(int fd, bool peer, std::string &ip, int &port)
{
    sockaddr_storage a{};
    socklen_t size = sizeof a;
    auto *sa = reinterpret_cast<sockaddr *>(&a);
    const int rc = peer ? ::getpeername(fd, sa, &size) : ::getsockname(fd, sa, &size);
    char text[INET6_ADDRSTRLEN] = "";
    port = 0;
    if (rc == 0 && a.ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(&a);
        ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        port = ntohs(in->sin_port);
    } else if (rc == 0 && a.ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&a);
        ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        port = ntohs(in6->sin6_port);
    }
    ip = text;
}

// An accepted connection as the server's stop and its room-making see it.
struct Connection {
    int fd;
    Clock::time_point waitingSince;
    bool waiting = true;    // for a request, or the rest of one, from the client
    bool closing = false;   // shut down to make room; its thread closes it
};
using ConnectionRef = std::list<Connection>::iterator;

} // namespace

class GuardedHttpServer : public httplib::Server
{
public:
    GuardedHttpServer();
    // bind_to_port() with a longer backlog than the library's.
    bool listenOn(const std::string &host, int port);
    // listen_after_bind() on the calling thread; marks its end.
    void run();
    // Returns once run() accepts connections, or has ended.
    void waitListening() const;
    // Shuts down the connections that wait longest on their client until
    // `needed` are being closed: every queued connection then has a thread
    // coming free for it at once, whatever the clients ahead of it do.
    void makeRoom(int needed);
    // Every open connection is shut down, and later ones closed at once.
    void closeAll();
    void setWaiting(ConnectionRef c, bool waiting);

private:
    bool process_and_close_socket(socket_t sock) override;
    bool admit(int fd, ConnectionRef *c);
    void release(ConnectionRef c);

    std::atomic<bool> m_ended{false};
    std::mutex m_mutex;   // the fields below
    std::list<Connection> m_connections;
    int m_closing = 0;
    bool m_stopping = false;
};

namespace {

// A connection's bytes under MetricsLimits: a request must start within
// kIdle and be complete kRequest after its first byte, at most kRequestBytes
// long; its response must have left within kResponse. Past a limit every
// read and write fails and the connection is closed.
class ConnectionStream : public httplib::Stream
{
public:
    ConnectionStream(GuardedHttpServer &server, ConnectionRef c) : m_server(server), m_conn(c), m_fd(c->fd) {}
    // A new request: the wait for its first byte starts, unless that came already.
    void beginRequest();
    bool failed() const { return m_failed; }

    bool is_readable() const override { return m_pos < m_len || (!m_failed && waitReady(m_fd, POLLIN, m_deadline)); }
    bool is_writable() const override
    {
        return !m_failed && waitReady(m_fd, POLLOUT, m_writing ? m_deadline : Clock::now() + L::kResponse);
    }
    ssize_t read(char *ptr, size_t size) override;
    ssize_t write(const char *ptr, size_t size) override;
    void get_remote_ip_and_port(std::string &ip, int &port) const override { socketAddress(m_fd, true, ip, port); }
    void get_local_ip_and_port(std::string &ip, int &port) const override { socketAddress(m_fd, false, ip, port); }
    socket_t socket() const override { return m_fd; }

private:
    bool fill();
    ssize_t fail()
    {
        m_failed = true;
        return -1;
    }

    GuardedHttpServer &m_server;
    ConnectionRef m_conn;
    const int m_fd;
    char m_buffer[4096];
    size_t m_pos = 0, m_len = 0;
    size_t m_taken = 0;       // bytes of this request
    bool m_started = false;   // its first byte came
    bool m_writing = false;   // its response is being written
    bool m_failed = false;
    Clock::time_point m_deadline;
};

void ConnectionStream::beginRequest()
{
    m_writing = false;
    m_taken = m_len - m_pos;
    m_started = m_taken > 0;
    m_deadline = Clock::now() + (m_started ? L::kRequest : L::kIdle);
    m_server.setWaiting(m_conn, true);
}

bool ConnectionStream::fill()
{
    m_pos = m_len = 0;
    while (!m_failed && m_taken < L::kRequestBytes && waitReady(m_fd, POLLIN, m_deadline)) {
        const ssize_t n = ::recv(m_fd, m_buffer, sizeof m_buffer, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            continue;
        if (n <= 0)
            break;
        if (!m_started) {
            m_started = true;
            m_deadline = Clock::now() + L::kRequest;
        }
        m_taken += size_t(n);
        m_len = size_t(n);
        return true;
    }
    fail();
    return false;
}

ssize_t ConnectionStream::read(char *ptr, size_t size)
{
    if (m_pos == m_len && !fill())
        return -1;
    const size_t n = std::min(size, m_len - m_pos);
    std::memcpy(ptr, m_buffer + m_pos, n);
    m_pos += n;
    return ssize_t(n);
}

ssize_t ConnectionStream::write(const char *ptr, size_t size)
{
    if (!m_writing) {
        m_writing = true;
        m_deadline = Clock::now() + L::kResponse;
        m_server.setWaiting(m_conn, false);
    }
    while (!m_failed && waitReady(m_fd, POLLOUT, m_deadline)) {
        const ssize_t n = ::send(m_fd, ptr, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0)
            return n;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            break;
    }
    return fail();
}

// The server's threads: kServing of them, and at most kWaiting accepted
// connections waiting for one. A connection that finds no free thread makes
// room (GuardedHttpServer::makeRoom); one that finds the queue full is
// closed at once on the accepting thread. A stop joins the threads after the
// queue is emptied, each queued connection then closed unread.
class BoundedPool : public httplib::TaskQueue
{
public:
    explicit BoundedPool(GuardedHttpServer &server) : m_server(server)
    {
        for (int i = 0; i < L::kServing; ++i)
            m_threads.emplace_back([this] { work(); });
    }
    void enqueue(std::function<void()> fn) override;
    void shutdown() override;

private:
    void work();

    GuardedHttpServer &m_server;
    std::vector<std::thread> m_threads;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
    int m_idle = 0;   // threads waiting for a job
    bool m_shutdown = false;
};

void BoundedPool::enqueue(std::function<void()> fn)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_shutdown && int(m_jobs.size()) < L::kWaiting) {
            const int needed = int(m_jobs.size()) + 1 - m_idle;
            if (needed > 0)
                m_server.makeRoom(needed);
            m_jobs.push_back(std::move(fn));
            m_wake.notify_one();
            return;
        }
    }
    t_refuse = true;
    fn();
    t_refuse = false;
}

void BoundedPool::shutdown()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_shutdown = true;
    }
    m_wake.notify_all();
    for (std::thread &t : m_threads)
        t.join();
}

void BoundedPool::work()
{
    for (;;) {
        std::function<void()> fn;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            ++m_idle;
            m_wake.wait(lock, [this] { return m_shutdown || !m_jobs.empty(); });
            --m_idle;
            if (m_jobs.empty())
                return;
            fn = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        fn();
    }
}

} // namespace

GuardedHttpServer::GuardedHttpServer()
{
    new_task_queue = [this] { return new BoundedPool(*this); };
    // The library sets these as the accepted sockets' SO_RCVTIMEO and
    // SO_SNDTIMEO; ConnectionStream never blocks in a call, so they only back
    // its deadlines up.
    set_read_timeout(L::kRequest);
    set_write_timeout(L::kResponse);
    set_payload_max_length(L::kRequestBytes);
}

bool GuardedHttpServer::listenOn(const std::string &host, int port)
{
    if (!bind_to_port(host, port))
        return false;
    // A second listen() only sets the backlog: a burst of connections then
    // waits in the kernel for accept instead of having its handshakes dropped.
    ::listen(svr_sock_, L::kBacklog);
    return true;
}

void GuardedHttpServer::run()
{
    listen_after_bind();
    m_ended = true;
    // The library ends its accept loop on an error other than EMFILE too.
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_stopping)
        logLine(LogLevel::Error, QStringLiteral("metrics: accept failed, /metrics is no longer served"));
}

void GuardedHttpServer::waitListening() const
{
    while (!is_running() && !m_ended)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void GuardedHttpServer::makeRoom(int needed)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    while (m_closing < needed) {
        auto oldest = m_connections.end();
        for (auto it = m_connections.begin(); it != m_connections.end(); ++it)
            if (it->waiting && !it->closing && (oldest == m_connections.end() || it->waitingSince < oldest->waitingSince))
                oldest = it;
        if (oldest == m_connections.end())
            return;
        oldest->closing = true;
        ++m_closing;
        ::shutdown(oldest->fd, SHUT_RDWR);
    }
}

void GuardedHttpServer::closeAll()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
    for (const Connection &c : m_connections)
        ::shutdown(c.fd, SHUT_RDWR);
}

void GuardedHttpServer::setWaiting(ConnectionRef c, bool waiting)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    c->waiting = waiting;
    if (waiting)
        c->waitingSince = Clock::now();
}

// Registers fd, or, when the server is full or stopping, closes it (the
// former with a 503 if that fits in the socket at once).
bool GuardedHttpServer::admit(int fd, ConnectionRef *c)
{
    static const char kBusy[] = "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!t_refuse && !m_stopping) {
            *c = m_connections.insert(m_connections.end(), Connection{fd, Clock::now()});
            return true;
        }
    }
    if (t_refuse)
        ::send(fd, kBusy, sizeof kBusy - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    ::close(fd);
    return false;
}

// Unregistered before it is closed: closeAll() and makeRoom() never shut
// down a descriptor number that was given to someone else meanwhile.
void GuardedHttpServer::release(ConnectionRef c)
{
    const int fd = c->fd;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (c->closing)
            --m_closing;
        m_connections.erase(c);
    }
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}

bool GuardedHttpServer::process_and_close_socket(socket_t sock)
{
    ConnectionRef c;
    if (!admit(sock, &c))
        return false;
    ConnectionStream stream(*this, c);
    bool ok = true;
    for (int n = 1; n <= L::kRequestsPerConnection; ++n) {
        stream.beginRequest();
        bool closed = false;
        ok = process_request(stream, n == L::kRequestsPerConnection, closed, nullptr);
        if (!ok || closed || stream.failed())
            break;
    }
    release(c);
    return ok;
}

MetricsServer::MetricsServer(MetricsSources sources) : m_sources(std::move(sources)) {}

namespace {

// 200 "ok" when there is no reason against, else 503 with the reason.
void answerCheck(httplib::Response &res, const QString &reason)
{
    res.status = reason.isEmpty() ? 200 : 503;
    res.set_content(reason.isEmpty() ? std::string("ok\n") : reason.toStdString() + '\n', "text/plain; charset=utf-8");
}

} // namespace

MetricsServer::~MetricsServer()
{
    stop();
}

bool MetricsServer::start(const QString &hostPort, QString *error)
{
    veskortools::HostPort listen;
    if (veskortools::parseHostPort(hostPort, veskortools::kAddressForm, &listen) != veskortools::HostPortError::None) {
        *error = QStringLiteral("metrics: expected ADDRESS:PORT, got %1").arg(hostPort);
        return false;
    }
    m_server.reset(new GuardedHttpServer);
    m_server->Get("/metrics", [this](const httplib::Request &, httplib::Response &res) {
        const QVector<std::shared_ptr<Controller>> held = m_sources.controllers();
        QVector<Controller *> controllers;
        for (const auto &c : held)
            controllers.append(c.get());
        const QByteArray text = metricsText(controllers);
        res.set_content(text.constData(), size_t(text.size()), "text/plain; version=0.0.4; charset=utf-8");
    });
    m_server->Get("/healthz", [this](const httplib::Request &, httplib::Response &res) {
        answerCheck(res, m_sources.notAlive());
    });
    m_server->Get("/readyz", [this](const httplib::Request &, httplib::Response &res) {
        answerCheck(res, m_sources.notReady());
    });
    m_server->Get("/", [](const httplib::Request &, httplib::Response &res) {
        res.set_content("veskor-gateway: metrics at /metrics, health at /healthz, readiness at /readyz\n", "text/plain");
    });
    if (!m_server->listenOn(listen.host.toStdString(), listen.port)) {
        *error = QStringLiteral("metrics: cannot listen on %1").arg(hostPort);
        m_server.reset();
        return false;
    }
    m_thread = std::thread([this] { m_server->run(); });
    // The library's stop() does nothing until the server runs.
    m_server->waitListening();
    return true;
}

void MetricsServer::stop()
{
    if (!m_server)
        return;
    m_server->closeAll();
    if (m_server->is_running())
        m_server->stop();
    if (m_thread.joinable())
        m_thread.join();
    m_server.reset();
}

} // namespace veskorgw
