#include "Runner.h"

#include "host/CDriveBaseClass.h"
#include "host/DataType.h"
#include "protocol/Frames.h"
#include "driver/Tags.h"
#include "common/Values.h"

#include <QSocketNotifier>

#include <cstdio>
#include <langinfo.h>
#include <unistd.h>

namespace veskortool {

namespace {

const char *callName(Job::Kind kind)
{
    switch (kind) {
    case Job::Info: return "info";
    case Job::Read: return "read";
    case Job::Write: return "write";
    }
    return "call";
}

} // namespace

Runner::Runner(const QVector<Controller> &controllers, const Options &options, QObject *parent)
    : QObject(parent), m_options(options)
{
    for (const Controller &c : controllers) {
        auto lane = std::make_unique<Lane>();
        lane->index = int(m_lanes.size());
        lane->controller = c.name;
        lane->thread = std::make_unique<DriverThread>(c.driver, &m_stopped);
        const int index = lane->index;
        connect(lane->thread.get(), &DriverThread::resultsReady, this, [this, index] { drain(index); },
                Qt::QueuedConnection);
        m_lanes.push_back(std::move(lane));
    }
    connect(&m_timer, &QTimer::timeout, this, &Runner::pollTick);
    // Often enough that a monitor's row shows its read at once to the eye,
    // seldom enough that reads back to back do not wake this thread each.
    m_drainTimer.setInterval(10);
    connect(&m_drainTimer, &QTimer::timeout, this, &Runner::drainAll);
}

Runner::~Runner()
{
    for (auto &lane : m_lanes)
        lane->thread->finish();
}

// The controller a tag is read from, named when the command talks to
// several; empty when there is one.
QString Runner::controllerOf(const TagRequest &t) const
{
    if (m_lanes.size() < 2)
        return QString();
    if (!t.controller.isEmpty())
        return t.controller;
    return m_options.connect.isEmpty() ? QStringLiteral("embedded") : m_options.connect;
}

int Runner::laneOf(const TagRequest &t) const
{
    for (size_t i = 0; i < m_lanes.size(); ++i) {
        if (m_lanes[i]->controller == t.controller)
            return int(i);
    }
    return 0;
}

// One call to the controller's worker; it runs on that thread.
void Runner::send(Lane &lane, Job job)
{
    if (m_stopped.load())
        return;
    job.lane = lane.index;
    ++lane.outstanding;
    lane.thread->post(job);
    if (!m_drainTimer.isActive())
        m_drainTimer.start();
}

// The results a controller's worker collected, in the order its calls ran.
void Runner::drain(int lane)
{
    Lane &l = *m_lanes[size_t(lane)];
    const QVector<JobResult> results = l.thread->take();
    l.outstanding -= results.size();
    for (const JobResult &jr : results) {
        if (m_done || m_stopped.load())
            return;
        onDone(jr);
    }
    flushOutput();   // the rows of the reads that ended, at once
    if (!results.isEmpty() && m_screen.isOpen() && m_cmd && !m_stopped.load())
        drawMonitor();   // each row as its read ends
}

void Runner::drainAll()
{
    bool outstanding = false;
    for (size_t i = 0; i < m_lanes.size(); ++i) {
        drain(int(i));
        outstanding = outstanding || m_lanes[i]->outstanding > 0;
    }
    if (!outstanding)
        m_drainTimer.stop();
}

void Runner::start()
{
    QTimer::singleShot(0, this, &Runner::runNext);
}

// Output that cannot be written ends the run: nothing more is sent for it.
// The stop comes from the event loop, not from inside the caller, which
// goes on with the command it is in the middle of.
void Runner::print(const QString &text)
{
    if (!writeStdout(text.toUtf8()))
        QMetaObject::invokeMethod(this, &Runner::stop, Qt::QueuedConnection);
}

void Runner::record(int code)
{
    if (code != 0)
        m_failed = true;
}

void Runner::finish(int status)
{
    m_done = true;
    emit finished(status);
}

// A read, write or poll result as the output functions show it, with the
// value's wire bytes when asked for: the answer holds a 16-byte header, then
// the area from address 0.
Result Runner::resultFrom(Result::Kind kind, const JobResult &jr) const
{
    const TagRequest &t = jr.job.tag;
    Result r;
    r.kind = kind;
    r.tag = t.tag;
    r.type = t.type;
    r.count = t.count;
    r.code = jr.record.resultCode;
    r.value = jr.record.value;
    r.timeStamp = jr.record.timeStamp;
    r.name = t.name;
    r.scaling = t.scaling;
    r.controller = controllerOf(t);
    r.rttMs = jr.rttMs;   // how long the call took: a closed port ends long before the wait
    // The answer the plug-in took, when it took one: its length tells a
    // short image from a lost answer.
    if (jr.answerKnown && !jr.answer.isEmpty())
        r.answerBytes = jr.answer.size();
    if (jr.job.hex) {
        r.showHex = true;
        r.elementBytes = wireElementBytes(t.type, t.count);
        const int address = veskor::parseTag(t.tag).address;
        const int length = wireLength(t.type, t.count);
        const int from = veskor::kReadAnswerHeader + address;
        if (r.code == 0 && address >= 0 && length > 0 && from + length <= jr.answer.size())
            r.wire = jr.answer.mid(from, length);
    }
    return r;
}

void Runner::runNext()
{
    if (m_done || m_stopped.load())
        return;
    if (m_next >= m_options.commands.size()) {
        finish(m_failed ? ExitResultCode : ExitOk);
        return;
    }
    m_cmd = &m_options.commands.at(m_next++);
    m_tagIndex = 0;
    m_posted = 0;
    m_early.clear();
    m_readFailures = 0;
    switch (m_cmd->kind) {
    case Command::Read:
        if (m_cmd->table && !m_options.json) {
            // The header before the first read: the columns come from the tags.
            m_layout = TableLayout();
            for (const TagRequest &t : m_cmd->tags)
                m_layout.addTag(t.name, t.tag, t.type, t.count, m_cmd->hex);
            print(QString::fromUtf8(m_layout.header()));
        }
        Q_FALLTHROUGH();
    case Command::Info:
    case Command::Write:
        nextCall();
        return;
    case Command::Poll:
    case Command::Monitor:
        startPoll(*m_cmd);
        return;
    case Command::Probe:
        break;    // runs without the plug-in, before the runner
    }
    QTimer::singleShot(0, this, &Runner::runNext);
}

// The next call of a read, write or info, to its controller's thread.
void Runner::nextCall()
{
    Job job;
    switch (m_cmd->kind) {
    case Command::Info:
        job.kind = Job::Info;
        break;
    case Command::Write:
        job.kind = Job::Write;
        job.tag = m_cmd->tags.first();
        job.values = m_cmd->values;
        break;
    default:
        postReads();
        return;
    }
    send(*m_lanes[size_t(laneOf(job.tag))], job);
}

// The read of the command's tag i.
Job Runner::readJob(int i) const
{
    Job job;
    job.kind = Job::Read;
    job.tag = m_cmd->tags.at(i);
    job.tagIndex = i;
    job.hex = m_cmd->hex;
    return job;
}

void Runner::postReads()
{
    for (; m_posted < m_cmd->tags.size() && m_posted - m_tagIndex < kReadAhead; ++m_posted) {
        const Job job = readJob(m_posted);
        send(*m_lanes[size_t(laneOf(job.tag))], job);
    }
}

// A read's result, in the order of the tags: those of tags before it that
// came from another controller are waited for.
void Runner::takeRead(const JobResult &jr)
{
    m_early.insert(jr.job.tagIndex, jr);
    for (auto it = m_early.find(m_tagIndex); it != m_early.end(); it = m_early.find(m_tagIndex)) {
        showRead(*it);
        m_early.erase(it);
        ++m_tagIndex;
    }
}

// A read's result, shown when every tag before it has been: written with the
// others taken at the same time (flushOutput).
void Runner::showRead(const JobResult &jr)
{
    const Result r = resultFrom(Result::Read, jr);
    record(r.code);
    m_readFailures += r.code != 0;
    if (m_options.json)
        m_output += (resultJson(r) + QLatin1Char('\n')).toUtf8();
    else if (!m_cmd->table)
        m_output += resultText(r).toUtf8();
    else
        m_output += m_layout.row(r);
}

void Runner::flushOutput()
{
    if (m_output.isEmpty())
        return;
    if (!writeStdout(m_output))
        QMetaObject::invokeMethod(this, &Runner::stop, Qt::QueuedConnection);
    m_output.clear();
}

void Runner::onDone(const JobResult &jr)
{
    Lane &lane = *m_lanes[size_t(jr.job.lane)];
    if (m_stopped.load() || !m_cmd)
        return;
    switch (m_cmd->kind) {
    case Command::Info:
        print(m_options.json ? infoJson(jr.name, jr.version, jr.build) + QLatin1Char('\n')
                             : infoText(jr.name, jr.version, jr.build));
        break;
    case Command::Write: {
        const Result r = resultFrom(Result::Write, jr);
        record(r.code);
        print(m_options.json ? resultJson(r) + QLatin1Char('\n') : resultText(r));
        break;
    }
    case Command::Read:
        takeRead(jr);
        if (m_tagIndex < m_cmd->tags.size()) {
            postReads();
            return;
        }
        flushOutput();
        break;
    case Command::Poll:
    case Command::Monitor:
        onPollDone(lane, jr);
        return;
    case Command::Probe:
        break;
    }
    runNext();
}

// q leaves, like Ctrl-C; arrows, PgUp/PgDn, Home/End scroll the rows.
void Runner::readKeys()
{
    char c = 0;
    while (::read(STDIN_FILENO, &c, 1) == 1) {
        m_keyBuffer += c;
        if (m_keyBuffer == "q" || m_keyBuffer == "Q") {
            stop();
            return;
        }
        if (m_keyBuffer.startsWith('\033') && m_keyBuffer.size() < 4
            && !(m_keyBuffer.size() == 3 && QByteArray("ABCDHF").contains(m_keyBuffer.at(2))))
            continue;   // an escape sequence goes on
        int height = 24, width = 80;
        m_screen.size(&width, &height);
        const int page = monitorRowsPerScreen(m_rows.size(), height);
        static const struct { const char *keys; int move; } kMoves[] = {
            {"\033[A", -1}, {"\033[B", 1}, {"\033[5~", -2}, {"\033[6~", 2},
            {"\033[H", -3}, {"\033[1~", -3}, {"\033[F", 3}, {"\033[4~", 3}};
        for (const auto &m : kMoves) {
            if (m_keyBuffer != m.keys)
                continue;
            const int step = m.move == 1 || m.move == -1 ? m.move : m.move == 2 || m.move == -2 ? m.move / 2 * page
                                                                                                 : m.move / 3 * m_rows.size();
            m_firstRow = qBound(0, m_firstRow + step, monitorMaxFirstRow(m_rows.size(), height));
            drawMonitor();
        }
        m_keyBuffer.clear();
    }
}

// What the row says of its state: ok, the failure in words, or the last
// good value's age when a read failed after it.
static QString stateOf(const Result &r, qint64 goodAtMs, qint64 nowMs)
{
    if (r.code == 0)
        return QStringLiteral("ok");
    const Cause cause = causeOf(r);
    QString words = causeName(cause, r.code);
    if (cause.kind == Cause::NotSent && !cause.text.isEmpty())
        words = QStringLiteral("refused: %1").arg(cause.text);
    if (goodAtMs < 0)
        return words;
    return QStringLiteral("stale %1 s: %2").arg((nowMs - goodAtMs) / 1000).arg(words);
}

static bool numericType(int type)
{
    return type >= DT_BOOL && type <= DT_DOUBLE;
}

void Runner::drawMonitor()
{
    const qint64 now = m_steady.elapsed();
    for (int i = 0; i < m_latest.size() && i < m_rows.size(); ++i) {
        MonitorRow &row = m_rows[i];
        const Result &r = m_latest.at(i);
        const PollStats &stats = m_stats.at(i);
        if (row.reads == stats.reads())
            continue;   // shown already
        const bool first = row.reads == 0;
        // A failed read keeps the last good value on the screen, as stale.
        QString text = row.valueText;
        if (r.code == 0) {
            text = shownValuesText(r);
            m_goodAtMs[i] = now;
            const QStringList items = formatValues(shownValue(r));
            bool isNumber = false;
            const double v = items.isEmpty() ? 0 : items.first().toDouble(&isNumber);
            if (numericType(r.type) && isNumber) {
                row.trend.append(v);
                if (row.trend.size() > kTrendLength)
                    row.trend.removeFirst();
            }
        } else if (m_goodAtMs[i] < 0) {
            text = QStringLiteral("-");
        }
        if (first || text != row.valueText || r.code != row.last.code) {
            row.changedAt = r.timeStamp;
            if (!first && text != row.valueText)
                row.highlightUntilMs = now + 1000;
        }
        row.last = r;
        row.valueText = text;
        row.reads = stats.reads();
        row.failures = stats.failures();
        row.answered = stats.answered() > 0;
        row.minRtt = stats.minRtt();
        row.medianRtt = stats.medianRtt();
        row.maxRtt = stats.maxRtt();
    }
    for (int i = 0; i < m_rows.size(); ++i) {
        if (m_rows[i].reads > 0)
            m_rows[i].state = stateOf(m_rows[i].last, m_goodAtMs[i], now);
    }
    MonitorView view;
    m_screen.size(&view.width, &view.height);
    view.nowMs = now;
    view.unicode = m_unicode;
    m_firstRow = qBound(0, m_firstRow, monitorMaxFirstRow(m_rows.size(), view.height));
    view.firstRow = m_firstRow;
    int rounds = 0;
    for (const auto &lane : m_lanes)
        rounds = qMax(rounds, lane->rounds);
    const QString title = QStringLiteral("veskor monitor: %1 tag%2 every %3 ms, round %4; q or Ctrl-C leaves")
                              .arg(m_rows.size()).arg(m_rows.size() == 1 ? QString() : QStringLiteral("s"))
                              .arg(m_cmd->intervalMs).arg(rounds + 1);
    m_screen.draw(monitorLines(title, m_rows, view));
}

void Runner::resized()
{
    if (m_screen.isOpen() && m_cmd)
        drawMonitor();
}

// A read stopped: the results its workers hold already are shown with the
// others, in order; nothing more is sent.
void Runner::stopRead()
{
    for (auto &lane : m_lanes) {
        const QVector<JobResult> results = lane->thread->take();
        lane->outstanding -= results.size();
        for (const JobResult &jr : results) {
            if (jr.job.kind == Job::Read)
                takeRead(jr);
        }
    }
    flushOutput();
}

void Runner::stop()
{
    if (m_done || m_stopped.exchange(true))
        return;
    const bool polling = m_cmd && (m_cmd->kind == Command::Poll || m_cmd->kind == Command::Monitor);
    const bool reading = m_cmd && m_cmd->kind == Command::Read;
    const bool last = m_next >= m_options.commands.size();
    if (polling)
        endPoll(true);
    if (reading)
        stopRead();
    bool inFlight = false;
    for (const auto &lane : m_lanes) {
        Job job;
        if (!lane->thread->busyWith(&job))
            continue;
        inFlight = true;
        if (stdoutFailed())
            continue;   // finalStatus() says why the run ended
        const QByteArray what = job.kind == Job::Info ? QByteArray("info") : job.tag.tag.toUtf8();
        std::fprintf(stderr, "veskor: stopped; the %s of %s in flight was abandoned\n", callName(job.kind),
                     what.constData());
    }
    // How far a read of several tags came: its rows above are those.
    if (reading && m_cmd->tags.size() > 1 && !stdoutFailed())
        std::fprintf(stderr, "veskor: stopped; %d of %d tags read, %d of them failed\n", m_tagIndex,
                     int(m_cmd->tags.size()), m_readFailures);
    // A poll or monitor that was the last command ends as it would at its
    // end; anything cut short says so.
    int status = ExitInterrupted;
    if (polling && last)
        status = m_failed ? ExitResultCode : ExitOk;
    if (inFlight) {
        // A driver's thread is inside a call that may wait 2 s for a silent
        // controller: the process ends without it.
        status = finalStatus(status);
        std::fflush(stderr);
        ::_exit(status);
    }
    finish(status);
}

} // namespace veskortool
