#include "Screen.h"

#include "Values.h"

#include <cstdio>
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

QStringList monitorLines(const QString &title, const QVector<MonitorRow> &rows, int width, int height,
                         qint64 nowMs)
{
    bool named = false;
    for (const MonitorRow &r : rows)
        named = named || !r.last.name.isEmpty();

    // Cells; the value column (index `valueColumn`) takes the width left over.
    QVector<QStringList> cells;
    QStringList header{QStringLiteral("TAG"), QStringLiteral("TYPE"), QStringLiteral("VALUE"),
                       QStringLiteral("CHANGED"), QStringLiteral("CODE"), QStringLiteral("RTT MS MIN/MED/MAX"),
                       QStringLiteral("FAIL")};
    if (named)
        header.prepend(QStringLiteral("NAME"));
    const int valueColumn = named ? 3 : 2;
    cells.append(header);
    for (const MonitorRow &r : rows) {
        QStringList row{r.last.tag, typeName(r.last.type), r.valueText,
                        r.changedAt.isValid() ? r.changedAt.toString(QStringLiteral("hh:mm:ss.zzz")) : QStringLiteral("-"),
                        r.reads > 0 ? QString::number(r.last.code) : QStringLiteral("-"),
                        r.reads > 0 ? QStringLiteral("%1/%2/%3").arg(rttText(r.minRtt), rttText(r.medianRtt),
                                                                     rttText(r.maxRtt))
                                    : QStringLiteral("-"),
                        QString::number(r.failures)};
        if (named)
            row.prepend(r.last.name.isEmpty() ? QStringLiteral("-") : r.last.name);
        cells.append(row);
    }
    const int columns = header.size();
    QVector<int> widths(columns, 0);
    for (const QStringList &row : cells)
        for (int c = 0; c < columns; ++c)
            widths[c] = qMax(widths[c], row.at(c).size());
    // Two spaces between columns; the value gets what the others leave.
    int others = 2 * (columns - 1);
    for (int c = 0; c < columns; ++c)
        others += c == valueColumn ? 0 : widths[c];
    widths[valueColumn] = qMax(5, qMin(widths[valueColumn], width - others));

    QStringList lines{cut(title, width), QString()};
    // The title, a blank line, then as many rows as fit; a last line says
    // how many did not.
    const int maxCells = qMax(2, height - 2);
    const bool more = cells.size() > maxCells;
    const int shown = more ? maxCells - 1 : cells.size();
    for (int i = 0; i < shown; ++i) {
        const QStringList &row = cells.at(i);
        QString line;
        QString plain;   // the same without escape sequences, to cut at the width
        for (int c = 0; c < columns; ++c) {
            QString cell = cut(row.at(c), widths[c]);
            if (c + 1 < columns)
                cell = cell.leftJustified(widths[c] + 2);
            plain += cell;
            const bool lit = i > 0 && c == valueColumn && rows.at(i - 1).highlightUntilMs > nowMs;
            const QString text = cell.trimmed();
            line += lit ? QLatin1String(kReverse) + text + QLatin1String(kPlain)
                              + QString(cell.size() - text.size(), QLatin1Char(' '))
                        : cell;
        }
        lines << (plain.size() > width ? cut(plain, width) : line);
    }
    if (more)
        lines << cut(QStringLiteral("(+%1 more tags)").arg(cells.size() - shown), width);
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
