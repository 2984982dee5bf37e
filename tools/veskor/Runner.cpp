#include "Runner.h"

#include "CDriveBaseClass.h"
#include "Values.h"

#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

namespace veskortool {

namespace {

// A read, write or poll result as the output functions show it.
Result resultOf(Result::Kind kind, const TagRequest &t, const CLabelVariable &rec)
{
    Result r;
    r.kind = kind;
    r.tag = t.tag;
    r.type = t.type;
    r.count = t.count;
    r.code = rec.resultCode;
    r.value = rec.value;
    r.timeStamp = rec.timeStamp;
    r.name = t.name;
    return r;
}

QByteArray g_lastAnswer;   // the answer of the read in progress, from the traffic log

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

} // namespace

void Runner::noteAnswerLine(const QString &line)
{
    const int at = line.lastIndexOf(QLatin1String("msg : "));
    g_lastAnswer = at < 0 ? QByteArray() : QByteArray::fromHex(line.mid(at + 6).toLatin1());
}

// One read, with the value's wire bytes when asked for: the answer holds a
// 16-byte header, then the area from address 0.
Result Runner::readTag(Result::Kind kind, const TagRequest &t, bool hex)
{
    g_lastAnswer.clear();
    const CLabelVariable rec = t.count == 1 ? m_driver->ReadVariable(t.tag, DataType(t.type))
                                            : m_driver->ReadVariable(t.tag, DataType(t.type), t.count);
    Result r = resultOf(kind, t, rec);
    if (hex) {
        r.showHex = true;
        r.elementBytes = wireElementBytes(t.type, t.count);
        const int address = tagAddressOf(t.tag);
        const int length = wireLength(t.type, t.count);
        if (r.code == 0 && address >= 0 && length > 0 && 16 + address + length <= g_lastAnswer.size())
            r.wire = g_lastAnswer.mid(16 + address, length);
    }
    return r;
}

Runner::Runner(CDriveBaseClass *driver, const Options &options, QObject *parent)
    : QObject(parent), m_driver(driver), m_options(options)
{
    connect(&m_timer, &QTimer::timeout, this, &Runner::pollOnce);
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

void Runner::runNext()
{
    if (m_done)
        return;
    if (m_next >= m_options.commands.size()) {
        m_done = true;
        emit finished(m_failed ? ExitResultCode : ExitOk);
        return;
    }
    const Command &cmd = m_options.commands.at(m_next++);
    switch (cmd.kind) {
    case Command::Info: runInfo(); break;
    case Command::Read: runRead(cmd); break;
    case Command::Write: runWrite(cmd); break;
    case Command::Poll:
    case Command::Monitor:
        startPoll(cmd);
        return;   // endPoll() goes on
    case Command::Probe:
        break;    // runs without the plug-in, before the runner
    }
    // Between two commands the loop looks at Ctrl-C.
    QTimer::singleShot(0, this, &Runner::runNext);
}

void Runner::runInfo()
{
    const QString name = m_driver->getDriveName();
    const QString version = m_driver->getversion_number();
    const QString build = m_driver->DebugCmd(BuildVersion);
    print(m_options.json ? infoJson(name, version, build) + QLatin1Char('\n') : infoText(name, version, build));
}

void Runner::runRead(const Command &cmd)
{
    TableBuilder table;
    for (const TagRequest &t : cmd.tags) {
        const Result r = readTag(Result::Read, t, cmd.hex);
        record(r.code);
        if (m_options.json)
            print(resultJson(r) + QLatin1Char('\n'));
        else if (!cmd.table)
            print(resultText(r));
        else
            table.add(r);
    }
    if (!m_options.json && cmd.table) {
        table.write([](const QByteArray &piece) { std::fwrite(piece.constData(), 1, size_t(piece.size()), stdout); });
        std::fflush(stdout);
    }
}

void Runner::runWrite(const Command &cmd)
{
    const TagRequest &t = cmd.tags.first();
    CLabelVariable v;
    v.value = cmd.values;
    v.labelName = t.tag;
    v.dataType = DataType(t.type);
    v.elementCount = t.count;
    const CLabelVariable rec = t.count == 1
        ? m_driver->WriteVariable(t.tag, DataType(t.type), v)
        : m_driver->WriteVariable(t.tag, DataType(t.type), v, t.count);
    const Result r = resultOf(Result::Write, t, rec);
    record(r.code);
    print(m_options.json ? resultJson(r) + QLatin1Char('\n') : resultText(r));
}

void Runner::startPoll(const Command &cmd)
{
    m_poll = &cmd;
    m_pollReads = 0;
    m_stats = QVector<PollStats>(cmd.tags.size());
    m_havePrevious = false;
    if (cmd.kind == Command::Monitor && !m_options.json && m_screen.open()) {
        m_rows = QVector<MonitorRow>(cmd.tags.size());
        m_steady.start();
        if (::isatty(STDIN_FILENO)) {
            // q leaves, like Ctrl-C.
            m_keys = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
            connect(m_keys, &QSocketNotifier::activated, this, [this] {
                char c = 0;
                while (::read(STDIN_FILENO, &c, 1) == 1) {
                    if (c == 'q' || c == 'Q') {
                        endPoll();
                        return;
                    }
                }
            });
        }
    }
    m_timer.setInterval(cmd.intervalMs);
    m_timer.start();
    pollOnce();
}

// One round: every tag read once, shown on one line (one JSON object per tag).
void Runner::pollOnce()
{
    if (!m_poll)
        return;
    QVector<Result> round;
    QVector<QStringList> values;
    QVector<int> codes;
    for (int i = 0; i < m_poll->tags.size(); ++i) {
        const TagRequest &t = m_poll->tags.at(i);
        const QDateTime issued = QDateTime::currentDateTime();
        QElapsedTimer clock;
        clock.start();
        Result r = readTag(Result::Poll, t, m_poll->hex);
        const double rtt = double(clock.nsecsElapsed()) / 1e6;

        // A failed read carries no time of its own: show when it was sent.
        if (!r.timeStamp.isValid())
            r.timeStamp = issued;
        r.rttMs = rtt;
        record(r.code);
        m_stats[i].add(r.code, rtt);
        values.append(formatValues(r.value));
        codes.append(r.code);
        round.append(r);
    }
    ++m_pollReads;

    const bool changed = !m_havePrevious || values != m_previousValues || codes != m_previousCodes;
    m_havePrevious = true;
    m_previousValues = values;
    m_previousCodes = codes;
    if (m_screen.isOpen()) {
        drawMonitor(round);
    } else if (changed || !m_poll->changesOnly) {
        if (m_options.json) {
            for (const Result &r : round)
                print(resultJson(r) + QLatin1Char('\n'));
        } else {
            const bool oneLinePerTag = m_poll->kind == Command::Poll && !m_poll->table;
            print(oneLinePerTag ? pollLineText(round.first()) : pollRoundText(round));
        }
    }

    if (m_poll->times > 0 && m_pollReads >= m_poll->times)
        endPoll();
}

void Runner::endPoll()
{
    if (!m_poll)
        return;
    m_timer.stop();
    if (m_screen.isOpen()) {
        delete m_keys;
        m_keys = nullptr;
        m_screen.close();
    }
    // For people on stderr; with --json on stdout, after the poll's lines.
    const QString command = m_poll->kind == Command::Monitor ? QStringLiteral("monitor") : QStringLiteral("poll");
    for (int i = 0; i < m_poll->tags.size(); ++i) {
        const QString tag = m_poll->tags.at(i).tag;
        if (m_options.json) {
            print(m_stats.at(i).summaryJson(tag));
        } else {
            const QByteArray summary = m_stats.at(i).summary(tag, command).toUtf8();
            std::fwrite(summary.constData(), 1, size_t(summary.size()), stderr);
            std::fflush(stderr);
        }
    }
    m_poll = nullptr;
    QTimer::singleShot(0, this, &Runner::runNext);
}

void Runner::drawMonitor(const QVector<Result> &round)
{
    const qint64 now = m_steady.elapsed();
    for (int i = 0; i < round.size() && i < m_rows.size(); ++i) {
        MonitorRow &row = m_rows[i];
        const Result &r = round.at(i);
        const QString text = r.code == 0 ? valuesText(r.value) : QStringLiteral("-");
        const bool first = row.reads == 0;
        if (first || text != row.valueText || r.code != row.last.code) {
            row.changedAt = r.timeStamp;
            if (!first)
                row.highlightUntilMs = now + 1000;
        }
        row.last = r;
        row.valueText = text;
        const PollStats &stats = m_stats.at(i);
        row.reads = stats.reads();
        row.failures = stats.failures();
        row.minRtt = stats.minRtt();
        row.medianRtt = stats.medianRtt();
        row.maxRtt = stats.maxRtt();
    }
    int width = 80, height = 24;
    m_screen.size(&width, &height);
    const QString title = QStringLiteral("veskor monitor: %1 tag%2 every %3 ms, round %4; q or Ctrl-C leaves")
                              .arg(m_rows.size()).arg(m_rows.size() == 1 ? QString() : QStringLiteral("s"))
                              .arg(m_poll->intervalMs).arg(m_pollReads);
    m_screen.draw(monitorLines(title, m_rows, width, height, now));
}

void Runner::interrupt()
{
    if (m_done)
        return;
    if (m_poll) {
        endPoll();
        return;
    }
    m_done = true;
    emit finished(ExitInterrupted);
}

} // namespace veskortool
