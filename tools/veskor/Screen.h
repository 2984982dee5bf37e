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
    QString valueText;
    QDateTime changedAt;       // when its value or code last changed
    qint64 highlightUntilMs = 0;
    int reads = 0;
    int failures = 0;
    double minRtt = 0, medianRtt = 0, maxRtt = 0;
};

// The table's lines, each at most `width` columns (values are cut with
// "..."), at most `height` lines; a changed value in reverse video until its
// highlight time (`nowMs`, steady clock).
QStringList monitorLines(const QString &title, const QVector<MonitorRow> &rows, int width, int height,
                         qint64 nowMs);

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
