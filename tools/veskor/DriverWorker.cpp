#include "DriverWorker.h"

#include "host/CDriveBaseClass.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>

namespace veskortool {

DriverThread::DriverThread(CDriveBaseClass *driver, const std::atomic<bool> *stopped)
    : m_driver(driver), m_driverObject(dynamic_cast<QObject *>(driver)), m_stopped(stopped)
{
    setObjectName(QStringLiteral("driver"));
    start();
}

DriverThread::~DriverThread()
{
    finish();
}

void DriverThread::post(const Job &job)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_jobs.push_back(job);
    }
    m_wake.notify_one();
}

QVector<JobResult> DriverThread::take()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QVector<JobResult> out;
    out.swap(m_results);
    m_told = false;
    return out;
}

bool DriverThread::busyWith(Job *job) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_busy)
        *job = m_current;
    return m_busy;
}

void DriverThread::finish()
{
    if (!isRunning())
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
        m_jobs.clear();
    }
    m_wake.notify_one();
    wait();
}

void DriverThread::run()
{
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_quit || !m_jobs.empty(); });
            if (m_quit)
                return;
            job = m_jobs.front();
            m_jobs.pop_front();
            // A stop seen before the call: nothing leaves, and nobody waits
            // for it.
            if (m_stopped->load()) {
                m_jobs.clear();
                continue;
            }
            m_current = job;
            m_busy = true;
        }
        JobResult r = call(job);
        bool tell = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_busy = false;
            m_results.append(std::move(r));
            // The queue ran dry: say so now. While calls follow one another
            // the main thread takes the results at its own pace.
            if (m_jobs.empty() && !m_told)
                tell = m_told = true;
        }
        if (tell)
            emit resultsReady();
    }
}

JobResult DriverThread::call(const Job &job)
{
    JobResult r;
    r.job = job;
    const TagRequest &t = job.tag;
    QElapsedTimer clock;
    clock.start();
    r.issuedMs = QDateTime::currentMSecsSinceEpoch();
    switch (job.kind) {
    case Job::Info:
        r.name = m_driver->getDriveName();
        r.version = m_driver->getversion_number();
        r.build = m_driver->DebugCmd(BuildVersion);
        break;
    case Job::Read:
        r.record = t.count == 1 ? m_driver->ReadVariable(t.tag, DataType(t.type))
                                : m_driver->ReadVariable(t.tag, DataType(t.type), t.count);
        if (job.hex || r.record.resultCode != 0)
            keepAnswer(&r);
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
    return r;
}

// The answer the plug-in took, asked of the plug-in itself on the thread that
// made the call. A plug-in without the question leaves answerKnown false.
void DriverThread::keepAnswer(JobResult *r)
{
    if (!m_driverObject)
        return;
    r->answerKnown = QMetaObject::invokeMethod(m_driverObject, "lastAnswer", Qt::DirectConnection,
                                               Q_RETURN_ARG(QByteArray, r->answer));
}

} // namespace veskortool
