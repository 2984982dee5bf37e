// veskor-sim's bench file (--config) and the value readers it shares with
// the command line: numbers, hex bytes, the listening address, fault kinds.
// A fault throws a Failure that the program prints and ends with.
#ifndef VESKOR_SIM_BENCHFILE_H
#define VESKOR_SIM_BENCHFILE_H

#include "VeskorSim.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace veskorsim {
namespace cli {

// Exit statuses, as veskor has them where they mean the same.
enum ExitStatus { ExitUsage = 2, ExitResolve = 4 };

// Why the command line or the bench file cannot be run, and the exit status.
struct Failure {
    QString message;
    int status = ExitUsage;
};

// Refuses what is being read; parseCommandLine() hands the failure back.
[[noreturn]] void fail(const QString &message, int status = ExitUsage);
[[noreturn]] void fail(const QString &subject, const QString &problem);

// Decimal, or hexadecimal with 0x.
bool parseUInt(const QString &text, quint64 max, quint64 *out);
// An even number of hex digits.
bool parseHex(const QString &text, QByteArray *out);

struct AreaSeed {
    quint32 code;
    int offset;
    QByteArray bytes;
    QString subject; // where it came from, for messages
};

// Everything a run is set up with besides SimConfig.
struct Memory {
    bool fill = false;
    quint8 fillByte = 0;
    QList<AreaSeed> seeds; // applied after the fill, in order
};

constexpr char kFaultKinds[] =
    "drop, delay, duplicate, truncate, corrupt-magic, corrupt-echo, foreign-port";

// ADDR:PORT into config, ADDR an IPv4 address or a host name, which is
// resolved to its first IPv4 address as veskor resolves --connect; a name
// that does not resolve ends the program with status 4. subject names the
// value in messages.
void setListen(const QString &subject, const QString &text, SimConfig *config);

// A fault kind by its name; subject names the value in messages.
Fault faultKind(const QString &subject, const QString &name);

// Reads a bench file over config and memory; what the file leaves out keeps
// its value. Ends the program with status 2 on a fault in the file.
void applyBenchFile(const QString &path, SimConfig *config, Memory *memory);

} // namespace cli
} // namespace veskorsim

#endif
