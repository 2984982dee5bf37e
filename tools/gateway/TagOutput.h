// Where a controller's tag values go. An output reads the tag table and
// nothing else; the controller calls it on its worker thread after each
// cycle, and once more at a clean stop, always under the table's lock.
// Outputs that are asked rather than told (the metrics endpoint) read
// Controller::readings() instead. A new output is a class of its own here,
// added to the controller's list.
#ifndef VESKOR_GATEWAY_TAGOUTPUT_H
#define VESKOR_GATEWAY_TAGOUTPUT_H

#include "TagTable.h"

namespace veskorgw {

class TagOutput
{
public:
    virtual ~TagOutput() = default;
    // Sends what the table says is due at nowMs (all: every tag read so
    // far, whatever changed); marks what went out. The count sent.
    virtual int publish(TagTable &table, qint64 nowMs, bool all) = 0;
    // The gateway stops: no value it sent may still claim to be good. After
    // this, publish() sends nothing.
    virtual void stop(const TagTable &table, qint64 nowMs) = 0;
};

} // namespace veskorgw

#endif
