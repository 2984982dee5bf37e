#include "DriverWorker.h"

#include "CDriveBaseClass.h"

#include <QElapsedTimer>

namespace veskortool {

namespace {

// The answer of the read in progress, from the traffic log line the plug-in
// writes on the thread that calls it: this one.
thread_local QByteArray t_lastAnswer;

} // namespace

void DriverWorker::noteAnswerLine(const QString &line)
{
    const int at = line.lastIndexOf(QLatin1String("msg : "));
    t_lastAnswer = at < 0 ? QByteArray() : QByteArray::fromHex(line.mid(at + 6).toLatin1());
}

DriverWorker::DriverWorker(CDriveBaseClass *driver, const std::atomic<bool> *stopped)
    : m_driver(driver), m_stopped(stopped)
{
}

void DriverWorker::run(const Job &job)
{
    JobResult r;
    r.job = job;
    // A stop seen before the call: nothing leaves, and nobody waits for it.
    if (m_stopped->load())
        return;
    const TagRequest &t = job.tag;
    QElapsedTimer clock;
    clock.start();
    t_lastAnswer.clear();
    switch (job.kind) {
    case Job::Info:
        r.name = m_driver->getDriveName();
        r.version = m_driver->getversion_number();
        r.build = m_driver->DebugCmd(BuildVersion);
        break;
    case Job::Read:
        r.record = t.count == 1 ? m_driver->ReadVariable(t.tag, DataType(t.type))
                                : m_driver->ReadVariable(t.tag, DataType(t.type), t.count);
        break;
    case Job::Write: {
        CLabelVariable v;
        v.value = job.values;
        v.labelName = t.tag;
        v.dataType = DataType(t.type);
        v.elementCount = t.count;
        r.record = t.count == 1 ? m_driver->WriteVariable(t.tag, DataType(t.type), v)
                                : m_driver->WriteVariable(t.tag, DataType(t.type), v, t.count);
        break;
    }
    }
    r.rttMs = double(clock.nsecsElapsed()) / 1e6;
    if (job.hex)
        r.answer = t_lastAnswer;
    emit done(r);
}

DriverThread::DriverThread(CDriveBaseClass *driver, const std::atomic<bool> *stopped)
    : m_worker(new DriverWorker(driver, stopped))
{
    qRegisterMetaType<veskortool::Job>();
    qRegisterMetaType<veskortool::JobResult>();
    m_thread.setObjectName(QStringLiteral("driver"));
    m_worker->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread.start();
}

DriverThread::~DriverThread()
{
    finish();
}

void DriverThread::finish()
{
    if (!m_thread.isRunning())
        return;
    m_thread.quit();
    m_thread.wait();
}

} // namespace veskortool
