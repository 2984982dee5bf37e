#include "responder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vbench {

Responder::~Responder()
{
    stop();
}

bool Responder::start()
{
    m_fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (m_fd < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = 0;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(m_fd);
        m_fd = -1;
        return false;
    }
    socklen_t len = sizeof addr;
    ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&addr), &len);
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread([this] { run(); });
    return true;
}

void Responder::stop()
{
    if (!m_thread.joinable())
        return;
    m_stop.store(true);
    // Wake the blocking receive with one datagram of our own.
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(m_port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const char q = 'Q';
    ::sendto(s, &q, 1, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    ::close(s);
    m_thread.join();
    ::close(m_fd);
    m_fd = -1;
}

void Responder::run()
{
    unsigned char in[2048];
    unsigned char readAnswer[kReadAnswerBytes];
    for (int i = 0; i < kReadPayloadBytes; ++i)
        readAnswer[kReadRequestBytes + i] = static_cast<unsigned char>(i * 7 + 3);
    unsigned char ack[kWriteAckBytes];

    while (!m_stop.load(std::memory_order_relaxed)) {
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        const ssize_t n = ::recvfrom(m_fd, in, sizeof in, 0, reinterpret_cast<sockaddr *>(&from),
                                     &fromLen);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (m_stop.load(std::memory_order_relaxed))
            break;
        const unsigned char *answer = nullptr;
        size_t answerLen = 0;
        if (n == kReadRequestBytes) {
            // Header echo: bytes 1..15 as sent (12..15 are the device id the
            // driver checks), byte 0 'M'.
            std::memcpy(readAnswer, in, kReadRequestBytes);
            readAnswer[0] = 'M';
            answer = readAnswer;
            answerLen = kReadAnswerBytes;
        } else if (n >= kWriteAckBytes && in[0] == 0x02) {
            std::memcpy(ack, in, kWriteAckBytes);
            answer = ack;
            answerLen = kWriteAckBytes;
        } else {
            continue;
        }
        ::sendto(m_fd, answer, answerLen, 0, reinterpret_cast<sockaddr *>(&from), fromLen);
        m_answered.fetch_add(1, std::memory_order_relaxed);
    }
}

} // namespace vbench
