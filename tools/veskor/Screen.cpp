#include "Screen.h"

#include "common/Values.h"

#include <cstdio>
#include <utility>
#include <sys/ioctl.h>
#include <unistd.h>

namespace veskortool {

namespace {

const char kReverse[] = "\033[7m";
const char kPlain[] = "\033[0m";

QString cut(const QString &text, int width)
{
    if (width <= 0)
        return QString();
    if (text.size() <= width)
        return text;
    return width <= 3 ? text.left(width) : text.left(width - 3) + QStringLiteral("...");
}

} // namespace

QString sparkline(const QVector<double> &values, bool unicode)
{
    static const QString kBlocks = QStringLiteral("\u2581\u2582\u2583\u2584\u2585\u2586\u2587\u2588");
    static const QString kAscii = QStringLiteral("_.-:=+*#");
    const QString &alphabet = unicode ? kBlocks : kAscii;
    if (values.isEmpty())
        return QString();
    double lo = values.first(), hi = values.first();
    for (const double v : values) {
        lo = qMin(lo, v);
        hi = qMax(hi, v);
    }
    QString line;
    for (const double v : values) {
        const int level = hi > lo ? int((v - lo) / (hi - lo) * (alphabet.size() - 1) + 0.5) : 0;
        line += alphabet.at(qBound(0, level, int(alphabet.size()) - 1));
    }
    return line;
}

int monitorRowsPerScreen(int rows, int height)
{
    // Title, a blank line and the header; a last line when rows are hidden.
    const int room = qMax(1, height - 3);
    return rows <= room ? room : qMax(1, room - 1);
}

int monitorMaxFirstRow(int rows, int height)
{
    return qMax(0, rows - monitorRowsPerScreen(rows, height));
}

namespace {

enum Column { Ctrl, Name, Tag, Type, Value, State, Trend, Changed, Rtt, Fail, ColumnCount };

QString cellOf(const MonitorRow &r, int column, bool unicode)
{
    switch (column) {
    case Ctrl: return r.controller.isEmpty() ? QStringLiteral("-") : r.controller;
    case Name: return r.last.name.isEmpty() ? QStringLiteral("-") : r.last.name;
    case Tag: return r.last.tag;
    case Type: return typeName(r.last.type);
    case Value: return r.valueText;
    case State: return r.state.isEmpty() ? QStringLiteral("waiting") : r.state;
    case Trend: return sparkline(r.trend, unicode);
    case Changed:
        return r.changedAt.isValid() ? r.changedAt.toString(QStringLiteral("hh:mm:ss.zzz")) : QStringLiteral("-");
    case Rtt:
        return r.answered ? QStringLiteral("%1/%2/%3").arg(rttText(r.minRtt), rttText(r.medianRtt), rttText(r.maxRtt))
                          : QStringLiteral("-");
    case Fail: return QString::number(r.failures);
    }
    return QString();
}

// The width of each column shown (0: not shown), fitted to `width`.
QVector<int> fitColumns(const QVector<QStringList> &cells, bool controllers, bool named, bool trends, int width)
{
    QVector<int> w(ColumnCount, 0);
    for (const QStringList &row : cells)
        for (int c = 0; c < ColumnCount; ++c)
            w[c] = qMax(w[c], int(row.at(c).size()));
    if (!controllers)
        w[Ctrl] = 0;
    if (!named)
        w[Name] = 0;
    if (!trends)
        w[Trend] = 0;
    const auto total = [&w] {
        int sum = 0, shown = 0;
        for (const int x : w) {
            sum += x;
            shown += x > 0;
        }
        return sum + 2 * qMax(0, shown - 1);
    };
    // Statistics first, then the type.
    for (const int c : {Fail, Rtt, Changed, Trend, Type}) {
        if (total() <= width)
            break;
        w[c] = 0;
    }
    // A name is shortened before the state, and both before the value.
    for (const auto &[c, least] : {std::pair<int, int>{Name, 6}, {Ctrl, 9}, {State, 9}}) {
        if (w[c] > 0 && total() > width)
            w[c] = qMax(least, w[c] - (total() - width));
    }
    if (total() > width)
        w[Value] = qMax(5, w[Value] - (total() - width));
    return w;
}

} // namespace

QStringList monitorLines(const QString &title, const QVector<MonitorRow> &rows, const MonitorView &view)
{
    bool named = false, trends = false, controllers = false;
    for (const MonitorRow &r : rows) {
        controllers = controllers || !r.controller.isEmpty();
        named = named || !r.last.name.isEmpty();
        trends = trends || !r.trend.isEmpty();
    }
    QVector<QStringList> cells;
    cells.append(QStringList{QStringLiteral("CONTROLLER"), QStringLiteral("NAME"), QStringLiteral("TAG"), QStringLiteral("TYPE"),
                             QStringLiteral("VALUE"), QStringLiteral("STATE"), QStringLiteral("TREND"),
                             QStringLiteral("CHANGED"), QStringLiteral("RTT MS MIN/MED/MAX"), QStringLiteral("FAIL")});
    for (const MonitorRow &r : rows) {
        QStringList row;
        for (int c = 0; c < ColumnCount; ++c)
            row << cellOf(r, c, view.unicode);
        cells.append(row);
    }
    const QVector<int> widths = fitColumns(cells, controllers, named, trends, view.width);
    int last = ColumnCount - 1;
    while (last > 0 && widths[last] == 0)
        --last;

    QStringList lines{cut(title, view.width), QString()};
    const int perScreen = monitorRowsPerScreen(rows.size(), view.height);
    const int first = qBound(0, view.firstRow, monitorMaxFirstRow(rows.size(), view.height));
    const int end = qMin(int(rows.size()), first + perScreen);
    for (int i = -1; i < end; ++i) {
        if (i >= 0 && i < first)
            continue;
        const QStringList &row = cells.at(i + 1);
        QString line;
        for (int c = 0; c < ColumnCount; ++c) {
            if (widths[c] == 0)
                continue;
            const QString text = cut(row.at(c), widths[c]);
            const bool lit = i >= 0 && c == Value && rows.at(i).highlightUntilMs > view.nowMs;
            line += lit ? QLatin1String(kReverse) + text + QLatin1String(kPlain) : text;
            if (c < last)
                line += QString(widths[c] - text.size() + 2, QLatin1Char(' '));
        }
        lines << line;
    }
    if (end - first < rows.size())
        lines << cut(QStringLiteral("rows %1-%2 of %3; arrows, PgUp/PgDn, Home/End scroll")
                         .arg(first + 1).arg(end).arg(rows.size()), view.width);
    return lines;
}

bool Screen::open()
{
    if (!::isatty(STDOUT_FILENO))
        return false;
    if (::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &m_saved) == 0) {
        termios raw = m_saved;
        raw.c_lflag &= tcflag_t(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        m_keys = ::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }
    std::fputs("\033[?1049h\033[?25l", stdout);   // alternate screen, no cursor
    std::fflush(stdout);
    m_open = true;
    return true;
}

void Screen::close()
{
    if (!m_open)
        return;
    std::fputs("\033[?25h\033[?1049l", stdout);
    std::fflush(stdout);
    if (m_keys)
        ::tcsetattr(STDIN_FILENO, TCSANOW, &m_saved);
    m_open = false;
    m_keys = false;
}

void Screen::size(int *width, int *height) const
{
    winsize ws{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
        *width = ws.ws_col;
        *height = ws.ws_row;
    } else {
        *width = 80;
        *height = 24;
    }
}

void Screen::draw(const QStringList &lines)
{
    QByteArray out("\033[H");
    for (int i = 0; i < lines.size(); ++i) {
        out += lines.at(i).toUtf8();
        out += "\033[K";
        if (i + 1 < lines.size())
            out += "\r\n";
    }
    out += "\033[J";
    std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
    std::fflush(stdout);
}

} // namespace veskortool
