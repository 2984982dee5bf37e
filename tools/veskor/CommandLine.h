// The command line of the host tool: global options, one or more commands
// joined by the word "then", help texts and exit statuses. Parsing reads
// nothing but its arguments and the tag file that --tags names (read by
// common/TagFile.h).
#ifndef VESKOR_TOOL_COMMANDLINE_H
#define VESKOR_TOOL_COMMANDLINE_H

#include "common/TagFile.h"

#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

namespace veskortool {

enum ExitStatus {
    ExitOk = 0,            // every result code was 0
    ExitResultCode = 1,    // some result code was not 0
    ExitUsage = 2,         // bad command line or value
    ExitPlugin = 3,        // the plug-in could not be loaded
    ExitConnect = 4,       // ConnectDrive refused, or the embedded simulator did not start
    ExitOutput = 5,        // the output could not be written (a full disk)
    ExitInterrupted = 130  // Ctrl-C outside a poll
};

struct Command {
    enum Kind { Info, Read, Write, Poll, Monitor, Probe };
    Kind kind = Info;

    // Read and Poll: one or more tags; Write: exactly one.
    QVector<TagRequest> tags;
    bool table = false;        // given as TAG:TYPE[:COUNT] words or a tag file

    // Write: the values as the plug-in takes them; tags[0].count is the
    // element count (the field size for a string).
    QVariant values;
    QStringList valueTexts;    // as given: engineering values of a scaled tag
    // Write with --tags: the file and its rows.
    QString tagFile;
    QVector<TagRequest> fileTags;

    // Poll and Monitor.
    int intervalMs = 1000;
    int times = 0;             // 0: until Ctrl-C
    bool changesOnly = false;
    // Read and Poll: also show each value's bytes as they came on the wire.
    bool hex = false;

    // Probe: reads for the round trips, the longest wait for an answer, and
    // the tag the user gives up for a write (empty: no write).
    int probeCount = 50;
    // Tries of each area and habit check, and the device ids a scan tries
    // when no area answers (empty: 0, 1, 2, 255 and --device).
    int probeRepeat = 5;
    QVector<quint32> scanDevices;
    int waitMs = 2000;
    QString writeTest;
};

struct Options {
    QString connect;           // "HOST:PORT" (a name or an IPv4 address); empty: embedded simulator
    QStringList moreConnects;  // further --connect controllers (monitor only): each tag on each
    bool hasDevice = false;
    quint32 device = 0;
    bool debug = false;
    bool json = false;
    bool quiet = false;        // no note about the embedded simulator
    QString plugin;            // --plugin PATH
    QVector<Command> commands;
    QStringList warnings;      // for stderr before the commands run: writes that land on other tags
};

struct ParseResult {
    enum Outcome { Run, Help, Version, Error };
    Outcome outcome = Error;
    Options options;
    QString text;              // help text, or the one-line error (without "veskor: ")
};

// Parses the arguments after the program name.
ParseResult parseCommandLine(const QStringList &args);

// Help for the whole tool, and for one command ("info", "read", "write", "poll",
// "monitor", "probe").
QString generalHelp();
QString commandHelp(Command::Kind kind);

} // namespace veskortool

#endif
