// The peer baseline: a libmodbus TCP server on 127.0.0.1 with its own thread,
// holding 200 holding registers. A client reads 100 of them per round trip:
// the same 200 bytes a ReadVariable of 100 int16 brings back.
#ifndef VESKOR_BENCH_MODBUSPEER_H
#define VESKOR_BENCH_MODBUSPEER_H

#include <atomic>
#include <cstdint>
#include <thread>

namespace vbench {

constexpr int kModbusRegisters = 100;

class ModbusPeer
{
public:
    ModbusPeer() = default;
    ~ModbusPeer();
    ModbusPeer(const ModbusPeer &) = delete;
    ModbusPeer &operator=(const ModbusPeer &) = delete;

    // Listens on 127.0.0.1 (a free port) and serves one client after another.
    bool start();
    void stop();
    std::uint16_t port() const { return m_port; }

private:
    void run();

    void *m_ctx = nullptr;        // modbus_t
    void *m_mapping = nullptr;    // modbus_mapping_t
    int m_listen = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace vbench

#endif
