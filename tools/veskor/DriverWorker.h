// The driver object's own thread. Every call into the plug-in runs here, one
// at a time, so the main thread stays free to draw, read keys and see a stop
// while a read waits for a silent controller.
#ifndef VESKOR_TOOL_DRIVERWORKER_H
#define VESKOR_TOOL_DRIVERWORKER_H

#include "CLabelVariable.h"
#include "CommandLine.h"

#include <QByteArray>
#include <QObject>
#include <QThread>
#include <QVariant>

#include <atomic>

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
    QByteArray answer;      // with hex: the read's whole answer, as it came
    QString name, version, build;   // Info
};

class DriverWorker : public QObject
{
    Q_OBJECT

public:
    // `stopped` is the tool's stop: once set, no call that has not started
    // yet goes to the plug-in.
    DriverWorker(CDriveBaseClass *driver, const std::atomic<bool> *stopped);

    // The read in progress hands its answer line here (message handler, on
    // this thread).
    static void noteAnswerLine(const QString &line);

public slots:
    void run(const veskortool::Job &job);

signals:
    void done(const veskortool::JobResult &result);

private:
    CDriveBaseClass *m_driver;
    const std::atomic<bool> *m_stopped;
};

// The worker and its thread; the thread runs until the process ends (a call
// in flight is abandoned, not waited for, when the person stops the tool).
class DriverThread
{
public:
    DriverThread(CDriveBaseClass *driver, const std::atomic<bool> *stopped);
    ~DriverThread();
    DriverWorker *worker() { return m_worker; }
    // Ends the thread once no call is in flight.
    void finish();

private:
    QThread m_thread;
    DriverWorker *m_worker;
};

} // namespace veskortool

Q_DECLARE_METATYPE(veskortool::Job)
Q_DECLARE_METATYPE(veskortool::JobResult)

#endif
