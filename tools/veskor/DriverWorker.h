// The driver object's own thread. Every call into the plug-in runs here, one
// at a time, so the main thread stays free to draw, read keys and see a stop
// while a read waits for a silent controller.
//
// Calls are queued ahead and run back to back; results are collected, and the
// main thread is told when the queue runs dry and otherwise takes them on a
// short timer, so a long list of reads costs no thread hand-over per read.
#ifndef VESKOR_TOOL_DRIVERWORKER_H
#define VESKOR_TOOL_DRIVERWORKER_H

#include "host/CLabelVariable.h"
#include "CommandLine.h"

#include <QByteArray>
#include <QThread>
#include <QVariant>
#include <QVector>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

class CDriveBaseClass;

namespace veskortool {

// One call into the plug-in.
struct Job {
    enum Kind { Info, Read, Write };
    Kind kind = Read;
    TagRequest tag;
    QVariant values;   // a write's values
    bool hex = false;  // keep the read's answer bytes
    int lane = 0;      // the controller's worker it went to
    int tagIndex = 0;  // the command's tag it reads or writes
};

// What the call gave back.
struct JobResult {
    Job job;
    CLabelVariable record;
    double rttMs = 0;       // the call's own time
    qint64 issuedMs = 0;    // when the call began, ms since the epoch
    QByteArray answer;      // with hex, or when a read failed: its whole answer, as it came
    bool answerKnown = false;   // the plug-in told what came (answer is meaningful)
    QString name, version, build;   // Info
};

class DriverThread : public QThread
{
    Q_OBJECT

public:
    // `stopped` is the tool's stop: once set, no call that has not started
    // yet goes to the plug-in.
    DriverThread(CDriveBaseClass *driver, const std::atomic<bool> *stopped);
    ~DriverThread() override;

    // Queues a call; calls run in the order they were posted.
    void post(const Job &job);
    // The results collected since the last take, in order.
    QVector<JobResult> take();
    // The call in progress, if any.
    bool busyWith(Job *job) const;
    // Ends the thread once no call is in flight; queued calls are dropped.
    void finish();

signals:
    // The queued calls are done and their results wait to be taken.
    void resultsReady();

protected:
    void run() override;

private:
    JobResult call(const Job &job);
    void keepAnswer(JobResult *r);

    CDriveBaseClass *m_driver;
    QObject *m_driverObject;   // the same object's meta-object side, when it has one
    const std::atomic<bool> *m_stopped;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_jobs;
    QVector<JobResult> m_results;
    Job m_current;
    bool m_busy = false;
    bool m_told = false;   // resultsReady went out and the results were not taken yet
    bool m_quit = false;
};

} // namespace veskortool

#endif
