// A minimal controller stand-in for the round-trip benchmarks: one POSIX UDP
// socket on 127.0.0.1 and one thread. A 16-byte read request is answered with
// 216 bytes (the request's header echoed with byte 0 'M', then 200 payload
// bytes); any write request (first byte 0x02, at least 11 bytes) with an
// 11-byte acknowledgement. Anything else is ignored.
#ifndef VESKOR_BENCH_RESPONDER_H
#define VESKOR_BENCH_RESPONDER_H

#include <atomic>
#include <cstdint>
#include <thread>

namespace vbench {

constexpr int kReadRequestBytes = 16;
constexpr int kReadPayloadBytes = 200;
constexpr int kReadAnswerBytes = kReadRequestBytes + kReadPayloadBytes;
constexpr int kWriteAckBytes = 11;

class Responder
{
public:
    Responder() = default;
    ~Responder();
    Responder(const Responder &) = delete;
    Responder &operator=(const Responder &) = delete;

    // Binds 127.0.0.1 on a free port and starts the thread; false on failure.
    bool start();
    void stop();
    std::uint16_t port() const { return m_port; }
    std::uint64_t answered() const { return m_answered.load(std::memory_order_relaxed); }

private:
    void run();

    int m_fd = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<std::uint64_t> m_answered{0};
    std::thread m_thread;
};

} // namespace vbench

#endif
