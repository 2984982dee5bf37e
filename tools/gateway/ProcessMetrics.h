// The process_* figures Prometheus client libraries export for their
// process, read from /proc/self: CPU time, memory, open files, start time.
#ifndef VESKOR_GATEWAY_PROCESSMETRICS_H
#define VESKOR_GATEWAY_PROCESSMETRICS_H

#include <QByteArray>

namespace veskorgw {

// The exposition text of this process's figures; a figure that cannot be
// read now is left out.
QByteArray processMetricsText();

} // namespace veskorgw

#endif
