// Runs the parsed commands against the driver on the event loop: one command
// after the other, a poll on a timer, Ctrl-C through interrupt().
#ifndef VESKOR_TOOL_RUNNER_H
#define VESKOR_TOOL_RUNNER_H

#include "CommandLine.h"
#include "Output.h"
#include "Screen.h"

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTimer>

class CDriveBaseClass;
class QSocketNotifier;

namespace veskortool {

class Runner : public QObject
{
    Q_OBJECT

public:
    Runner(CDriveBaseClass *driver, const Options &options, QObject *parent = nullptr);

    // Starts with the first command once the event loop runs.
    void start();
    // Ctrl-C: ends a running poll (the next command follows), or else the run.
    void interrupt();

    // The plug-in's traffic line for a read's answer ("lib[VESKOR]读响应 ...
    // msg : <hex>"), passed on by the message handler: --hex shows the
    // value's bytes from it, as they came on the wire.
    static void noteAnswerLine(const QString &line);

signals:
    void finished(int exitStatus);

private:
    void runNext();
    void runInfo();
    void runRead(const Command &cmd);
    void runWrite(const Command &cmd);
    void startPoll(const Command &cmd);
    void pollOnce();
    void endPoll();
    void record(int code);
    Result readTag(Result::Kind kind, const TagRequest &t, bool hex);
    void print(const QString &text);

    CDriveBaseClass *m_driver;
    Options m_options;
    int m_next = 0;
    bool m_failed = false;
    bool m_done = false;

    // The poll in progress.
    QTimer m_timer;
    const Command *m_poll = nullptr;
    int m_pollReads = 0;               // rounds
    QVector<PollStats> m_stats;        // one per tag
    bool m_havePrevious = false;
    QVector<QStringList> m_previousValues;
    QVector<int> m_previousCodes;

    // The monitor's table, when standard output is a terminal.
    Screen m_screen;
    QVector<MonitorRow> m_rows;
    QSocketNotifier *m_keys = nullptr;
    QElapsedTimer m_steady;
    void drawMonitor(const QVector<Result> &round);
};

} // namespace veskortool

#endif
