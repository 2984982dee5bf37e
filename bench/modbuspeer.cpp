#include "modbuspeer.h"

#include <modbus.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vbench {

ModbusPeer::~ModbusPeer()
{
    stop();
}

bool ModbusPeer::start()
{
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", 0);
    if (!ctx)
        return false;
    modbus_mapping_t *map = modbus_mapping_new(0, 0, 2 * kModbusRegisters, 0);
    const int s = map ? modbus_tcp_listen(ctx, 1) : -1;
    if (s < 0) {
        if (map)
            modbus_mapping_free(map);
        modbus_free(ctx);
        return false;
    }
    for (int i = 0; i < 2 * kModbusRegisters; ++i)
        map->tab_registers[i] = uint16_t(i * 257);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    m_port = ntohs(a.sin_port);
    m_ctx = ctx;
    m_mapping = map;
    m_listen = s;
    m_thread = std::thread([this] { run(); });
    return true;
}

void ModbusPeer::run()
{
    auto *ctx = static_cast<modbus_t *>(m_ctx);
    auto *map = static_cast<modbus_mapping_t *>(m_mapping);
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    while (!m_stop) {
        int s = m_listen;
        if (modbus_tcp_accept(ctx, &s) < 0)
            break;   // stop() shut the listening socket
        for (;;) {
            const int n = modbus_receive(ctx, query);
            if (n > 0)
                modbus_reply(ctx, query, n, map);
            else if (n < 0)
                break;   // the client went away
        }
        modbus_close(ctx);
    }
}

void ModbusPeer::stop()
{
    if (!m_ctx)
        return;
    m_stop = true;
    shutdown(m_listen, SHUT_RDWR);   // wakes accept()
    if (m_thread.joinable())
        m_thread.join();
    close(m_listen);
    modbus_mapping_free(static_cast<modbus_mapping_t *>(m_mapping));
    modbus_free(static_cast<modbus_t *>(m_ctx));
    m_ctx = nullptr;
    m_mapping = nullptr;
    m_listen = -1;
}

} // namespace vbench
