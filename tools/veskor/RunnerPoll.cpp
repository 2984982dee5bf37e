// The runner's polls and monitors: rounds over each controller's tags at
// the interval, their rows and the summary at the end.
#include "Runner.h"

#include "host/CDriveBaseClass.h"
#include "host/DataType.h"
#include "driver/Tags.h"
#include "common/Values.h"

#include <QSocketNotifier>

#include <cstdio>
#include <langinfo.h>
#include <unistd.h>

namespace veskortool {

// A poll's read came back: counted, shown on its row, and the controller's
// next tag sent; each controller goes at its own pace.
void Runner::onPollDone(Lane &lane, const JobResult &jr)
{
    Result r = resultFrom(Result::Poll, jr);
    // A failed read carries no time of its own: show when it was sent.
    if (!r.timeStamp.isValid())
        r.timeStamp = QDateTime::fromMSecsSinceEpoch(jr.issuedMs);
    record(r.code);
    m_stats[jr.job.tagIndex].add(r);
    if (m_screen.isOpen())
        m_latest[jr.job.tagIndex] = r;
    else
        noteRound(lane, r);
    if (++lane.done < lane.tags.size())
        postRound(lane);
    else
        roundDone(lane);
}

namespace {

// A read's values and code as 64 bits (FNV-1a): a round that changed
// nothing is told by these alone.
quint64 valuesHash(const Result &r)
{
    quint64 h = 14695981039346656037ULL;
    const auto mix = [&h](const void *data, size_t bytes) {
        for (size_t i = 0; i < bytes; ++i) {
            h ^= static_cast<const uchar *>(data)[i];
            h *= 1099511628211ULL;
        }
    };
    mix(&r.code, sizeof r.code);
    for (const QString &v : formatValues(r.value)) {
        const int size = v.size();
        mix(&size, sizeof size);
        mix(v.constData(), size_t(size) * sizeof(QChar));
    }
    return h;
}

} // namespace

// A poll's read, into its round: whether the tag changed since the round
// before, and the round's output. JSON lines go out as their reads end
// (with --changes, from the first tag that changed); a round's line
// once it is whole.
void Runner::noteRound(Lane &lane, const Result &r)
{
    const quint64 hash = valuesHash(r);
    if (lane.done >= lane.previous.size()) {
        lane.previous.append(hash);
        lane.roundChanged = true;
    } else if (lane.previous.at(lane.done) != hash) {
        lane.previous[lane.done] = hash;
        lane.roundChanged = true;
    }
    if (m_options.json) {
        lane.roundText += (resultJson(r) + QLatin1Char('\n')).toUtf8();
        if (lane.roundChanged || !m_cmd->changesOnly) {
            m_output += lane.roundText;
            lane.roundText.clear();
        }
        return;
    }
    if (m_cmd->kind == Command::Poll && !m_cmd->table) {
        lane.roundText = pollLineText(r).toUtf8();
        return;
    }
    if (lane.done == 0)
        lane.roundText = pollRoundStart(r).toUtf8();
    lane.roundText += pollRoundPiece(r).toUtf8();
    if (causeOf(r).answered) {
        lane.roundRtt += r.rttMs;
        ++lane.roundAnswered;
    }
}

// Keeps the round's next tags queued on the controller's worker.
void Runner::postRound(Lane &lane)
{
    while (lane.pos < lane.tags.size() && lane.pos - lane.done < kReadAhead)
        send(lane, readJob(lane.tags.at(lane.pos++)));
}

void Runner::startPoll(const Command &cmd)
{
    m_stats = QVector<PollStats>(cmd.tags.size());
    m_latest.clear();
    for (auto &lane : m_lanes) {
        lane->tags.clear();
        lane->roundRunning = false;
        lane->rounds = 0;
        lane->previous.clear();
    }
    for (int i = 0; i < cmd.tags.size(); ++i)
        m_lanes[size_t(laneOf(cmd.tags.at(i)))]->tags.append(i);
    if (cmd.kind == Command::Monitor && !m_options.json && m_screen.open()) {
        m_latest = QVector<Result>(cmd.tags.size());
        m_rows = QVector<MonitorRow>(cmd.tags.size());
        for (int i = 0; i < m_rows.size(); ++i) {
            m_rows[i].last.tag = cmd.tags.at(i).tag;
            m_rows[i].last.type = cmd.tags.at(i).type;
            m_rows[i].last.count = cmd.tags.at(i).count;
            m_rows[i].last.name = cmd.tags.at(i).name;
            m_rows[i].controller = controllerOf(cmd.tags.at(i));
            m_rows[i].valueText = QStringLiteral("waiting");
        }
        m_goodAtMs = QVector<qint64>(cmd.tags.size(), -1);
        m_firstRow = 0;
        m_unicode = QByteArray(::nl_langinfo(CODESET)) == "UTF-8";
        if (::isatty(STDIN_FILENO)) {
            m_keys = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
            connect(m_keys, &QSocketNotifier::activated, this, &Runner::readKeys);
        }
        m_steady.start();
        drawMonitor();   // the table at once, before any read ends
    }
    m_timer.setInterval(cmd.intervalMs);
    m_timer.start();
    pollTick();
}

// A round on each controller that is not in one: its tags read one after
// the other. A round still running when the timer fires is not doubled.
void Runner::pollTick()
{
    if (!m_cmd || m_stopped.load())
        return;
    for (auto &lane : m_lanes) {
        const bool more = m_cmd->times <= 0 || lane->rounds < m_cmd->times;
        if (!lane->tags.isEmpty() && !lane->roundRunning && more)
            startRound(*lane);
    }
}

void Runner::startRound(Lane &lane)
{
    lane.roundRunning = true;
    lane.pos = 0;
    lane.done = 0;
    lane.roundText.clear();
    lane.roundChanged = false;
    lane.roundRtt = 0;
    lane.roundAnswered = 0;
    postRound(lane);
}

// A controller's round is done: its line (one JSON object per tag), unless
// the monitor's table shows it; the poll ends when every controller has
// made its --times rounds.
void Runner::roundDone(Lane &lane)
{
    lane.roundRunning = false;
    ++lane.rounds;
    if (!m_screen.isOpen() && (lane.roundChanged || !m_cmd->changesOnly)) {
        const bool roundLine = !m_options.json && !(m_cmd->kind == Command::Poll && !m_cmd->table);
        if (roundLine)
            lane.roundText += pollRoundEnd(lane.roundRtt, lane.roundAnswered, lane.done).toUtf8();
        m_output += lane.roundText;
    }
    lane.roundText.clear();
    if (m_cmd->times <= 0)
        return;
    for (const auto &l : m_lanes) {
        if (!l->tags.isEmpty() && l->rounds < m_cmd->times)
            return;
    }
    endPoll(false);
}

void Runner::endPoll(bool cutShort)
{
    if (!m_cmd)
        return;
    m_timer.stop();
    flushOutput();   // the lines of the reads before the summaries
    if (m_screen.isOpen()) {
        delete m_keys;
        m_keys = nullptr;
        m_screen.close();
    }
    // For people on stderr; with --json on stdout, after the poll's lines.
    // None after output that could not be written: the one line saying so
    // is the end of such a run.
    const QString command = m_cmd->kind == Command::Monitor ? QStringLiteral("monitor") : QStringLiteral("poll");
    for (int i = 0; i < m_cmd->tags.size() && !stdoutFailed(); ++i) {
        const QString tag = m_cmd->tags.at(i).tag;
        const QString controller = controllerOf(m_cmd->tags.at(i));
        if (m_options.json) {
            print(m_stats.at(i).summaryJson(tag, controller));
        } else {
            const QString label = controller.isEmpty() ? tag : QStringLiteral("%1 on %2").arg(tag, controller);
            const QByteArray summary = m_stats.at(i).summary(label, command).toUtf8();
            std::fwrite(summary.constData(), 1, size_t(summary.size()), stderr);
            std::fflush(stderr);
        }
    }
    m_cmd = nullptr;
    if (!cutShort)
        runNext();
}

} // namespace veskortool
