// The monitor's full-screen table on a terminal: the alternate screen, the
// cursor hidden, keys read one at a time, and a table redrawn in place. The
// table itself is made by a pure function, so it is tested without a
// terminal.
#ifndef VESKOR_TOOL_SCREEN_H
#define VESKOR_TOOL_SCREEN_H

#include "Output.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVector>

#include <termios.h>

namespace veskortool {

// What the monitor shows of one tag.
struct MonitorRow {
    Result last;               // the last read
    QString controller;        // HOST:PORT when the tags come from several controllers
    QString valueText;         // the last good value ("waiting" before any read)
    QString state;             // "ok", the failure in words, "stale 5 s: no answer"
    QDateTime changedAt;       // when its value or code last changed
    qint64 highlightUntilMs = 0;
    int reads = 0;
    int failures = 0;
    double minRtt = 0, medianRtt = 0, maxRtt = 0;   // over answered reads
    bool answered = false;     // some read was answered: the figures hold
    QVector<double> trend;     // the last values of a numeric tag, oldest first
};

constexpr int kTrendLength = 20;
// The values as a one-line sparkline, one character each, scaled between
// their least and greatest: Unicode block characters, or ASCII when the
// terminal does not speak UTF-8.
QString sparkline(const QVector<double> &values, bool unicode);

// How the table is drawn: the terminal's size, the first row shown
// (scrolling), the steady clock for highlights, and the sparkline's alphabet.
struct MonitorView {
    int width = 80;
    int height = 24;
    int firstRow = 0;
    qint64 nowMs = 0;
    bool unicode = true;
};

// The table's lines, each at most `width` columns, at most `height` lines.
// Columns are dropped or cut in priority order when the terminal is
// narrow: statistics first, then the type; a name is shortened, then the
// state; the value is cut last. A changed value is in reverse video until
// its highlight time, whole or cut. Rows past the screen are reached by
// scrolling; the last line then says which are shown.
QStringList monitorLines(const QString &title, const QVector<MonitorRow> &rows, const MonitorView &view);
// The first row that can be shown with `rows` rows at this height.
int monitorMaxFirstRow(int rows, int height);
// Rows that fit on one screen at this height.
int monitorRowsPerScreen(int rows, int height);

class Screen
{
public:
    // Takes the terminal when standard output is one (false otherwise).
    bool open();
    void close();
    bool isOpen() const { return m_open; }
    // Width and height of the terminal (80x24 when it does not say).
    void size(int *width, int *height) const;
    void draw(const QStringList &lines);

private:
    bool m_open = false;
    bool m_keys = false;
    termios m_saved{};
};

} // namespace veskortool

#endif
