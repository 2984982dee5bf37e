#include "Runner.h"

#include "CDriveBaseClass.h"
#include "DataType.h"
#include "Values.h"

#include <QSocketNotifier>

#include <cstdio>
#include <langinfo.h>
#include <unistd.h>

namespace veskortool {

namespace {

// The address a tag names: the digits after its first lower-case x; -1 for none.
int tagAddressOf(const QString &tag)
{
    const int x = tag.indexOf(QLatin1Char('x'));
    if (x < 0)
        return -1;
    int end = tag.indexOf(QLatin1Char('x'), x + 1);
    if (end < 0)
        end = tag.size();
    bool ok = false;
    const int address = tag.mid(x + 1, end - x - 1).toInt(&ok, 10);
    return ok ? address : -1;
}

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

Runner::Runner(CDriveBaseClass *driver, const Options &options, QObject *parent)
    : QObject(parent), m_driver(driver), m_options(options), m_thread(driver, &m_stopped)
{
    connect(this, &Runner::submit, m_thread.worker(), &DriverWorker::run, Qt::QueuedConnection);
    connect(m_thread.worker(), &DriverWorker::done, this, &Runner::onDone, Qt::QueuedConnection);
    connect(&m_timer, &QTimer::timeout, this, &Runner::pollTick);
}

Runner::~Runner()
{
    m_thread.finish();
}

void Runner::start()
{
    QTimer::singleShot(0, this, &Runner::runNext);
}

void Runner::print(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
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
    r.rttMs = jr.rttMs;   // how long the call took: a closed port ends long before the wait
    if (jr.job.hex) {
        r.showHex = true;
        r.elementBytes = wireElementBytes(t.type, t.count);
        const int address = tagAddressOf(t.tag);
        const int length = wireLength(t.type, t.count);
        if (r.code == 0 && address >= 0 && length > 0 && 16 + address + length <= jr.answer.size())
            r.wire = jr.answer.mid(16 + address, length);
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
    m_table = TableBuilder();
    switch (m_cmd->kind) {
    case Command::Info:
    case Command::Read:
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

// The next call of the command in progress, to the driver's thread.
void Runner::nextCall()
{
    if (m_stopped.load())
        return;
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
        job.kind = Job::Read;
        job.tag = m_cmd->tags.at(m_tagIndex);
        job.hex = m_cmd->hex;
        break;
    }
    m_inFlight = true;
    m_flying = job;
    m_roundIssued = QDateTime::currentDateTime();
    emit submit(job);
}

void Runner::onDone(const JobResult &jr)
{
    m_inFlight = false;
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
    case Command::Read: {
        const Result r = resultFrom(Result::Read, jr);
        record(r.code);
        if (m_options.json)
            print(resultJson(r) + QLatin1Char('\n'));
        else if (!m_cmd->table)
            print(resultText(r));
        else
            m_table.add(r);
        if (++m_tagIndex < m_cmd->tags.size()) {
            nextCall();
            return;
        }
        if (!m_options.json && m_cmd->table) {
            m_table.write([](const QByteArray &piece) { std::fwrite(piece.constData(), 1, size_t(piece.size()), stdout); });
            std::fflush(stdout);
        }
        break;
    }
    case Command::Poll:
    case Command::Monitor: {
        Result r = resultFrom(Result::Poll, jr);
        // A failed read carries no time of its own: show when it was sent.
        if (!r.timeStamp.isValid())
            r.timeStamp = m_roundIssued;
        r.rttMs = jr.rttMs;
        record(r.code);
        m_stats[m_tagIndex].add(r);
        m_round.append(r);
        if (m_screen.isOpen())
            drawMonitor();   // each row as its read ends
        if (++m_tagIndex < m_cmd->tags.size())
            nextCall();
        else
            pollRoundDone();
        return;
    }
    case Command::Probe:
        break;
    }
    runNext();
}

void Runner::startPoll(const Command &cmd)
{
    m_pollReads = 0;
    m_stats = QVector<PollStats>(cmd.tags.size());
    m_havePrevious = false;
    m_roundRunning = false;
    if (cmd.kind == Command::Monitor && !m_options.json && m_screen.open()) {
        m_rows = QVector<MonitorRow>(cmd.tags.size());
        for (int i = 0; i < m_rows.size(); ++i) {
            m_rows[i].last.tag = cmd.tags.at(i).tag;
            m_rows[i].last.type = cmd.tags.at(i).type;
            m_rows[i].last.count = cmd.tags.at(i).count;
            m_rows[i].last.name = cmd.tags.at(i).name;
            m_rows[i].valueText = QStringLiteral("waiting");
        }
        m_steady.start();
        m_goodAtMs = QVector<qint64>(cmd.tags.size(), -1);
        m_firstRow = 0;
        m_unicode = QByteArray(::nl_langinfo(CODESET)) == "UTF-8";
        if (::isatty(STDIN_FILENO)) {
            m_keys = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
            connect(m_keys, &QSocketNotifier::activated, this, &Runner::readKeys);
        }
        drawMonitor();   // the table at once, before any read ends
    }
    m_timer.setInterval(cmd.intervalMs);
    m_timer.start();
    pollTick();
}

// A round: every tag read once, one after the other. A round still running
// when the timer fires is not doubled: the next one starts at the next tick.
void Runner::pollTick()
{
    if (!m_cmd || m_roundRunning || m_stopped.load())
        return;
    m_roundRunning = true;
    m_round.clear();
    m_tagIndex = 0;
    nextCall();
}

// The round's line (one JSON object per tag), or the monitor's table.
void Runner::pollRoundDone()
{
    m_roundRunning = false;
    ++m_pollReads;
    QVector<QStringList> values;
    QVector<int> codes;
    for (const Result &r : qAsConst(m_round)) {
        values.append(formatValues(r.value));
        codes.append(r.code);
    }
    const bool changed = !m_havePrevious || values != m_previousValues || codes != m_previousCodes;
    m_havePrevious = true;
    m_previousValues = values;
    m_previousCodes = codes;
    if (!m_screen.isOpen() && (changed || !m_cmd->changesOnly)) {
        if (m_options.json) {
            for (const Result &r : qAsConst(m_round))
                print(resultJson(r) + QLatin1Char('\n'));
        } else {
            const bool oneLinePerTag = m_cmd->kind == Command::Poll && !m_cmd->table;
            print(oneLinePerTag ? pollLineText(m_round.first()) : pollRoundText(m_round));
        }
    }
    if (m_cmd->times > 0 && m_pollReads >= m_cmd->times)
        endPoll(false);
}

void Runner::endPoll(bool cutShort)
{
    if (!m_cmd)
        return;
    m_timer.stop();
    if (m_screen.isOpen()) {
        delete m_keys;
        m_keys = nullptr;
        m_screen.close();
    }
    // For people on stderr; with --json on stdout, after the poll's lines.
    const QString command = m_cmd->kind == Command::Monitor ? QStringLiteral("monitor") : QStringLiteral("poll");
    for (int i = 0; i < m_cmd->tags.size(); ++i) {
        const QString tag = m_cmd->tags.at(i).tag;
        if (m_options.json) {
            print(m_stats.at(i).summaryJson(tag));
        } else {
            const QByteArray summary = m_stats.at(i).summary(tag, command).toUtf8();
            std::fwrite(summary.constData(), 1, size_t(summary.size()), stderr);
            std::fflush(stderr);
        }
    }
    m_cmd = nullptr;
    if (!cutShort)
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
    for (int i = 0; i < m_round.size() && i < m_rows.size(); ++i) {
        MonitorRow &row = m_rows[i];
        const Result &r = m_round.at(i);
        const PollStats &stats = m_stats.at(i);
        if (row.reads == stats.reads())
            continue;   // shown already
        const bool first = row.reads == 0;
        // A failed read keeps the last good value on the screen, as stale.
        QString text = row.valueText;
        if (r.code == 0) {
            text = valuesText(r.value);
            m_goodAtMs[i] = now;
            const QStringList items = formatValues(r.value);
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
    const QString title = QStringLiteral("veskor monitor: %1 tag%2 every %3 ms, round %4; q or Ctrl-C leaves")
                              .arg(m_rows.size()).arg(m_rows.size() == 1 ? QString() : QStringLiteral("s"))
                              .arg(m_cmd->intervalMs).arg(m_pollReads + 1);
    m_screen.draw(monitorLines(title, m_rows, view));
}

void Runner::resized()
{
    if (m_screen.isOpen() && m_cmd)
        drawMonitor();
}

void Runner::stop()
{
    if (m_done || m_stopped.exchange(true))
        return;
    const bool polling = m_cmd && (m_cmd->kind == Command::Poll || m_cmd->kind == Command::Monitor);
    const bool inFlight = m_inFlight;
    const bool last = m_next >= m_options.commands.size();
    if (polling)
        endPoll(true);
    if (inFlight) {
        const QByteArray what = m_flying.kind == Job::Info ? QByteArray("info")
                                                           : m_flying.tag.tag.toUtf8();
        std::fprintf(stderr, "veskor: stopped; the %s of %s in flight was abandoned\n",
                     callName(m_flying.kind), what.constData());
    }
    // A poll or monitor that was the last command ends as it would at its
    // end; anything cut short says so.
    int status = ExitInterrupted;
    if (polling && last)
        status = m_failed ? ExitResultCode : ExitOk;
    if (inFlight) {
        // The driver's thread is inside a call that may wait 2 s for a silent
        // controller: the process ends without it.
        std::fflush(stdout);
        std::fflush(stderr);
        ::_exit(status);
    }
    finish(status);
}

} // namespace veskortool
