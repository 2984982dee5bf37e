// Runs the parsed commands on the main thread's event loop; every call into
// the plug-in goes to the driver's own thread (DriverWorker), one at a time,
// so a stop (Ctrl-C, SIGTERM, q) is seen at once: no request leaves after it,
// and a read in flight is abandoned, not waited for.
#ifndef VESKOR_TOOL_RUNNER_H
#define VESKOR_TOOL_RUNNER_H

#include "CommandLine.h"
#include "DriverWorker.h"
#include "Output.h"
#include "Screen.h"

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <atomic>

class CDriveBaseClass;
class QSocketNotifier;

namespace veskortool {

class Runner : public QObject
{
    Q_OBJECT

public:
    Runner(CDriveBaseClass *driver, const Options &options, QObject *parent = nullptr);
    ~Runner() override;

    // Starts with the first command once the event loop runs.
    void start();
    // The person said stop (Ctrl-C, SIGTERM, q in a monitor): nothing more
    // is sent. A poll or monitor says its summary. When a call is in flight
    // the process ends at once, without waiting for it.
    void stop();
    // The terminal changed its size: the monitor is drawn again.
    void resized();

signals:
    void finished(int exitStatus);
    void submit(const veskortool::Job &job);

private:
    void runNext();
    void nextCall();
    void onDone(const veskortool::JobResult &result);
    void startPoll(const Command &cmd);
    void pollTick();
    void endPoll(bool cutShort);
    void finish(int status);
    void record(int code);
    Result resultFrom(Result::Kind kind, const JobResult &jr) const;
    void print(const QString &text);
    void drawMonitor();
    void readKeys();
    void pollRoundDone();

    CDriveBaseClass *m_driver;
    Options m_options;
    std::atomic<bool> m_stopped{false};
    DriverThread m_thread;
    int m_next = 0;
    bool m_failed = false;
    bool m_done = false;

    // The command in progress and its calls: one in flight at a time.
    const Command *m_cmd = nullptr;
    int m_tagIndex = 0;
    bool m_inFlight = false;
    Job m_flying;
    TableBuilder m_table;

    // The poll in progress.
    QTimer m_timer;
    int m_pollReads = 0;               // rounds
    bool m_roundRunning = false;
    QDateTime m_roundIssued;
    QVector<Result> m_round;
    QVector<PollStats> m_stats;        // one per tag
    bool m_havePrevious = false;
    QVector<QStringList> m_previousValues;
    QVector<int> m_previousCodes;

    // The monitor's table, when standard output is a terminal.
    Screen m_screen;
    QVector<MonitorRow> m_rows;
    QSocketNotifier *m_keys = nullptr;
    QByteArray m_keyBuffer;            // an escape sequence being read
    QElapsedTimer m_steady;
    QVector<qint64> m_goodAtMs;        // when each row's last good value came; -1: none yet
    int m_firstRow = 0;                // scrolling
    bool m_unicode = true;
};

} // namespace veskortool

#endif
