// HOST:PORT as the tools take it: a controller's address (veskor --connect, a
// tag file's controller column, the gateway's "connect"), the simulator's
// --listen and the gateway's metrics listener. One parser; the forms differ
// only where each program has always differed, and each says its own error.
#ifndef VESKOR_TOOLS_HOSTPORT_H
#define VESKOR_TOOLS_HOSTPORT_H

#include <QString>
#include <QtGlobal>

namespace veskortools {

// What a form takes besides "HOST:PORT" with HOST not empty and PORT a
// decimal number from 1 to 65535.
struct HostPortForm {
    // The host runs to the last colon, colons in it included ("::1:9100"
    // gives "::1"), and the port is what QString::toUInt reads (blanks
    // around it and a '+' included). Else the host holds no colon and the
    // port is ASCII digits only.
    bool colonsInHost = true;
    // Port 0 is taken (the simulator: any free port).
    bool portZero = false;
    // The port may be hexadecimal with 0x.
    bool hexPort = false;
    // The host's name in the reason: "expected ADDR:PORT".
    const char *hostWord = "HOST";
};

// veskor --connect: NAME:DIGITS.
constexpr HostPortForm kConnectForm{false, false, false, "HOST"};
// A tag file's controller column, the gateway's "connect" and its metrics
// listener.
constexpr HostPortForm kAddressForm{true, false, false, "HOST"};
// veskor-sim --listen and "listen": port 0 picks a free one; 0x ports.
constexpr HostPortForm kListenForm{true, true, true, "ADDR"};

enum class HostPortError {
    None,
    Form,  // not HOST:PORT at all
    Port   // HOST:PORT, the port out of range or not a number
};

struct HostPort {
    QString host;
    QString portText;  // the port as written
    quint16 port = 0;
};

// text split into host and port. On an error *out is unchanged and *reason
// (when given) says "expected HOST:PORT" (with the form's hostWord) or "port
// out of range 1..65535" (0..65535 where port 0 is taken).
HostPortError parseHostPort(const QString &text, const HostPortForm &form, HostPort *out,
                            QString *reason = nullptr);

} // namespace veskortools

#endif
