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
#include <QHash>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <memory>
#include <vector>

class CDriveBaseClass;
class QSocketNotifier;

namespace veskortool {

// A controller and the driver object that talks to it.
struct Controller {
    QString name;               // HOST:PORT as the tag file gives it; empty: --connect's
    CDriveBaseClass *driver = nullptr;
};

class Runner : public QObject
{
    Q_OBJECT

public:
    // The first controller is --connect's; the others come from a tag file's
    // controller column. Each gets a thread of its own.
    Runner(const QVector<Controller> &controllers, const Options &options, QObject *parent = nullptr);
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

private:
    // How many reads wait queued ahead of the one being shown: enough that a
    // worker never waits for the main thread, few enough to hold little.
    static constexpr int kReadAhead = 256;

    // One controller's worker and what it does in the command in progress:
    // its calls run one at a time, in the order they were posted.
    struct Lane {
        int index = 0;
        QString controller;
        std::unique_ptr<DriverThread> thread;
        int outstanding = 0;    // calls posted whose results were not taken yet
        // A poll's round on this controller: its tags, in order, the next
        // one to post and how many reads ended. What the round read is kept
        // as the output it makes, not as results: the text of its line, or
        // its JSON lines until they may go out (with --changes, once a
        // tag changed).
        QVector<int> tags;
        int pos = 0;
        int done = 0;
        bool roundRunning = false;
        int rounds = 0;
        QByteArray roundText;
        bool roundChanged = false;
        double roundRtt = 0;        // the answered reads' round trips, summed
        int roundAnswered = 0;
        // Each tag's values and code in the round before, hashed; filled
        // by the first round.
        QVector<quint64> previous;
    };
    int laneOf(const TagRequest &t) const;
    QString controllerOf(const TagRequest &t) const;
    void send(Lane &lane, Job job);

    void runNext();
    void nextCall();
    Job readJob(int i) const;
    void postReads();
    void postRound(Lane &lane);
    void drain(int lane);
    void drainAll();
    void onDone(const JobResult &result);
    void takeRead(const JobResult &jr);
    void showRead(const JobResult &jr);
    void flushOutput();
    void stopRead();
    void onPollDone(Lane &lane, const JobResult &jr);
    void noteRound(Lane &lane, const Result &r);
    void startPoll(const Command &cmd);
    void pollTick();
    void startRound(Lane &lane);
    void roundDone(Lane &lane);
    void endPoll(bool cutShort);
    void finish(int status);
    void record(int code);
    Result resultFrom(Result::Kind kind, const JobResult &jr) const;
    void print(const QString &text);
    void drawMonitor();
    void readKeys();

    Options m_options;
    std::atomic<bool> m_stopped{false};
    std::vector<std::unique_ptr<Lane>> m_lanes;
    int m_next = 0;
    bool m_failed = false;
    bool m_done = false;

    // The command in progress. A read posts its tags ahead of their results
    // (m_posted) and shows them in order (m_tagIndex); results that come
    // early from another controller wait in m_early. Its rows go out as
    // their reads end, in the table's columns laid out from the tag list;
    // m_output holds those of the results taken at once, until they are
    // written together.
    const Command *m_cmd = nullptr;
    int m_tagIndex = 0;
    int m_posted = 0;
    int m_readFailures = 0;    // of the rows shown
    QHash<int, JobResult> m_early;
    TableLayout m_layout;
    QByteArray m_output;

    // Takes the workers' results while calls are outstanding.
    QTimer m_drainTimer;

    // The poll in progress.
    QTimer m_timer;
    QVector<PollStats> m_stats;        // one per tag
    QVector<Result> m_latest;          // the last read of each tag, for the monitor's table

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
